#include "runtime/OrvoSimRuntimeAPI.h"

#include "runtime/OrvoSimRuntime.h"
#include "runtime/NonFiniteStateCheck.h"

namespace {
OrvoSimRuntime& Runtime() { return *OrvoSimRuntime::GetInstance(); }
}  // namespace

extern "C" {

void OrvoSimSetSystemInfo(uint32_t numVariables, uint32_t numStates, uint32_t numAlgebraicStates,
                          uint32_t numDelayStates, uint32_t numOtherVariables,
                          uint32_t numDerivativeSections, uint32_t numDiscreteSections,
                          OrvoSimInitializationFunction initializationFunction,
                          OrvoSimSimulationFunction simulationFunction,
                          OrvoSimSectionFunction sectionFunction, uint32_t userDataSize) {
    OrvoSimSystemInfo info;
    info.numVariables = numVariables;
    info.numStates = numStates;
    info.numAlgebraicStates = numAlgebraicStates;
    info.numDelayStates = numDelayStates;
    info.numOtherVariables = numOtherVariables;
    info.numDerivativeSections = numDerivativeSections;
    info.numDiscreteSections = numDiscreteSections;
    info.initializationFunction = initializationFunction;
    info.simulationFunction = simulationFunction;
    info.sectionFunction = sectionFunction;
    info.userDataSize = userDataSize;
    Runtime().SetSystemInfo(info);
}

void OrvoSimSetJacobian(uint32_t numStates, uint32_t nonZeros, const int32_t* columnStarts,
                        const int32_t* rowIndices, void (*evaluate)(uint32_t instance, double* values)) {
    Runtime().SetJacobian({numStates, nonZeros, columnStarts, rowIndices, evaluate});
}

void OrvoSimSetVariableDescriptor(uint32_t variable, const char* name, uint32_t dataType,
                                  uint32_t symbolType, uint32_t dim1, uint32_t dim2,
                                  uint32_t dim3, uint32_t dim4, uint32_t dim5, uint32_t dim6,
                                  double relativeTolerance, double absoluteTolerance) {
    const uint32_t dims[6] = {dim1, dim2, dim3, dim4, dim5, dim6};
    Runtime().SetVariableDescriptor(variable, name, dataType, symbolType, dims,
                                    relativeTolerance, absoluteTolerance);
}

void OrvoSimSetVariableExtendedInfo(uint32_t variable, uint32_t flag1, uint32_t flag2,
                                    uint32_t flag3, uint32_t flag4, uint32_t flag5,
                                    uint32_t flag6, uint32_t flag7, uint32_t flag8,
                                    uint32_t flag9, uint32_t flag10, uint32_t flag11,
                                    uint32_t discreteSection, uint32_t stringLength) {
    const uint32_t flags[11] = {flag1, flag2, flag3, flag4,  flag5, flag6,
                                flag7, flag8, flag9, flag10, flag11};
    Runtime().SetVariableExtendedInfo(variable, flags, discreteSection, stringLength);
}

void OrvoSimSetVariablePointer(uint32_t instance, uint32_t variable, void* address) {
    Runtime().SetVariablePointer(instance, variable, address);
}

void* OrvoSimGetUserDataBlock(uint32_t instance) { return Runtime().GetUserDataBlock(instance); }

void OrvoSimIntegrate(uint32_t instance) {
    OrvoSimRuntime& runtime = Runtime();
    // Every pass of the model's run loop comes here, also the ones whose
    // interval returns early: an abandon is never missed.
    runtime.GetExecutionManager().ObserveAbandon();
    runtime.OrvoSimCommunicationInterval(instance);
    ThrowOnNonFiniteState(runtime, instance);
}

bool OrvoSimScheduleEvent(uint32_t instance, uint32_t eventId, uint32_t sectionCode,
                          uint32_t scheduleType, double time, bool* flag) {
    return Runtime().ScheduleEvent(instance, eventId, sectionCode, scheduleType, time, flag);
}

void OrvoSimSetIntervalEvent(uint32_t instance, uint32_t eventId, uint32_t sectionCode,
                             double* interval) {
    Runtime().SetIntervalEvent(instance, eventId, sectionCode, interval);
}

void OrvoSimDiscreteEventOccurred(uint32_t instance, uint32_t sectionCode) {
    Runtime().OrvoSimInvokeDiscreteEventOccurred(instance, sectionCode);
}

}  // extern "C"
