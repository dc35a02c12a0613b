#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "execution/BreakpointList.h"
#include "execution/LockObject.h"
#include "execution/RunControlClaim.h"
#include "execution/Runnable.h"
#include "execution/Thread.h"
#include "orvo/orvo.h"

class OrvoSimRuntime;

// Decides on which thread a simulation runs, brackets every run with its
// execution-state changes and holds the debugger's state. One manager lives
// in the runtime; it drives the most recently created instance.
//
// Runs on a thread never overlap. A new start first ends a background run
// that is still going: the run thread is asked to abandon (Thread::Terminate),
// notices it at its next debug tick (every communication interval and every
// zzdebugtick), unwinds with "debug stopped" and reports its end state (5, or
// 7 for a debug run) before Terminate returns; only then does the new run
// begin. So every callback of the old run precedes the new run's first state
// change. A start from inside a run (a callback on the run's own thread) is
// refused, since the run could not be waited for.
//
// Starts and the calls that change the instance table (destroy, finalize,
// initialize) claim run control (RunControlClaim) for their whole duration,
// a blocking run included. A claim is refused, with a status message, from
// inside a run or its callbacks and while another host thread holds one: all
// instances share the model's storage, so one run at a time.
//
// The debug state is written by the host and read by the run thread, hence
// atomic. The breakpoint list is shared the same way and guarded by the
// manager's own lock. No lock is held while a host callback runs: the pause
// (8) and continue (9) reports both come from the run thread.
class OrvoSimExecutionManager : public Runnable, public LockObject {
public:
    OrvoSimExecutionManager();
    ~OrvoSimExecutionManager() override;
    OrvoSimExecutionManager(const OrvoSimExecutionManager&) = delete;
    OrvoSimExecutionManager& operator=(const OrvoSimExecutionManager&) = delete;

    void SetRuntime(OrvoSimRuntime* runtime) { this->runtime = runtime; }
    OrvoSimRuntime* GetRuntime() const { return runtime; }
    // The instance that the start operations run.
    void SetInstance(uint32_t instance) { this->instance = instance; }
    uint32_t GetInstance() const { return instance; }

    // ---- runs -------------------------------------------------------------
    // Non-blocking run on a new thread.
    void Start();
    // Run on the caller's thread; returns when it has ended.
    void StartBlocking();
    // The body of a run: the model's simulation function inside the guard.
    void Run() override;
    // Stopping is cooperative through zzstopflag; nothing to do here.
    void Stop() {}
    // Reports the end of a run: 7 (debug state back to 0) when debugging, else 5.
    void Finalize();
    // Ends a background run still going, and waits for it. Nothing when
    // called from the run thread itself.
    void EndBackgroundRun();
    // Ends the background run when it executes the given instance.
    void EndBackgroundRunOf(uint32_t instance);
    // Claims run control for the host call `call` (an export name); a refusal
    // is reported to messageInstance's status callbacks.
    RunControlClaim ClaimRunControl(uint32_t messageInstance, const char* call);
    // As ClaimRunControl, and refused while a background run is in progress:
    // a new instance rebinds the model's storage and becomes the one run,
    // which would leave that run unable to stop.
    RunControlClaim ClaimInstanceCreation(const char* call);
    // On the run thread: unwinds the run ("debug stopped") once an abandon
    // has been requested. Called by every pass of the model's run loop.
    void ObserveAbandon() const;

    // ---- host run control (the start exports) -------------------------------
    // Each does nothing for a free instance or when called from inside a run.
    void StartInstance(uint32_t instance, bool blocking);
    void ContinueInstance(uint32_t instance, bool blocking);
    void PreStepInstance(uint32_t instance);
    void StepInstance(uint32_t instance);
    void RunInstanceToTime(uint32_t instance, double target);
    void StepInstanceBy(uint32_t instance, double increment);
    void DebugStartInstance(uint32_t instance);

    // ---- debugger -----------------------------------------------------------
    OrvoDebugState GetDebugState() const { return debugState.load(); }
    void SetDebugState(OrvoDebugState state) { debugState.store(state); }
    void DebugStart();
    // Called once per communication interval and by zzdebugtick.
    void DebugTick();
    void DebugBreak();
    void DebugStep();
    void DebugContinue();
    void DebugStop();
    // A pause request honoured at the run's next debug tick, and its release.
    void DebugSuspend();
    void DebugResume();
    void DebugAddBreakpoint(uint32_t line, const char* fileName, const char* blockName);
    void DebugRemoveBreakpoint(uint32_t line, const char* fileName, const char* blockName);
    void DebugClearAllBreakpoints();
    std::size_t GetBreakpointCount();

private:
    // Run control for a start of an existing instance; refused otherwise.
    RunControlClaim MayStart(uint32_t hostInstance);
    // Whether the instance has run before, so that there is a run to continue.
    bool MayContinue(uint32_t hostInstance);
    // The start operations once run control is held.
    void Continue(uint32_t hostInstance, bool blocking);
    void RunToTime(uint32_t hostInstance, double target);
    void WriteRefusal(uint32_t which, RunControlClaim::Refusal refusal, const char* call);
    bool OnRunThread() const;
    bool InsideRun() const;
    // The instance a tick belongs to: the run's, or outside any run the
    // manager's own.
    uint32_t TickInstance() const;
    // Begins a prepared run on a new thread (after state 1 or 6).
    void LaunchThread(OrvoExecutionState firstState);
    void PrepareRun(bool debugRun);
    void BeginDebugRun(bool debugRunWasActive);
    void LookUpDebugVariables();
    bool HasDebugVariables() const;
    // True when this tick saw a floating-point exception not reported before.
    bool CheckFloatingPoint();
    void Pause();
    // Releases a debugger pause (state 3 -> 1); the run thread reports 9.
    bool ContinueFromPause();
    void SetExecutionState(uint32_t instance, OrvoExecutionState state);
    void WriteMessage(uint32_t instance, const char* text);

    OrvoSimRuntime* runtime = nullptr;
    std::unique_ptr<Thread> thread;
    BreakpointList breakpoints;
    uint32_t instance = 1;
    std::atomic<OrvoDebugState> debugState{OrvoDebugNotDebugging};
    uint32_t lineNumberVariable = 0;
    uint32_t fileNameVariable = 0;
    uint32_t blockNameVariable = 0;
    bool debugging = false;
    std::atomic<bool> floatingPointExceptionReported{false};
    // The instance of the current or last run, fixed when it starts.
    uint32_t runInstance = 1;
    // From a thread's launch until its run starts reporting its end.
    std::atomic<bool> runInProgress{false};
    // The last run ended in the error state (a run to a time stops there).
    std::atomic<bool> lastRunFailed{false};
    // Held by the host call that starts runs or changes the instance table.
    std::mutex runControl;
    // DebugSuspend calls from the host not yet matched by a DebugResume.
    std::atomic<int32_t> hostSuspends{0};
    // DebugSuspend calls from the run's own callbacks, blocked until resumed.
    std::atomic<int32_t> callbackSuspends{0};
    // A continue whose state 9 the resumed run thread still has to report.
    std::atomic<bool> continuePending{false};
};
