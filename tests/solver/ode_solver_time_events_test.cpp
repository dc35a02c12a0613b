#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "solver/SolverTestModel.h"

namespace {

using solvertest::kInstance;
using solvertest::TestModel;

void ScheduleAt(TestModel& m, double time, uint32_t section, bool* flag = nullptr) {
    m.solver.AddEvent(0, TimeEvent, time, kInstance, section, flag);
}

TEST(OdeSolverTimeEvents, EventInsideIntervalIsServicedOnTheWayWithoutCommPointOnEvent) {
    TestModel m;
    m.Init(AlgorithmEuler);
    ScheduleAt(m, 0.05, 1000);
    ASSERT_TRUE(m.Interval());
    EXPECT_DOUBLE_EQ(m.t, 0.1);
    ASSERT_EQ(m.ServiceTimes(1000).size(), 1u);
    EXPECT_DOUBLE_EQ(m.ServiceTimes(1000)[0], 0.05);
    EXPECT_EQ(m.solver.TakeMessages(), "Independent variable event number 1000 serviced at 0.050000.\n");
    EXPECT_EQ(m.solver.TimeEvents().GetNumberPendingEvents(), 0u);
    // The derivative arguments are back to the integration section.
    EXPECT_EQ(m.integrator().derivFuncArg2, solvertest::kDerivativeSection);
}

TEST(OdeSolverTimeEvents, EventEndsTheIntervalWithCommPointOnEvent) {
    TestModel m;
    m.Init(AlgorithmEuler);
    m.solver.settings.SetCommIntOnEvent(true);
    ScheduleAt(m, 0.05, 1000);
    ASSERT_TRUE(m.Interval());
    EXPECT_DOUBLE_EQ(m.t, 0.05);
    EXPECT_TRUE(m.solver.settings.CommPointReached);
    EXPECT_EQ(m.ServiceTimes(1000).size(), 1u);
    ASSERT_TRUE(m.Interval());
    EXPECT_DOUBLE_EQ(m.t, 0.1);
    ASSERT_TRUE(m.Interval());
    EXPECT_DOUBLE_EQ(m.t, 0.2);
}

TEST(OdeSolverTimeEvents, DueTestIsRelativeToTheCurrentTime) {
    TestModel m;
    m.Init(AlgorithmEuler);
    m.solver.settings.SetCommIntOnEvent(true);
    m.t = 100.0;
    ScheduleAt(m, 100.0 + 5e-14, 1000);
    ScheduleAt(m, 100.0 + 5e-13, 1001);
    ASSERT_TRUE(m.Interval());
    ASSERT_EQ(m.ServiceTimes(1000).size(), 1u);
    EXPECT_EQ(m.ServiceTimes(1000)[0], 100.0);
    ASSERT_EQ(m.ServiceTimes(1001).size(), 1u);
    EXPECT_GT(m.ServiceTimes(1001)[0], 100.0);
    EXPECT_EQ(m.t, 100.0 + 5e-13);
    ASSERT_TRUE(m.Interval());
    EXPECT_EQ(m.t, 100.1);
}

TEST(OdeSolverTimeEvents, SameTimeEventsRunInOrderIncludingOnesScheduledWhileServicing) {
    TestModel m;
    bool flag = false;
    std::vector<bool> flagSeen;
    m.discrete = [&](TestModel& model, uint32_t section) {
        flagSeen.push_back(flag);
        if (section == 1000) ScheduleAt(model, 0.05, 1002);
    };
    m.Init(AlgorithmEuler);
    m.solver.settings.SetWriteEventDescription(false);
    ScheduleAt(m, 0.05, 1000, &flag);
    ScheduleAt(m, 0.05, 1001);
    ASSERT_TRUE(m.Interval());
    ASSERT_EQ(m.serviced.size(), 3u);
    EXPECT_EQ(m.serviced[0].first, 1000u);
    EXPECT_EQ(m.serviced[1].first, 1001u);
    EXPECT_EQ(m.serviced[2].first, 1002u);
    for (const auto& entry : m.serviced) EXPECT_DOUBLE_EQ(entry.second, 0.05);
    EXPECT_EQ(flagSeen, (std::vector<bool>{true, false, false}));
    EXPECT_FALSE(flag);
    EXPECT_TRUE(m.solver.GetMessageBuffer().empty());
}

TEST(OdeSolverTimeEvents, IntervalEventRepeatsWithThePeriodReadAtEachRescheduling) {
    TestModel m;
    double period = 0.25;
    m.discrete = [&](TestModel& model, uint32_t) {
        if (model.t > 0.4) period = 0.1;
    };
    m.Init(AlgorithmEuler);
    m.solver.AddIntervalEvent(7, kInstance, 1000, &period);
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(m.Interval());
    const std::vector<double> times = m.ServiceTimes(1000);
    const std::vector<double> expected{0.0, 0.25, 0.5, 0.6, 0.7, 0.8, 0.9, 1.0};
    ASSERT_EQ(times.size(), expected.size());
    for (std::size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(times[i], expected[i], 1e-12) << i;
    EXPECT_EQ(m.solver.TakeMessages().rfind("Interval event number 1000 serviced at 0.000000.\n", 0), 0u);
}

TEST(OdeSolverTimeEvents, IntervalEventWithoutAPeriodThatAdvancesTimeIsServicedOnceAndDropped) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Positive periods that do not take the next due time beyond the due
    // tolerance would make the event due again at once, for ever.
    const std::pair<double, const char*> cases[] = {
        {0.0, "has no positive interval"},   {-0.5, "has no positive interval"},
        {nan, "has no positive interval"},   {1e-17, "has an interval of "},
        {5e-17, "has an interval of "},      {1e-300, "has an interval of "}};
    for (const auto& [value, message] : cases) {
        TestModel m;
        double period = value;
        m.Init(AlgorithmEuler);
        m.solver.AddIntervalEvent(3, kInstance, 1000, &period);
        ASSERT_TRUE(m.Interval());
        EXPECT_EQ(m.ServiceTimes(1000).size(), 1u);
        EXPECT_EQ(m.solver.IntervalEvents().GetNumberPendingEvents(), 0u);
        EXPECT_NE(m.solver.GetMessageBuffer().find(std::string("Interval event number 1000 ") + message),
                  std::string::npos)
            << value;
        EXPECT_DOUBLE_EQ(m.t, 0.1);
    }
    TestModel m;
    m.Init(AlgorithmEuler);
    m.solver.AddIntervalEvent(3, kInstance, 1000, nullptr);
    ASSERT_TRUE(m.Interval());
    EXPECT_EQ(m.ServiceTimes(1000).size(), 1u);
    EXPECT_EQ(m.solver.IntervalEvents().GetNumberPendingEvents(), 0u);
}

TEST(OdeSolverTimeEvents, DelayStatesKeyedToTheSectionTakeTheirNextValuesFirst) {
    TestModel m;
    std::vector<double> seen;
    m.discrete = [&](TestModel& model, uint32_t) { seen.push_back(model.delayCurrent[0]); };
    m.Init(AlgorithmEuler, 1, 2);
    m.solver.GetDelayKeys()[0] = 1000;
    m.solver.GetDelayKeys()[1] = 1001;
    m.delayNext[0] = 3.0;
    m.delayNext[1] = 4.0;
    ScheduleAt(m, 0.05, 1000);
    ASSERT_TRUE(m.Interval());
    EXPECT_EQ(seen, (std::vector<double>{3.0}));
    EXPECT_EQ(m.delayCurrent[0], 3.0);
    EXPECT_EQ(m.delayCurrent[1], 0.0);

    m.solver.UpdateDelayStates(1001);
    EXPECT_EQ(m.delayCurrent[1], 4.0);
}

TEST(OdeSolverTimeEvents, EventNotAheadOfTimeStopsTheRunNamingTheEvent) {
    TestModel m;
    m.Init(AlgorithmEuler);
    for (int i = 0; i < 3; ++i) m.Interval();
    m.solver.TakeMessages();
    ScheduleAt(m, 0.1, 1004);
    EXPECT_FALSE(m.Interval());
    EXPECT_TRUE(m.solver.settings.GetStopFlag());
    EXPECT_EQ(m.solver.TakeMessages(),
              "Independent variable event number 1004 is due at 0.100000, not after the current "
              "time 0.300000.\n");
    EXPECT_TRUE(m.ServiceTimes(1004).empty());
    EXPECT_DOUBLE_EQ(m.t, 0.3);

    // Scheduled at the current time outside servicing: stopped the same way.
    TestModel n;
    n.Init(AlgorithmEuler);
    n.Interval();
    ScheduleAt(n, n.t, 1005);
    EXPECT_FALSE(n.Interval());
    EXPECT_NE(n.solver.GetMessageBuffer().find("event number 1005"), std::string::npos);
}

TEST(OdeSolverTimeEvents, RegistrationIsIgnoredWhileInitializingAndQueuesClearOnReset) {
    TestModel m;
    double period = 0.5;
    m.Init(AlgorithmEuler);
    m.solver.SetInitializationInProgress(true);
    ScheduleAt(m, 0.05, 1000);
    m.solver.AddIntervalEvent(1, kInstance, 1001, &period);
    m.solver.SetInitializationInProgress(false);
    EXPECT_EQ(m.solver.TimeEvents().GetNumberPendingEvents(), 0u);
    EXPECT_EQ(m.solver.IntervalEvents().GetNumberPendingEvents(), 0u);

    // Type 1 is not registered through AddEvent.
    EXPECT_FALSE(m.solver.AddEvent(1, IntervalEvent, 0.05, kInstance, 1000, nullptr));
    EXPECT_EQ(m.solver.IntervalEvents().GetNumberPendingEvents(), 0u);

    ScheduleAt(m, 0.05, 1000);
    ScheduleAt(m, 0.07, 1001);
    m.solver.AddIntervalEvent(1, kInstance, 1002, &period);
    m.solver.ClearEventQueues();
    ASSERT_TRUE(m.Interval());
    EXPECT_TRUE(m.serviced.empty());
}

}  // namespace

// y' = rate, y(0) = 0, with the rate switched from 0 to 1 by a time event at
// t = 5: the states are constant until then, so only the serviced event tells
// a method with history that the right-hand side changed. y(t) = max(0, t - 5).
TEST(OdeSolverTimeEvents, RightHandSideSwitchedAtAnEventIsSeenByEveryStiffMethod) {
    for (IntegrationAlgorithm algorithm :
         {AlgorithmGear, AlgorithmRosenbrock, AlgorithmOdepack, AlgorithmCvode}) {
        SCOPED_TRACE(testing::Message() << "ialg " << static_cast<int32_t>(algorithm));
        TestModel m;
        double rate = 0.0;
        m.derivative = [&rate](TestModel& model) { model.dy[0] = rate; };
        m.discrete = [&rate](TestModel&, uint32_t) { rate = 1.0; };
        m.Init(algorithm);
        m.solver.SetCommInterval(1.0);
        ScheduleAt(m, 5.0, 1000);
        for (int interval = 1; interval <= 10; ++interval) {
            ASSERT_TRUE(m.Interval());
            ASSERT_DOUBLE_EQ(m.t, interval);
            EXPECT_NEAR(m.y[0], std::max(0.0, m.t - 5.0), 1e-6) << "t = " << m.t;
        }
        EXPECT_EQ(m.ServiceTimes(1000).size(), 1u);
    }
}
