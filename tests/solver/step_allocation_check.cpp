#include <gtest/gtest.h>

#include "CountingAllocator.h"

#include "solver/SolverTestModel.h"

namespace {

using solvertest::kInstance;
using solvertest::TestModel;

TEST(OdeSolverAllocation, StepAllocatesNothingOnceRunning) {
    TestModel m;
    double period = 0.05;
    m.derivative = [](TestModel& model) {
        model.dy[0] = -model.y[0];
        model.dy[1] = model.y[0];
        // A state-event function that never crosses.
        model.solver.AddEvent(1, StateEvent, 1.0 + model.y[1], kInstance, 1000, nullptr);
    };
    m.ic[0] = 1.0;
    m.Init(AlgorithmRungeKutta4, 2);
    m.solver.settings.SetWriteEventDescription(false);
    m.solver.AddIntervalEvent(2, kInstance, 1001, &period);
    m.serviced.reserve(1000);

    // The first intervals create the value records and the checkpoint store.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(m.Interval());
    const long before = counting_allocator::Count();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(m.Interval());
    EXPECT_EQ(counting_allocator::Count() - before, 0);
    EXPECT_DOUBLE_EQ(m.t, 2.3);
    EXPECT_GE(m.ServiceTimes(1001).size(), 40u);
}

}  // namespace
