#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "solver/SolverTestModel.h"

namespace {

using solvertest::ProposingIntegrator;
using solvertest::TestModel;

// Counts the steps the fixed-step method takes by counting step-start evaluations.
struct StepCounter {
    int steps = 0;
    std::vector<double> starts;
    void Attach(TestModel& m) {
        m.derivative = [this](TestModel& model) {
            model.dy[0] = 1.0;
            if (model.solver.GetIntegrator() && model.integrator().firstDerivEval) {
                ++steps;
                starts.push_back(model.t);
            }
        };
    }
};

TEST(OdeSolverGrid, DecimalGridEndsThousandIntervalsExactlyAtHundred) {
    TestModel m;
    m.Init(AlgorithmEuler);
    ASSERT_TRUE(m.Interval());
    EXPECT_EQ(m.solver.GetGridScale(), 10.0);
    EXPECT_EQ(m.solver.GetScaledInterval(), 1.0);
    EXPECT_TRUE(m.solver.settings.CommPointReached);
    for (int i = 1; i < 1000; ++i) ASSERT_TRUE(m.Interval());
    EXPECT_EQ(m.t, 100.0);
    EXPECT_FALSE(m.solver.GetFirstInterval());
}

TEST(OdeSolverGrid, ChangedIntervalRecomputesGridFromCurrentTime) {
    TestModel m;
    m.Init(AlgorithmEuler);
    for (int i = 0; i < 3; ++i) m.Interval();
    EXPECT_DOUBLE_EQ(m.t, 0.3);

    m.solver.SetCommInterval(0.25);
    m.Interval();
    EXPECT_EQ(m.solver.GetGridScale(), 100.0);
    EXPECT_EQ(m.solver.GetScaledInterval(), 25.0);
    EXPECT_DOUBLE_EQ(m.t, 0.55);
    m.Interval();
    EXPECT_DOUBLE_EQ(m.t, 0.8);

    // A forced recalculation re-anchors the grid at t as well.
    m.t = 1.0;
    m.solver.SetForceRecalculation(true);
    m.Interval();
    EXPECT_FALSE(m.solver.GetForceRecalculation());
    EXPECT_DOUBLE_EQ(m.t, 1.25);
}

TEST(OdeSolverGrid, FixedStepCountFollowsStepsPerIntervalAndMaximumStep) {
    TestModel m;
    StepCounter counter;
    counter.Attach(m);
    m.Init(AlgorithmEuler);
    counter.steps = 0;
    counter.starts.clear();
    m.Interval();
    EXPECT_EQ(counter.steps, 10);
    EXPECT_NEAR(counter.starts[1] - counter.starts[0], 0.01, 1e-15);
    EXPECT_DOUBLE_EQ(m.t, 0.1);

    // 0.003 per step: 33 full steps, the 34th shortened onto the grid point.
    m.solver.SetMaxStepSize(0.003);
    counter.steps = 0;
    counter.starts.clear();
    m.Interval();
    EXPECT_EQ(counter.steps, 34);
    EXPECT_NEAR(counter.starts[1] - counter.starts[0], 0.003, 1e-15);
    EXPECT_DOUBLE_EQ(m.t, 0.2);
    EXPECT_NEAR(m.solver.settings.GetCurrActualStepSize(), 0.001, 1e-12);
    EXPECT_EQ(m.solver.settings.GetCurrIntegrationOrder(), 1);
}

TEST(OdeSolverGrid, VariableStepDividesRemainingDistanceAndReturnsToNominalStep) {
    TestModel m;
    auto method = std::make_unique<ProposingIntegrator>();
    ProposingIntegrator* proposing = method.get();
    m.Init(AlgorithmRungeKuttaFehlberg2, 1, 0, std::move(method));
    m.solver.SetCommInterval(1.0);
    m.solver.SetStepSize(0.3);

    m.Interval();
    ASSERT_EQ(proposing->taken.size(), 4u);
    for (double h : proposing->taken) EXPECT_DOUBLE_EQ(h, 0.25);
    EXPECT_DOUBLE_EQ(m.t, 1.0);
    EXPECT_DOUBLE_EQ(m.solver.GetNominalStepSize(), 0.3);
    EXPECT_DOUBLE_EQ(m.solver.GetStepSize(), 0.3);

    m.Interval();
    ASSERT_EQ(proposing->taken.size(), 8u);
    EXPECT_DOUBLE_EQ(proposing->taken[4], 0.25);
    EXPECT_DOUBLE_EQ(m.t, 2.0);
}

TEST(OdeSolverGrid, VariableStepAdoptsTheMethodsProposal) {
    TestModel m;
    auto method = std::make_unique<ProposingIntegrator>(std::vector<double>{0.5});
    ProposingIntegrator* proposing = method.get();
    m.Init(AlgorithmRungeKuttaFehlberg2, 1, 0, std::move(method));
    m.solver.SetCommInterval(1.0);
    m.solver.SetStepSize(0.3);
    m.solver.SetMaxStepSize(0.4);

    m.Interval();
    // 0.25, then the proposal 0.5 capped at 0.4 over 0.75: two of 0.375.
    ASSERT_EQ(proposing->taken.size(), 3u);
    EXPECT_DOUBLE_EQ(proposing->taken[0], 0.25);
    EXPECT_DOUBLE_EQ(proposing->taken[1], 0.375);
    EXPECT_DOUBLE_EQ(proposing->taken[2], 0.375);
    EXPECT_DOUBLE_EQ(m.t, 1.0);
}

TEST(OdeSolverGrid, SyncPointsCutIntervalsAndMergeWithoutDuplicates) {
    TestModel m;
    m.Init(AlgorithmEuler);
    const double first[] = {0.25, 0.7};
    const double second[] = {0.25, 0.45, 0.45};
    m.solver.AddSyncPoints(2, first);
    m.solver.AddSyncPoints(3, second);
    EXPECT_EQ(m.solver.GetSyncPoints(), (std::vector<double>{0.25, 0.45, 0.45, 0.7}));

    // Without cieitg the interval [0.2, 0.3] passes 0.25 and still ends at 0.3.
    for (int i = 0; i < 3; ++i) m.Interval();
    EXPECT_DOUBLE_EQ(m.t, 0.3);

    // With cieitg the sync point is a communication point of its own.
    m.solver.ClearSyncPoints();
    const double third[] = {0.35};
    m.solver.AddSyncPoints(1, third);
    m.solver.settings.SetCommIntOnEvent(true);
    m.Interval();
    EXPECT_DOUBLE_EQ(m.t, 0.35);
    EXPECT_TRUE(m.solver.settings.CommPointReached);
    m.Interval();
    EXPECT_DOUBLE_EQ(m.t, 0.4);

    m.solver.AddSyncPoints(0, third);
    m.solver.AddSyncPoints(-1, third);
    m.solver.AddSyncPoints(1, nullptr);
    EXPECT_EQ(m.solver.GetSyncPoints().size(), 1u);
}

TEST(OdeSolverGrid, SyncPointCutsAtTheExactTime) {
    TestModel m;
    StepCounter counter;
    counter.Attach(m);
    m.Init(AlgorithmEuler);
    const double sync[] = {0.25};
    m.solver.AddSyncPoints(1, sync);
    m.Interval();
    m.Interval();
    counter.starts.clear();
    m.Interval();
    // Steps from 0.2: five of 0.01 reach 0.25 exactly, five more reach 0.3.
    ASSERT_EQ(counter.starts.size(), 10u);
    EXPECT_NEAR(counter.starts[5], 0.25, 1e-15);
}

TEST(OdeSolverGrid, BadIntervalSettingsStopTheRunWithAMessage) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double interval : {0.0, -0.1, nan, std::numeric_limits<double>::infinity()}) {
        TestModel m;
        m.Init(AlgorithmEuler);
        m.solver.SetCommInterval(interval);
        EXPECT_FALSE(m.Interval()) << interval;
        EXPECT_TRUE(m.solver.settings.GetStopFlag());
        EXPECT_EQ(m.solver.TakeMessages(), "Communication interval negative or zero.\n");
        EXPECT_EQ(m.t, 0.0);
    }
}

TEST(OdeSolverGrid, NonPositiveStepCountOrMaximumStepStopsTheRunWithAMessage) {
    {
        TestModel m;
        m.Init(AlgorithmEuler);
        m.solver.SetStepsPerCint(0);
        EXPECT_FALSE(m.Interval());
        EXPECT_TRUE(m.solver.settings.GetStopFlag());
        EXPECT_NE(m.solver.GetMessageBuffer().find("steps per communication interval 0"),
                  std::string::npos);
        EXPECT_EQ(m.t, 0.0);
    }
    {
        TestModel m;
        m.Init(AlgorithmEuler);
        m.solver.SetStepsPerCint(-5);
        EXPECT_FALSE(m.Interval());
        EXPECT_EQ(m.t, 0.0);
    }
    for (double maxStep : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        TestModel m;
        m.Init(AlgorithmEuler);
        m.solver.SetMaxStepSize(maxStep);
        EXPECT_FALSE(m.Interval());
        EXPECT_TRUE(m.solver.settings.GetStopFlag());
        EXPECT_NE(m.solver.GetMessageBuffer().find("Maximum step size"), std::string::npos);
        EXPECT_EQ(m.t, 0.0);
    }
    {
        // Steps too small to move t, or an interval too small for the grid.
        TestModel m;
        m.Init(AlgorithmEuler);
        m.t = 1.0;
        m.solver.SetMaxStepSize(1e-300);
        EXPECT_FALSE(m.Interval());
        EXPECT_NE(m.solver.GetMessageBuffer().find("does not advance"), std::string::npos);
        TestModel n;
        n.Init(AlgorithmEuler);
        n.solver.SetCommInterval(1e-320);
        EXPECT_FALSE(n.Interval());
        EXPECT_NE(n.solver.GetMessageBuffer().find("cannot be laid on the time grid"), std::string::npos);
    }
    {
        // An unlimited maximum step is no fault.
        TestModel m;
        m.Init(AlgorithmEuler);
        m.solver.SetMaxStepSize(std::numeric_limits<double>::infinity());
        EXPECT_TRUE(m.Interval());
        EXPECT_DOUBLE_EQ(m.t, 0.1);
    }
}

TEST(OdeSolverGrid, StepWithoutIntegratorStopsInsteadOfLooping) {
    TestModel m;
    m.solver.Initialize(AlgorithmUninitialized, &m.t, 1, m.y, m.dy, m.ic, 0, nullptr, nullptr,
                        nullptr, 0, nullptr, nullptr, nullptr, &TestModel::Entry);
    EXPECT_EQ(m.solver.GetIntegrator(), nullptr);
    EXPECT_FALSE(m.solver.Step());
    EXPECT_TRUE(m.solver.settings.GetStopFlag());
    EXPECT_FALSE(m.solver.GetMessageBuffer().empty());
}

TEST(OdeSolverGrid, StopFlagSetByTheModelEndsTheIntervalAfterTheStep) {
    TestModel m;
    m.derivative = [](TestModel& model) {
        model.dy[0] = 1.0;
        if (model.t > 0.025 && !model.solver.GetInitializationInProgress())
            model.solver.settings.SetStopFlag(true);
    };
    m.Init(AlgorithmEuler);
    EXPECT_TRUE(m.Interval());
    EXPECT_NEAR(m.t, 0.03, 1e-12);
    EXPECT_FALSE(m.solver.settings.CommPointReached);
}

TEST(OdeSolverSetup, SupportedAlgorithmsFollowTheCodeTable) {
    std::vector<int32_t> supported;
    for (int32_t code = -1; code <= 17; ++code)
        if (OdeSolver::IsSupportedAlgorithm(code)) supported.push_back(code);
    EXPECT_EQ(supported, (std::vector<int32_t>{1, 2, 3, 4, 5, 8, 9, 12, 13, 14, 15}));
}

TEST(OdeSolverSetup, InitializeCopiesInitialValuesAndRestartAsksForAFreshStart) {
    TestModel m;
    m.ic[0] = 2.5;
    m.delayInitial[0] = 7.0;
    m.delayInitial[1] = 8.0;
    m.delayCurrent[0] = m.delayNext[0] = -1.0;
    m.Init(AlgorithmRungeKutta4, 1, 2);
    EXPECT_EQ(m.y[0], 2.5);
    EXPECT_EQ(m.delayCurrent[0], 7.0);
    EXPECT_EQ(m.delayNext[1], 8.0);
    ASSERT_NE(m.solver.GetDelayKeys(), nullptr);
    EXPECT_EQ(m.solver.GetDelayKeys()[1], 0);
    EXPECT_EQ(m.integrator().derivFuncArg2, solvertest::kDerivativeSection);

    m.y[0] = 4.0;
    m.delayCurrent[1] = 9.0;
    m.solver.CopyStatesToInitConds();
    EXPECT_EQ(m.ic[0], 4.0);
    EXPECT_EQ(m.delayInitial[1], 9.0);

    m.integrator().restartRequested = false;
    m.solver.Restart(0.125);
    EXPECT_EQ(m.solver.GetStepSize(), 0.125);
    EXPECT_TRUE(m.integrator().restartRequested);

    // Settings are shared with the integrator.
    m.solver.settings.SetStopFlag(true);
    EXPECT_TRUE(m.integrator().settings.GetStopFlag());
}

TEST(OdeSolverSetup, ReinitializationForgetsTheCheckpointOfTheEarlierRun) {
    TestModel m;
    m.Init(AlgorithmEuler);
    m.t = 5.0;
    ASSERT_TRUE(m.solver.SaveState());
    m.Init(AlgorithmEuler);
    m.t = 1.0;
    EXPECT_FALSE(m.solver.RestoreState());
    EXPECT_EQ(m.t, 1.0);
    EXPECT_EQ(m.solver.TakeMessages(), "Unable to restore state variables.\n");
}

TEST(OdeSolverSetup, CheckpointRestoresTimeStatesAndDelayStates) {
    TestModel m;
    m.Init(AlgorithmEuler, 2, 1);
    m.t = 1.5;
    m.y[0] = 3.0;
    m.y[1] = 4.0;
    m.delayCurrent[0] = 5.0;
    m.delayNext[0] = 6.0;
    ASSERT_TRUE(m.solver.SaveState());
    m.t = m.y[0] = m.y[1] = m.delayCurrent[0] = m.delayNext[0] = 0.0;
    m.integrator().restartRequested = false;
    ASSERT_TRUE(m.solver.RestoreState());
    EXPECT_EQ(m.t, 1.5);
    EXPECT_EQ(m.y[1], 4.0);
    EXPECT_EQ(m.delayCurrent[0], 5.0);
    EXPECT_EQ(m.delayNext[0], 0.0);  // next values are not checkpointed
    EXPECT_TRUE(m.integrator().restartRequested);
}

TEST(OdeSolverSetup, DebugDumpWritesTheSummary) {
    TestModel m;
    m.Init(AlgorithmRungeKutta4, 2);
    testing::internal::CaptureStdout();
    m.solver.DebugDump("here");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string rule(62, '=');
    EXPECT_EQ(out.rfind(rule + "\nBeginning of debug dump: [here]\n\tIntegration Alg: 5\n", 0), 0u);
    EXPECT_NE(out.find("\tNum Integration States: 2\n"), std::string::npos);
    EXPECT_NE(out.find("\tCommunication Interval: 1.000000e-01\n"), std::string::npos);
    EXPECT_NE(out.find("End of debug dump...\n" + rule + "\n"), std::string::npos);
}

}  // namespace
