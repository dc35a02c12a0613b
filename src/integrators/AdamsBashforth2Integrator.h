#pragma once

#include <vector>

#include "integrators/Integrator.h"

// Two-step Adams-Bashforth. Keeps the states it left and the derivatives at
// the start of its last step; falls back to one Euler step on the first step,
// after any outside change of a state, and on a restart request.
class AdamsBashforth2Integrator : public Integrator {
public:
    AdamsBashforth2Integrator();
    bool Initialize(double* indVar, uint32_t numOdeStates, double* states, double* derivatives,
                    double* initialConditions, uint32_t numAlgStates, double* algStates,
                    double* residuals, double* algInitialConditions,
                    DerivativeFunction derivativeFunction) override;
    void Finalize() override;
    void Step() override;

    std::vector<double> previousStates;       // numOdeStates, zeros until the first step
    std::vector<double> previousDerivatives;  // numOdeStates
    bool firstStep = true;

private:
    // Notes outside changes of the states and consumes a restart request.
    bool RestartNeeded();
};
