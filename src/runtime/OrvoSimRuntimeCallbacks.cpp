// Callback lists and their invokers: the single path of every message,
// tick, event and execution-state change to the host.
#include "runtime/OrvoSimRuntime.h"
#include "common/FormatText.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

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

OrvoSimSystemInstance* OrvoSimRuntime::CallbackTarget(uint32_t instance) const {
    return callbacksSilenced_ ? nullptr : GetSystemInstance(instance);
}

void OrvoSimRuntime::OrvoSimWriteMessage(uint32_t instance, const char* text) {
    OrvoSimSystemInstance* record = CallbackTarget(instance);
    if (!record || !text) return;
    record->statusCallbacks.ForEach(
        [&](const StatusCallbackEntry& e) { e.function(instance, e.userData, text); });
}

void OrvoSimRuntime::OrvoSimWriteFormattedMessage(uint32_t instance, const char* format, ...) {
    std::string text;
    va_list args;
    va_start(args, format);
    AppendFormattedV(text, format, args);
    va_end(args);
    if (format) OrvoSimWriteMessage(instance, text.c_str());
}

void OrvoSimRuntime::OrvoSimReportStatus(uint32_t instance, const char* text) {
    OrvoSimWriteMessage(instance, text);
}

void OrvoSimRuntime::OrvoSimReportError(uint32_t instance, uint32_t code, const char* text) {
    OrvoSimSystemInstance* record = CallbackTarget(instance);
    if (!record || !text) return;
    record->errorCallbacks.ForEach(
        [&](const ErrorCallbackEntry& e) { e.function(instance, e.userData, code, text); });
}

void OrvoSimRuntime::OrvoSimInvokeTick(uint32_t instance, OrvoTickType tick) {
    OrvoSimSystemInstance* record = CallbackTarget(instance);
    if (!record) return;
    record->tickCallbacks.ForEach(
        [&](const TickCallbackEntry& e) { e.function(instance, e.userData, tick); });
}

void OrvoSimRuntime::OrvoSimInvokeDiscreteEventOccurred(uint32_t instance, uint32_t sectionCode) {
    OrvoSimSystemInstance* record = CallbackTarget(instance);
    if (!record) return;
    record->discreteEventCallbacks.ForEach([&](const DiscreteEventCallbackEntry& e) {
        if (e.sectionCode == sectionCode) e.function(instance, e.userData, sectionCode);
    });
}

void OrvoSimRuntime::CheckSymbolWatches(uint32_t instance, OrvoSimSystemInstance& record) {
    if (callbacksSilenced_) return;
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
    if (OrvoSimSystemInstance* record = CallbackTarget(instance)) {
        CheckSymbolWatches(instance, *record);
    }
}

void OrvoSimRuntime::OrvoSimSetExecutionState(uint32_t instance, OrvoExecutionState state) {
    OrvoSimSystemInstance* record = CallbackTarget(instance);
    if (!record) return;
    const OrvoExecutionState old = record->executionState;
    record->executionState = state;
    record->executionStateCallbacks.ForEach([&](const ExecutionStateCallbackEntry& e) {
        e.function(instance, e.userData, old, state);
    });
}
