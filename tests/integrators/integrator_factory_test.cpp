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

}  // namespace
