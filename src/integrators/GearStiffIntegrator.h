#pragma once

#include "integrators/MultiValueMethodIntegrator.h"

// Stiff form: Newton iteration with the backward-differentiation coefficients.
class GearStiffIntegrator : public MultiValueMethodIntegrator {
public:
    GearStiffIntegrator();
};
