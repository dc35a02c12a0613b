#include "integrators/EulerIntegrator.h"

EulerIntegrator::EulerIntegrator() {
    algorithm = AlgorithmEuler;
    order = 1;
}

void EulerIntegrator::Step() {
    if (!Ready() || workVectors[0].size() < numOdeStates) return;  // not initialized, or finalized
    const double t0 = *indVar;
    const double h = stepSize;
    BeginStep();
    for (uint32_t i = 0; i < numOdeStates; ++i) states[i] += h * derivatives[i];
    *indVar = t0 + h;
    // The trace of the end point repeats the opening's text.
    StageEvaluation("Start of step.");
}
