#pragma once

#include <cstdint>

#include "operators/OperatorContext.h"

// The operators' one seam to the runtime: the state of an instance's solver
// and integrator, and message delivery to the instance's status callbacks.
class OperatorRuntime {
public:
    OperatorRuntime() = delete;

    // False (context untouched) when the instance has no record, solver or
    // integrator.
    static bool GetContext(uint32_t instance, OperatorContext& context);
    static void WriteMessage(uint32_t instance, const char* text);
};
