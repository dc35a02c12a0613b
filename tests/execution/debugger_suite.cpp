// The debugger through its exports, and the floating-point report of every
// run, on a model that carries zzlinenum, zzfilename and zzblockname.

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "ExecutionRecorder.h"
#include "runtime/OrvoSimRuntime.h"

namespace execution_test {
namespace {

using States = std::vector<int32_t>;

OrvoSimExecutionManager& Manager() {
    return OrvoSimRuntime::GetInstance()->GetExecutionManager();
}

class Debugger : public ExecutionFixture {
protected:
    void TearDown() override {
        OrvoDebugClearAllBreakpoints(instance);
        ExecutionFixture::TearDown();
    }
    // Ticks of type 1 between the n-th and the (n+1)-th pause.
    size_t DebugTicksBetweenPauses(size_t n) {
        size_t pauses = 0;
        size_t ticks = 0;
        for (const Recorded& e : recorder().Events()) {
            if (e.kind == Recorded::State && e.value == OrvoExecutionDebugPaused) {
                if (++pauses == n + 1) return ticks;
            }
            if (pauses == n && e.kind == Recorded::Tick && e.value == OrvoTickDebug) ++ticks;
        }
        return 0;
    }
    std::vector<Recorded> Pauses() {
        std::vector<Recorded> out;
        for (const Recorded& e : recorder().Events()) {
            if (e.kind == Recorded::State && e.value == OrvoExecutionDebugPaused) out.push_back(e);
        }
        return out;
    }
};

TEST_F(Debugger, BreakStepAndContinue) {
    model().stopTime = 1e12;
    OrvoDebugStart(instance);
    ASSERT_TRUE(recorder().WaitForTicks(OrvoTickDebug, 2));
    EXPECT_EQ(recorder().States().front(), OrvoExecutionDebugStarted);
    OrvoDebugStep(instance);  // not paused: nothing
    EXPECT_NE(Manager().GetDebugState(), OrvoDebugPauseRequested);

    OrvoDebugBreak(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugPaused));
    EXPECT_EQ(Manager().GetDebugState(), OrvoDebugPaused);
    OrvoDebugBreak(instance);  // paused: nothing
    EXPECT_EQ(Manager().GetDebugState(), OrvoDebugPaused);

    OrvoDebugStep(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugPaused, 2));
    EXPECT_EQ(DebugTicksBetweenPauses(1), 1u);  // the very next tick

    OrvoDebugContinue(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugContinued));
    const size_t ticks = recorder().Count(Recorded::Tick, OrvoTickDebug);
    ASSERT_TRUE(recorder().WaitForTicks(OrvoTickDebug, ticks + 4));  // running again
    OrvoDebugStop(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugFinished));
    EXPECT_EQ(recorder().Count(Recorded::State, OrvoExecutionError), 0u);
    EXPECT_EQ(Manager().GetDebugState(), OrvoDebugNotDebugging);
    const States states = recorder().States();
    EXPECT_EQ(states, (States{6, 3, 8, 8, 9, 7}));
}

TEST_F(Debugger, BreakpointsMatchLineAndBlockOnly) {
    OrvoDebugAddBreakpoint(instance, 12, "a.csl", "dynamic");
    OrvoDebugAddBreakpoint(instance, 12, "b.csl", "dynamic");
    EXPECT_EQ(Manager().GetBreakpointCount(), 1u);
    OrvoDebugRemoveBreakpoint(instance, 12, "other.csl", "dynamic");
    EXPECT_EQ(Manager().GetBreakpointCount(), 0u);
    OrvoDebugAddBreakpoint(instance, 12, "a.csl", "dynamic");
    OrvoDebugAddBreakpoint(instance, 12, "a.csl", "Dynamic");  // case matters
    OrvoDebugRemoveBreakpoint(instance, 12, nullptr, "Dynamic");
    OrvoDebugAddBreakpoint(instance, 13, nullptr, nullptr);  // empty block: never here
    EXPECT_EQ(Manager().GetBreakpointCount(), 2u);

    // Continue at every pause; the run ends by itself at t = 1.
    recorder().onEvent = [](const Recorded& e) {
        if (e.kind == Recorded::State && e.value == OrvoExecutionDebugPaused) {
            std::thread([] { OrvoDebugContinue(1); }).detach();
        }
    };
    OrvoDebugStart(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugFinished));
    const std::vector<Recorded> pauses = Pauses();
    EXPECT_EQ(pauses.size(), model().breakpointPasses.load());
    for (const Recorded& pause : pauses) {
        EXPECT_EQ(pause.line, 12);
        EXPECT_EQ(pause.block, "dynamic");
    }
    EXPECT_EQ(recorder().Count(Recorded::State, OrvoExecutionDebugContinued), pauses.size());
    EXPECT_EQ(recorder().Count(Recorded::State, OrvoExecutionError), 0u);
}

TEST_F(Debugger, StopWhilePausedEndsTheRunAndANewStartWorks) {
    model().stopTime = 1e12;
    OrvoDebugStart(instance);
    ASSERT_TRUE(recorder().WaitForTicks(OrvoTickDebug, 1));
    OrvoDebugBreak(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugPaused));
    OrvoDebugStop(instance);
    // The paused thread was resumed into an abandon and has ended.
    EXPECT_EQ(recorder().States(), (States{6, 3, 8, 7}));
    EXPECT_EQ(Manager().GetDebugState(), OrvoDebugNotDebugging);

    recorder().Clear();
    model().stopTime = 1.0;
    OrvoStartBlocking(instance);
    EXPECT_EQ(recorder().States(), (States{1, 3, 5}));
    EXPECT_NEAR(Time(), 1.0, 1e-9);

    recorder().Clear();
    OrvoDebugStart(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugFinished));
    EXPECT_EQ(recorder().States(), (States{6, 3, 7}));
}

TEST_F(Debugger, StopWithoutARunReportsTheEndState) {
    OrvoStartBlocking(instance);
    recorder().Clear();
    OrvoDebugStop(instance);
    EXPECT_EQ(recorder().States(), (States{5}));
    OrvoDebugStart(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugFinished));
    recorder().Clear();
    OrvoDebugStop(instance);  // after a debug run: its end state again
    EXPECT_EQ(recorder().States(), (States{7}));
}

TEST_F(Debugger, SecondDebugStartEndsTheDebugRunWithoutStartingAnother) {
    model().stopTime = 1e12;
    OrvoDebugStart(instance);
    ASSERT_TRUE(recorder().WaitForTicks(OrvoTickDebug, 2));
    OrvoDebugStart(instance);
    EXPECT_EQ(recorder().States(), (States{6, 3, 7}));
    recorder().Clear();
    model().stopTime = 1.0;
    OrvoDebugStart(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugFinished));
    EXPECT_EQ(recorder().States(), (States{6, 3, 7}));
}

TEST_F(Debugger, SuspendAndResumeFromTheHost) {
    model().stopTime = 1e12;
    OrvoStart(instance);
    ASSERT_TRUE(recorder().WaitForTicks(OrvoTickOutputPoint, 2));
    OrvoDebugSuspend(instance);
    OrvoDebugResume(instance);
    OrvoDebugResume(instance);  // nothing left to resume
    ASSERT_TRUE(recorder().WaitForTicks(OrvoTickOutputPoint, 5));
    OrvoStop(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionFinished));

    // A stray resume leaves no permit behind: the next pause really pauses,
    // and a suspended run still ends cleanly on stop.
    recorder().Clear();
    OrvoDebugStart(instance);
    ASSERT_TRUE(recorder().WaitForTicks(OrvoTickDebug, 1));
    OrvoDebugResume(instance);
    OrvoDebugBreak(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugPaused));
    OrvoDebugSuspend(instance);
    OrvoDebugStop(instance);
    EXPECT_EQ(recorder().Count(Recorded::State, OrvoExecutionDebugFinished), 1u);
    EXPECT_EQ(recorder().Count(Recorded::State, OrvoExecutionError), 0u);
}

// Host calls that meet the run thread at a pause: between its report of 8 and
// its suspend, after a plain resume, and from inside the report of 8.
TEST_F(Debugger, HandOffsNeitherLoseNorStoreResumes) {
    using namespace std::chrono_literals;
    model().stopTime = 1e12;
    std::mutex mutex;
    std::condition_variable changed;
    bool hostDone = false;
    std::atomic<size_t> pauses{0};
    std::atomic<bool> continueReturned{false};
    recorder().onEvent = [&](const Recorded& e) {
        if (e.kind != Recorded::State || e.value != OrvoExecutionDebugPaused) return;
        const size_t n = ++pauses;
        if (n == 1) {
            // Holds the run thread before its suspend until the host is done.
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait_for(lock, 20s, [&] { return hostDone; });
        } else if (n == 4) {
            // A report of 8 that waits for the host's continue must not block it.
            auto done = std::make_shared<std::promise<void>>();
            std::future<void> returned = done->get_future();
            std::thread([done] {
                OrvoDebugContinue(1);
                done->set_value();
            }).detach();
            continueReturned = returned.wait_for(10s) == std::future_status::ready;
            OrvoDebugAddBreakpoint(1, 99, "", "nowhere");  // any debug export from here
        }
    };
    OrvoDebugStart(instance);
    ASSERT_TRUE(recorder().WaitForTicks(OrvoTickDebug, 1));
    OrvoDebugBreak(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugPaused));
    OrvoDebugStep(instance);
    OrvoDebugSuspend(instance);
    OrvoDebugResume(instance);
    {
        std::lock_guard<std::mutex> lock(mutex);
        hostDone = true;
    }
    changed.notify_all();
    // Two resumes for two suspends: the step goes on to its pause.
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugPaused, 2));

    // A plain resume of the paused run continues it; what follows finds the
    // run going, and leaves nothing behind that would skip the next pause.
    OrvoDebugResume(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugContinued));
    EXPECT_EQ(Manager().GetDebugState(), OrvoDebugRunning);
    OrvoDebugContinue(instance);
    OrvoDebugStep(instance);
    OrvoDebugBreak(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugPaused, 3));
    const size_t ticks = recorder().Count(Recorded::Tick, OrvoTickDebug);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(recorder().Count(Recorded::Tick, OrvoTickDebug), ticks);  // really paused
    EXPECT_EQ(Manager().GetDebugState(), OrvoDebugPaused);

    OrvoDebugStep(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugPaused, 4));
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugContinued, 2));
    EXPECT_TRUE(continueReturned);
    OrvoDebugStop(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugFinished));
    EXPECT_EQ(recorder().States(), (States{6, 3, 8, 8, 9, 8, 8, 9, 7}));
}

TEST_F(Debugger, FloatingPointExceptionIsReportedOncePerRun) {
    // Underflow is routine in decaying solutions and is not reported.
    model().onPass = [](uint32_t) { UnderflowAt(42, "dynamic"); };
    OrvoStartBlocking(instance);
    EXPECT_TRUE(recorder().Messages().empty());

    recorder().Clear();
    model().onPass = [](uint32_t) { DivideByZeroAt(42, "dynamic"); };
    OrvoStartBlocking(instance);
    EXPECT_EQ(recorder().States(), (States{1, 3, 5}));
    EXPECT_NEAR(Time(), 1.0, 1e-9);
    EXPECT_EQ(recorder().Messages(),
              std::vector<std::string>{
                  "*** Floating point exception detected at block dynamic, line 42.*** \n"});

    // Without a block name the line-only form; again once for the new run.
    recorder().Clear();
    model().onPass = [](uint32_t) { DivideByZeroAt(7, ""); };
    OrvoStartBlocking(instance);
    EXPECT_EQ(recorder().Messages(),
              std::vector<std::string>{"*** Floating point exception detected at line 7.*** \n"});
}

TEST_F(Debugger, FloatingPointExceptionPausesADebugRun) {
    model().onPass = [](uint32_t) {
        if (ExecutionTestModel::Get().time > 0.25) DivideByZeroAt(42, "dynamic");
    };
    recorder().onEvent = [](const Recorded& e) {
        if (e.kind == Recorded::State && e.value == OrvoExecutionDebugPaused) {
            std::thread([] { OrvoDebugContinue(1); }).detach();
        }
    };
    OrvoDebugStart(instance);
    ASSERT_TRUE(recorder().WaitForState(OrvoExecutionDebugFinished));
    const std::vector<Recorded> pauses = Pauses();
    ASSERT_EQ(pauses.size(), 1u);
    EXPECT_EQ(pauses[0].line, 42);
    EXPECT_EQ(recorder().Messages().size(), 1u);
    EXPECT_EQ(recorder().States(), (States{6, 3, 8, 9, 7}));
}

}  // namespace
}  // namespace execution_test
