#pragma once

#include "integrators/Integrator.h"

// Explicit Euler: y(t0 + h) = y0 + h·f(t0, y0).
class EulerIntegrator : public Integrator {
public:
    EulerIntegrator();
    void Step() override;
};
