#include "operators/OrvoSimOperators.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "operators/DiscreteFunctions.h"
#include "operators/Interpolator.h"
#include "operators/MemoryFunctions.h"
#include "operators/OperatorRuntime.h"
#include "operators/RandomNumber.h"
#include "operators/Sources.h"

extern "C" {

double aint(double x) { return std::trunc(x); }
double anint(double x) { return std::trunc(x + 0.5); }
int32_t nint(double x) { return DiscreteFunctions::Truncate(x > 0.0 ? x + 0.5 : x - 0.5); }
int32_t zzint(double x) { return DiscreteFunctions::Truncate(x); }
double dble(float x) { return x; }
double real(double x)
{
    // Beyond the single-precision range the conversion itself is undefined.
    if (std::isfinite(x) && std::fabs(x) > std::numeric_limits<float>::max())
        return std::copysign(HUGE_VAL, x);
    return static_cast<float>(x);
}

double mod(double a, double b) { return a - b * std::trunc(a / b); }
double dim(double a, double b) { return a > b ? a - b : 0.0; }
double sgn(double x) { return DiscreteFunctions::Sgn(x); }
double sign(double a, double b) { return DiscreteFunctions::Sign(a, b); }
double ssqrt(double x) { return DiscreteFunctions::Sgn(x) * std::sqrt(std::fabs(x)); }

double zzmax(double a, double b) { return a > b ? a : b; }
double zzmin(double a, double b) { return b > a ? a : b; }
double bound(double lower, double upper, double x)
{
    return DiscreteFunctions::Limiter(lower, upper, x, false);
}
double dead(double lower, double upper, double x)
{
    return DiscreteFunctions::DeadSpace(lower, upper, x);
}
double qntzr(double q, double x) { return DiscreteFunctions::Quantizer(q, x); }

double fcnsw(double p, double a, double b, double c)
{
    return DiscreteFunctions::FunctionSwitch(p, a, b, c);
}
double rsw(uint8_t flag, double a, double b) { return flag ? a : b; }
int32_t lsw(uint8_t flag, int32_t a, int32_t b)
{
    return DiscreteFunctions::LogicalSwitch(flag != 0, a, b);
}

double step(double t, double tz) { return t >= tz ? 1.0 : 0.0; }
double ramp(double t, double tz) { return Sources::Ramp(t, tz); }
double harm(double t, double tz, double w, double p) { return Sources::Harmonic(t, tz, w, p); }
double pulse(double t, double tz, double period, double width)
{
    return Sources::Pulse(t, tz, period, width);
}

void seti(int32_t value, int32_t* array, int32_t n)
{
    for (int32_t i = 0; i < n; ++i) array[i] = value;
}
void setr(double value, double* array, int32_t n)
{
    for (int32_t i = 0; i < n; ++i) array[i] = value;
}
void xferbi(int32_t* destination, const int32_t* source, int32_t n)
{
    if (n > 0) std::memmove(destination, source, static_cast<size_t>(n) * sizeof(int32_t));
}
void xferbr(double* destination, const double* source, int32_t n)
{
    if (n > 0) std::memmove(destination, source, static_cast<size_t>(n) * sizeof(double));
}
char* zzstrcpy(char* destination, const char* source) { return std::strcpy(destination, source); }

void disstr(uint32_t instance, const char* text) { OperatorRuntime::WriteMessage(instance, text); }
void wem(uint32_t instance, const char* text) { OperatorRuntime::WriteMessage(instance, text); }

void logd(...) {}
void usedbv(...) {}
void debug(...) {}
void initd(...) {}
void listd(...) {}
void agetr(...) {}
void ageti(...) {}
void agetl(...) {}
void agetd(...) {}
void agetc(...) {}
void aputr(...) {}
void aputi(...) {}
void aputl(...) {}
void aputd(...) {}
void aputc(...) {}

int32_t zzunifi(int32_t seed) { return RandomNumber::Seed(seed); }
int32_t zzgausi(int32_t seed) { return RandomNumber::Seed(seed); }
double zzurv(double lo, double hi) { return RandomNumber::Uniform(lo, hi); }
double zzgrv(double mean, double sd) { return RandomNumber::Gaussian(mean, sd); }

void zzou(uint32_t instance, double tau, double mean, double sd, double* noiseState,
          double* output, double* lastTime)
{
    OperatorContext context;
    if (!OperatorRuntime::GetContext(instance, context)) return;
    MemoryFunctions::OrnsteinUhlenbeckNoise(context, tau, mean, sd, noiseState, output, lastTime);
}

double zztable(const double* table, int32_t ndims, int32_t nx, int32_t ny, int32_t nz, double x,
               double y, double z)
{
    // Every argument used needs a segment: a shorter table is refused.
    if (table == nullptr || ndims < 1 || ndims > 3 || nx < 2 || (ndims >= 2 && ny < 2) ||
        (ndims == 3 && nz < 2))
        return 0.0;
    Interpolator& interpolator = Interpolator::m_instance;
    interpolator.Initialize(table, static_cast<uint32_t>(ndims), static_cast<uint32_t>(nx),
                            static_cast<uint32_t>(ny), static_cast<uint32_t>(nz));
    double result = 0.0;
    if (ndims == 1)
        interpolator.Interpolate(x, &result);
    else if (ndims == 2)
        interpolator.Interpolate(x, y, &result);
    else
        interpolator.Interpolate(x, y, z, &result);
    return result;
}

}  // extern "C"

double fsqrt(double x, double e)
{
    if (e > std::fabs(x)) return x / std::sqrt(e);
    return DiscreteFunctions::Sign(std::sqrt(std::fabs(x)), x);
}
