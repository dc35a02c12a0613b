#pragma once

#include "integrators/RungeKuttaFehlbergIntegrator.h"

// Fehlberg 4(5) pair: six evaluations per attempt, fifth-order solution.
class RungeKuttaFehlberg5Integrator : public RungeKuttaFehlbergIntegrator {
public:
    RungeKuttaFehlberg5Integrator();
};
