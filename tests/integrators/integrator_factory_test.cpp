#include <gtest/gtest.h>

#include "integrators/IntegratorFactory.h"
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
        // Every supported code has a method to run.
        if (OdeSolver::IsSupportedAlgorithm(code)) {
            EXPECT_NE(integrator, nullptr) << code;
        }
    }
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
