#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "integrators/Integrator.h"

// How the solver chooses a method's steps: fixed-step methods take cint/nstp,
// variable-step methods are given the remaining distance and choose their own.
enum class StepKind { Fixed, Variable };

// One `ialg` code: its method class and whether runs may use it.
struct IntegrationMethod {
    int32_t code;
    const char* name;
    StepKind stepKind;
    bool supported;  // placeholders have a class but are never run
    std::unique_ptr<Integrator> (*create)();
};

// Every code with a method class, in code order; adding a method is one row
// here and one class.
std::span<const IntegrationMethod> IntegrationMethods();
// The row of `code`, or null for codes without a method class (0, 6, 16 and up).
const IntegrationMethod* FindIntegrationMethod(int32_t code);
// The integrator for `code`, or null when it has no method class.
std::unique_ptr<Integrator> CreateIntegrator(int32_t code);
