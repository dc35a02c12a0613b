// Runs of the pregnancy model driven through the shared library's exports,
// as a host application drives them.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "HostSession.h"

namespace {

using std::chrono::seconds;

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

TEST(HostRun, UndosedDefaultRunGoesThroughStartedInitializedFinishedAndStaysEmpty) {
    HostSession session;
    std::vector<std::string> watched = session.StateNames();
    watched.push_back("massb_amount_i");
    watched.push_back("massb_amount_p");
    session.SampleAtOutputPoints(watched);
    session.Library().OrvoStartBlocking(session.Instance());

    EXPECT_EQ(session.ExecutionStates(), (std::vector<int>{1, 3, 5})) << session.Messages();
    EXPECT_GE(session.Get("t"), session.Get("tstop"));
    const Trajectory run = session.Samples();
    ASSERT_GE(run.Rows().size(), 3u);
    for (const auto& row : run.Rows())
        for (std::size_t c = 1; c < row.size(); ++c)
            ASSERT_EQ(row[c], 0.0) << run.Names()[c] << " at t = " << row[0];
}

TEST(HostRun, ExampleScenarioKeepsTheIodideBalanceOnTheDailyGrid) {
    HostSession session;
    session.SetExampleScenario();
    session.SampleAtOutputPoints({"massb_amount_i", "aioral_i", "z99927", "raelim_mp"});
    session.Library().OrvoStartBlocking(session.Instance());
    ASSERT_EQ(session.ExecutionStates(), (std::vector<int>{1, 3, 5})) << session.Messages();

    // Output points at 0, 24, ..., the last at the first grid point at or
    // after the stop time (2400 is one), where the end-of-run tick reports.
    const Trajectory run = session.Samples();
    ASSERT_EQ(run.Rows().size(), 101u) << session.Messages();
    double worst = 0.0;
    const double lastWeek = 2400.0 - 168.0;
    for (std::size_t k = 0; k < run.Rows().size(); ++k) {
        const auto& row = run.Rows()[k];
        const double t = row[0];
        EXPECT_EQ(t, 24.0 * static_cast<double>(k));
        const double balance = row[run.Column("massb_amount_i")], dosed = row[run.Column("aioral_i")];
        if (dosed > 0) worst = std::max(worst, std::fabs(balance) / dosed);
        EXPECT_LE(std::fabs(balance), 1e-5 * dosed) << "t = " << t;
        // The last-week urine integrator runs only in the last week; the
        // output point at tstop - 168 already reports the switched section.
        const double rate = row[run.Column("z99927")], urine = row[run.Column("raelim_mp")];
        EXPECT_EQ(rate, t < lastWeek ? 0.0 : urine) << "t = " << t;
    }
    EXPECT_GT(run.Last("raelim_mp"), 0.0);
    RecordProperty("worst_iodide_balance_relative", std::to_string(worst));
    std::printf("worst |massb_amount_i| / aioral_i over the output points: %.3g\n", worst);
}

TEST(HostRun, RunToTimeAndSteppingLandOnTheirTargets) {
    HostSession session;
    session.SetExampleScenario();
    const ModelLibrary& lib = session.Library();
    const uint32_t instance = session.Instance();

    lib.OrvoPreStep(instance);
    EXPECT_EQ(session.Get("t"), 0.0);
    lib.OrvoStep(instance);
    EXPECT_EQ(session.Get("t"), 24.0) << session.Messages();

    // Half an interval ahead: the interval is shortened for this run only.
    lib.OrvoRunToTime(instance, 36.0);
    EXPECT_NEAR(session.Get("t"), 36.0, 1e-12);
    EXPECT_EQ(session.Get("cint"), 24.0);

    lib.OrvoStep(instance);
    EXPECT_NEAR(session.Get("t"), 60.0, 1e-12);
    // A target behind the current time runs nothing.
    lib.OrvoRunToTime(instance, 10.0);
    EXPECT_NEAR(session.Get("t"), 60.0, 1e-12);
    // A continued or stepped run reports 11, 1, 5 (after the pre-step's 1, 3, 5).
    const std::vector<int> states = session.ExecutionStates();
    ASSERT_GE(states.size(), 6u);
    EXPECT_EQ(std::vector<int>(states.begin(), states.begin() + 6), (std::vector<int>{1, 3, 5, 11, 1, 5}));
    EXPECT_GT(session.Get("aplasma_mi"), 0.0);
}

// A run to a time stops at an interval that ends in the error state: each
// further interval would fail again after one step (Gear's smallest, 1e-10 h).
TEST(HostRun, RunToTimeStopsAtAFailedInterval) {
    for (const int32_t ialg : {2, 14}) {
        SCOPED_TRACE(ialg);
        HostSession session;
        session.SetExampleScenario();
        session.SetAlgorithm(ialg);
        const ModelLibrary& lib = session.Library();
        const uint32_t instance = session.Instance();
        lib.OrvoPreStep(instance);
        session.Set("bw_m", std::nan(""));
        lib.OrvoRunToTime(instance, 240.0);
        EXPECT_LT(session.Get("t"), 240.0);
        EXPECT_LE(Occurrences(session.Messages(), "Run ended by an error"), 1u) << session.Messages();
    }
}

TEST(HostRun, StopFromTheHostThreadEndsABackgroundRun) {
    HostSession session;
    session.SetExampleScenario(1.0e7);  // far beyond what the test waits for
    session.Library().OrvoStart(session.Instance());
    ASSERT_TRUE(session.WaitForOutputPoints(3, seconds(60))) << session.Messages();
    session.Library().OrvoStop(session.Instance());
    ASSERT_TRUE(session.WaitForExecutionState(OrvoExecutionFinished, seconds(60))) << session.Messages();

    EXPECT_EQ(session.ExecutionStates(), (std::vector<int>{1, 3, 5}));
    EXPECT_LT(session.Get("t"), 1.0e6);
    EXPECT_GE(session.Get("t"), 48.0);
}

TEST(HostRun, InvalidOdepackMethodFlagFallsBackTo222) {
    Trajectory withDefault;
    {
        HostSession session;
        session.SetExampleScenario(240);
        session.SampleAtOutputPoints(session.StateNames());
        session.Library().OrvoStartBlocking(session.Instance());
        withDefault = session.Samples();
    }
    HostSession session;
    session.SetExampleScenario(240);
    session.SetLong("omfitg", 221);
    session.SampleAtOutputPoints(session.StateNames());
    session.Library().OrvoStartBlocking(session.Instance());

    const std::string messages = session.Messages();
    EXPECT_EQ(Occurrences(messages, "Error: Invalid value of OMFITG supplied to ODEPACK.  Using default value of 222."),
              1u)
        << messages;
    EXPECT_EQ(session.ExecutionStates(), (std::vector<int>{1, 3, 5}));
    const TrajectoryComparison same = Trajectory::Compare(withDefault, session.Samples(), 0.0, 0.0);
    EXPECT_TRUE(same.Agrees()) << same.problem << same.worstAt;
}

TEST(HostRun, DlsodesFailureReportsItsStateAndStopsTheRun) {
    HostSession session;
    session.SetExampleScenario();
    // Far more accuracy than DLSODES reaches within its step limit per call.
    session.SetStateTolerances(1e-12, 1e-15);
    session.Library().OrvoStartBlocking(session.Instance());

    const std::string messages = session.Messages();
    EXPECT_EQ(Occurrences(messages, "ERROR: Exceeded max allowed number of integration steps in DLSODES."), 1u)
        << messages;
    EXPECT_LT(session.Get("t"), 24.0);
    EXPECT_EQ(session.ExecutionStates(), (std::vector<int>{1, 3, 5}));
    EXPECT_TRUE(session.Library().OrvoGetBool(session.Instance(), session.Library().Index("zzstopflag")));
}

}  // namespace
