// Host exports: callback registration. Each forwards to the runtime; removal
// matches the user data (and section code or variable), not the function.
#include "orvo/orvo.h"
#include "runtime/OrvoSimRuntime.h"

namespace {
OrvoSimRuntime& Runtime() { return *OrvoSimRuntime::GetInstance(); }
}  // namespace

extern "C" {

ORVO_API void OrvoAddStatusCallback(uint32_t instance, uint32_t userData,
                                    OrvoStatusCallback function) {
    Runtime().OrvoSimAddStatusCallback(instance, userData, function);
}

ORVO_API void OrvoRemoveStatusCallback(uint32_t instance, uint32_t userData, OrvoStatusCallback) {
    Runtime().OrvoSimRemoveStatusCallback(instance, userData);
}

ORVO_API void OrvoAddErrorCallback(uint32_t instance, uint32_t userData,
                                   OrvoErrorCallback function) {
    Runtime().OrvoSimAddErrorCallback(instance, userData, function);
}

ORVO_API void OrvoRemoveErrorCallback(uint32_t instance, uint32_t userData, OrvoErrorCallback) {
    Runtime().OrvoSimRemoveErrorCallback(instance, userData);
}

ORVO_API void OrvoAddTickCallbackFunction(uint32_t instance, uint32_t userData,
                                          OrvoTickCallback function) {
    Runtime().OrvoSimAddTickCallbackFunction(instance, userData, function);
}

ORVO_API void OrvoRemoveTickCallbackFunction(uint32_t instance, uint32_t userData,
                                             OrvoTickCallback) {
    Runtime().OrvoSimRemoveTickCallbackFunction(instance, userData);
}

ORVO_API void OrvoAddDiscreteEventCallbackFunction(uint32_t instance, uint32_t userData,
                                                   uint32_t sectionCode,
                                                   OrvoDiscreteEventCallback function) {
    Runtime().OrvoSimAddDiscreteEventCallback(instance, userData, sectionCode, function);
}

ORVO_API void OrvoRemoveDiscreteEventCallbackFunction(uint32_t instance, uint32_t userData,
                                                      uint32_t sectionCode,
                                                      OrvoDiscreteEventCallback) {
    Runtime().OrvoSimRemoveDiscreteEventCallback(instance, userData, sectionCode);
}

ORVO_API void OrvoAddSymbolWatchCallback(uint32_t instance, uint32_t userData, uint32_t variable,
                                         OrvoSymbolWatchCallback function) {
    Runtime().OrvoSimAddSymbolWatchCallback(instance, userData, variable, function);
}

ORVO_API void OrvoRemoveSymbolWatchCallback(uint32_t instance, uint32_t userData,
                                            uint32_t variable, OrvoSymbolWatchCallback) {
    Runtime().OrvoSimRemoveSymbolWatchCallback(instance, userData, variable);
}

ORVO_API void OrvoAddExecutionStateChangeCallbackFunction(uint32_t instance, uint32_t userData,
                                                          OrvoExecutionStateCallback function) {
    Runtime().OrvoSimAddExecStateChangeCallback(instance, userData, function);
}

ORVO_API void OrvoRemoveExecutionStateChangeCallbackFunction(uint32_t instance,
                                                             uint32_t userData,
                                                             OrvoExecutionStateCallback) {
    Runtime().OrvoSimRemoveExecStateChangeCallback(instance, userData);
}

}  // extern "C"
