#include "integrators/AdamsBashforth2Integrator.h"

AdamsBashforth2Integrator::AdamsBashforth2Integrator() {
    algorithm = AlgorithmAdamsBashforth2;
    order = 2;
}

bool AdamsBashforth2Integrator::InitializeMethod() {
    previousStates.assign(numOdeStates, 0.0);
    previousDerivatives.assign(numOdeStates, 0.0);
    return true;
}

void AdamsBashforth2Integrator::Finalize() {
    std::vector<double>().swap(previousStates);
    std::vector<double>().swap(previousDerivatives);
    Integrator::Finalize();
}

void AdamsBashforth2Integrator::Step() {
    if (!Ready() || previousStates.size() < numOdeStates) return;
    const bool restart = ConsumeRestart(previousStates.data());
    const double t0 = *indVar;
    const double h = stepSize;
    BeginStep();

    if (firstStep || restart) {
        for (uint32_t i = 0; i < numOdeStates; ++i) states[i] += h * derivatives[i];
        firstStep = false;
    } else {
        const double half = h * 0.5;
        for (uint32_t i = 0; i < numOdeStates; ++i)
            states[i] += half * (3.0 * derivatives[i] - previousDerivatives[i]);
    }
    *indVar = t0 + h;
    for (uint32_t i = 0; i < numOdeStates; ++i) {
        previousStates[i] = states[i];
        previousDerivatives[i] = derivatives[i];
    }
}
