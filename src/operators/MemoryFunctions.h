#pragma once

#include <cstdint>

#include "operators/OperatorContext.h"

// Shared implementations of the operators with memory other than the delay.
// The memory is passed by address; initialised while the context is
// initialising and committed only at step starts.
class MemoryFunctions {
public:
    MemoryFunctions() = delete;

    // Limited integrator rate: rate minus the rate latched at a limit.
    static void LimitedRate(const OperatorContext& context, double* output, double* latchedRate,
                            const double* initialLatch, double state, double rate, double lower,
                            double upper);
    // Limited integrator that clamps the state in place; returns the rate.
    static double LimitState(double* state, double rate, double lower, double upper);
    // Slope between the last two step starts.
    static void NumericalDerivative(const OperatorContext& context, double x,
                                    double initialSlope, double* output, double* previousX,
                                    double* previousT, double* slope);
    // Output follows x only once x moves more than halfWidth away from it.
    static void Backlash(const OperatorContext& context, double* output, double* heldValue,
                         double ic, double halfWidth, double x);
    // Exponential towards 1 while on, towards 0 while off, continuous at
    // switches; the switch is read at step starts.
    static void SwitchedExponential(const OperatorContext& context, double tau, double ic,
                                    bool on, uint8_t* previousSwitch, double* output,
                                    double* timeOrigin, double* lastValue);
    // Exact discretisation of a mean-reverting process of time constant tau
    // and stationary standard deviation sd; output = mean + state.
    static void OrnsteinUhlenbeckNoise(const OperatorContext& context, double tau, double mean,
                                       double sd, double* noiseState, double* output,
                                       double* lastTime);
};
