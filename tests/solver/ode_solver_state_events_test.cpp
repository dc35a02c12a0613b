#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "solver/RootFinding.h"
#include "solver/SolverTestModel.h"

namespace {

using solvertest::kInstance;
using solvertest::ProposingIntegrator;
using solvertest::TestModel;

// One event function reported by the derivative section.
struct EventFunction {
    uint32_t id;
    OdeEventType type;
    uint32_t section;
    double (*value)(const TestModel&);
    bool* flag = nullptr;
};

// y' = 1 and the given event functions, reported at every evaluation
// (also while the model initializes, which turns on per-step checkpoints).
void UseEventFunctions(TestModel& m, std::vector<EventFunction> functions) {
    m.derivative = [functions](TestModel& model) {
        model.dy[0] = 1.0;
        for (const EventFunction& f : functions)
            model.solver.AddEvent(f.id, f.type, f.value(model), kInstance, f.section, f.flag);
    };
}

double Above07(const TestModel& m) { return m.y[0] - 0.7; }
// Off the step boundaries of cint 0.1 with ten steps.
double Above073(const TestModel& m) { return m.y[0] - 0.73; }

TEST(OdeSolverStateEvents, DetectionFollowsDirectionAndTheExactZeroRules) {
    OdeSolver solver;
    const auto crossing = [&](OdeEventType type, double p, double c) {
        OdeEvent previous(0.0, 1, type, p, kInstance, 1000, static_cast<bool*>(nullptr));
        OdeEvent current(1.0, 1, type, c, kInstance, 1000, static_cast<bool*>(nullptr));
        return solver.CheckForZeroCrossing(&previous, &current);
    };
    EXPECT_TRUE(crossing(StateEvent, -1.0, 1.0));
    EXPECT_TRUE(crossing(RisingStateEvent, -1.0, 1.0));
    EXPECT_FALSE(crossing(FallingStateEvent, -1.0, 1.0));
    EXPECT_TRUE(crossing(StateEvent, 1.0, -1.0));
    EXPECT_FALSE(crossing(RisingStateEvent, 1.0, -1.0));
    EXPECT_TRUE(crossing(FallingStateEvent, 1.0, -1.0));
    // Zero at the start never starts a crossing; zero at the end does.
    EXPECT_FALSE(crossing(StateEvent, 0.0, 1.0));
    EXPECT_FALSE(crossing(StateEvent, 0.0, -1.0));
    EXPECT_TRUE(crossing(StateEvent, -1.0, 0.0));
    EXPECT_TRUE(crossing(RisingStateEvent, -1.0, 0.0));
    EXPECT_FALSE(crossing(FallingStateEvent, -1.0, 0.0));
    EXPECT_FALSE(crossing(StateEvent, 1.0, 2.0));
    EXPECT_FALSE(crossing(StateEvent, std::nan(""), 1.0));
    EXPECT_FALSE(crossing(TimeEvent, -1.0, 1.0));
    EXPECT_FALSE(crossing(IntervalEvent, -1.0, 1.0));
}

TEST(OdeSolverStateEvents, ReportsGoToTheStoreOfTheEvaluationKind) {
    TestModel m;
    m.derivative = [](TestModel& model) { model.dy[0] = 1.0; };
    m.Init(AlgorithmEuler);
    EXPECT_FALSE(m.solver.GetCheckpointEachStep());

    m.solver.SetInitializationInProgress(true);
    m.solver.AddEvent(5, StateEvent, -1.0, kInstance, 1000, nullptr);
    m.solver.SetInitializationInProgress(false);
    EXPECT_TRUE(m.solver.GetCheckpointEachStep());
    EXPECT_EQ(m.solver.PreviousValues().GetNumberPendingEvents(), 0u);

    m.solver.AddEvent(5, StateEvent, -1.0, kInstance, 1000, nullptr);  // inside a stage
    m.integrator().firstDerivEval = true;
    m.solver.AddEvent(5, StateEvent, -1.0, kInstance, 1000, nullptr);
    m.t = 0.5;
    m.solver.AddEvent(5, StateEvent, -2.0, kInstance, 1000, nullptr);
    m.integrator().firstDerivEval = false;
    m.integrator().postStepDerivEval = true;
    m.solver.AddEvent(5, StateEvent, 3.0, kInstance, 1000, nullptr);
    m.integrator().postStepDerivEval = false;

    ASSERT_EQ(m.solver.PreviousValues().GetNumberPendingEvents(), 1u);
    auto* previous = static_cast<OdeEvent*>(m.solver.PreviousValues().GetEvent(5u));
    EXPECT_EQ(previous->GetValue(), -2.0);
    EXPECT_EQ(previous->GetTimeStamp(), 0.5);
    ASSERT_EQ(m.solver.CurrentValues().GetNumberPendingEvents(), 1u);
    EXPECT_TRUE(m.solver.CheckForZeroCrossings());
    EXPECT_TRUE(previous->IsTriggered());
}

TEST(OdeSolverStateEvents, BrentReportsALostBracketAndAPointOnTheRoot) {
    double a = 0.0, fa = 1.0, b = 0.0, fb = 1.0, c = 1.0, fc = 2.0;
    bool converged = true;
    EXPECT_FALSE(RootFinding::Brent(a, fa, b, fb, c, fc, 1e-9, 1e-9, converged));
    EXPECT_FALSE(converged);

    a = 0.0, fa = -1.0, b = 0.5, fb = 0.0, c = 1.0, fc = 1.0;
    EXPECT_TRUE(RootFinding::Brent(a, fa, b, fb, c, fc, 1e-9, 1e-9, converged));
    EXPECT_TRUE(converged);
    EXPECT_EQ(b, 0.5);

    // A narrow bracket converges on its later end.
    a = 0.0, fa = -1.0, b = 0.3, fb = -0.1, c = 0.3 + 1e-10, fc = 0.1;
    EXPECT_TRUE(RootFinding::Brent(a, fa, b, fb, c, fc, 1e-9, 1e-9, converged));
    EXPECT_TRUE(converged);
    EXPECT_EQ(b, 0.3 + 1e-10);
}

TEST(OdeSolverStateEvents, RisingCrossingIsLocatedJustAfterTheClosedFormRoot) {
    TestModel m;
    bool flag = false;
    std::vector<bool> flagDuringService;
    UseEventFunctions(m, {{1, RisingStateEvent, 1000, Above07, &flag}});
    m.discrete = [&](TestModel&, uint32_t) { flagDuringService.push_back(flag); };
    m.Init(AlgorithmRungeKutta4);
    m.solver.SetCommInterval(0.25);
    m.solver.SetStepsPerCint(3);  // the root lies inside the step (0.667, 0.75)
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(m.Interval());

    const std::vector<double> times = m.ServiceTimes(1000);
    ASSERT_EQ(times.size(), 1u);
    EXPECT_GE(times[0], 0.7 - 1e-15);
    EXPECT_LE(times[0], 0.7 + 1e-9);
    EXPECT_EQ(flagDuringService, (std::vector<bool>{true}));
    EXPECT_FALSE(flag);
    EXPECT_DOUBLE_EQ(m.t, 1.0);
    EXPECT_NEAR(m.y[0], 1.0, 1e-12);

    const std::string messages = m.solver.TakeMessages();
    // The first narrowing bisects the step that overshot.
    EXPECT_EQ(messages.rfind("State event number 1000\n"
                             "Window between 0.708333 and 0.750000, current value = 5.000000e-02.\n",
                             0),
              0u);
    EXPECT_NE(messages.find("State event number 1000 serviced at 0.700000.\n"), std::string::npos);
}

TEST(OdeSolverStateEvents, NoNarrowingMessagesWithoutEventDescriptions) {
    TestModel m;
    UseEventFunctions(m, {{1, StateEvent, 1000, Above073}});
    m.Init(AlgorithmRungeKutta4);
    m.solver.settings.SetWriteEventDescription(false);
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(m.Interval());
    EXPECT_EQ(m.ServiceTimes(1000).size(), 1u);
    EXPECT_TRUE(m.solver.GetMessageBuffer().empty());
}

TEST(OdeSolverStateEvents, DirectionSelectsWhichCrossingsAreServiced) {
    TestModel m;
    UseEventFunctions(m, {{1, RisingStateEvent, 1000, [](const TestModel& x) { return 0.35 - x.y[0]; }},
                          {2, FallingStateEvent, 1001, [](const TestModel& x) { return 0.35 - x.y[0]; }},
                          {3, StateEvent, 1002, [](const TestModel& x) { return x.y[0] - 0.55; }}});
    m.Init(AlgorithmRungeKutta4);
    m.solver.SetStepsPerCint(3);
    for (int i = 0; i < 7; ++i) ASSERT_TRUE(m.Interval());
    EXPECT_TRUE(m.ServiceTimes(1000).empty());
    ASSERT_EQ(m.ServiceTimes(1001).size(), 1u);
    EXPECT_NEAR(m.ServiceTimes(1001)[0], 0.35, 2e-9);
    ASSERT_EQ(m.ServiceTimes(1002).size(), 1u);
    EXPECT_NEAR(m.ServiceTimes(1002)[0], 0.55, 2e-9);
}

TEST(OdeSolverStateEvents, ZeroAtAStepEndIsLocatedAtOnceAndZeroAtTheStartNever) {
    TestModel m;
    UseEventFunctions(m, {{1, StateEvent, 1000, [](const TestModel& x) { return x.y[0] - 0.5; }},
                          {2, StateEvent, 1001, [](const TestModel& x) { return x.y[0]; }}});
    m.Init(AlgorithmEuler);
    m.solver.SetCommInterval(0.25);
    m.solver.SetStepsPerCint(1);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(m.Interval());
    EXPECT_EQ(m.ServiceTimes(1000), (std::vector<double>{0.5}));
    EXPECT_TRUE(m.ServiceTimes(1001).empty());
    // Located at the step end: no narrowing, nothing restored.
    EXPECT_EQ(m.solver.GetMessageBuffer().find("Window"), std::string::npos);
}

TEST(OdeSolverStateEvents, SimultaneousCrossingsAreServicedTogetherInQueueOrder) {
    TestModel m;
    UseEventFunctions(m, {{2, RisingStateEvent, 1001, [](const TestModel& x) { return 2.0 * (x.y[0] - 0.73); }},
                          {1, RisingStateEvent, 1000, Above073}});
    m.Init(AlgorithmRungeKutta4);
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(m.Interval());
    ASSERT_EQ(m.serviced.size(), 2u);
    // Reported at the same time, so ordered by id.
    EXPECT_EQ(m.serviced[0].first, 1000u);
    EXPECT_EQ(m.serviced[1].first, 1001u);
    EXPECT_EQ(m.serviced[0].second, m.serviced[1].second);
    EXPECT_NEAR(m.serviced[0].second, 0.73, 1e-9);
}

TEST(OdeSolverStateEvents, VanishedCrossingServicesNothingAndKeepsTheGrid) {
    TestModel m;
    static bool vanished;
    vanished = false;
    m.derivative = [](TestModel& model) {
        model.dy[0] = 1.0;
        const double g = vanished ? 1.0 : model.y[0] - 0.7;
        model.solver.AddEvent(1, StateEvent, g, kInstance, 1000, nullptr);
        if (model.solver.GetIntegrator() && model.integrator().postStepDerivEval && g >= 0.0)
            vanished = true;
    };
    m.Init(AlgorithmRungeKutta4);
    m.solver.SetCommInterval(0.25);
    m.solver.SetStepsPerCint(3);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(m.Interval());
    EXPECT_EQ(m.t, 0.75);
    EXPECT_TRUE(m.serviced.empty());
    ASSERT_TRUE(m.Interval());
    EXPECT_EQ(m.t, 1.0);
}

TEST(OdeSolverStateEvents, CrossingWithoutInitialReportFailsOnTheEmptyCheckpoint) {
    TestModel m;
    m.derivative = [](TestModel& model) {
        model.dy[0] = 1.0;
        if (!model.solver.GetInitializationInProgress())
            model.solver.AddEvent(1, StateEvent, model.y[0] - 0.055, kInstance, 1000, nullptr);
    };
    m.Init(AlgorithmEuler);
    EXPECT_FALSE(m.solver.GetCheckpointEachStep());
    EXPECT_FALSE(m.Interval());
    EXPECT_TRUE(m.solver.settings.GetStopFlag());
    EXPECT_NE(m.solver.GetMessageBuffer().find("Unable to restore state variables.\n"), std::string::npos);
    EXPECT_TRUE(m.serviced.empty());
}

TEST(OdeSolverStateEvents, CommPointOnEventEndsTheIntervalAndKeepsTheNextGridPoint) {
    TestModel m;
    UseEventFunctions(m, {{1, RisingStateEvent, 1000, Above073}});
    m.Init(AlgorithmRungeKutta4);
    m.solver.settings.SetCommIntOnEvent(true);
    for (int i = 0; i < 7; ++i) ASSERT_TRUE(m.Interval());
    EXPECT_DOUBLE_EQ(m.t, 0.7);
    ASSERT_TRUE(m.Interval());
    EXPECT_NEAR(m.t, 0.73, 1e-9);
    EXPECT_TRUE(m.solver.settings.CommPointReached);
    EXPECT_EQ(m.ServiceTimes(1000).size(), 1u);
    ASSERT_TRUE(m.Interval());
    EXPECT_DOUBLE_EQ(m.t, 0.8);
    ASSERT_TRUE(m.Interval());
    EXPECT_DOUBLE_EQ(m.t, 0.9);
}

TEST(OdeSolverStateEvents, EarlierUnlocatedCrossingIsNotOvertakenByALocatedOne) {
    TestModel m;
    UseEventFunctions(m, {{1, RisingStateEvent, 1000, [](const TestModel& x) { return x.y[0] - 0.1; }},
                          {2, RisingStateEvent, 1001, [](const TestModel& x) { return x.y[0] - 0.25; }}});
    m.Init(AlgorithmEuler);
    m.solver.SetCommInterval(0.25);
    m.solver.SetStepsPerCint(1);  // one step 0 -> 0.25, exactly on the second root
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(m.Interval());
    ASSERT_EQ(m.ServiceTimes(1000).size(), 1u);
    EXPECT_NEAR(m.ServiceTimes(1000)[0], 0.1, 1e-9);
    ASSERT_EQ(m.ServiceTimes(1001).size(), 1u);
    EXPECT_NEAR(m.ServiceTimes(1001)[0], 0.25, 1e-9);
    EXPECT_EQ(m.serviced[0].first, 1000u);
}

TEST(OdeSolverStateEvents, LocatedEventIsNotServicedShortOfItsCrossingWhenTheLastStepCannotBeSized) {
    TestModel m;
    UseEventFunctions(m, {{1, RisingStateEvent, 1000, Above07}});
    // The first step proposes 0.5, the re-integration then proposes 0.
    auto method = std::make_unique<ProposingIntegrator>(std::vector<double>{0.5, 0.0});
    ProposingIntegrator* proposing = method.get();
    m.Init(AlgorithmRungeKuttaFehlberg2, 1, 0, std::move(method));
    m.solver.SetCommInterval(1.0);
    m.solver.SetStepSize(1.0);
    m.solver.SetMinStepSize(0.55);  // the bracket [0.5, 1] is then narrow enough
    EXPECT_FALSE(m.Interval());
    EXPECT_TRUE(m.solver.settings.GetStopFlag());
    // Located in [0.5, 1], but at 0.5 the function has not crossed yet.
    EXPECT_EQ(m.t, 0.5);
    EXPECT_TRUE(m.ServiceTimes(1000).empty());
    // No step of the unusable size is taken after the location.
    EXPECT_EQ(proposing->taken.size(), 2u);
}

TEST(OdeSolverStateEvents, TimeEventQueuedByAStateEventInsideTheIntervalIsMet) {
    TestModel m;
    UseEventFunctions(m, {{1, RisingStateEvent, 1000, [](const TestModel& x) { return x.y[0] - 0.503; }}});
    m.discrete = [](TestModel& model, uint32_t section) {
        if (section == 1000) model.solver.AddEvent(0, TimeEvent, model.t + 0.047, kInstance, 1001, nullptr);
    };
    m.Init(AlgorithmRungeKutta4);
    ASSERT_FALSE(m.solver.settings.GetCommIntOnEvent());
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(m.Interval()) << m.solver.GetMessageBuffer();
    ASSERT_EQ(m.ServiceTimes(1000).size(), 1u);
    EXPECT_NEAR(m.ServiceTimes(1000)[0], 0.503, 1e-9);
    ASSERT_EQ(m.ServiceTimes(1001).size(), 1u);
    EXPECT_NEAR(m.ServiceTimes(1001)[0], 0.55, 1e-9);
    EXPECT_EQ(m.t, 0.8);  // the grid is kept
}

// Flags its midpoint evaluation as the step's first one, as a method that
// reuses the start-point derivatives does.
class MidpointFlaggingIntegrator : public Integrator {
public:
    void Step() override {
        const double t0 = *indVar;
        const double h = stepSize;
        for (uint32_t i = 0; i < numOdeStates; ++i) states[i] += 0.5 * h * derivatives[i];
        *indVar = t0 + 0.5 * h;
        firstDerivEval = true;
        CalculateDerivatives();
        firstDerivEval = false;
        for (uint32_t i = 0; i < numOdeStates; ++i) states[i] += 0.5 * h * derivatives[i];
        *indVar = t0 + h;
    }
};

TEST(OdeSolverStateEvents, CrossingBeforeAFlaggedMidpointEvaluationIsFound) {
    TestModel m;
    UseEventFunctions(m, {{1, RisingStateEvent, 1000, Above073}});
    m.Init(AlgorithmEuler, 1, 0, std::make_unique<MidpointFlaggingIntegrator>());
    m.solver.SetStepsPerCint(1);  // the step [0.7, 0.8] is flagged at 0.75
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(m.Interval());
    ASSERT_EQ(m.ServiceTimes(1000).size(), 1u);
    EXPECT_NEAR(m.ServiceTimes(1000)[0], 0.73, 1e-9);
}

TEST(OdeSolverStateEvents, ResetDropsEveryStateEventRecord) {
    TestModel m;
    UseEventFunctions(m, {{1, StateEvent, 1000, Above07}});
    m.Init(AlgorithmEuler);
    m.Interval();
    EXPECT_EQ(m.solver.PreviousValues().GetNumberPendingEvents(), 1u);
    EXPECT_EQ(m.solver.CurrentValues().GetNumberPendingEvents(), 1u);
    m.solver.ClearEventQueues();
    EXPECT_EQ(m.solver.PreviousValues().GetNumberPendingEvents(), 0u);
    EXPECT_EQ(m.solver.CurrentValues().GetNumberPendingEvents(), 0u);
    EXPECT_TRUE(m.solver.PendingStateEvents().empty());
}

}  // namespace
