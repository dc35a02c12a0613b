#pragma once

#include "integrators/Integrator.h"

// Placeholder for Bulirsch-Stoer extrapolation; the runtime never runs it (its code is unsupported).
class BulirschStoerIntegrator : public Integrator {
public:
    BulirschStoerIntegrator();
    void Step() override;
};
