// Its own executable: it replaces the global operator new to count allocations.

#include <gtest/gtest.h>

#include "CountingAllocator.h"

#include "solver/IntegrationMethods.h"
#include "variable_step_driver.h"

namespace {

using driver::Model;

// Two ODE states (a stiff pair) and one algebraic state tied to them.
void Coupled(Model& m) {
    const double* y = m.y();
    m.dy()[0] = -500.5 * y[0] + 499.5 * y[1] - 0.1 * m.z()[0];
    m.dy()[1] = 499.5 * y[0] - 500.5 * y[1];
    m.residual()[0] = m.z()[0] - y[0] * y[1];
}

TEST(VariableStepAllocation, StepsAllocateNothing) {
    for (int code : {AlgorithmAdamsMoulton, AlgorithmGear, AlgorithmRungeKuttaFehlberg2,
                     AlgorithmRungeKuttaFehlberg5, AlgorithmRosenbrock}) {
        SCOPED_TRACE(code);
        auto method = CreateIntegrator(code);
        ASSERT_NE(method, nullptr);
        ASSERT_GT(counting_allocator::Count(), 0);  // the counting operator new is in use
        driver::Bind(*method, Coupled, 2, 1, {2.0, 0.0, 0.0}, 1e-6);
        method->initializationInProgress = true;
        ASSERT_TRUE(method->CalculateAlgebraicStates());
        method->initializationInProgress = false;
        driver::RunTo(*method, 0.01, 1e-4);

        const long before = counting_allocator::Count();
        const driver::Run run = driver::RunTo(*method, 0.5, method->stepSize);
        EXPECT_EQ(counting_allocator::Count() - before, 0);
        EXPECT_GT(run.steps, 0);
        EXPECT_FALSE(driver::model.stopFlag);
    }
}

}  // namespace
