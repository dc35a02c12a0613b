#include "runtime/OrvoSimRuntime.h"
#include "solver/SharedFlag.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr double kDefaultTolerance = 0.0001;
constexpr uint32_t kDestroySection = 1;
constexpr uint32_t kCommunicationPointSection = 2;
constexpr uint32_t kDefaultDerivativeSection = 500;
constexpr uint32_t kLastDerivativeSection = 999;

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
    // A background run still going must end before its instances are freed.
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
                const uint32_t size = GetFlattenedArraySize(descriptor->dims);
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
    if (record->solver) record->solver->ClearEventQueues();
}

// ---- variable table ------------------------------------------------------------

OrvoSimVariableDescriptor* OrvoSimRuntime::GetDescriptor(uint32_t variable) {
    if (variable == 0 || variable > info_.numVariables || variable >= descriptors_.size()) {
        return nullptr;
    }
    return &descriptors_[variable];
}

const OrvoSimVariableDescriptor* OrvoSimRuntime::GetDescriptor(uint32_t variable) const {
    return const_cast<OrvoSimRuntime*>(this)->GetDescriptor(variable);
}

double* OrvoSimRuntime::IndependentVariable(const OrvoSimSystemInstance& record) {
    return record.independentVariable ? static_cast<double*>(*record.independentVariable)
                                      : nullptr;
}

uint32_t OrvoSimRuntime::GetSettingsVariable(uint32_t slot) const {
    return 3 * GetNumAllStates() + 2 + info_.numOtherVariables + slot;
}

void* OrvoSimRuntime::GetSetting(const OrvoSimSystemInstance& record, uint32_t slot) const {
    const uint32_t variable = GetSettingsVariable(slot);
    return variable < record.variables.size() ? record.variables[variable] : nullptr;
}

void OrvoSimRuntime::SetSettingByte(const OrvoSimSystemInstance& record, uint32_t slot,
                                    uint8_t value) const {
    if (uint8_t* flag = GetSettingAs<uint8_t>(record, slot)) StoreSharedFlag(flag, value);
}

uint32_t OrvoSimRuntime::GetFlattenedArraySize(const uint32_t* dims) {
    uint32_t size = 1;
    for (int k = 0; k < 6 && dims[k] != 0; ++k) size *= dims[k];
    return size;
}

uint32_t OrvoSimRuntime::GetFlattenedStateArraySize(uint32_t first, uint32_t count) const {
    uint32_t total = 0;
    for (uint32_t v = first; v < first + count; ++v) {
        if (const OrvoSimVariableDescriptor* descriptor = GetDescriptor(v)) {
            total += GetFlattenedArraySize(descriptor->dims);
        }
    }
    return total;
}

bool OrvoSimRuntime::IsScalarVariable(const OrvoSimVariableDescriptor* descriptor) {
    return descriptor && descriptor->dims[0] == 0 && descriptor->dims[1] <= 1;
}

template <typename Apply>
void OrvoSimRuntime::ForEachToleranceElement(Apply apply) const {
    const uint32_t last = 1 + info_.numStates + info_.numAlgebraicStates;
    uint32_t element = 0;
    for (uint32_t v = 2; v <= last; ++v) {
        const OrvoSimVariableDescriptor* descriptor = GetDescriptor(v);
        if (!descriptor) return;
        const uint32_t size = GetFlattenedArraySize(descriptor->dims);
        for (uint32_t k = 0; k < size; ++k) apply(element++, v, *descriptor);
    }
}

// ---- registration ---------------------------------------------------------------

void OrvoSimRuntime::SetSystemInfo(const OrvoSimSystemInfo& info) {
    info_ = info;
    descriptors_.clear();
    descriptors_.resize(static_cast<size_t>(info.numVariables) + 1);
}

void OrvoSimRuntime::ComputeStorageSize(OrvoSimVariableDescriptor& descriptor) const {
    const size_t count = GetFlattenedArraySize(descriptor.dims);
    if (descriptor.dataType == DataTypeString) {
        descriptor.storageSize = descriptor.stringLength > 0
                                     ? count * descriptor.stringLength
                                     : OrvoSimVariableDescriptor::kUnknownSize;
    } else {
        descriptor.storageSize = count * DataTypeElementSize(descriptor.dataType);
    }
}

void OrvoSimRuntime::SetVariableDescriptor(uint32_t variable, const char* name, uint32_t dataType,
                                           uint32_t symbolType, const uint32_t dims[6],
                                           double relativeTolerance, double absoluteTolerance) {
    // Record 0 is accepted (and never read).
    if (variable > info_.numVariables || variable >= descriptors_.size()) return;
    OrvoSimVariableDescriptor& descriptor = descriptors_[variable];
    descriptor.name = name ? name : "";
    descriptor.dataType = dataType;
    descriptor.symbolType = symbolType;
    std::copy(dims, dims + 6, descriptor.dims);
    // Zero, negative and NaN tolerances mean the default.
    descriptor.relativeTolerance = relativeTolerance > 0 ? relativeTolerance : kDefaultTolerance;
    descriptor.absoluteTolerance = absoluteTolerance > 0 ? absoluteTolerance : kDefaultTolerance;
    ComputeStorageSize(descriptor);
}

void OrvoSimRuntime::SetVariableExtendedInfo(uint32_t variable, const uint32_t flags[11],
                                             uint32_t discreteSection, uint32_t stringLength) {
    if (variable > info_.numVariables || variable >= descriptors_.size()) return;
    OrvoSimVariableDescriptor& descriptor = descriptors_[variable];
    for (int k = 0; k < 11; ++k) descriptor.flags[k] = static_cast<uint8_t>(flags[k] & 0xFF);
    descriptor.discreteSection = discreteSection;
    descriptor.stringLength = stringLength;
    descriptor.derivativeVariable = variable + GetNumAllStates();
    descriptor.initialConditionVariable = variable + 2 * GetNumAllStates();
    ComputeStorageSize(descriptor);
}

void OrvoSimRuntime::SetVariablePointer(uint32_t instance, uint32_t variable, void* address) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (!record || variable > info_.numVariables || variable >= record->variables.size()) return;
    record->variables[variable] = address;
}

void* OrvoSimRuntime::GetUserDataBlock(uint32_t instance) const {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    return record ? record->userData.get() : nullptr;
}

bool OrvoSimRuntime::ScheduleEvent(uint32_t instance, uint32_t eventId, uint32_t sectionCode,
                                   uint32_t scheduleType, double time, bool* flag) {
    static constexpr OdeEventType kEventTypes[] = {TimeEvent, StateEvent, RisingStateEvent,
                                                   FallingStateEvent};
    OdeSolver* solver = GetSolver(instance);
    if (!solver || scheduleType > OrvoScheduleFallingStateEvent) return false;
    solver->AddEvent(eventId, kEventTypes[scheduleType], time, instance, sectionCode, flag);
    return false;
}

void OrvoSimRuntime::SetIntervalEvent(uint32_t instance, uint32_t eventId, uint32_t sectionCode,
                                      double* interval) {
    OdeSolver* solver = GetSolver(instance);
    if (!solver || !interval) return;
    solver->AddIntervalEvent(eventId, instance, sectionCode, interval);
}

// ---- host-side lifecycle ----------------------------------------------------------

void OrvoSimRuntime::OrvoSimCalcDeriv(uint32_t instance, uint32_t sectionCode) {
    if (!info_.sectionFunction) return;
    if (sectionCode < kDefaultDerivativeSection || sectionCode > kLastDerivativeSection) {
        sectionCode = kDefaultDerivativeSection;
    }
    info_.sectionFunction(instance, sectionCode);
}

void OrvoSimRuntime::OrvoSimStop(uint32_t instance) {
    if (OrvoSimSystemInstance* record = GetSystemInstance(instance)) {
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

// ---- callbacks ---------------------------------------------------------------------

void OrvoSimRuntime::OrvoSimAddStatusCallback(uint32_t instance, uint32_t userData,
                                              OrvoStatusCallback fn) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (record && fn) record->statusCallbacks.Append({fn, userData});
}

void OrvoSimRuntime::OrvoSimRemoveStatusCallback(uint32_t instance, uint32_t userData) {
    if (OrvoSimSystemInstance* record = GetSystemInstance(instance)) {
        record->statusCallbacks.RemoveFirst([&](auto& e) { return e.userData == userData; });
    }
}

void OrvoSimRuntime::OrvoSimAddErrorCallback(uint32_t instance, uint32_t userData,
                                             OrvoErrorCallback fn) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (record && fn) record->errorCallbacks.Append({fn, userData});
}

void OrvoSimRuntime::OrvoSimRemoveErrorCallback(uint32_t instance, uint32_t userData) {
    if (OrvoSimSystemInstance* record = GetSystemInstance(instance)) {
        record->errorCallbacks.RemoveFirst([&](auto& e) { return e.userData == userData; });
    }
}

void OrvoSimRuntime::OrvoSimAddTickCallbackFunction(uint32_t instance, uint32_t userData,
                                                    OrvoTickCallback fn) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (record && fn) record->tickCallbacks.Append({fn, userData});
}

void OrvoSimRuntime::OrvoSimRemoveTickCallbackFunction(uint32_t instance, uint32_t userData) {
    if (OrvoSimSystemInstance* record = GetSystemInstance(instance)) {
        record->tickCallbacks.RemoveFirst([&](auto& e) { return e.userData == userData; });
    }
}

void OrvoSimRuntime::OrvoSimAddDiscreteEventCallback(uint32_t instance, uint32_t userData,
                                                     uint32_t sectionCode,
                                                     OrvoDiscreteEventCallback fn) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (record && fn) record->discreteEventCallbacks.Append({fn, userData, sectionCode});
}

void OrvoSimRuntime::OrvoSimRemoveDiscreteEventCallback(uint32_t instance, uint32_t userData,
                                                        uint32_t sectionCode) {
    if (OrvoSimSystemInstance* record = GetSystemInstance(instance)) {
        record->discreteEventCallbacks.RemoveFirst([&](auto& e) {
            return e.userData == userData && e.sectionCode == sectionCode;
        });
    }
}

void OrvoSimRuntime::OrvoSimAddSymbolWatchCallback(uint32_t instance, uint32_t userData,
                                                   uint32_t variable,
                                                   OrvoSymbolWatchCallback fn) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    const auto signedVariable = static_cast<int32_t>(variable);
    if (!record || !fn || signedVariable < 1 ||
        static_cast<uint32_t>(signedVariable) > info_.numVariables) {
        return;
    }
    auto reference = std::make_unique<OrvoSymbolValue>();
    std::memset(reference.get(), 0, sizeof(OrvoSymbolValue));
    uint32_t dataType = 0;
    uint32_t dims[6] = {};
    if (!symbols_.GetSymbolValue(instance, variable, &dataType, reference.get(), dims)) return;
    record->symbolWatchCallbacks.Append({fn, userData, variable, std::move(reference)});
}

void OrvoSimRuntime::OrvoSimRemoveSymbolWatchCallback(uint32_t instance, uint32_t userData,
                                                      uint32_t variable) {
    if (OrvoSimSystemInstance* record = GetSystemInstance(instance)) {
        record->symbolWatchCallbacks.RemoveFirst(
            [&](auto& e) { return e.userData == userData && e.variable == variable; });
    }
}

void OrvoSimRuntime::OrvoSimAddExecStateChangeCallback(uint32_t instance, uint32_t userData,
                                                       OrvoExecutionStateCallback fn) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (record && fn) record->executionStateCallbacks.Append({fn, userData});
}

void OrvoSimRuntime::OrvoSimRemoveExecStateChangeCallback(uint32_t instance, uint32_t userData) {
    if (OrvoSimSystemInstance* record = GetSystemInstance(instance)) {
        record->executionStateCallbacks.RemoveFirst(
            [&](auto& e) { return e.userData == userData; });
    }
}

void OrvoSimRuntime::OrvoSimRemoveAllCallbacks(uint32_t instance) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (!record) return;
    record->statusCallbacks.Clear();
    record->errorCallbacks.Clear();
    record->tickCallbacks.Clear();
    record->executionStateCallbacks.Clear();
}

// ---- invokers ------------------------------------------------------------------------

void OrvoSimRuntime::OrvoSimWriteMessage(uint32_t instance, const char* text) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (!record || !text) return;
    record->statusCallbacks.ForEach(
        [&](const StatusCallbackEntry& e) { e.function(instance, e.userData, text); });
}

void OrvoSimRuntime::OrvoSimWriteFormattedMessage(uint32_t instance, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length >= 0) {
        std::string text(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(length));
        OrvoSimWriteMessage(instance, text.c_str());
    }
    va_end(args);
}

void OrvoSimRuntime::OrvoSimReportStatus(uint32_t instance, const char* text) {
    OrvoSimWriteMessage(instance, text);
}

void OrvoSimRuntime::OrvoSimReportError(uint32_t instance, uint32_t code, const char* text) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (!record || !text) return;
    record->errorCallbacks.ForEach(
        [&](const ErrorCallbackEntry& e) { e.function(instance, e.userData, code, text); });
}

void OrvoSimRuntime::OrvoSimInvokeTick(uint32_t instance, OrvoTickType tick) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (!record) return;
    record->tickCallbacks.ForEach(
        [&](const TickCallbackEntry& e) { e.function(instance, e.userData, tick); });
}

void OrvoSimRuntime::OrvoSimInvokeDiscreteEventOccurred(uint32_t instance, uint32_t sectionCode) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (!record) return;
    record->discreteEventCallbacks.ForEach([&](const DiscreteEventCallbackEntry& e) {
        if (e.sectionCode == sectionCode) e.function(instance, e.userData, sectionCode);
    });
}

void OrvoSimRuntime::CheckSymbolWatches(uint32_t instance, OrvoSimSystemInstance& record) {
    record.symbolWatchCallbacks.ForEach([&](const SymbolWatchCallbackEntry& e) {
        OrvoSymbolValue current;
        std::memset(&current, 0, sizeof current);
        uint32_t dataType = 0;
        uint32_t dims[6] = {};
        if (!symbols_.GetSymbolValue(instance, e.variable, &dataType, &current, dims)) return;
        if (std::memcmp(&current, e.reference.get(), sizeof current) != 0) {
            e.function(instance, e.userData, e.variable);
        }
    });
}

void OrvoSimRuntime::OrvoSimInvokeSymbolWatch(uint32_t instance) {
    if (OrvoSimSystemInstance* record = GetSystemInstance(instance)) {
        CheckSymbolWatches(instance, *record);
    }
}

void OrvoSimRuntime::OrvoSimSetExecutionState(uint32_t instance, OrvoExecutionState state) {
    OrvoSimSystemInstance* record = GetSystemInstance(instance);
    if (!record) return;
    const OrvoExecutionState old = record->executionState;
    record->executionState = state;
    record->executionStateCallbacks.ForEach([&](const ExecutionStateCallbackEntry& e) {
        e.function(instance, e.userData, old, state);
    });
}

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
