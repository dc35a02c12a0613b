#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "integrators/RosenbrockIntegrator.h"
#include "variable_step_driver.h"

namespace {

using driver::Model;
using driver::model;

void Decay(Model& m) { m.dy()[0] = -m.y()[0]; }
// Eigenvalues -1 (along (1, 1)) and -1000 (along (1, -1)).
void StiffLinear(Model& m) {
    const double* y = m.y();
    m.dy()[0] = -500.5 * y[0] + 499.5 * y[1];
    m.dy()[1] = 499.5 * y[0] - 500.5 * y[1];
}
void Chatter(Model& m) { m.dy()[0] = 1e9 * std::sin(1.7 * m.evaluations); }
void NotANumber(Model& m) { m.dy()[0] = std::numeric_limits<double>::quiet_NaN(); }
void Growth(Model& m) { m.dy()[0] = m.y()[0]; }

TEST(Rosenbrock, SmallErrorGrowsTheStepByTheLimit) {
    RosenbrockIntegrator method;
    driver::Bind(method, Decay, 1, 0, {1.0});
    method.stepSize = 0.01;
    method.Step();
    EXPECT_DOUBLE_EQ(model.t, 0.01);
    EXPECT_NEAR(model.y()[0], std::exp(-0.01), 1e-9);
    EXPECT_DOUBLE_EQ(method.stepSize, 0.015);
    EXPECT_TRUE(method.stepSizeChanged);
}

TEST(Rosenbrock, RejectedAttemptIsLimitedToHalfTheStep) {
    RosenbrockIntegrator method;
    driver::Bind(method, Growth, 1, 0, {1.0}, 1e-2);
    method.stepSize = 1.0;
    method.Step();
    EXPECT_FALSE(method.settings.GetStopFlag());
    // The first attempt's error asks for less than half the step: the retry takes exactly half.
    EXPECT_EQ(model.t, 0.5);
    // Start point, Jacobian (base, three per column, final), time partial
    // (two), two per attempt.
    EXPECT_EQ(model.evaluations, 1 + 5 + 2 + 2 * 2);
    EXPECT_NEAR(model.y()[0], std::exp(0.5), 1e-2 * std::exp(0.5));
    EXPECT_TRUE(method.stepSizeChanged);
    EXPECT_LT(method.stepSize, 0.5);
}

TEST(Rosenbrock, StiffLinearSystemMatchesTheClosedForm) {
    RosenbrockIntegrator method;
    const double tolerance = 1e-6;
    driver::Bind(method, StiffLinear, 2, 0, {2.0, 0.0}, tolerance);
    const driver::Run run = driver::RunTo(method, 5.0, 1e-4);
    EXPECT_FALSE(model.stopFlag);
    const double slow = std::exp(-5.0);
    EXPECT_NEAR(model.y()[0], slow, 10 * tolerance * slow + tolerance);
    EXPECT_NEAR(model.y()[1], slow, 10 * tolerance * slow + tolerance);
    RecordProperty("steps", run.steps);
    RecordProperty("evaluations", run.evaluations);
    EXPECT_LT(run.steps, 500);  // the fast mode does not limit the step
}

TEST(Rosenbrock, GivesUpAfterFortyRejections) {
    RosenbrockIntegrator method;
    driver::Bind(method, Chatter, 1, 0, {0.0});
    method.stepSize = 0.1;
    method.Step();
    EXPECT_TRUE(method.settings.GetStopFlag());
    const std::string messages = method.TakeMessages();
    const std::string expected = "Error: exceeded maximum number of iterations in Rosenbrock integrator.\n";
    ASSERT_GE(messages.size(), expected.size());
    EXPECT_EQ(messages.substr(messages.size() - expected.size()), expected);
    EXPECT_EQ(model.evaluations, 1 + 5 + 2 + 40 * 2);

    // A NaN error estimate is a failed attempt, not an accepted one.
    RosenbrockIntegrator nan;
    driver::Bind(nan, NotANumber, 1, 0, {0.0});
    nan.stepSize = 0.1;
    nan.Step();
    EXPECT_TRUE(nan.settings.GetStopFlag());
    EXPECT_DOUBLE_EQ(model.t, 0.1 * std::ldexp(1.0, -39));  // halved on every rejection
}

}  // namespace
