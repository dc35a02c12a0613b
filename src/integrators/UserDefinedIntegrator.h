#pragma once

#include "integrators/Integrator.h"

// Placeholder for a user-supplied method; the runtime never runs it (its code is unsupported).
class UserDefinedIntegrator : public Integrator {
public:
    UserDefinedIntegrator();
    void Step() override;
};
