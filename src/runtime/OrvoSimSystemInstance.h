#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "orvo/orvo.h"
#include "runtime/CallbackList.h"
#include "solver/OdeSolver.h"

struct StatusCallbackEntry {
    OrvoStatusCallback function;
    uint32_t userData;
};

struct ErrorCallbackEntry {
    OrvoErrorCallback function;
    uint32_t userData;
};

struct TickCallbackEntry {
    OrvoTickCallback function;
    uint32_t userData;
};

struct DiscreteEventCallbackEntry {
    OrvoDiscreteEventCallback function;
    uint32_t userData;
    uint32_t sectionCode;
};

struct SymbolWatchCallbackEntry {
    OrvoSymbolWatchCallback function;
    uint32_t userData;
    uint32_t variable;
    std::unique_ptr<OrvoSymbolValue> reference;  // value at registration
};

struct ExecutionStateCallbackEntry {
    OrvoExecutionStateCallback function;
    uint32_t userData;
};

// One run context of the model: where every variable lives, the solver, the
// callback lists and the run flags. The values themselves belong to the model.
struct OrvoSimSystemInstance {
    // Slot v holds the address of variable v's storage; slot 0 is not used.
    std::vector<void*> variables;
    // Block starts inside `variables` (null when the block is empty).
    void** independentVariable = nullptr;
    void** states = nullptr;
    void** derivatives = nullptr;
    void** initialConditions = nullptr;
    void** algebraicStates = nullptr;
    void** algebraicDerivatives = nullptr;
    void** algebraicInitialConditions = nullptr;
    void** delayStates = nullptr;
    void** delayDerivatives = nullptr;
    void** delayInitialConditions = nullptr;
    void** otherVariables = nullptr;
    void** settings = nullptr;
    // Flattened element counts of the three state groups.
    uint32_t numStateElements = 0;
    uint32_t numAlgebraicElements = 0;
    uint32_t numDelayElements = 0;
    std::unique_ptr<OdeSolver> solver;
    OrvoExecutionState executionState = OrvoExecutionCreated;
    CallbackList<StatusCallbackEntry> statusCallbacks;
    CallbackList<ErrorCallbackEntry> errorCallbacks;
    CallbackList<TickCallbackEntry> tickCallbacks;
    CallbackList<DiscreteEventCallbackEntry> discreteEventCallbacks;
    CallbackList<SymbolWatchCallbackEntry> symbolWatchCallbacks;
    CallbackList<ExecutionStateCallbackEntry> executionStateCallbacks;
    // Output points since the last initialization.
    uint32_t commIntervalCounter = 0;
    // Stop before the first interval (set by a pre-step start).
    uint8_t preStepFlag = 0;
    // Stop after the next interval (set by single-step starts).
    uint8_t singleStepFlag = 0;
    std::unique_ptr<uint8_t[]> userData;
};
