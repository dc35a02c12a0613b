#pragma once

// What an operator with memory reads of the running instance.
struct OperatorContext {
    // The solver is initialising the run (memory is (re)initialised).
    bool initialising = false;
    // The integrator evaluates at the accepted start of a step (memory is
    // committed only then).
    bool stepStart = false;
    // The integrator's independent variable.
    double t = 0.0;
};
