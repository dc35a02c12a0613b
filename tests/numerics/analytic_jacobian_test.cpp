#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <exception>
#include <memory>

#include "integrators/AnalyticJacobian.h"
#include "integrators/variable_step_driver.h"
#include "solver/IntegrationMethods.h"

namespace {

using driver::model;

// Robertson's stiff chemistry and a decoupled decay: y3' = -y3.
void Robertson(driver::Model& m) {
    const double* y = m.x;
    m.f[0] = -0.04 * y[0] + 1e4 * y[1] * y[2];
    m.f[1] = 0.04 * y[0] - 1e4 * y[1] * y[2] - 3e7 * y[1] * y[1];
    m.f[2] = 3e7 * y[1] * y[1];
    m.f[3] = -y[3];
}

// Column 2 has no diagonal entry: the CVODE adapter must add one.
const int32_t kStarts[] = {0, 2, 5, 7, 8};
const int32_t kRows[] = {0, 1, 0, 1, 2, 0, 1, 3};
int jacobianCalls = 0;

void RobertsonJacobian(uint32_t, double* values) {
    ++jacobianCalls;
    Robertson(model);
    const double* y = model.x;
    const double v[] = {-0.04, 0.04, 1e4 * y[2], -1e4 * y[2] - 6e7 * y[1], 6e7 * y[1], 1e4 * y[1], -1e4 * y[1], -1.0};
    std::copy(std::begin(v), std::end(v), values);
}

AnalyticJacobian RobertsonPattern() { return {4, 8, kStarts, kRows, &RobertsonJacobian}; }

struct Outcome {
    double y[4];
    int evaluations;
    int jacobians;
};

int32_t upperBand = -1, lowerBand = -1;

Outcome Integrate(int32_t ialg, const AnalyticJacobian* jacobian) {
    std::unique_ptr<Integrator> it = CreateIntegrator(ialg);
    it->analyticJacobian = jacobian;
    it->settings.bind.jacUpperBandwidth = &upperBand;
    it->settings.bind.jacLowerBandwidth = &lowerBand;
    driver::Bind(*it, &Robertson, 4, 0, {1.0, 0.0, 0.0, 1.0}, 1e-8);
    jacobianCalls = 0;
    try {
        driver::RunTo(*it, 40.0, 1e-5);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "ialg " << ialg << (jacobian ? " analytic" : " differences") << ": " << e.what() << " at t = " << model.t;
    }
    Outcome out{};
    std::copy_n(model.x, 4, out.y);
    out.evaluations = model.evaluations;
    out.jacobians = jacobianCalls;
    EXPECT_EQ(model.stopFlag, 0) << it->TakeMessages();
    it->Finalize();
    return out;
}

// Gear, Rosenbrock, DLSODES and CVODE (sparse, and band when the bandwidth
// settings ask for it) with the model's Jacobian agree with their difference
// quotient runs and with Robertson's values at t = 40, and call it.
TEST(AnalyticJacobian, MethodsUseItAndAgreeWithDifferences) {
    const AnalyticJacobian jacobian = RobertsonPattern();
    struct Case {
        int32_t ialg;
        int32_t upper, lower;
    } cases[] = {{2, -1, -1}, {12, -1, -1}, {14, -1, -1}, {15, -1, -1}, {15, 2, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "ialg " << c.ialg << " band " << c.upper);
        upperBand = c.upper;
        lowerBand = c.lower;
        const Outcome differences = Integrate(c.ialg, nullptr);
        const Outcome analytic = Integrate(c.ialg, &jacobian);
        EXPECT_EQ(differences.jacobians, 0);
        EXPECT_GT(analytic.jacobians, 0);
        EXPECT_LT(analytic.evaluations, differences.evaluations);
        const double reference[] = {0.7158270687, 9.185534764e-6, 0.2841637457, std::exp(-40.0)};
        for (int i = 0; i < 4; ++i) {
            EXPECT_NEAR(analytic.y[i], differences.y[i], 1e-4 * std::fabs(reference[i]) + 1e-12) << i;
            EXPECT_NEAR(analytic.y[i], reference[i], 1e-3 * std::fabs(reference[i]) + 1e-12) << i;
        }
    }
    upperBand = lowerBand = -1;
}

// y' = 1 - sqrt(y) from y = 0, where the formula's slope -1 / (2 sqrt(y)) is
// infinite; a generated Jacobian leaves the floating-point flags as it found them.
void RootGrowth(driver::Model& m) { m.f[0] = 1.0 - std::sqrt(m.x[0]); }

void RootGrowthJacobian(uint32_t, double* values) {
    ++jacobianCalls;
    RootGrowth(model);
    std::fexcept_t flags;
    std::fegetexceptflag(&flags, FE_ALL_EXCEPT);
    values[0] = -0.5 / std::sqrt(model.x[0]);
    std::fesetexceptflag(&flags, FE_ALL_EXCEPT);
}

// Where the model's Jacobian is not finite, the column is differenced
// instead: every implicit method gets past the singular start.
TEST(AnalyticJacobian, SingularEntriesAreDifferenced) {
    const int32_t starts[] = {0, 1};
    const int32_t rows[] = {0};
    const AnalyticJacobian jacobian{1, 1, starts, rows, &RootGrowthJacobian};
    for (int32_t ialg : {2, 12, 14, 15}) {
        SCOPED_TRACE(testing::Message() << "ialg " << ialg);
        std::unique_ptr<Integrator> it = CreateIntegrator(ialg);
        it->analyticJacobian = &jacobian;
        driver::Bind(*it, &RootGrowth, 1, 0, {0.0}, 1e-8);
        jacobianCalls = 0;
        std::feclearexcept(FE_ALL_EXCEPT);
        try {
            driver::RunTo(*it, 5.0, 1e-5);
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what() << " at t = " << model.t;
        }
        EXPECT_EQ(model.stopFlag, 0) << it->TakeMessages();
        EXPECT_GT(jacobianCalls, 0);
        // y(t) solves t = -2 sqrt(y) - 2 ln(1 - sqrt(y)).
        const double r = std::sqrt(model.x[0]);
        EXPECT_NEAR(-2.0 * r - 2.0 * std::log(1.0 - r), model.t, 1e-4);
        it->Finalize();
    }
}

TEST(AnalyticJacobian, MalformedPatternsAreRefused) {
    const int32_t starts[] = {0, 1, 2};
    struct Case {
        const char* what;
        int32_t rows[2];
        int32_t starts[3];
        uint32_t n, nonZeros;
        bool usable;
    } cases[] = {
        {"well formed", {0, 1}, {0, 1, 2}, 2, 2, true},
        {"empty columns", {0, 0}, {0, 0, 0}, 2, 0, true},
        {"row out of range", {0, 2}, {0, 1, 2}, 2, 2, false},
        {"negative row", {-1, 1}, {0, 1, 2}, 2, 2, false},
        {"rows not ascending", {1, 0}, {0, 2, 2}, 2, 2, false},
        {"count differs", {0, 1}, {0, 1, 2}, 2, 3, false},
        {"starts decrease", {0, 1}, {0, 2, 1}, 2, 1, false},
        {"other state count", {0, 1}, {0, 1, 2}, 3, 2, false},
    };
    for (const Case& c : cases) {
        const AnalyticJacobian jacobian{2, c.nonZeros, c.starts, c.rows, &RobertsonJacobian};
        EXPECT_EQ(jacobian.Describes(c.n), c.usable) << c.what;
    }
    const AnalyticJacobian noFunction{2, 2, starts, kRows, nullptr};
    EXPECT_FALSE(noFunction.Describes(2));
}

}  // namespace
