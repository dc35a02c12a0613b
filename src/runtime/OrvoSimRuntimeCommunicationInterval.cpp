// The communication interval: one pass of the model's run loop, and the
// flushing of the solver's and integrator's messages.
#include "runtime/OrvoSimRuntime.h"

#include <string>

#include "runtime/SectionCodes.h"

// ---- communication interval ------------------------------------------------------------

void OrvoSimRuntime::CheckMessageBuffer(uint32_t instance) {
    OdeSolver* solver = GetSolver(instance);
    if (!solver) return;
    if (!solver->GetMessageBuffer().empty()) {
        const std::string text = solver->TakeMessages();
        OrvoSimWriteMessage(instance, text.c_str());
    }
    solver = GetSolver(instance);
    Integrator* integrator = solver ? solver->GetIntegrator() : nullptr;
    if (integrator && !integrator->messageBuffer.empty()) {
        const std::string text = integrator->TakeMessages();
        OrvoSimWriteMessage(instance, text.c_str());
    }
}

void OrvoSimRuntime::WriteStatistics(uint32_t instance) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (!record || !record->solver || !record->solver->GetIntegrator()) return;
    const uint8_t* summary = GetSettingAs<uint8_t>(*record, SettingWesitg);
    if (!summary || *summary != 1) return;
    record->solver->GetIntegrator()->WriteStatistics();
    CheckMessageBuffer(instance);
}

void OrvoSimRuntime::OrvoSimCommunicationInterval(uint32_t instance) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (!record || !record->solver) return;
    OdeSolver* solver = record->solver.get();

    if (const double* cint = GetSettingAs<double>(*record, SettingCint)) {
        solver->SetCommInterval(*cint);
    }
    if (const int32_t* nstp = GetSettingAs<int32_t>(*record, SettingNstp)) {
        solver->SetStepsPerCint(*nstp);
    }
    if (const double* maxt = GetSettingAs<double>(*record, SettingMaxt)) {
        solver->SetMaxStepSize(*maxt);
    }
    if (const double* mint = GetSettingAs<double>(*record, SettingMint)) {
        solver->SetMinStepSize(*mint);
    }
    if (solver->GetFirstInterval()) solver->HandleIndependentVarEvents();

    if (info_.sectionFunction) info_.sectionFunction(instance, kCommunicationPointSection);
    // Model and host code ran: re-fetch in case the instance went away.
    if (!(record = GetSystemInstance(instance)) || !(solver = record->solver.get())) return;

    uint32_t every = static_cast<uint32_t>(solver->settings.GetNumCommIntsPerOuput());
    if (every == 0) every = 1;
    const bool outputPoint = !solver->settings.GetStopFlag() &&
                             (solver->settings.CommPointReached ||
                              record->commIntervalCounter % every == 0);
    if (outputPoint) {
        OrvoSimInvokeTick(instance, OrvoTickOutputPoint);
        if (!(record = GetSystemInstance(instance))) return;
        CheckSymbolWatches(instance, *record);
        if (!(record = GetSystemInstance(instance)) || !(solver = record->solver.get())) return;
        ++record->commIntervalCounter;
    }

    solver->SetDerivFuncArg1(instance);
    solver->SetDerivFuncArg2(kDefaultDerivativeSection);
    if (uint8_t* icon = GetSettingAs<uint8_t>(*record, SettingZzicon); icon && *icon == 1) {
        *icon = 0;
        solver->SetForceRecalculation(true);
    }
    solver->Step();
    CheckMessageBuffer(instance);
    executionManager_.DebugTick();

    if ((record = GetSystemInstance(instance)) && record->singleStepFlag == 1) {
        SetSettingByte(*record, SettingZzstepstop, 1);
        record->singleStepFlag = 0;
    }
}
