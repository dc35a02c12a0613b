#pragma once

#include "integrators/Integrator.h"

// Placeholder for DASSL; the runtime never runs it (its code is unsupported).
class DasslIntegrator : public Integrator {
public:
    DasslIntegrator();
    void Step() override;
};
