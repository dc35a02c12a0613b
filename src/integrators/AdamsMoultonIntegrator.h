#pragma once

#include "integrators/MultiValueMethodIntegrator.h"

// Non-stiff form: functional iteration with the Adams-Moulton coefficients.
class AdamsMoultonIntegrator : public MultiValueMethodIntegrator {
public:
    AdamsMoultonIntegrator();
};
