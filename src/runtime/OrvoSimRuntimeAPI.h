#pragma once

// The calls through which a generated model registers itself with the runtime
// and runs. Internal to the library: the host never sees them.

#include <cstdint>

extern "C" {

using OrvoSimInitializationFunction = int32_t (*)(uint32_t instance);
using OrvoSimSimulationFunction = void (*)(uint32_t instance);
using OrvoSimSectionFunction = void (*)(uint32_t instance, uint32_t sectionCode);

// The model's registration entry, provided by whichever model is linked in.
void OrvoSimMain();

void OrvoSimSetSystemInfo(uint32_t numVariables, uint32_t numStates, uint32_t numAlgebraicStates,
                          uint32_t numDelayStates, uint32_t numOtherVariables,
                          uint32_t numDerivativeSections, uint32_t numDiscreteSections,
                          OrvoSimInitializationFunction initializationFunction,
                          OrvoSimSimulationFunction simulationFunction,
                          OrvoSimSectionFunction sectionFunction, uint32_t userDataSize);

void OrvoSimSetVariableDescriptor(uint32_t variable, const char* name, uint32_t dataType,
                                  uint32_t symbolType, uint32_t dim1, uint32_t dim2,
                                  uint32_t dim3, uint32_t dim4, uint32_t dim5, uint32_t dim6,
                                  double relativeTolerance, double absoluteTolerance);

void OrvoSimSetVariableExtendedInfo(uint32_t variable, uint32_t flag1, uint32_t flag2,
                                    uint32_t flag3, uint32_t flag4, uint32_t flag5,
                                    uint32_t flag6, uint32_t flag7, uint32_t flag8,
                                    uint32_t flag9, uint32_t flag10, uint32_t flag11,
                                    uint32_t discreteSection, uint32_t stringLength);

// The model's analytic Jacobian (integrators/AnalyticJacobian.h), registered
// after the system information; a malformed pattern is ignored and the
// integrators keep their difference quotients.
void OrvoSimSetJacobian(uint32_t numStates, uint32_t nonZeros, const int32_t* columnStarts,
                        const int32_t* rowIndices, void (*evaluate)(uint32_t instance, double* values));

void OrvoSimSetVariablePointer(uint32_t instance, uint32_t variable, void* address);
void* OrvoSimGetUserDataBlock(uint32_t instance);
void OrvoSimIntegrate(uint32_t instance);
bool OrvoSimScheduleEvent(uint32_t instance, uint32_t eventId, uint32_t sectionCode,
                          uint32_t scheduleType, double time, bool* flag);
void OrvoSimSetIntervalEvent(uint32_t instance, uint32_t eventId, uint32_t sectionCode,
                             double* interval);
void OrvoSimDiscreteEventOccurred(uint32_t instance, uint32_t sectionCode);

}  // extern "C"
