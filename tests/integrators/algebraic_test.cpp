#include <gtest/gtest.h>

#include <string>

#include "integrators/EulerIntegrator.h"
#include "variable_step_driver.h"

namespace {

using driver::Model;
using driver::model;

// z0 + z1 = y, z0 z1 = 2.
void SumAndProduct(Model& m) {
    const double* z = m.z();
    m.dy()[0] = 0.0;
    m.residual()[0] = z[0] + z[1] - m.y()[0];
    m.residual()[1] = z[0] * z[1] - 2.0;
}
// z0 + z1 = 3, z0 - z1 = 1: solution (2, 1) exactly.
void Linear(Model& m) {
    const double* z = m.z();
    m.dy()[0] = 0.0;
    m.residual()[0] = z[0] + z[1] - 3.0;
    m.residual()[1] = z[0] - z[1] - 1.0;
}
// z1 appears nowhere and the second residual depends on no algebraic state.
void Isolated(Model& m) {
    m.dy()[0] = 0.0;
    m.residual()[0] = m.z()[0] - 1.0;
    m.residual()[1] = m.t - 5.0;
}
void Dependent(Model& m) {
    const double* z = m.z();
    m.dy()[0] = 0.0;
    m.residual()[0] = z[0] + z[1] - 1.0;
    m.residual()[1] = 2.0 * (z[0] + z[1]) - 2.0;
}
void NoRoot(Model& m) {
    m.dy()[0] = 0.0;
    m.residual()[0] = m.z()[0] * m.z()[0] + 1.0;
}
void OdeOnly(Model& m) { m.dy()[0] = 1.0; }

std::string Tail(const std::string& text, const std::string& end) {
    return text.size() < end.size() ? text : text.substr(text.size() - end.size());
}

TEST(AlgebraicStates, NothingToSolveWithoutAlgebraicStates) {
    EulerIntegrator method;
    driver::Bind(method, OdeOnly, 1, 0, {0.0});
    EXPECT_TRUE(method.CalculateAlgebraicStates());
    EXPECT_EQ(model.evaluations, 0);
}

TEST(AlgebraicStates, SolvesANonlinearSystemAndTracksItsInputs) {
    EulerIntegrator method;
    driver::Bind(method, SumAndProduct, 1, 2, {3.0, 0.8, 2.3}, 1e-8);
    method.initializationInProgress = true;
    ASSERT_TRUE(method.CalculateAlgebraicStates());
    EXPECT_NEAR(model.z()[0], 1.0, 1e-7);
    EXPECT_NEAR(model.z()[1], 2.0, 1e-7);

    // Outside initialization the stored Jacobian and scales are reused.
    method.initializationInProgress = false;
    model.y()[0] = 3.3;
    ASSERT_TRUE(method.CalculateAlgebraicStates());
    EXPECT_NEAR(model.z()[0], 0.8, 1e-7);
    EXPECT_NEAR(model.z()[1], 2.5, 1e-7);
    EXPECT_EQ(method.TakeMessages(), "");
}

TEST(AlgebraicStates, ExactlySatisfiedResidualsTakeNoStep) {
    EulerIntegrator method;
    driver::Bind(method, Linear, 1, 2, {0.0, 2.0, 1.0});
    method.initializationInProgress = true;
    ASSERT_TRUE(method.CalculateAlgebraicStates());
    // The Jacobian (base, three per column, final) and one iteration.
    EXPECT_EQ(model.evaluations, 8 + 1);
    EXPECT_EQ(model.z()[0], 2.0);
    EXPECT_EQ(model.z()[1], 1.0);

    method.initializationInProgress = false;
    model.evaluations = 0;
    ASSERT_TRUE(method.CalculateAlgebraicStates());
    EXPECT_EQ(model.evaluations, 1);
    EXPECT_EQ(model.z()[0], 2.0);
    EXPECT_EQ(model.z()[1], 1.0);
}

TEST(AlgebraicStates, ReportsVariablesAndResidualsThatDoNotInteract) {
    EulerIntegrator method;
    driver::Bind(method, Isolated, 1, 2, {0.0, 0.0, 0.0});
    method.initializationInProgress = true;
    EXPECT_FALSE(method.CalculateAlgebraicStates());
    EXPECT_EQ(method.TakeMessages(), "No residual depends on variable 1.\nNo variable affects residual 1.\n");
}

TEST(AlgebraicStates, RejectsASingularJacobian) {
    EulerIntegrator method;
    driver::Bind(method, Dependent, 1, 2, {0.0, 0.0, 0.0});
    method.initializationInProgress = true;
    EXPECT_FALSE(method.CalculateAlgebraicStates());
    const std::string messages = method.TakeMessages();
    EXPECT_EQ(Tail(messages, "Condition of algebraic state jacobian 0.000000 too low to proceed\n"),
              "Condition of algebraic state jacobian 0.000000 too low to proceed\n");
}

TEST(AlgebraicStates, GivesUpWhenThereIsNoSolution) {
    EulerIntegrator method;
    driver::Bind(method, NoRoot, 1, 1, {0.0, 0.5}, 1e-8);
    method.initializationInProgress = true;
    EXPECT_FALSE(method.CalculateAlgebraicStates());
    const std::string end = "Too many iterations - algebraic state calculation did not converge.\n";
    EXPECT_EQ(Tail(method.TakeMessages(), end), end);
}

}  // namespace
