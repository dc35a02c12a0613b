// Instances and their lifecycle: the instance table, creation, initialization
// for a run, reset and destruction, and the host-side lifecycle operations.
#include "runtime/OrvoSimRuntime.h"

#include "runtime/SectionCodes.h"

namespace {

// A setting the model did not register reads as the fallback.
template <typename T>
T ReadOr(const T* p, T fallback) {
    return p ? *p : fallback;
}

}  // namespace

// The one runtime object, alive for as long as the library is loaded.
OrvoSimRuntime theRuntimeInstance;

OrvoSimRuntime::OrvoSimRuntime() : symbols_(*this) { executionManager_.SetRuntime(this); }

OrvoSimRuntime::~OrvoSimRuntime() {
    // A background run still going must end before its instances are freed,
    // and must not call the host on its way out.
    callbacksSilenced_ = true;
    executionManager_.EndBackgroundRun();
    for (auto& slot : instances_) ReleaseQuietly(slot);
}

OrvoSimRuntime* OrvoSimRuntime::GetInstance() { return &theRuntimeInstance; }

// ---- instances ------------------------------------------------------------------

void OrvoSimRuntime::ReleaseQuietly(std::unique_ptr<OrvoSimSystemInstance>& slot) {
    if (!slot) return;
    slot->solver.reset();
    slot.reset();
}

void OrvoSimRuntime::OrvoSimInitialize() {
    for (auto& slot : instances_) ReleaseQuietly(slot);
}

void OrvoSimRuntime::OrvoSimDeinitialize() {
    for (uint32_t instance = 0; instance < kInstanceTableSize; ++instance) {
        OrvoSimDestroySystemInstance(instance);
    }
}

OrvoSimSystemInstance* OrvoSimRuntime::GetSystemInstance(uint32_t instance) const {
    return instance < kInstanceTableSize ? instances_[instance].get() : nullptr;
}

OdeSolver* OrvoSimRuntime::GetSolver(uint32_t instance) const {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    return record ? record->solver.get() : nullptr;
}

uint32_t OrvoSimRuntime::GetNumAllStates() const {
    return info_.numStates + info_.numAlgebraicStates + info_.numDelayStates;
}

uint32_t OrvoSimRuntime::OrvoSimCreateSystemInstance() {
    uint32_t instance = 1;
    while (instance < kInstanceTableSize && instances_[instance]) ++instance;
    if (instance >= kInstanceTableSize) return 0;

    auto record = std::make_unique<OrvoSimSystemInstance>();
    record->variables.assign(static_cast<size_t>(info_.numVariables) + 1, nullptr);
    void** slots = record->variables.data();
    const uint32_t n = GetNumAllStates();
    const uint32_t n1 = info_.numStates;
    const uint32_t n2 = info_.numAlgebraicStates;
    // Block pointers only where the table really has the blocks.
    if (n > 0 && 3u * n + 1 <= info_.numVariables) {
        record->numStateElements = GetFlattenedStateArraySize(2, n1);
        record->numAlgebraicElements = GetFlattenedStateArraySize(2 + n1, n2);
        record->numDelayElements = GetFlattenedStateArraySize(2 + n1 + n2, info_.numDelayStates);
        record->states = slots + 2;
        record->derivatives = slots + n + 2;
        record->initialConditions = slots + 2 * n + 2;
        if (n2 > 0) {
            record->algebraicStates = record->states + n1;
            record->algebraicDerivatives = record->derivatives + n1;
            record->algebraicInitialConditions = record->initialConditions + n1;
        }
        if (info_.numDelayStates > 0) {
            record->delayStates = record->states + n1 + n2;
            record->delayDerivatives = record->derivatives + n1 + n2;
            record->delayInitialConditions = record->initialConditions + n1 + n2;
        }
    }
    if (info_.numVariables >= 1) record->independentVariable = slots + 1;
    const uint32_t others = 3 * n + 2;
    if (info_.numOtherVariables > 0 && others <= info_.numVariables) {
        record->otherVariables = slots + others;
    }
    const uint32_t settings = GetSettingsVariable(0);
    if (settings <= info_.numVariables) record->settings = slots + settings;
    if (info_.userDataSize > 0) {
        record->userData = std::make_unique<uint8_t[]>(info_.userDataSize);
    }
    instances_[instance] = std::move(record);

    if (info_.initializationFunction) info_.initializationFunction(instance);
    // The model may have destroyed the instance from its initialization.
    if (OrvoSimSystemInstance* created = GetSystemInstance(instance)) {
        created->solver = std::make_unique<OdeSolver>();
    }
    executionManager_.SetInstance(instance);
    return instance;
}

void OrvoSimRuntime::OrvoSimInitializeSystemInstance(uint32_t instance) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (!record || !record->solver) return;
    OdeSolver& solver = *record->solver;

    if (int32_t* index = GetSettingAs<int32_t>(*record, SettingZzinstidx)) {
        *index = static_cast<int32_t>(instance);
    }
    double* indVar = IndependentVariable(*record);
    if (const double* start = GetSettingAs<double>(*record, SettingZzticg); indVar && start) {
        *indVar = *start;
    }
    SetSettingByte(*record, SettingZzstopflag, 0);
    SetSettingByte(*record, SettingZzicon, 0);
    SetSettingByte(*record, SettingZzstepstop, 0);
    record->commIntervalCounter = 0;

    auto block = [](void** slots, bool present) {
        return present && slots ? static_cast<double*>(*slots) : nullptr;
    };
    const bool ordinary = info_.numStates > 0;
    const bool algebraic = info_.numAlgebraicStates > 0;
    const bool delay = info_.numDelayStates > 0;

    int32_t* algorithm = GetSettingAs<int32_t>(*record, SettingIalg);
    if (!OdeSolver::IsSupportedAlgorithm(ReadOr<int32_t>(algorithm, AlgorithmNone))) {
        OrvoSimWriteMessage(instance, "WARNING: Invalid integration algorithm was specified.");
        OrvoSimWriteMessage(instance, "The default algorithm (RK4) is being used instead.");
        if (algorithm) *algorithm = AlgorithmRungeKutta4;
    }
    const auto code = static_cast<IntegrationAlgorithm>(
        ReadOr<int32_t>(algorithm, AlgorithmRungeKutta4));

    solver.SetAnalyticJacobian(AnalyticJacobianInUse() && info_.jacobian.evaluate ? &info_.jacobian : nullptr);
    solver.Initialize(code, indVar, ordinary ? record->numStateElements : 0,
                      block(record->states, ordinary), block(record->derivatives, ordinary),
                      block(record->initialConditions, ordinary),
                      algebraic ? record->numAlgebraicElements : 0,
                      block(record->algebraicStates, algebraic),
                      block(record->algebraicDerivatives, algebraic),
                      block(record->algebraicInitialConditions, algebraic),
                      delay ? record->numDelayElements : 0, block(record->delayStates, delay),
                      block(record->delayDerivatives, delay),
                      block(record->delayInitialConditions, delay), info_.sectionFunction);

    const double cint = ReadOr<double>(GetSettingAs<double>(*record, SettingCint), 0.1);
    const int32_t nstp = ReadOr<int32_t>(GetSettingAs<int32_t>(*record, SettingNstp), 10);
    solver.SetCommInterval(cint);
    solver.SetStepsPerCint(nstp);
    solver.SetMaxStepSize(ReadOr<double>(GetSettingAs<double>(*record, SettingMaxt), 1e9));
    solver.SetMinStepSize(ReadOr<double>(GetSettingAs<double>(*record, SettingMint), 1e-9));
    // The next variable step starts from the nominal step; a non-positive
    // nstp leaves the solver's step alone rather than dividing by it.
    if (nstp > 0) {
        const double nominal = cint / static_cast<double>(nstp);
        solver.SetStepSize(nominal);
        solver.SetNominalStepSize(nominal);
    }

    if (record->numDelayElements > 0) {
        if (int32_t* keys = solver.GetDelayKeys()) {
            const uint32_t first = 2 + info_.numStates + info_.numAlgebraicStates;
            const uint32_t capacity = solver.GetNumDelayStates();
            uint32_t element = 0;
            for (uint32_t v = first; v < first + info_.numDelayStates; ++v) {
                const OrvoSimVariableDescriptor* descriptor = GetDescriptor(v);
                if (!descriptor) break;
                const uint32_t size = GetFlattenedArraySize(descriptor->registeredDims);
                for (uint32_t k = 0; k < size && element < capacity; ++k) {
                    keys[element++] = static_cast<int32_t>(descriptor->discreteSection);
                }
            }
        }
    }

    IntegratorSettings::Bindings& bind = solver.settings.bind;
    bind.commInterval = GetSettingAs<double>(*record, SettingCint);
    bind.algorithm = GetSettingAs<int32_t>(*record, SettingIalg);
    bind.stepsPerCint = GetSettingAs<int32_t>(*record, SettingNstp);
    bind.maxStepSize = GetSettingAs<double>(*record, SettingMaxt);
    bind.minStepSize = GetSettingAs<double>(*record, SettingMint);
    bind.minStepSizeViolation = GetSettingAs<uint8_t>(*record, SettingZzierr);
    bind.stopFlag = GetSettingAs<uint8_t>(*record, SettingZzstopflag);
    bind.numCommIntsPerOutput = GetSettingAs<int32_t>(*record, SettingNciout);
    bind.currIntegrationOrder = GetSettingAs<int32_t>(*record, SettingCioitg);
    bind.computeJacobValidity = GetSettingAs<uint8_t>(*record, SettingCjvitg);
    bind.currActualStepSize = GetSettingAs<double>(*record, SettingCssitg);
    bind.doublePrecStates = GetSettingAs<uint8_t>(*record, SettingDpsitg);
    bind.errsBasedOnCurrState = GetSettingAs<uint8_t>(*record, SettingEcsitg);
    bind.forceExtraDerivEval = GetSettingAs<uint8_t>(*record, SettingFdeitg);
    bind.maxIntegOrder = GetSettingAs<int32_t>(*record, SettingMxoitg);
    bind.noExtraEvals = GetSettingAs<uint8_t>(*record, SettingNxeitg);
    bind.jacobNonlinThresh = GetSettingAs<double>(*record, SettingTjnitg);
    bind.twoSidedMatrixEval = GetSettingAs<uint8_t>(*record, SettingTsmitg);
    bind.writeEventDescription = GetSettingAs<uint8_t>(*record, SettingWeditg);
    bind.writeErrorSummary = GetSettingAs<uint8_t>(*record, SettingWesitg);
    bind.writeNormalData = GetSettingAs<uint8_t>(*record, SettingWnditg);
    bind.writeExtraData = GetSettingAs<uint8_t>(*record, SettingWxditg);
    bind.numDebugDumps = GetSettingAs<int32_t>(*record, SettingNdbug);
    bind.indVarInitVal = GetSettingAs<double>(*record, SettingZzticg);
    bind.commIntOnEvent = GetSettingAs<uint8_t>(*record, SettingCieitg);
    bind.jacUpperBandwidth = GetSettingAs<int32_t>(*record, SettingUbwitg);
    bind.jacLowerBandwidth = GetSettingAs<int32_t>(*record, SettingLbwitg);
    bind.odepackMethodFlag = GetSettingAs<int32_t>(*record, SettingOmfitg);

    if (Integrator* integrator = solver.GetIntegrator()) {
        integrator->settings.Copy(&solver.settings);
        ForEachToleranceElement([&](uint32_t element, uint32_t,
                                    const OrvoSimVariableDescriptor& d) {
            if (element >= integrator->numStates || !integrator->maxAbsErrors ||
                !integrator->maxRelErrors) {
                return;
            }
            integrator->SetMaxAbsoluteError(element, d.absoluteTolerance);
            integrator->SetMaxRelativeError(element, d.relativeTolerance);
        });
    }
}

void OrvoSimRuntime::OrvoSimDestroySystemInstance(uint32_t instance) {
    if (!GetSystemInstance(instance)) return;
    if (info_.sectionFunction) info_.sectionFunction(instance, kDestroySection);
    // The section may itself have destroyed the instance.
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (!record) return;
    if (record->solver) {
        record->solver->Finalize();
        record->solver.reset();
    }
    // All six lists go with the record, the discrete-event and watch nodes
    // (with their reference values) included.
    instances_[instance].reset();
}

void OrvoSimRuntime::OrvoSimReset(uint32_t instance) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (!record) return;
    SetSettingByte(*record, SettingZzstopflag, 0);
    SetSettingByte(*record, SettingZzicon, 0);
    SetSettingByte(*record, SettingZzstepstop, 1);
    // A step or pre-step that ended in an error never reached the point that
    // takes its request back: a new run must not stop where it would have.
    record->singleStepFlag = 0;
    record->preStepFlag = 0;
    if (record->solver) record->solver->ClearEventQueues();
}

template <typename Apply>
void OrvoSimRuntime::ForEachToleranceElement(Apply apply) const {
    const uint32_t last = 1 + info_.numStates + info_.numAlgebraicStates;
    uint32_t element = 0;
    for (uint32_t v = 2; v <= last; ++v) {
        const OrvoSimVariableDescriptor* descriptor = GetDescriptor(v);
        if (!descriptor) return;
        const uint32_t size = GetFlattenedArraySize(descriptor->registeredDims);
        for (uint32_t k = 0; k < size; ++k) apply(element++, v, *descriptor);
    }
}

// ---- host-side lifecycle ----------------------------------------------------------

void OrvoSimRuntime::OrvoSimCalcDeriv(uint32_t instance, uint32_t sectionCode) {
    if (!info_.sectionFunction || !GetSystemInstance(instance)) return;
    if (sectionCode < kDefaultDerivativeSection || sectionCode > kLastDerivativeSection) {
        sectionCode = kDefaultDerivativeSection;
    }
    info_.sectionFunction(instance, sectionCode);
}

void OrvoSimRuntime::OrvoSimStop(uint32_t instance) {
    if (OrvoSimSystemInstance* record = GetSystemInstance(instance)) {
        // Counted before the flag is set: a Jacobian that sets the flag back
        // after its perturbed evaluations then sees the request.
        if (record->solver) record->solver->settings.CountHostStop();
        SetSettingByte(*record, SettingZzstopflag, 1);
    }
}

void OrvoSimRuntime::OrvoSimReinitialize(uint32_t instance) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (!record) return;
    double* start = GetSettingAs<double>(*record, SettingZzticg);
    const double* indVar = IndependentVariable(*record);
    if (start && indVar) *start = *indVar;
    if (record->solver) record->solver->CopyStatesToInitConds();
}

void OrvoSimRuntime::OrvoSimSetDataBlock(uint32_t instance, int32_t operation, int32_t count,
                                         double** data) {
    OdeSolver* solver = GetSolver(instance);
    if (!solver) return;
    if (operation == 0) {
        solver->ClearSyncPoints();
    } else if (data && *data && count > 0) {
        solver->AddSyncPoints(count, *data);
    }
}

void OrvoSimRuntime::SetErrorTolerance(uint32_t instance, uint32_t variable, double value,
                                       bool relative) {
    OdeSolver* solver = GetSolver(instance);
    if (!solver) return;
    if (OrvoSimVariableDescriptor* descriptor = GetDescriptor(variable)) {
        (relative ? descriptor->relativeTolerance : descriptor->absoluteTolerance) = value;
    }
    Integrator* integrator = solver->GetIntegrator();
    if (!integrator || !integrator->maxAbsErrors || !integrator->maxRelErrors) return;
    solver->RequestRestart();  // the solver packages take tolerances at a start
    ForEachToleranceElement([&](uint32_t element, uint32_t v, const OrvoSimVariableDescriptor&) {
        if (v != variable || element >= integrator->numStates) return;
        if (relative) {
            integrator->SetMaxRelativeError(element, value);
        } else {
            integrator->SetMaxAbsoluteError(element, value);
        }
    });
}

void OrvoSimRuntime::OrvoSimSetRelativeErrorTol(uint32_t instance, uint32_t variable,
                                                double value) {
    SetErrorTolerance(instance, variable, value, true);
}

void OrvoSimRuntime::OrvoSimSetAbsoluteErrorTol(uint32_t instance, uint32_t variable,
                                                double value) {
    SetErrorTolerance(instance, variable, value, false);
}

double OrvoSimRuntime::OrvoSimGetRelativeErrorTol(uint32_t variable) const {
    const OrvoSimVariableDescriptor* descriptor = GetDescriptor(variable);
    return descriptor ? descriptor->relativeTolerance : -1.0;
}

double OrvoSimRuntime::OrvoSimGetAbsoluteErrorTol(uint32_t variable) const {
    const OrvoSimVariableDescriptor* descriptor = GetDescriptor(variable);
    return descriptor ? descriptor->absoluteTolerance : -1.0;
}
