// The debugger through its exports, and the floating-point report of every
// run, on a model that carries zzlinenum, zzfilename and zzblockname.

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

TEST_F(Debugger, FloatingPointExceptionIsReportedOncePerRun) {
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
