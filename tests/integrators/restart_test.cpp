#include <gtest/gtest.h>

#include <memory>

#include "solver/IntegrationMethods.h"
#include "variable_step_driver.h"

namespace {

using driver::Model;
using driver::model;

void Decay(Model& m) { m.dy()[0] = -m.y()[0]; }

constexpr IntegrationAlgorithm kEveryMethod[] = {
    AlgorithmAdamsMoulton, AlgorithmGear,          AlgorithmEuler,     AlgorithmRungeKutta2,
    AlgorithmRungeKutta4,  AlgorithmRungeKuttaFehlberg2, AlgorithmRungeKuttaFehlberg5,
    AlgorithmRosenbrock,   AlgorithmAdamsBashforth2, AlgorithmOdepack, AlgorithmCvode};

struct StepResult {
    double t;
    double y;
    double stepSize;
};

StepResult StepOnce(Integrator& method, double h) {
    method.stepSize = h;
    method.Step();
    driver::AfterStep(method);
    return {model.t, model.y()[0], method.stepSize};
}

// A state set from outside (a restored checkpoint, an event, the host) while
// the stored derivatives still describe the old point: with a restart
// requested, the next step is the step a fresh method takes from there.
TEST(Restart, RestartedStepEqualsAFreshStartForEveryMethod) {
    for (const IntegrationAlgorithm algorithm : kEveryMethod) {
        SCOPED_TRACE(algorithm);
        const std::unique_ptr<Integrator> used = CreateIntegrator(algorithm);
        ASSERT_NE(used, nullptr);
        driver::Bind(*used, Decay, 1, 0, {1.0});
        StepOnce(*used, 0.01);  // some history, then derivatives at y = 1
        StepOnce(*used, 0.01);
        const double t0 = model.t;
        model.y()[0] = 1.0;
        used->CalculateDerivatives();
        model.y()[0] = 2.0;
        used->restartRequested = true;
        const StepResult restarted = StepOnce(*used, 0.01);
        EXPECT_FALSE(used->restartRequested);
        EXPECT_FALSE(model.stopFlag);

        const std::unique_ptr<Integrator> fresh = CreateIntegrator(algorithm);
        driver::Bind(*fresh, Decay, 1, 0, {2.0});
        model.t = t0;
        fresh->CalculateDerivatives();
        const StepResult reference = StepOnce(*fresh, 0.01);
        EXPECT_EQ(restarted.t, reference.t);
        EXPECT_EQ(restarted.y, reference.y);
        EXPECT_EQ(restarted.stepSize, reference.stepSize);
        used->Finalize();
        fresh->Finalize();
    }
}

}  // namespace
