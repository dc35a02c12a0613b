// A thread cancelled inside the model's derivative section unwinds to its
// end through every catch-all of the integrators and of the solver packages'
// guards: it is neither swallowed as a model fault nor a call of terminate.

#include <gtest/gtest.h>

#include <pthread.h>

#include "solver/IntegrationMethods.h"

namespace {

double t, y[2], dy[2], ic[2];
int evaluations;

// Cancels its own thread at the third evaluation (inside the package's call).
void CancelledDecay(uint32_t, uint32_t) {
    dy[0] = -y[0];
    dy[1] = -2 * y[1];
    if (++evaluations == 3) {
        pthread_cancel(pthread_self());
        pthread_testcancel();
    }
}

void* StepUntilCancelled(void* integrator) {
    auto& method = *static_cast<Integrator*>(integrator);
    for (int step = 0; step < 100; ++step) method.Step();
    return nullptr;
}

TEST(Cancellation, UnwindsThroughEveryIntegrator) {
    for (int32_t code : {AlgorithmRungeKutta4, AlgorithmGear, AlgorithmOdepack, AlgorithmCvode}) {
        SCOPED_TRACE(testing::Message() << "ialg " << code);
        auto method = CreateIntegrator(code);
        ASSERT_NE(method, nullptr);
        t = 0;
        y[0] = y[1] = 1;
        evaluations = 0;
        method->initializationInProgress = false;
        ASSERT_TRUE(method->Initialize(&t, 2, y, dy, ic, 0, nullptr, nullptr, nullptr, CancelledDecay));
        method->stepSize = 0.1;
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, nullptr, &StepUntilCancelled, method.get()), 0);
        void* result = nullptr;
        ASSERT_EQ(pthread_join(thread, &result), 0);
        EXPECT_EQ(result, PTHREAD_CANCELED);
        // The integrator is still usable (the package's lock was released).
        evaluations = 10;
        method->Step();
        EXPECT_GT(t, 0.0);
    }
}

}  // namespace
