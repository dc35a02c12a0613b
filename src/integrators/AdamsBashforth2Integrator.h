#pragma once

#include <vector>

#include "integrators/Integrator.h"

// Two-step Adams-Bashforth. Keeps the states it left and the derivatives at
// the start of its last step; falls back to one Euler step on the first step,
// after any outside change of a state, and on a restart request.
class AdamsBashforth2Integrator : public Integrator {
public:
    AdamsBashforth2Integrator();
    bool InitializeMethod() override;
    void Finalize() override;
    void Step() override;

    std::vector<double> previousStates;       // numOdeStates, zeros until the first step
    std::vector<double> previousDerivatives;  // numOdeStates
    bool firstStep = true;

private:
};
