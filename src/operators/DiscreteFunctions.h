#pragma once

#include <cstdint>

// Shared implementations of the switching and limiting operators; stateless.
class DiscreteFunctions {
public:
    DiscreteFunctions() = delete;

    static int32_t LogicalSwitch(bool flag, int32_t a, int32_t b) { return flag ? a : b; }
    // a when p < 0, c when p > 0, b otherwise.
    static double FunctionSwitch(double p, double a, double b, double c);
    // x - lower below the band, 0 inside (lower, upper], x - upper above.
    static double DeadSpace(double lower, double upper, double x);
    // x limited to [lower, upper]; soft keeps 1 % of the excursion beyond.
    static double Limiter(double lower, double upper, double x, bool soft);
    // Integer remainder with the sign of a; 0 when b is 0.
    static int32_t Modulus(int32_t a, int32_t b);
    static int32_t Sgn(double x) { return x > 0.0 ? 1 : (x < 0.0 ? -1 : 0); }
    // |a| with the sign of b; 0 when b is 0.
    static double Sign(double a, double b);
    // x rounded to a multiple of q (halves away from zero); x when q is 0.
    static double Quantizer(double q, double x);
    // Conversion toward zero to 32 bits, saturating out of range; NaN gives 0.
    static int32_t Truncate(double x);
};
