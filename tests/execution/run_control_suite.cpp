// Run control through the exports: start, continue, pre-step, step, run to
// time, stop, and starts that meet a run still going.

#include <cmath>

#include "ExecutionRecorder.h"
#include "runtime/OrvoSimRuntime.h"

namespace execution_test {
namespace {

using States = std::vector<int32_t>;

class RunControl : public ExecutionFixture {
protected:
    double& Cint() {
        OrvoSimRuntime* runtime = OrvoSimRuntime::GetInstance();
        return *runtime->GetSettingAs<double>(*runtime->GetSystemInstance(instance), SettingCint);
    }
};

TEST_F(RunControl, BlockingStartReportsStartedInitializedFinished) {
    OrvoStartBlocking(instance);
    EXPECT_EQ(recorder().States(), (States{1, 3, 5}));
    EXPECT_NEAR(Time(), 1.0, 1e-9);
    // Ten intervals, each an output point, and the end-of-run tick.
    EXPECT_EQ(recorder().Count(Recorded::Tick, OrvoTickOutputPoint), 11u);
    EXPECT_TRUE(recorder().Messages().empty());
}

TEST_F(RunControl, ExceptionInTheRunReportsErrorBeforeFinished) {
    model().onPass = [](uint32_t) {
        if (ExecutionTestModel::Get().time > 0.45) throw std::runtime_error("model fault");
    };
    OrvoStartBlocking(instance);
    EXPECT_EQ(recorder().States(), (States{1, 3, 10, 5}));
    EXPECT_LT(Time(), 1.0);
    // The end-of-run tick and statistics are skipped after an exception.
    recorder().Clear();
    model().onPass = [](uint32_t) { throw "model fault"; };
    OrvoStartBlocking(instance);
    EXPECT_EQ(recorder().States(), (States{1, 3, 10, 5}));
    EXPECT_EQ(recorder().Count(Recorded::Tick, OrvoTickOutputPoint), 0u);
    // The host learns why, not only that the run failed.
    EXPECT_EQ(recorder().Messages(), (std::vector<std::string>{"Run ended by an error: model fault"}));
}

TEST_F(RunControl, ContinueResumesWithoutTheInitialSection) {
    OrvoStartBlocking(instance);
    recorder().Clear();
    model().stopTime = 2.0;
    OrvoContinueBlocking(instance);
    EXPECT_EQ(recorder().States(), (States{11, 1, 5}));
    EXPECT_NEAR(Time(), 2.0, 1e-9);
    EXPECT_EQ(model().initialSections, 1u);

    recorder().Clear();
    model().stopTime = 3.0;
    OrvoContinue(instance);
    ASSERT_TRUE(recorder().WaitForState(5));
    EXPECT_EQ(recorder().States(), (States{11, 1, 5}));
    EXPECT_NEAR(Time(), 3.0, 1e-9);
}

TEST_F(RunControl, PreStepThenStepAdvanceOneIntervalAtATime) {
    OrvoPreStep(instance);
    EXPECT_EQ(recorder().States(), (States{1, 3, 5}));
    EXPECT_EQ(Time(), 0.0);
    recorder().Clear();
    OrvoStep(instance);
    EXPECT_EQ(recorder().States(), (States{11, 1, 5}));
    EXPECT_NEAR(Time(), 0.1, 1e-12);
    OrvoStep(instance);
    EXPECT_NEAR(Time(), 0.2, 1e-12);
    EXPECT_EQ(model().initialSections, 1u);
}

TEST_F(RunControl, RunToTimeShortensTheLastIntervalAndRestoresCint) {
    OrvoPreStep(instance);
    recorder().Clear();
    OrvoRunToTime(instance, 0.0);  // already there
    OrvoRunToTime(instance, -1.0);  // in the past
    OrvoRunToTime(instance, std::nan(""));
    EXPECT_TRUE(recorder().States().empty());

    OrvoRunToTime(instance, 0.05);
    EXPECT_EQ(recorder().States(), (States{11, 1, 5}));
    EXPECT_NEAR(Time(), 0.05, 1e-12);
    EXPECT_EQ(Cint(), 0.1);

    recorder().Clear();
    OrvoRunToTime(instance, 0.32);
    EXPECT_GE(recorder().Count(Recorded::State, 11), 3u);
    EXPECT_NEAR(Time(), 0.32, 1e-12);
    EXPECT_EQ(Cint(), 0.1);
}

TEST_F(RunControl, StepIncrAdvancesByAPositiveIncrementOnly) {
    OrvoPreStep(instance);
    recorder().Clear();
    OrvoStepIncr(instance, 0.0);
    OrvoStepIncr(instance, -0.5);
    EXPECT_TRUE(recorder().States().empty());
    EXPECT_EQ(Time(), 0.0);
    OrvoStepIncr(instance, 0.25);
    EXPECT_NEAR(Time(), 0.25, 1e-12);
    EXPECT_EQ(Cint(), 0.1);
}

TEST_F(RunControl, RunToTimeStopsAtTheModelsStopTime) {
    OrvoPreStep(instance);
    OrvoRunToTime(instance, 5.0);
    EXPECT_NEAR(Time(), 1.0, 1e-9);
}

TEST_F(RunControl, FreeOrOutOfRangeInstancesAreIgnored) {
    for (uint32_t bad : {0u, 57u, 100u, 4000000000u}) {
        OrvoStart(bad);
        OrvoStartBlocking(bad);
        OrvoContinue(bad);
        OrvoContinueBlocking(bad);
        OrvoPreStep(bad);
        OrvoStep(bad);
        OrvoRunToTime(bad, 1.0);
        OrvoStepIncr(bad, 1.0);
        OrvoStop(bad);
        OrvoReinitialize(bad);
        OrvoDebugStart(bad);
    }
    EXPECT_TRUE(recorder().Events().empty());
    // Stepping before any run has no integrator time to start from.
    OrvoRunToTime(instance, 1.0);
    OrvoStepIncr(instance, 1.0);
    EXPECT_TRUE(recorder().States().empty());
}

TEST_F(RunControl, StopFromTheHostEndsABackgroundRun) {
    model().stopTime = 1e12;
    OrvoStart(instance);
    ASSERT_TRUE(recorder().WaitForTicks(OrvoTickOutputPoint, 3));
    OrvoStop(instance);
    ASSERT_TRUE(recorder().WaitForState(5));
    EXPECT_EQ(recorder().States(), (States{1, 3, 5}));
    EXPECT_LT(Time(), 1e6);
}

TEST_F(RunControl, NewStartAbandonsTheRunStillGoing) {
    model().stopTime = 1e12;
    OrvoStart(instance);
    ASSERT_TRUE(recorder().WaitForTicks(OrvoTickOutputPoint, 3));

    model().stopTime = 1.0;  // the new run ends by itself
    OrvoStart(instance);
    ASSERT_TRUE(recorder().WaitForState(5, 2));

    const std::vector<Recorded> events = recorder().Events();
    size_t newStart = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind == Recorded::State && events[i].value == 1) newStart = i;
    }
    ASSERT_GT(newStart, 0u);
    // The old run ended (state 5, no error) before the new run began, and
    // after that only the new run's ten output points and end tick arrive.
    EXPECT_EQ(recorder().States(), (States{1, 3, 5, 1, 3, 5}));
    size_t laterTicks = 0;
    for (size_t i = newStart; i < events.size(); ++i) {
        laterTicks += events[i].kind == Recorded::Tick;
    }
    EXPECT_EQ(laterTicks, 11u);
    // ... and the new run went the whole way.
    EXPECT_NEAR(Time(), 1.0, 1e-9);

    // A blocking start ends a background run the same way.
    recorder().Clear();
    model().stopTime = 1e12;
    OrvoStart(instance);
    ASSERT_TRUE(recorder().WaitForTicks(OrvoTickOutputPoint, 2));
    model().stopTime = 1.0;
    OrvoStartBlocking(instance);
    EXPECT_EQ(recorder().States(), (States{1, 3, 5, 1, 3, 5}));
    EXPECT_NEAR(Time(), 1.0, 1e-9);
}

TEST_F(RunControl, StartFromInsideARunIsRefused) {
    bool startedInside = false;
    model().onPass = [&](uint32_t i) {
        if (startedInside) return;
        startedInside = true;
        OrvoStart(i);
        OrvoStartBlocking(i);
        OrvoStep(i);
    };
    OrvoStartBlocking(instance);
    EXPECT_EQ(recorder().States(), (States{1, 3, 5}));
    EXPECT_NEAR(Time(), 1.0, 1e-9);
    const std::vector<std::string> messages = recorder().Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0],
              "Run control error: a run cannot be started from inside a running simulation.");
}

TEST_F(RunControl, DestroyAndFinalizeEndABackgroundRunFirst) {
    model().stopTime = 1e12;
    OrvoStart(instance);
    ASSERT_TRUE(recorder().WaitForTicks(OrvoTickOutputPoint, 2));
    OrvoDestroy(instance);
    EXPECT_EQ(recorder().States(), (States{1, 3, 5}));
    EXPECT_EQ(OrvoSimRuntime::GetInstance()->GetSystemInstance(instance), nullptr);
}

}  // namespace
}  // namespace execution_test
