#include <gtest/gtest.h>

#include <string>

#include "solver/IntegrationMethods.h"
#include "solver/OdeSolver.h"

namespace {

TEST(IntegratorFactory, EveryMethodCodeCreatesItsOwnClass) {
    for (int32_t code = -1; code <= 17; ++code) {
        const auto integrator = CreateIntegrator(code);
        const bool hasMethod = code >= 1 && code <= 15 && code != AlgorithmUninitialized;
        ASSERT_EQ(integrator != nullptr, hasMethod) << code;
        if (integrator) {
            EXPECT_EQ(integrator->algorithm, code);
        }
        // Every supported code has a method to run, and every method is in
        // exactly one of the solver's two step groups.
        if (OdeSolver::IsSupportedAlgorithm(code)) {
            EXPECT_NE(integrator, nullptr) << code;
        }
        if (const IntegrationMethod* method = FindIntegrationMethod(code)) {
            EXPECT_EQ(IsFixedStepAlgorithm(code), method->stepKind == StepKind::Fixed) << code;
            EXPECT_NE(std::string(method->name), "") << code;
        } else {
            EXPECT_FALSE(IsFixedStepAlgorithm(code) || OdeSolver::IsSupportedAlgorithm(code)) << code;
        }
    }
    // The groups the solver's step choice relies on.
    for (const int32_t code : {3, 4, 5, 7}) EXPECT_TRUE(IsFixedStepAlgorithm(code)) << code;
    for (const int32_t code : {1, 2, 8, 9, 10, 11, 12, 13, 14, 15})
        EXPECT_EQ(FindIntegrationMethod(code)->stepKind, StepKind::Variable) << code;
}

double t, y[2], dy[2], ic[2];
void Decay(uint32_t, uint32_t) { dy[0] = -y[0], dy[1] = -2 * y[1]; }

TEST(IntegratorFactory, StepAfterFinalizeDoesNothing) {
    for (int32_t code = 1; code <= 15; ++code) {
        const auto integrator = CreateIntegrator(code);
        if (!integrator) continue;
        t = 0;
        y[0] = y[1] = 1;
        integrator->initializationInProgress = false;
        ASSERT_TRUE(integrator->Initialize(&t, 2, y, dy, ic, 0, nullptr, nullptr, nullptr, Decay)) << code;
        integrator->stepSize = 0.1;
        integrator->Step();
        const double time = t, state = y[0];
        integrator->Finalize();
        integrator->Step();
        EXPECT_EQ(t, time) << "ialg " << code;
        EXPECT_EQ(y[0], state) << code;
    }
}

}  // namespace
