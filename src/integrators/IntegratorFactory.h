#pragma once

#include <cstdint>
#include <memory>

#include "integrators/Integrator.h"

// The integrator for an `ialg` code; null for codes without a method class
// (0, 6, above 15) and for methods not built into this library.
std::unique_ptr<Integrator> CreateIntegrator(int32_t algorithm);
