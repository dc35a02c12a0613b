#include "operators/RunControlOperators.h"

#include "operators/OperatorRuntime.h"
#include "runtime/OrvoSimRuntime.h"
#include "common/SharedFlag.h"

namespace {

constexpr uint32_t kDerivativeSection = 500;

// Marks the evaluations in its lifetime as a step start; the flag is cleared
// again even when an evaluation throws.
class FirstEvaluationScope {
public:
    explicit FirstEvaluationScope(Integrator& integrator) : integrator_(integrator)
    {
        integrator_.firstDerivEval = true;
    }
    ~FirstEvaluationScope() { integrator_.firstDerivEval = false; }
    FirstEvaluationScope(const FirstEvaluationScope&) = delete;
    FirstEvaluationScope& operator=(const FirstEvaluationScope&) = delete;

private:
    Integrator& integrator_;
};

// Initialisation in progress for the lifetime of the scope.
class InitializationScope {
public:
    explicit InitializationScope(OdeSolver& solver) : solver_(solver)
    {
        solver_.SetInitializationInProgress(true);
    }
    ~InitializationScope() { solver_.SetInitializationInProgress(false); }
    InitializationScope(const InitializationScope&) = delete;
    InitializationScope& operator=(const InitializationScope&) = delete;

private:
    OdeSolver& solver_;
};

void SelectDerivativeSection(OdeSolver& solver, uint32_t instance)
{
    solver.SetDerivFuncArg1(instance);
    solver.SetDerivFuncArg2(kDerivativeSection);
}

}  // namespace

extern "C" {

void zznits(uint32_t instance, ...)
{
    OrvoSimRuntime* runtime = OrvoSimRuntime::GetInstance();
    if (runtime->GetSystemInstance(instance) == nullptr) return;
    runtime->OrvoSimInitializeSystemInstance(instance);
    runtime->OrvoSimSetExecutionState(instance, OrvoExecutionInitialized);
}

void zzrset(uint32_t instance)
{
    OrvoSimRuntime* runtime = OrvoSimRuntime::GetInstance();
    OrvoSimSystemInstance* record = runtime->GetSystemInstance(instance);
    if (record == nullptr || record->solver == nullptr) return;
    OdeSolver& solver = *record->solver;
    Integrator* integrator = solver.GetIntegrator();
    {
        InitializationScope initializing(solver);
        SelectDerivativeSection(solver, instance);
        // Computes the initial-condition variables.
        if (integrator != nullptr) integrator->CalculateDerivatives();
        runtime->SetSettingByte(*record, SettingZzstopflag, 0);
        solver.CopyInitCondsToStates();
        if (integrator == nullptr) return;
        // At the initial point, so that the operators with memory commit
        // their first samples.
        {
            FirstEvaluationScope first(*integrator);
            SelectDerivativeSection(solver, instance);
            integrator->CalculateDerivatives();
        }
        if (runtime->GetSystemInfo().numAlgebraicStates > 0) integrator->CalculateAlgebraicStates();
    }
    if (record->preStepFlag) {
        runtime->SetSettingByte(*record, SettingZzstepstop, 1);
        record->preStepFlag = 0;
    }
}

void zztrmt(uint32_t instance, const char* text)
{
    OrvoSimRuntime* runtime = OrvoSimRuntime::GetInstance();
    OrvoSimSystemInstance* record = runtime->GetSystemInstance(instance);
    if (record == nullptr) return;
    const uint8_t* stopFlag = runtime->GetSettingAs<uint8_t>(*record, SettingZzstopflag);
    if (stopFlag == nullptr) return;
    if (LoadSharedFlag(stopFlag) == 0) OperatorRuntime::WriteMessage(instance, text);
    runtime->SetSettingByte(*record, SettingZzstopflag, 1);
}

void zzrstart(uint32_t instance, int32_t, double value)
{
    OdeSolver* solver = OrvoSimRuntime::GetInstance()->GetSolver(instance);
    if (solver != nullptr) solver->Restart(value);
}

void zzdebugtick(...)
{
    OrvoSimRuntime::GetInstance()->GetExecutionManager().DebugTick();
}

double* zzicst(double* address, double value)
{
    if (address != nullptr) *address = value;
    return address;
}

void zzhold(...) {}
void zzsmpl(...) {}
void zznita(...) {}
void zzntlg(...) {}
void zznitd(...) {}
void zzlnr1(...) {}
void zzscal(...) {}
void zzsmo1(...) {}

}  // extern "C"
