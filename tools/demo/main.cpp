// Integrates the damped oscillator x'' + 2·zeta·x' + x = 0, x(0) = 1, x'(0) = 0,
// with classical Runge-Kutta through the Integrator interface, and compares
// with the exact solution.
#include <cmath>
#include <cstdio>

#include "integrators/RungeKutta4Integrator.h"

namespace {

constexpr double kZeta = 0.1;
double t = 0.0;
double state[2] = {1.0, 0.0};  // position, velocity
double derivative[2];
double initial[2] = {1.0, 0.0};

void Oscillator(uint32_t, uint32_t) {
    derivative[0] = state[1];
    derivative[1] = -state[0] - 2.0 * kZeta * state[1];
}

double ExactPosition(double time) {
    const double omega = std::sqrt(1.0 - kZeta * kZeta);
    return std::exp(-kZeta * time) * (std::cos(omega * time) + kZeta / omega * std::sin(omega * time));
}

}  // namespace

int main() {
    RungeKutta4Integrator rk4;
    if (!rk4.Initialize(&t, 2, state, derivative, initial, 0, nullptr, nullptr, nullptr, Oscillator)) {
        std::fprintf(stderr, "integrator initialization failed\n");
        return 1;
    }
    rk4.initializationInProgress = false;
    rk4.CopyInitCondsToStates();
    rk4.stepSize = 0.1;

    std::printf("%8s %14s %14s %14s %12s\n", "t", "x", "v", "exact x", "error");
    double worst = 0.0;
    for (int step = 0; step <= 200; ++step) {
        const double error = state[0] - ExactPosition(t);
        worst = std::fmax(worst, std::fabs(error));
        if (step % 20 == 0)
            std::printf("%8.3f %14.9f %14.9f %14.9f %12.3e\n", t, state[0], state[1], ExactPosition(t), error);
        if (step < 200) rk4.Step();
    }
    std::printf("RK4, h = %.2f, %d steps: largest position error %.3e\n", rk4.stepSize, 200, worst);
    rk4.Finalize();
    return 0;
}
