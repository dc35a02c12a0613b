#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "integrators/RungeKuttaFehlberg2Integrator.h"
#include "integrators/RungeKuttaFehlberg5Integrator.h"
#include "variable_step_driver.h"

namespace {

using driver::Model;
using driver::model;

void ConstantRate(Model& m) { m.dy()[0] = 1.0; }
void Growth(Model& m) { m.dy()[0] = m.y()[0]; }
void Oscillator(Model& m) {
    m.dy()[0] = m.y()[1];
    m.dy()[1] = -m.y()[0];
}
// A rate that jumps on every evaluation: no step is small enough.
void Chatter(Model& m) { m.dy()[0] = 1e9 * std::sin(1.7 * m.evaluations); }
void NotANumber(Model& m) { m.dy()[0] = std::numeric_limits<double>::quiet_NaN(); }
// Exponential decay through an algebraic state: y' = -z, 0 = z - y.
void DecayThroughAlgebraic(Model& m) {
    m.dy()[0] = -m.z()[0];
    m.residual()[0] = m.z()[0] - m.y()[0];
}

std::unique_ptr<Integrator> Make(int code) {
    if (code == AlgorithmRungeKuttaFehlberg2) return std::make_unique<RungeKuttaFehlberg2Integrator>();
    return std::make_unique<RungeKuttaFehlberg5Integrator>();
}

TEST(RungeKuttaFehlberg, ConstantRateIsExactAndGrowsTheStepByFive) {
    for (int code : {AlgorithmRungeKuttaFehlberg2, AlgorithmRungeKuttaFehlberg5}) {
        SCOPED_TRACE(code);
        auto method = Make(code);
        driver::Bind(*method, ConstantRate, 1, 0, {0.0});
        const int evaluationsPerStep = code == AlgorithmRungeKuttaFehlberg2 ? 3 : 6;
        method->stepSize = 0.1;
        method->Step();
        EXPECT_NEAR(model.y()[0], 0.1, 1e-15);
        EXPECT_DOUBLE_EQ(model.t, 0.1);
        EXPECT_DOUBLE_EQ(method->stepSize, 0.5);
        EXPECT_TRUE(method->stepSizeChanged);
        EXPECT_EQ(model.evaluations, evaluationsPerStep);
        // With one state and no error the single state is the one charged.
        EXPECT_EQ(method->errorControlCounts[0], 1);
        method->Step();
        EXPECT_NEAR(model.y()[0], 0.6, 1e-15);
        EXPECT_DOUBLE_EQ(method->stepSize, 2.5);
        EXPECT_FALSE(method->settings.GetStopFlag());
    }
}

TEST(RungeKuttaFehlberg, SecondOrderPairOnExponentialGrowth) {
    RungeKuttaFehlberg2Integrator method;
    driver::Bind(method, Growth, 1, 0, {1.0});
    method.stepSize = 0.1;
    method.Step();
    const double k2 = 1.05;
    const double k3 = 1.10498046875;
    EXPECT_EQ(model.dy()[0], k3);  // the last stage stays in the derivatives
    EXPECT_EQ(method.currentErrors[0], k3 - 1.0);
    const double ratio = 0.1 * (k3 - 1.0) / (512 * 1e-4);
    EXPECT_NEAR(ratio, 0.20504, 1e-5);
    EXPECT_DOUBLE_EQ(model.y()[0], 1.0 + 0.1 / 512 * (1.0 + 510 * k2 + k3));
    EXPECT_DOUBLE_EQ(model.t, 0.1);
    EXPECT_NEAR(method.stepSize / 0.1, 1.7667, 1e-4);
    EXPECT_DOUBLE_EQ(method.stepSize, 0.1 * 0.8 / std::sqrt(ratio));
    EXPECT_TRUE(method.stepSizeChanged);
}

TEST(RungeKuttaFehlberg, RejectedAttemptsShrinkAndChargeTheStateOnce) {
    for (int code : {AlgorithmRungeKuttaFehlberg2, AlgorithmRungeKuttaFehlberg5}) {
        SCOPED_TRACE(code);
        auto method = Make(code);
        driver::Bind(*method, Growth, 1, 0, {1.0}, 1e-8);
        method->writeNormalData = true;
        method->stepSize = 1.0;
        method->Step();
        const std::string trace = method->TakeMessages();
        const double h = model.t;  // the accepted step
        EXPECT_LT(h, 1.0);
        EXPECT_GT(h, 0.0);
        EXPECT_DOUBLE_EQ(method->stepSize, h);  // after rejections the reduced step stands
        EXPECT_TRUE(method->stepSizeChanged);
        EXPECT_EQ(method->errorControlCounts[0], 1);
        EXPECT_NEAR(model.y()[0], std::exp(h), 1e-7 * std::exp(h));
        EXPECT_EQ(driver::CountLines(trace, "Start of step."), 1);
        EXPECT_EQ(driver::CountLines(trace, "Estimated error: numConvFails = 0"), 1);
        EXPECT_EQ(driver::CountLines(trace, "Estimated error: numConvFails = 1"), 1);
        const int attempts = driver::CountLines(trace, "Current Errors: ");
        EXPECT_GE(attempts, 2);
        const int stages = code == AlgorithmRungeKuttaFehlberg2 ? 3 : 6;
        EXPECT_EQ(model.evaluations, 1 + attempts * (stages - 1));  // k1 is not recomputed
    }
}

TEST(RungeKuttaFehlberg, GivesUpAtTheMinimumStep) {
    for (int code : {AlgorithmRungeKuttaFehlberg2, AlgorithmRungeKuttaFehlberg5}) {
        SCOPED_TRACE(code);
        auto method = Make(code);
        driver::Bind(*method, Chatter, 1, 0, {0.0});
        method->stepSize = 1e-8;
        method->Step();
        EXPECT_TRUE(method->settings.GetStopFlag());
        EXPECT_TRUE(method->minStepReached);
        EXPECT_DOUBLE_EQ(method->stepSize, method->minStepSize);
        EXPECT_EQ(method->TakeMessages(), "Cannot satisfy error criterion for state number 0.\n");
    }
}

TEST(RungeKuttaFehlberg, NaNRatesFailTheStepInsteadOfLooping) {
    for (int code : {AlgorithmRungeKuttaFehlberg2, AlgorithmRungeKuttaFehlberg5}) {
        SCOPED_TRACE(code);
        auto method = Make(code);
        driver::Bind(*method, NotANumber, 1, 0, {0.0});
        method->stepSize = 0.01;
        method->Step();
        EXPECT_TRUE(method->settings.GetStopFlag());
        EXPECT_EQ(method->TakeMessages(), "Cannot satisfy error criterion for state number 0.\n");
    }
}

TEST(RungeKuttaFehlberg, FifthOrderPairFollowsTheHarmonicOscillator) {
    RungeKuttaFehlberg5Integrator method;
    driver::Bind(method, Oscillator, 2, 0, {1.0, 0.0}, 1e-8);
    const driver::Run run = driver::RunTo(method, 10.0, 0.1);
    EXPECT_FALSE(model.stopFlag);
    EXPECT_NEAR(model.y()[0], std::cos(10.0), 1e-6);
    EXPECT_NEAR(model.y()[1], -std::sin(10.0), 1e-6);
    RecordProperty("steps", run.steps);
    RecordProperty("evaluations", run.evaluations);
    EXPECT_LT(run.steps, 400);
}

TEST(RungeKuttaFehlberg, ResolvesAlgebraicStatesBeforeEveryStage) {
    RungeKuttaFehlberg5Integrator method;
    driver::Bind(method, DecayThroughAlgebraic, 1, 1, {1.0, 1.0}, 1e-7);
    method.initializationInProgress = true;
    ASSERT_TRUE(method.CalculateAlgebraicStates());
    method.initializationInProgress = false;
    driver::RunTo(method, 2.0, 0.1);
    EXPECT_FALSE(model.stopFlag);
    EXPECT_NEAR(model.y()[0], std::exp(-2.0), 1e-5);
    EXPECT_NEAR(model.z()[0], model.y()[0], 1e-6);
}

}  // namespace
