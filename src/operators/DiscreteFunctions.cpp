#include "operators/DiscreteFunctions.h"

#include <cmath>
#include <limits>

double DiscreteFunctions::FunctionSwitch(double p, double a, double b, double c)
{
    if (p < 0.0) return a;
    if (p > 0.0) return c;
    return b;
}

double DiscreteFunctions::DeadSpace(double lower, double upper, double x)
{
    if (x > upper) return upper > lower ? x - upper : x - lower;
    if (x > lower) return 0.0;
    return x - lower;
}

double DiscreteFunctions::Limiter(double lower, double upper, double x, bool soft)
{
    double r;
    if (x > upper)
        r = upper > lower ? upper : lower;
    else if (x > lower)
        r = x;
    else
        r = lower;
    return soft ? r + 0.01 * (x - r) : r;
}

int32_t DiscreteFunctions::Modulus(int32_t a, int32_t b)
{
    // b == 0 would trap and INT32_MIN % -1 overflows; both have remainder 0.
    if (b == 0 || b == -1) return 0;
    return a % b;
}

double DiscreteFunctions::Sign(double a, double b)
{
    if (b > 0.0) return std::fabs(a);
    if (b < 0.0) return -std::fabs(a);
    return 0.0;
}

double DiscreteFunctions::Quantizer(double q, double x)
{
    if (q == 0.0 || std::isnan(q)) return x;
    // Truncated in double precision so that quotients beyond 32 bits stay exact.
    const double n = std::trunc(std::fabs(x / q) + 0.5);
    return q * n * Sgn(x);
}

int32_t DiscreteFunctions::Truncate(double x)
{
    // A cast truncates whatever the current rounding mode; out-of-range
    // values would be undefined, so they saturate.
    if (std::isnan(x)) return 0;
    if (x >= 2147483648.0) return std::numeric_limits<int32_t>::max();
    if (x <= -2147483649.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(x);
}
