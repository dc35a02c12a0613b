#pragma once

#include <cxxabi.h>

// Thread cancellation (pthread_cancel, pthread_exit) unwinds the thread with
// abi::__forced_unwind, which every catch-all must rethrow or the process
// aborts. Its exception object is not a C++ object, so the handler's binding
// trips UBSan's null-reference check; functions holding such a handler are
// exempt from that one check.
#define ORVO_LETS_FORCED_UNWIND_PASS __attribute__((no_sanitize("null")))
