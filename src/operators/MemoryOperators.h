#pragma once

// Operators whose value depends on the history of the run. Their memory lives
// in model variables passed by address; it is (re)initialised while the solver
// initialises the run and committed only at accepted step starts, so trial
// evaluations inside a step never change it. An operator whose instance has no
// running solver does nothing and writes no output.

#include <cstdint>

extern "C" {

// Transport delay of x by `delay` over a ring of n time/value samples.
void zzdlym(uint32_t instance, double x, double ic, double delay, int32_t n, double dtmin,
            double* output, double* timeBuffer, double* valueBuffer, int32_t* head,
            int32_t* cursor, uint8_t* updateFlag);
// Rate to integrate for a limited integrator (rate held at zero while it
// pushes beyond a limit).
void zzdlim(uint32_t instance, double* output, double* latchedRate, double* initialLatch,
            double state, double rate, double lower, double upper);
// Rate to integrate for a limited integrator that clamps its state in place.
double zzlimf(double* state, double rate, double lower, double upper);
// Numerical derivative of x, updated at accepted step starts.
void zzxdot(uint32_t instance, double x, double initialSlope, double* output, double* previousX,
            double* previousT, double* slope);
// Backlash (hysteresis) of total width 2 * halfWidth; follows instance 1.
void zzbkls(double* output, double* heldValue, double ic, double halfWidth, double x);
// Switched exponential rising towards 1 while the switch is on, decaying
// towards 0 while it is off, continuous at every switch.
void zzexp(uint32_t instance, double tau, double ic, uint8_t on, uint8_t* previousSwitch,
           double* output, double* timeOrigin, double* lastValue);

}  // extern "C"
