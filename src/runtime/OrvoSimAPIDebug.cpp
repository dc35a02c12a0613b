// Host exports of the debugger; each forwards to the execution manager. Only
// OrvoDebugStart reads its instance argument.
#include "orvo/orvo.h"
#include "runtime/OrvoSimRuntime.h"

namespace {
OrvoSimExecutionManager& Manager() {
    return OrvoSimRuntime::GetInstance()->GetExecutionManager();
}
}  // namespace

extern "C" {

ORVO_API void OrvoDebugStart(uint32_t instance) { Manager().DebugStartInstance(instance); }
ORVO_API void OrvoDebugStep(uint32_t) { Manager().DebugStep(); }
ORVO_API void OrvoDebugStop(uint32_t) { Manager().DebugStop(); }
ORVO_API void OrvoDebugBreak(uint32_t) { Manager().DebugBreak(); }
ORVO_API void OrvoDebugContinue(uint32_t) { Manager().DebugContinue(); }
ORVO_API void OrvoDebugSuspend(uint32_t) { Manager().DebugSuspend(); }
ORVO_API void OrvoDebugResume(uint32_t) { Manager().DebugResume(); }

ORVO_API void OrvoDebugAddBreakpoint(uint32_t, uint32_t line, const char* fileName,
                                     const char* blockName) {
    Manager().DebugAddBreakpoint(line, fileName, blockName);
}

ORVO_API void OrvoDebugRemoveBreakpoint(uint32_t, uint32_t line, const char* fileName,
                                        const char* blockName) {
    Manager().DebugRemoveBreakpoint(line, fileName, blockName);
}

ORVO_API void OrvoDebugClearAllBreakpoints(uint32_t) { Manager().DebugClearAllBreakpoints(); }

}  // extern "C"
