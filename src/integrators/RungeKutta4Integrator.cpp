#include "integrators/RungeKutta4Integrator.h"

RungeKutta4Integrator::RungeKutta4Integrator() {
    algorithm = AlgorithmRungeKutta4;
    order = 4;
}

void RungeKutta4Integrator::Step() {
    if (!Ready() || workVectors[2].size() < numOdeStates) return;  // not initialized, or finalized
    const double t0 = *indVar;
    const double h = stepSize;
    const double half = h * 0.5;
    double* y0 = workVectors[1].data();
    double* sum = workVectors[2].data();  // k1 + 2·k2 + 2·k3
    BeginStep();

    for (uint32_t i = 0; i < numOdeStates; ++i) {
        y0[i] = states[i];
        sum[i] = derivatives[i];
        states[i] = y0[i] + half * derivatives[i];
    }
    *indVar = t0 + half;
    StageEvaluation("Second derivative evaluation.");

    for (uint32_t i = 0; i < numOdeStates; ++i) {
        sum[i] += 2.0 * derivatives[i];
        states[i] = y0[i] + half * derivatives[i];
    }
    StageEvaluation("Third derivative evaluation.");

    for (uint32_t i = 0; i < numOdeStates; ++i) {
        sum[i] += 2.0 * derivatives[i];
        states[i] = y0[i] + h * derivatives[i];
    }
    *indVar = t0 + h;
    StageEvaluation("Fourth derivative evaluation.");

    for (uint32_t i = 0; i < numOdeStates; ++i) states[i] = y0[i] + (h / 6) * (derivatives[i] + sum[i]);
}
