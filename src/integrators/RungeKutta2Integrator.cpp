#include "integrators/RungeKutta2Integrator.h"

RungeKutta2Integrator::RungeKutta2Integrator() {
    algorithm = AlgorithmRungeKutta2;
    order = 2;
}

void RungeKutta2Integrator::Step() {
    if (!Ready() || workVectors[2].size() < numOdeStates) return;  // not initialized, or finalized
    const double t0 = *indVar;
    const double h = stepSize;
    double* y0 = workVectors[1].data();
    double* k1 = workVectors[2].data();
    BeginStep();

    const double stage = (h + h) / 3;
    for (uint32_t i = 0; i < numOdeStates; ++i) {
        y0[i] = states[i];
        k1[i] = derivatives[i];
        states[i] = y0[i] + stage * k1[i];
    }
    *indVar = t0 + stage;
    StageEvaluation("Second derivative evaluation.");

    const double weight = h * 0.25;
    for (uint32_t i = 0; i < numOdeStates; ++i) states[i] = y0[i] + weight * (3.0 * derivatives[i] + k1[i]);
    *indVar = t0 + h;
}
