#pragma once

#include "integrators/Integrator.h"

// Second-order Runge-Kutta with Ralston's coefficients (stage at 2h/3, weights 1/4 and 3/4).
class RungeKutta2Integrator : public Integrator {
public:
    RungeKutta2Integrator();
    void Step() override;
};
