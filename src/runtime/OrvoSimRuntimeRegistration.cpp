// Model registration: the system information, the variable descriptor table
// and the calls through which the model describes and schedules itself.
#include "runtime/OrvoSimRuntime.h"
#include "common/SharedFlag.h"

#include <algorithm>

namespace {

constexpr double kDefaultTolerance = 0.0001;

}  // namespace

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
            total += GetFlattenedArraySize(descriptor->registeredDims);
        }
    }
    return total;
}

bool OrvoSimRuntime::IsScalarVariable(const OrvoSimVariableDescriptor* descriptor) {
    return descriptor && descriptor->dims[0] == 0 && descriptor->dims[1] <= 1;
}

// ---- registration ---------------------------------------------------------------

void OrvoSimRuntime::SetSystemInfo(const OrvoSimSystemInfo& info) {
    symbols_.ForgetNames();
    info_ = info;
    descriptors_.clear();
    descriptors_.resize(static_cast<size_t>(info.numVariables) + 1);
}

namespace {
std::atomic<bool> useAnalyticJacobian{true};
}  // namespace

void OrvoSimRuntime::SetJacobian(const AnalyticJacobian& jacobian) { info_.jacobian = jacobian; }

void OrvoSimRuntime::UseAnalyticJacobian(bool use) { useAnalyticJacobian = use; }

bool OrvoSimRuntime::AnalyticJacobianInUse() { return useAnalyticJacobian; }

void OrvoSimRuntime::ComputeStorageSize(OrvoSimVariableDescriptor& descriptor) const {
    const size_t count = GetFlattenedArraySize(descriptor.registeredDims);
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
    symbols_.ForgetNames();
    descriptor.name = name ? name : "";
    descriptor.dataType = dataType;
    descriptor.symbolType = symbolType;
    std::copy(dims, dims + 6, descriptor.dims);
    std::copy(dims, dims + 6, descriptor.registeredDims);
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
