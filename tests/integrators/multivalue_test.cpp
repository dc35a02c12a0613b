#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "integrators/AdamsMoultonIntegrator.h"
#include "integrators/GearStiffIntegrator.h"
#include "variable_step_driver.h"

namespace {

using driver::Model;
using driver::model;

void Decay(Model& m) { m.dy()[0] = -m.y()[0]; }
void StiffLinear(Model& m) {
    const double* y = m.y();
    m.dy()[0] = -500.5 * y[0] + 499.5 * y[1];
    m.dy()[1] = 499.5 * y[0] - 500.5 * y[1];
}
void Oscillator(Model& m) {
    m.dy()[0] = m.y()[1];
    m.dy()[1] = -m.y()[0];
}
void Chatter(Model& m) { m.dy()[0] = 1e9 * std::sin(1.7 * m.evaluations); }
// y' = -z with 0 = z - 2 y: the algebraic state is eliminated from the Jacobian.
void DecayThroughAlgebraic(Model& m) {
    m.dy()[0] = -m.z()[0];
    m.residual()[0] = m.z()[0] - 2.0 * m.y()[0];
}

// The residual does not depend on the algebraic state.
void SingularAlgebraic(Model& m) {
    m.dy()[0] = -m.z()[0];
    m.residual()[0] = m.y()[0] - 1.0;
}

std::unique_ptr<MultiValueMethodIntegrator> Make(int code) {
    if (code == AlgorithmGear) return std::make_unique<GearStiffIntegrator>();
    return std::make_unique<AdamsMoultonIntegrator>();
}

TEST(MultiValue, FirstStepRestartsAtOrderOne) {
    for (int code : {AlgorithmAdamsMoulton, AlgorithmGear}) {
        SCOPED_TRACE(code);
        auto method = Make(code);
        driver::Bind(*method, Decay, 1, 0, {1.0});
        method->stepSize = 1e-3;
        method->Step();
        EXPECT_EQ(method->order, 1);
        EXPECT_EQ(method->numJacobianEvals, 1);
        EXPECT_EQ(method->numLuDecompositions, code == AlgorithmGear ? 1 : 0);
        EXPECT_DOUBLE_EQ(model.t, 1e-3);
        EXPECT_NEAR(model.y()[0], std::exp(-1e-3), 1e-6);
        EXPECT_FALSE(method->settings.GetStopFlag());
    }
}

TEST(MultiValue, MaximumOrderOneKeepsTheOrder) {
    for (int code : {AlgorithmAdamsMoulton, AlgorithmGear}) {
        SCOPED_TRACE(code);
        auto method = Make(code);
        method->maxOrder = 1;
        driver::Bind(*method, Decay, 1, 0, {1.0}, 1e-6);
        const driver::Run run = driver::RunTo(*method, 2.0, 1e-3);
        EXPECT_EQ(run.maxOrder, 1);
        EXPECT_FALSE(model.stopFlag);
        EXPECT_NEAR(model.y()[0], std::exp(-2.0), 5e-4);  // first order: the global error accumulates
    }
}

TEST(MultiValue, OutsideChangesAndRequestsRestartTheMethod) {
    for (int code : {AlgorithmAdamsMoulton, AlgorithmGear}) {
        SCOPED_TRACE(code);
        auto method = Make(code);
        driver::Bind(*method, Decay, 1, 0, {1.0}, 1e-7);
        driver::RunTo(*method, 1.0, 1e-3);
        // Change the state when the order decision is one step away, too.
        for (int i = 0; i < 20 && method->ordersToNextChange != 1; ++i)
            driver::RunTo(*method, model.t + method->stepSize, method->stepSize);
        ASSERT_EQ(method->ordersToNextChange, 1);
        ASSERT_GT(method->order, 1);
        const int32_t jacobians = method->numJacobianEvals;

        model.y()[0] *= 2.0;  // an event resetting the state
        const double t0 = model.t;
        driver::RunTo(*method, t0 + 1e-4, 1e-4);
        EXPECT_EQ(method->order, 1);
        EXPECT_EQ(method->numJacobianEvals, jacobians + 1);
        EXPECT_NEAR(model.y()[0], 2.0 * std::exp(-t0 - 1e-4), 1e-6);

        driver::RunTo(*method, 2.0, 1e-3);
        ASSERT_GT(method->order, 1);
        method->restartRequested = true;
        driver::RunTo(*method, model.t + 1e-4, 1e-4);
        EXPECT_EQ(method->order, 1);
        EXPECT_FALSE(method->restartRequested);
        EXPECT_EQ(method->numJacobianEvals, jacobians + 2);
    }
}

TEST(MultiValue, StatisticsListStatesBeforeTotals) {
    GearStiffIntegrator method;
    driver::Bind(method, Oscillator, 2, 0, {1.0, 0.0});
    method.stepSize = 0.01;
    method.Step();
    method.TakeMessages();
    method.WriteStatistics();
    std::string expected = "Count of times state controlled step size\n";
    for (int i = 0; i < 2; ++i) {
        char line[100];
        std::snprintf(line, sizeof line, "State: %5d,  Predictor Corrector Resets: %5d, Error Controlled: %5d\n",
                      i, method.correctorResets[i], method.errorControlCounts[i]);
        expected += line;
    }
    expected += "Number of Jacobian evaluations: 1\nNumber of LU decompositions: 1\n";
    EXPECT_EQ(method.TakeMessages(), expected);
    EXPECT_EQ(method.errorControlCounts[0] + method.errorControlCounts[1], 1);
}

TEST(MultiValue, GearFollowsAStiffLinearSystem) {
    GearStiffIntegrator method;
    method.maxOrder = 12;  // beyond the tables: limited to order 6
    const double tolerance = 1e-6;
    driver::Bind(method, StiffLinear, 2, 0, {2.0, 0.0}, tolerance);
    const driver::Run run = driver::RunTo(method, 5.0, 1e-4);
    EXPECT_FALSE(model.stopFlag);
    const double slow = std::exp(-5.0);
    EXPECT_NEAR(model.y()[0], slow, 10 * tolerance * slow + tolerance);
    EXPECT_NEAR(model.y()[1], slow, 10 * tolerance * slow + tolerance);
    EXPECT_LE(run.maxOrder, MultiValueMethodIntegrator::kMaxGearOrder);
    EXPECT_GE(run.maxOrder, 3);
    EXPECT_LT(run.steps, 1000);
    RecordProperty("steps", run.steps);
    RecordProperty("evaluations", run.evaluations);
    RecordProperty("jacobians", method.numJacobianEvals);
    RecordProperty("factorizations", method.numLuDecompositions);
}

TEST(MultiValue, AdamsFollowsTheHarmonicOscillator) {
    AdamsMoultonIntegrator method;
    method.maxOrder = 12;  // limited to order 7
    driver::Bind(method, Oscillator, 2, 0, {1.0, 0.0}, 1e-8);
    const driver::Run run = driver::RunTo(method, 10.0, 1e-3);
    EXPECT_FALSE(model.stopFlag);
    EXPECT_NEAR(model.y()[0], std::cos(10.0), 1e-5);
    EXPECT_NEAR(model.y()[1], -std::sin(10.0), 1e-5);
    EXPECT_LE(run.maxOrder, MultiValueMethodIntegrator::kMaxAdamsOrder);
    EXPECT_GE(run.maxOrder, 4);
    RecordProperty("steps", run.steps);
    RecordProperty("evaluations", run.evaluations);
}

TEST(MultiValue, GivesUpAtTheMinimumStepAndRestartsNextStep) {
    AdamsMoultonIntegrator method;
    driver::Bind(method, Chatter, 1, 0, {0.0});
    method.stepSize = 1e-8;
    method.Step();
    EXPECT_FALSE(method.settings.GetStopFlag());
    EXPECT_TRUE(method.minStepReached);
    EXPECT_EQ(method.ordersToNextChange, -2);
    EXPECT_GT(model.t, 0.0);  // already moved by the failed step
    EXPECT_NE(method.TakeMessages().find("Can't satisfy error criterion for state number 0\n"),
              std::string::npos);
    const int32_t jacobians = method.numJacobianEvals;
    method.Step();
    EXPECT_EQ(method.numJacobianEvals, jacobians + 1);
}

TEST(MultiValue, GearEliminatesAlgebraicStatesFromTheJacobian) {
    GearStiffIntegrator method;
    driver::Bind(method, DecayThroughAlgebraic, 1, 1, {1.0, 2.0}, 1e-7);
    int32_t info = -1;
    method.CalculateJacobianGeneralMatrix(info);
    EXPECT_EQ(info, 0);
    EXPECT_NEAR(method.fullJacobian[0][0], -2.0, 1e-6);  // d(-z)/dy with z = 2 y

    const driver::Run run = driver::RunTo(method, 1.0, 1e-3);
    EXPECT_FALSE(model.stopFlag);
    EXPECT_NEAR(model.y()[0], std::exp(-2.0), 1e-5);
    EXPECT_NEAR(model.z()[0], 2.0 * model.y()[0], 1e-6);
    EXPECT_GT(run.steps, 0);
}

TEST(MultiValue, SingularAlgebraicBlockStopsTheRun) {
    GearStiffIntegrator method;
    driver::Bind(method, SingularAlgebraic, 1, 1, {1.0, 0.0});
    method.stepSize = 0.01;
    method.Step();
    EXPECT_TRUE(method.settings.GetStopFlag());
    const std::string start = "Singular matrix for algebraic states.\nError calculating Jacobian: stop flag set.\n";
    EXPECT_EQ(method.TakeMessages().substr(0, start.size()), start);  // the algebraic solve reports next
}

}  // namespace
