#include "operators/MemoryOperators.h"

#include "operators/MemoryFunctions.h"
#include "operators/OperatorRuntime.h"
#include "operators/TransportDelay.h"
#include "runtime/OrvoSimRuntime.h"

namespace {

constexpr const char* kInsufficientArea = "Insufficient area for delay function.\n";

}  // namespace

extern "C" {

void zzdlym(uint32_t instance, double x, double ic, double delay, int32_t n, double dtmin,
            double* output, double* timeBuffer, double* valueBuffer, int32_t* head,
            int32_t* cursor, uint8_t* updateFlag)
{
    OperatorContext context;
    if (!OperatorRuntime::GetContext(instance, context)) return;
    switch (TransportDelay::Evaluate(context, x, ic, delay, n, dtmin, output, timeBuffer,
                                     valueBuffer, head, cursor, updateFlag)) {
    case TransportDelay::Result::Written:
        break;
    case TransportDelay::Result::NegativeDelay:
        OrvoSimRuntime::GetInstance()->OrvoSimWriteFormattedMessage(
            instance, "Negative delay value of %lf.\n", delay);
        break;
    case TransportDelay::Result::InsufficientArea:
        OperatorRuntime::WriteMessage(instance, kInsufficientArea);
        break;
    }
}

void zzdlim(uint32_t instance, double* output, double* latchedRate, double* initialLatch,
            double state, double rate, double lower, double upper)
{
    OperatorContext context;
    if (!OperatorRuntime::GetContext(instance, context)) return;
    MemoryFunctions::LimitedRate(context, output, latchedRate, initialLatch, state, rate, lower,
                                 upper);
}

double zzlimf(double* state, double rate, double lower, double upper)
{
    return MemoryFunctions::LimitState(state, rate, lower, upper);
}

void zzxdot(uint32_t instance, double x, double initialSlope, double* output, double* previousX,
            double* previousT, double* slope)
{
    OperatorContext context;
    if (!OperatorRuntime::GetContext(instance, context)) return;
    MemoryFunctions::NumericalDerivative(context, x, initialSlope, output, previousX, previousT,
                                         slope);
}

void zzbkls(double* output, double* heldValue, double ic, double halfWidth, double x)
{
    // The backlash has no instance argument and follows instance 1.
    OperatorContext context;
    if (!OperatorRuntime::GetContext(1, context)) return;
    MemoryFunctions::Backlash(context, output, heldValue, ic, halfWidth, x);
}

void zzexp(uint32_t instance, double tau, double ic, uint8_t on, uint8_t* previousSwitch,
           double* output, double* timeOrigin, double* lastValue)
{
    OperatorContext context;
    if (!OperatorRuntime::GetContext(instance, context)) return;
    MemoryFunctions::SwitchedExponential(context, tau, ic, on != 0, previousSwitch, output,
                                         timeOrigin, lastValue);
}

}  // extern "C"
