#pragma once

#include "integrators/RungeKuttaFehlbergIntegrator.h"

// Fehlberg 1(2) pair: three evaluations per attempt, second-order solution.
class RungeKuttaFehlberg2Integrator : public RungeKuttaFehlbergIntegrator {
public:
    RungeKuttaFehlberg2Integrator();
};
