#include "operators/MemoryFunctions.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "operators/RandomNumber.h"

void MemoryFunctions::LimitedRate(const OperatorContext& context, double* output,
                                  double* latchedRate, const double* initialLatch, double state,
                                  double rate, double lower, double upper)
{
    if (context.stepStart) {
        if (context.initialising) *latchedRate = *initialLatch;
        // The sign test uses state - lower at both limits (lower < upper).
        if ((state <= lower || state >= upper) && (state - lower) * (rate - *latchedRate) > 0.0)
            *latchedRate = rate;
        else if (state > lower && state < upper)
            *latchedRate = 0.0;  // back inside the limits: the rate as it is
    }
    *output = rate - *latchedRate;
}

double MemoryFunctions::LimitState(double* state, double rate, double lower, double upper)
{
    const double s = *state;
    if ((s > lower && s < upper) || (s - lower) * rate <= 0.0) return rate;
    if (s > upper) {
        *state = upper;
        if (lower > upper) *state = lower;
    } else if (lower > s) {
        *state = lower;
    }
    return 0.0;
}

void MemoryFunctions::NumericalDerivative(const OperatorContext& context, double x,
                                          double initialSlope, double* output, double* previousX,
                                          double* previousT, double* slope)
{
    if (context.stepStart) {
        if (context.initialising) {
            *previousX = x;
            *previousT = context.t;
            *slope = initialSlope;
            *output = initialSlope;
            return;
        }
        if (context.t != *previousT) *slope = (x - *previousX) / (context.t - *previousT);
        *previousX = x;
        *previousT = context.t;
    }
    *output = *slope;
}

void MemoryFunctions::Backlash(const OperatorContext& context, double* output, double* heldValue,
                               double ic, double halfWidth, double x)
{
    if (context.stepStart) {
        double y = context.initialising ? ic : *heldValue;
        y = std::max(y, x - halfWidth);
        y = std::min(y, x + halfWidth);
        *heldValue = y;
    }
    *output = *heldValue;
}

void MemoryFunctions::SwitchedExponential(const OperatorContext& context, double tau, double ic,
                                          bool on, uint8_t* previousSwitch, double* output,
                                          double* timeOrigin, double* lastValue)
{
    const double t = context.t;
    // The value at t on the curve anchored last.
    const auto curve = [&] {
        const double a = (*timeOrigin - t) / tau;
        return *previousSwitch != 0 ? 1.0 - std::exp(a) : std::exp(a);
    };
    // The switch is read, and the curve re-anchored, at accepted step starts
    // only: a trial evaluation inside a step (later, or rejected) must not
    // move the memory the output points then read.
    if (context.initialising || context.stepStart) {
        if (context.initialising) {
            // The opposite switch forces the origin to be anchored on ic below.
            *previousSwitch = on ? 0 : 1;
            double r = ic;
            if (r <= 1e-30)
                r = 1e-30;
            else if (!(r < 0.999999))
                r = 0.999999;
            *lastValue = r;
        } else {
            *lastValue = curve();
        }
        if (on != (*previousSwitch != 0)) {
            // A value that reached its limit (0 rising from 0 within a
            // rounding, 1 falling likewise) re-anchors a least distance from
            // it: never the logarithm of 0.
            const double r = *lastValue;
            *timeOrigin = tau * std::log(std::max(on ? 1.0 - r : r, DBL_MIN)) + t;
        }
        *previousSwitch = on ? 1 : 0;
    }
    *output = curve();
}

void MemoryFunctions::OrnsteinUhlenbeckNoise(const OperatorContext& context, double tau,
                                             double mean, double sd, double* noiseState,
                                             double* output, double* lastTime)
{
    if (context.stepStart) {
        const double t = context.t;
        if (context.initialising) {
            *lastTime = t;
        } else if (t > *lastTime) {
            const double g = RandomNumber::Gaussian(0.0, sd);
            const double dt = *lastTime - t;
            *noiseState = std::exp(dt / tau) * *noiseState +
                          std::sqrt(1.0 - std::exp(2.0 * dt / tau)) * g;
            *lastTime = t;
        }
    }
    *output = mean + *noiseState;
}
