// Every integration algorithm on the pregnancy model, through the exports,
// against ODEPACK run with tight tolerances. The model is stiff (largest
// Jacobian eigenvalue about 5,700 per hour): explicit methods are stable only
// for steps below about 4.9e-4 h, so the non-stiff methods get a 48 h horizon
// and the stiff ones the whole example scenario.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "HostSession.h"

namespace {

constexpr int32_t kOdepack = 14;
// States below this amount are noise for every method and are not compared.
constexpr double kFloor = 1e-6;

struct MethodRun {
    Trajectory states;
    double seconds = 0.0;
    double lastStep = 0.0;
    std::string messages;
};

// The example scenario up to `stopTime`, with the given algorithm and
// tolerances on every state (`stepsPerInterval` matters to fixed steps only).
MethodRun RunScenario(int32_t algorithm, double stopTime, double relative, double absolute,
                      int32_t stepsPerInterval = 10) {
    HostSession session;
    session.SetExampleScenario(stopTime);
    session.SetAlgorithm(algorithm);
    session.SetLong("nstp", stepsPerInterval);
    session.SetStateTolerances(relative, absolute);
    session.SampleAtOutputPoints(session.StateNames());
    const auto start = std::chrono::steady_clock::now();
    session.Library().OrvoStartBlocking(session.Instance());
    MethodRun run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.states = session.Samples();
    run.lastStep = session.Get("cssitg");
    run.messages = session.Messages();
    return run;
}

MethodRun TightOdepack(double stopTime) { return RunScenario(kOdepack, stopTime, 1e-8, 1e-11); }

// Checks a method's run against the tight ODEPACK run and reports the figures.
void ExpectAgreement(int32_t algorithm, const MethodRun& reference, const MethodRun& run, double relative) {
    ASSERT_EQ(reference.states.Rows().size(), run.states.Rows().size()) << run.messages;
    const TrajectoryComparison comparison = Trajectory::Compare(reference.states, run.states, relative, kFloor);
    EXPECT_TRUE(comparison.Agrees()) << "ialg " << algorithm << ": " << comparison.problem << comparison.worstAt
                                     << "\n" << run.messages;
    std::printf("ialg %2d: %.2f s wall, %zu output points to t = %g, last step %.4g h, "
                "largest relative difference from ODEPACK %.3g (%s)\n",
                algorithm, run.seconds, run.states.Rows().size(), run.states.Last("t"), run.lastStep,
                comparison.worstRelative, comparison.worstAt.c_str());
    ::testing::Test::RecordProperty("wall_seconds", std::to_string(run.seconds));
    ::testing::Test::RecordProperty("largest_relative_difference", std::to_string(comparison.worstRelative));
}

TEST(MethodAgreement, FineFixedStepRk4MatchesTightOdepackOver48Hours) {
    const MethodRun odepack = TightOdepack(48);
    // h = 24 / 240000 = 1e-4 h, well inside the explicit stability limit.
    const MethodRun rk4 = RunScenario(5, 48, 1e-4, 1e-4, 240000);
    ExpectAgreement(5, odepack, rk4, 1e-4);
}

// Stiff methods over the whole scenario (100 days) at 1e-7 relative, 1e-10
// absolute: agreement within 1e-4 (errors build up over the hundreds of
// steps of a run, so the agreement is looser than the tolerance).
class StiffMethod : public ::testing::TestWithParam<int32_t> {};

TEST_P(StiffMethod, RunsTheExampleScenarioAndAgreesWithOdepack) {
    const MethodRun odepack = TightOdepack(2400);
    ASSERT_EQ(odepack.states.Rows().size(), 101u) << odepack.messages;
    const MethodRun run = RunScenario(GetParam(), 2400, 1e-7, 1e-10);
    ExpectAgreement(GetParam(), odepack, run, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(Gear_Rosenbrock_Cvode, StiffMethod, ::testing::Values(2, 12, 15));

// Non-stiff methods over 48 h at 1e-6 relative, 1e-9 absolute: agreement
// within 1e-3 (the explicit methods step at their stability limit, where
// second-order RKF is the least accurate).
class NonStiffMethod : public ::testing::TestWithParam<int32_t> {};

TEST_P(NonStiffMethod, AgreesWithOdepackOver48Hours) {
    const MethodRun odepack = TightOdepack(48);
    const MethodRun run = RunScenario(GetParam(), 48, 1e-6, 1e-9);
    ExpectAgreement(GetParam(), odepack, run, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(AdamsMoulton_Rkf2_Rkf5, NonStiffMethod, ::testing::Values(1, 8, 9));

}  // namespace
