#include "execution/OrvoSimExecutionManager.h"

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <string>

#include "execution/AutoLock.h"
#include "common/ForcedUnwind.h"
#include "execution/ThreadFactory.h"
#include "common/TextException.h"
#include "runtime/NonFiniteStateCheck.h"
#include "runtime/OrvoSimRuntime.h"
#include "common/ScopeExit.h"
#include "common/SharedFlag.h"

namespace {

constexpr const char* kDebugStopped = "debug stopped";
// Underflow is an ordinary outcome of decaying solutions, so like the
// integrator the tick only treats these as faults.
constexpr int kFloatingPointFaults = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;
constexpr std::size_t kMessageBufferSize = 512;
// Relative closeness below which a run-to-time target counts as reached.
constexpr double kTargetTolerance = 2e-15;

// The manager whose Run() is executing on this thread, if any.
thread_local const OrvoSimExecutionManager* activeRun = nullptr;

class ActiveRunScope {
public:
    explicit ActiveRunScope(const OrvoSimExecutionManager* manager) : previous_(activeRun) {
        activeRun = manager;
    }
    ~ActiveRunScope() { activeRun = previous_; }
    ActiveRunScope(const ActiveRunScope&) = delete;
    ActiveRunScope& operator=(const ActiveRunScope&) = delete;

private:
    const OrvoSimExecutionManager* previous_;
};

bool IsDebugStopped(const char* text) { return text && std::string(text) == kDebugStopped; }

const char* OrEmpty(const char* text) { return text ? text : ""; }

}  // namespace

OrvoSimExecutionManager::OrvoSimExecutionManager() = default;

OrvoSimExecutionManager::~OrvoSimExecutionManager() {
    // The run must not outlive the manager it runs on.
    EndBackgroundRun();
    breakpoints.ClearAllBreakpoints();
}

// ---- runs ---------------------------------------------------------------------------

bool OrvoSimExecutionManager::InsideRun() const { return activeRun == this; }

uint32_t OrvoSimExecutionManager::TickInstance() const {
    return InsideRun() || OnRunThread() ? runInstance : instance;
}

bool OrvoSimExecutionManager::OnRunThread() const {
    return thread && Thread::Current() == thread.get();
}

RunControlClaim OrvoSimExecutionManager::ClaimRunControl(uint32_t messageInstance,
                                                         const char* call) {
    // Only run threads are created through the thread factory; the check
    // reads no member that a starting host thread may be writing.
    RunControlClaim claim(runControl, InsideRun() || Thread::Current() != nullptr);
    if (!claim) WriteRefusal(messageInstance, claim.GetRefusal(), call);
    return claim;
}

RunControlClaim OrvoSimExecutionManager::ClaimInstanceCreation(const char* call) {
    RunControlClaim claim = ClaimRunControl(0, call);
    if (!claim || !(thread && runInProgress)) return claim;
    char message[kMessageBufferSize];
    std::snprintf(message, sizeof message,
                  "Run control error: a background run is in progress; %s is refused until it "
                  "ends.",
                  call);
    WriteMessage(runInstance, message);
    return {};
}

void OrvoSimExecutionManager::WriteRefusal(uint32_t which, RunControlClaim::Refusal refusal,
                                           const char* call) {
    char message[kMessageBufferSize];
    if (refusal == RunControlClaim::Refusal::Reentrant) {
        if (call) {
            std::snprintf(message, sizeof message,
                          "Run control error: %s cannot be called from inside a running "
                          "simulation; the call is ignored.",
                          call);
        } else {
            std::snprintf(message, sizeof message,
                          "Run control error: a run cannot be started from inside a running "
                          "simulation.");
        }
    } else if (refusal == RunControlClaim::Refusal::Busy) {
        std::snprintf(message, sizeof message,
                      "Run control error: another run is in progress; %s is refused.",
                      call ? call : "the start");
    } else {
        return;
    }
    // A refused finalize or initialize names no instance: tell the run's from
    // inside it, else the newest one's (the other thread's run owns runInstance).
    if (!runtime || !runtime->GetSystemInstance(which)) {
        which = refusal == RunControlClaim::Refusal::Reentrant ? runInstance : instance;
    }
    WriteMessage(which, message);
}

RunControlClaim OrvoSimExecutionManager::MayStart(uint32_t hostInstance) {
    if (!runtime || !runtime->GetSystemInstance(hostInstance)) return {};
    return ClaimRunControl(hostInstance, nullptr);
}

bool OrvoSimExecutionManager::MayContinue(uint32_t hostInstance) {
    // The run executes the most recently created instance, which need not be
    // the host's: both must have run before.
    const auto hasRun = [this](uint32_t which) {
        const OdeSolver* solver = runtime->GetSolver(which);
        return solver && solver->GetIntegrator();
    };
    if (hasRun(hostInstance) && hasRun(instance)) return true;
    // Without a run before, the model would loop against an unprepared solver.
    WriteMessage(hostInstance,
                 "Run control error: the instance has not been run yet; start it before "
                 "continuing or stepping.");
    return false;
}

void OrvoSimExecutionManager::EndBackgroundRun() {
    if (!thread || OnRunThread()) return;
    // The stop flag ends the solver's step loop too, so that a long interval
    // does not hold up the abandon until its end. Restored afterwards: a run
    // to a time goes on from where the abandoned run stood.
    uint8_t* stop = nullptr;
    uint8_t stopBefore = 0;
    if (OrvoSimSystemInstance* record =
            runInProgress && runtime ? runtime->GetSystemInstance(runInstance) : nullptr) {
        if ((stop = runtime->GetSettingAs<uint8_t>(*record, SettingZzstopflag)) != nullptr) {
            stopBefore = LoadSharedFlag(stop);
            StoreSharedFlag(stop, 1);
        }
    }
    // Cooperative: the run unwinds at its next check and is joined here.
    thread->Terminate();
    if (stop) StoreSharedFlag(stop, stopBefore);
    thread.reset();
    hostSuspends = 0;
    continuePending = false;
}

void OrvoSimExecutionManager::ObserveAbandon() const {
    if (OnRunThread() && thread->AbandonRequested()) throw TextException(kDebugStopped);
}

void OrvoSimExecutionManager::EndBackgroundRunOf(uint32_t which) {
    if (thread && runInstance == which) EndBackgroundRun();
}

void OrvoSimExecutionManager::PrepareRun(bool debugRun) {
    EndBackgroundRun();
    debugging = debugRun;
    floatingPointExceptionReported = false;
    runInstance = instance;
    LookUpDebugVariables();
}

void OrvoSimExecutionManager::LaunchThread(OrvoExecutionState firstState) {
    thread = ThreadFactory::newThread(this, "Simulation");
    if (firstState == OrvoExecutionDebugStarted) debugState = OrvoDebugRunning;
    runInProgress = true;
    SetExecutionState(runInstance, firstState);
    if (!thread->Start()) {
        runInProgress = false;
        WriteMessage(runInstance,
                     "Run control error: the simulation thread could not be started.");
        thread.reset();
        SetExecutionState(runInstance, OrvoExecutionError);
        Finalize();
    }
}

void OrvoSimExecutionManager::Start() {
    if (!runtime || InsideRun() || OnRunThread()) return;
    PrepareRun(false);
    if (!runtime->GetSystemInstance(runInstance)) return;
    LaunchThread(OrvoExecutionStarted);
}

void OrvoSimExecutionManager::StartBlocking() {
    if (!runtime || InsideRun() || OnRunThread()) return;
    PrepareRun(false);
    if (!runtime->GetSystemInstance(runInstance)) return;
    SetExecutionState(runInstance, OrvoExecutionStarted);
    Run();
}

ORVO_LETS_FORCED_UNWIND_PASS void OrvoSimExecutionManager::Run() {
    ActiveRunScope scope(this);
    const uint32_t run = runInstance;
    // Flags raised before the run are not the run's.
    std::feclearexcept(FE_ALL_EXCEPT);
    bool failed = false;
    lastRunFailed = false;
    std::string reason;
    const auto fail = [&](const char* text) {
        failed = !IsDebugStopped(text);
        reason = text ? text : "unknown exception";
    };
    // A cancelled thread leaves without its end report, but not in progress.
    ScopeExit notInProgress([this] { runInProgress = false; });
    try {
        if (OrvoSimSimulationFunction simulate = runtime->GetSystemInfo().simulationFunction) {
            simulate(run);
        }
        runtime->OrvoSimInvokeTick(run, OrvoTickOutputPoint);
        runtime->WriteStatistics(run);
    } catch (const abi::__forced_unwind&) {
        throw;  // the thread is being cancelled: no callback may run now
    } catch (const TextException& e) {
        fail(e.Text());
    } catch (const std::string& text) {
        fail(text.c_str());
    } catch (const char* text) {
        fail(text);
    } catch (...) {
        fail("unknown exception");
    }
    lastRunFailed = failed;
    runInProgress = false;
    // A host callback that throws here must not escape into the host's frames.
    try {
        if (failed) {
            // The error state alone would leave the host guessing why; a
            // floating-point fault is told where the numbers ran away.
            std::string message = "Run ended by an error: " + reason;
            const std::string runaway = NonFiniteStateDescription(*runtime, run);
            if (!runaway.empty() && runaway != reason) message += " (" + runaway + ")";
            runtime->OrvoSimWriteMessage(run, message.c_str());
            SetExecutionState(run, OrvoExecutionError);
        }
        Finalize();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
}

void OrvoSimExecutionManager::Finalize() {
    if (debugging) {
        debugState = OrvoDebugNotDebugging;
        SetExecutionState(runInstance, OrvoExecutionDebugFinished);
    } else {
        SetExecutionState(runInstance, OrvoExecutionFinished);
    }
}

// ---- host run control -----------------------------------------------------------------

void OrvoSimExecutionManager::StartInstance(uint32_t hostInstance, bool blocking) {
    const RunControlClaim claim = MayStart(hostInstance);
    if (!claim) return;
    // The old run must be gone before its flags and event queues change.
    EndBackgroundRun();
    runtime->OrvoSimReset(hostInstance);
    if (blocking) {
        StartBlocking();
    } else {
        Start();
    }
}

void OrvoSimExecutionManager::ContinueInstance(uint32_t hostInstance, bool blocking) {
    const RunControlClaim claim = MayStart(hostInstance);
    if (!claim || !MayContinue(hostInstance)) return;
    Continue(hostInstance, blocking);
}

void OrvoSimExecutionManager::Continue(uint32_t hostInstance, bool blocking) {
    EndBackgroundRun();
    OrvoSimSystemInstance* record = runtime->GetSystemInstance(hostInstance);
    if (!record || !MayContinue(hostInstance)) return;
    runtime->SetSettingByte(*record, SettingZzstopflag, 0);
    runtime->SetSettingByte(*record, SettingZzicon, 1);
    runtime->SetSettingByte(*record, SettingZzstepstop, 0);
    SetExecutionState(hostInstance, OrvoExecutionContinued);
    if (blocking) {
        StartBlocking();
    } else {
        Start();
    }
}

void OrvoSimExecutionManager::PreStepInstance(uint32_t hostInstance) {
    const RunControlClaim claim = MayStart(hostInstance);
    if (!claim) return;
    EndBackgroundRun();
    runtime->OrvoSimReset(hostInstance);
    if (OrvoSimSystemInstance* record = runtime->GetSystemInstance(hostInstance)) {
        record->preStepFlag = 1;
        StartBlocking();
    }
}

void OrvoSimExecutionManager::StepInstance(uint32_t hostInstance) {
    const RunControlClaim claim = MayStart(hostInstance);
    // Checked before the flag is set, which would otherwise cut a later run short.
    if (!claim || !MayContinue(hostInstance)) return;
    EndBackgroundRun();
    runtime->GetSystemInstance(hostInstance)->singleStepFlag = 1;
    Continue(hostInstance, true);
}

void OrvoSimExecutionManager::RunInstanceToTime(uint32_t hostInstance, double target) {
    const RunControlClaim claim = MayStart(hostInstance);
    if (!claim) return;
    RunToTime(hostInstance, target);
}

void OrvoSimExecutionManager::RunToTime(uint32_t hostInstance, double target) {
    EndBackgroundRun();
    for (;;) {
        OrvoSimSystemInstance* record = runtime->GetSystemInstance(hostInstance);
        if (!record || !record->solver) return;
        OdeSolver& solver = *record->solver;
        const Integrator* integrator = solver.GetIntegrator();
        double* cint = runtime->GetSettingAs<double>(*record, SettingCint);
        const uint8_t* stop = runtime->GetSettingAs<uint8_t>(*record, SettingZzstopflag);
        // Needs a run or pre-step before: the time is the integrator's.
        if (!integrator || !integrator->indVar || !cint) return;
        const double now = *integrator->indVar;
        const double interval = *cint;
        const double remaining = target - now;
        // Written so that a NaN target or time also ends the loop.
        if (!(remaining > std::max(std::fabs(now), interval) * kTargetTolerance)) return;
        if (stop && *stop) return;
        if (interval > remaining) {
            *cint = remaining;
            solver.Restart(remaining);
        }
        record->singleStepFlag = 1;
        Continue(hostInstance, true);
        if ((record = runtime->GetSystemInstance(hostInstance)) == nullptr) return;
        if ((cint = runtime->GetSettingAs<double>(*record, SettingCint)) != nullptr) {
            *cint = interval;
        }
        // A failed interval is not continued: each would fail again, one step on.
        if (lastRunFailed) return;
        // An interval that failed to advance would repeat for ever.
        const Integrator* after = record->solver ? record->solver->GetIntegrator() : nullptr;
        if (!after || !after->indVar || !(*after->indVar > now)) return;
    }
}

void OrvoSimExecutionManager::StepInstanceBy(uint32_t hostInstance, double increment) {
    OrvoSimSystemInstance* record = runtime ? runtime->GetSystemInstance(hostInstance) : nullptr;
    if (!record || !(increment > 0.0) || !record->solver) return;
    const Integrator* integrator = record->solver->GetIntegrator();
    if (!integrator || !integrator->indVar) return;
    RunInstanceToTime(hostInstance, *integrator->indVar + increment);
}

void OrvoSimExecutionManager::DebugStartInstance(uint32_t hostInstance) {
    const RunControlClaim claim = MayStart(hostInstance);
    if (!claim) return;
    const bool debugRunWasActive = debugState != OrvoDebugNotDebugging;
    EndBackgroundRun();
    runtime->OrvoSimReset(hostInstance);
    BeginDebugRun(debugRunWasActive);
}

// ---- debugger ------------------------------------------------------------------------

void OrvoSimExecutionManager::DebugStart() {
    if (!runtime || InsideRun() || OnRunThread()) return;
    const bool debugRunWasActive = debugState != OrvoDebugNotDebugging;
    EndBackgroundRun();
    BeginDebugRun(debugRunWasActive);
}

void OrvoSimExecutionManager::BeginDebugRun(bool debugRunWasActive) {
    PrepareRun(true);
    // A second start while debugging ends that debug run and starts nothing.
    if (debugRunWasActive) return;
    if (!HasDebugVariables()) {
        WriteMessage(runInstance, "Debug error: model does not contain debugging information.");
        return;
    }
    if (!runtime->GetSystemInstance(runInstance)) return;
    LaunchThread(OrvoExecutionDebugStarted);
}

void OrvoSimExecutionManager::LookUpDebugVariables() {
    SymbolAccess& symbols = runtime->Symbols();
    lineNumberVariable = symbols.GetSymbolIndex("zzlinenum");
    fileNameVariable = symbols.GetSymbolIndex("zzfilename");
    blockNameVariable = symbols.GetSymbolIndex("zzblockname");
}

bool OrvoSimExecutionManager::HasDebugVariables() const {
    return lineNumberVariable != 0 && fileNameVariable != 0 && blockNameVariable != 0;
}

bool OrvoSimExecutionManager::CheckFloatingPoint() {
    if (!std::fetestexcept(kFloatingPointFaults)) return false;
    if (floatingPointExceptionReported.exchange(true)) return false;
    if (HasDebugVariables()) {
        const uint32_t which = TickInstance();
        SymbolAccess& symbols = runtime->Symbols();
        const int32_t line = symbols.Get<int32_t>(which, lineNumberVariable);
        const char* block = symbols.Get<const char*>(which, blockNameVariable);
        char message[kMessageBufferSize];
        if (block && *block) {
            std::snprintf(message, sizeof message,
                          "*** Floating point exception detected at block %s, line %d.*** \n",
                          block, line);
        } else {
            std::snprintf(message, sizeof message,
                          "*** Floating point exception detected at line %d.*** \n", line);
        }
        WriteMessage(which, message);
    }
    return true;
}

void OrvoSimExecutionManager::DebugTick() {
    if (!runtime) return;
    const bool onRunThread = OnRunThread();
    // An abandon (new start, stop) or a host pause request is served here.
    if (onRunThread && !thread->ServiceRequests()) throw TextException(kDebugStopped);
    const bool sawException = CheckFloatingPoint();
    // The debugger pauses only the debug run's own thread.
    if (!debugging || !onRunThread) return;
    if (debugState == OrvoDebugStopRequested) throw TextException(kDebugStopped);
    runtime->OrvoSimInvokeTick(runInstance, OrvoTickDebug);

    bool pause = debugState == OrvoDebugPauseRequested;
    if (!pause && HasDebugVariables()) {
        SymbolAccess& symbols = runtime->Symbols();
        const uint32_t which = runInstance;
        const auto line = static_cast<uint32_t>(symbols.Get<int32_t>(which, lineNumberVariable));
        const std::string file = OrEmpty(symbols.Get<const char*>(which, fileNameVariable));
        const std::string block = OrEmpty(symbols.Get<const char*>(which, blockNameVariable));
        {
            AutoLock guard(this);
            pause = breakpoints.ContainsBreakpoint(line, file, block);
        }
        pause = pause || sawException;
    }
    if (pause) Pause();
}

void OrvoSimExecutionManager::Pause() {
    // A stop the host requested meanwhile wins over the pause.
    OrvoDebugState current = debugState.load();
    do {
        if (current == OrvoDebugStopRequested) throw TextException(kDebugStopped);
    } while (!debugState.compare_exchange_weak(current, OrvoDebugPaused));
    // No lock is held here: the callbacks may call any debug export.
    SetExecutionState(runInstance, OrvoExecutionDebugPaused);
    // Stopped from a callback of state 8 on this very thread.
    if (debugState == OrvoDebugStopRequested) throw TextException(kDebugStopped);
    // A resume that came before this suspend is kept by the thread, so a quick
    // host continue after state 8 is not lost. False means abandon.
    if (thread && !thread->Suspend()) throw TextException(kDebugStopped);
    // Reported here rather than by the host, so that 9 always follows the
    // whole report of 8 and both come from this thread.
    if (continuePending.exchange(false)) SetExecutionState(runInstance, OrvoExecutionDebugContinued);
}

bool OrvoSimExecutionManager::ContinueFromPause() {
    OrvoDebugState expected = OrvoDebugPaused;
    if (!debugState.compare_exchange_strong(expected, OrvoDebugRunning)) return false;
    continuePending = true;
    if (thread) thread->Resume();
    return true;
}

void OrvoSimExecutionManager::DebugBreak() {
    OrvoDebugState expected = OrvoDebugRunning;
    debugState.compare_exchange_strong(expected, OrvoDebugPauseRequested);
}

void OrvoSimExecutionManager::DebugStep() {
    OrvoDebugState expected = OrvoDebugPaused;
    if (debugState.compare_exchange_strong(expected, OrvoDebugPauseRequested) && thread) {
        thread->Resume();
    }
}

void OrvoSimExecutionManager::DebugContinue() { ContinueFromPause(); }

void OrvoSimExecutionManager::DebugStop() {
    OrvoDebugState expected = OrvoDebugRunning;
    if (debugState.compare_exchange_strong(expected, OrvoDebugStopRequested)) return;
    if (OnRunThread()) {
        // From the run's own callbacks: it cannot wait for itself.
        if (debugging) debugState = OrvoDebugStopRequested;
        return;
    }
    if (InsideRun()) return;
    const bool runGoing = thread && runInProgress;
    // Paused, about to pause, or a normal background run: resume it into an
    // abandon, after which the run itself reports 7 (or 5). A thread that is
    // only unwinding after its end report is joined before reporting again.
    EndBackgroundRun();
    if (runGoing) return;
    runInstance = instance;
    Finalize();
}

void OrvoSimExecutionManager::DebugSuspend() {
    if (!thread || !thread->IsRunning()) return;
    if (OnRunThread()) {
        // From a callback of the run: blocks until the host resumes.
        ++callbackSuspends;
        thread->Suspend();
        --callbackSuspends;
        return;
    }
    // Nested suspends: the thread runs again after as many resumes.
    if (hostSuspends++ == 0 && !thread->Suspend()) hostSuspends = 0;
}

void OrvoSimExecutionManager::DebugResume() {
    if (!thread) return;
    int32_t pending = hostSuspends.load();
    while (pending > 0 && !hostSuspends.compare_exchange_weak(pending, pending - 1)) {
    }
    if (pending > 0) {
        if (pending == 1) thread->Resume();
        return;
    }
    // A callback that suspended the run comes first: a debugger pause it may
    // be reporting is still ahead of it.
    if (callbackSuspends > 0) {
        thread->Resume();
        return;
    }
    // A run paused by the debugger goes on as after a continue, so that the
    // debug state does not stay "paused" for a later step or continue to
    // resume a second time.
    if (ContinueFromPause()) return;
    // Resuming a thread that is neither paused nor asked to pause would leave
    // a permit that swallows the debugger's next pause.
    if (thread->IsSuspended()) thread->Resume();
}

void OrvoSimExecutionManager::DebugAddBreakpoint(uint32_t line, const char* fileName,
                                                 const char* blockName) {
    AutoLock guard(this);
    breakpoints.AddBreakpoint(line, OrEmpty(fileName), OrEmpty(blockName));
}

void OrvoSimExecutionManager::DebugRemoveBreakpoint(uint32_t line, const char* fileName,
                                                    const char* blockName) {
    AutoLock guard(this);
    breakpoints.RemoveBreakpoint(line, OrEmpty(fileName), OrEmpty(blockName));
}

void OrvoSimExecutionManager::DebugClearAllBreakpoints() {
    AutoLock guard(this);
    breakpoints.ClearAllBreakpoints();
}

std::size_t OrvoSimExecutionManager::GetBreakpointCount() {
    AutoLock guard(this);
    return breakpoints.Count();
}

// ---- reporting -----------------------------------------------------------------------

void OrvoSimExecutionManager::SetExecutionState(uint32_t which, OrvoExecutionState state) {
    if (runtime) runtime->OrvoSimSetExecutionState(which, state);
}

void OrvoSimExecutionManager::WriteMessage(uint32_t which, const char* text) {
    if (runtime) runtime->OrvoSimWriteMessage(which, text);
}
