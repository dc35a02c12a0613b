// Host exports of the debugger. The execution manager implements the
// debugger; until it does, these do nothing.
#include "orvo/orvo.h"

extern "C" {

ORVO_API void OrvoDebugStart(uint32_t) {}
ORVO_API void OrvoDebugStep(uint32_t) {}
ORVO_API void OrvoDebugStop(uint32_t) {}
ORVO_API void OrvoDebugBreak(uint32_t) {}
ORVO_API void OrvoDebugContinue(uint32_t) {}
ORVO_API void OrvoDebugSuspend(uint32_t) {}
ORVO_API void OrvoDebugResume(uint32_t) {}
ORVO_API void OrvoDebugAddBreakpoint(uint32_t, uint32_t, const char*, const char*) {}
ORVO_API void OrvoDebugRemoveBreakpoint(uint32_t, uint32_t, const char*, const char*) {}
ORVO_API void OrvoDebugClearAllBreakpoints(uint32_t) {}

}  // extern "C"
