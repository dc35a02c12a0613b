#include "operators/Sources.h"

#include <cmath>

double Sources::Harmonic(double t, double tz, double w, double p)
{
    return t >= tz ? std::sin((t - tz) * w + p) : 0.0;
}

double Sources::Pulse(double t, double tz, double period, double width)
{
    if (t < tz) return 0.0;
    const double d = t - tz;
    // Whole periods elapsed, truncated in double precision so that long runs
    // with short periods do not overflow a 32-bit count. A zero period gives a
    // single pulse.
    double k = std::trunc(d / period);
    if (!std::isfinite(k)) k = 0.0;
    return width > d - period * k ? 1.0 : 0.0;
}

double Sources::Ramp(double t, double tz)
{
    return t >= tz ? t - tz : 0.0;
}
