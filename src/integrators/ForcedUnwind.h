#pragma once

#include <cxxabi.h>

// A thread cancelled inside the model unwinds with abi::__forced_unwind, which
// every catch-all must let pass (`catch (const abi::__forced_unwind&) { throw; }`).
// That exception carries no object, so the handler's reference is bound to
// null, which the undefined-behaviour sanitizer's null check reports: the
// functions holding such a handler opt out of that one check.
#define ORVO_LETS_FORCED_UNWIND_PASS __attribute__((no_sanitize("null")))
