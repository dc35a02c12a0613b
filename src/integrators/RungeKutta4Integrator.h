#pragma once

#include "integrators/Integrator.h"

// Classical fourth-order Runge-Kutta.
class RungeKutta4Integrator : public Integrator {
public:
    RungeKutta4Integrator();
    void Step() override;
};
