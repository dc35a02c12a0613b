#include "operators/RandomNumber.h"

#include <cmath>

namespace {

constexpr int32_t kMultiplier = 16807;
constexpr int32_t kModulus = 2147483647;
constexpr int32_t kQuotient = kModulus / kMultiplier;                // 127773
constexpr int32_t kRemainder = kModulus - kQuotient * kMultiplier;   // 2836
// The modulus rounded to single precision (2^31): unit values stay below 1.
constexpr float kFloatModulus = static_cast<float>(kModulus);

}  // namespace

int32_t RandomNumber::m_seed = 123456;

int32_t RandomNumber::Seed(int32_t seed)
{
    // States divisible by the modulus map to 0 for ever.
    if (seed % kModulus == 0) seed = 1;
    m_seed = seed;
    return m_seed;
}

int32_t RandomNumber::NextState()
{
    return kMultiplier * (m_seed % kQuotient) - kRemainder * (m_seed / kQuotient);
}

double RandomNumber::MinStd()
{
    int32_t s = NextState();
    if (s < 0) s += kModulus;
    m_seed = s;
    return s / static_cast<double>(kModulus);
}

double RandomNumber::Exponential()
{
    double u;
    do {
        u = MinStd();
    } while (u == 0.0);
    return -std::log(u);
}

double RandomNumber::UnitValue()
{
    int32_t s = NextState();
    if (s <= 0) s += kModulus;
    m_seed = s;
    return static_cast<double>(s) / static_cast<double>(kFloatModulus);
}

double RandomNumber::Uniform(double lo, double hi)
{
    return lo + (hi - lo) * UnitValue();
}

double RandomNumber::Gaussian(double mean, double sd)
{
    double sum = 0.0;
    for (int i = 0; i < 12; ++i) sum += UnitValue();
    return mean + sd * (sum - 6.0);
}

double RandomNumber::OrnsteinUhlenbeck(double, double&, double, double, double)
{
    return 0.0;
}
