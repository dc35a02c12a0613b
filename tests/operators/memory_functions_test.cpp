#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>

#include "operators/MemoryFunctions.h"
#include "operators/OrvoSimOperators.h"
#include "operators/RandomNumber.h"

namespace {

constexpr OperatorContext Init(double t) { return {true, true, t}; }
constexpr OperatorContext StepStart(double t) { return {false, true, t}; }
constexpr OperatorContext Trial(double t) { return {false, false, t}; }

TEST(LimitedRate, HoldsTheRateAtZeroWhilePushingBeyondALimit)
{
    double out = 0, latched = 5, initial = 0;
    MemoryFunctions::LimitedRate(Init(0), &out, &latched, &initial, 0.5, 2, 0, 1);
    EXPECT_EQ(latched, 0.0);
    EXPECT_EQ(out, 2.0);
    // At the upper limit, pushing outward: latched, output 0.
    MemoryFunctions::LimitedRate(StepStart(1), &out, &latched, &initial, 1.0, 3, 0, 1);
    EXPECT_EQ(out, 0.0);
    // Trial evaluations never latch.
    MemoryFunctions::LimitedRate(Trial(1.1), &out, &latched, &initial, 1.2, 4, 0, 1);
    EXPECT_EQ(latched, 3.0);
    EXPECT_EQ(out, 1.0);
    // A smaller rate no longer pushes beyond the latch: it moves the state back.
    MemoryFunctions::LimitedRate(StepStart(1.2), &out, &latched, &initial, 1.0, 1, 0, 1);
    EXPECT_EQ(out, -2.0);
    // At the lower limit pushing downward.
    latched = 0;
    MemoryFunctions::LimitedRate(StepStart(2), &out, &latched, &initial, -0.1, -2, 0, 1);
    EXPECT_EQ(out, 0.0);
}

TEST(LimitedRate, ReleasesTheHoldOnceTheStateIsBackInside)
{
    double out = 0, latched = 0, initial = 0;
    MemoryFunctions::LimitedRate(StepStart(1), &out, &latched, &initial, 1.0, 3, 0, 1);
    EXPECT_EQ(out, 0.0);
    // Held at the upper limit, the rate turns inward; a step later the state
    // is inside and gets the rate itself, whatever its sign.
    MemoryFunctions::LimitedRate(StepStart(1.1), &out, &latched, &initial, 1.0, -1, 0, 1);
    EXPECT_LT(out, 0.0);
    for (const double rate : {-1.0, 0.5, 2.0}) {
        MemoryFunctions::LimitedRate(StepStart(1.2), &out, &latched, &initial, 0.9, rate, 0, 1);
        EXPECT_EQ(out, rate);
        MemoryFunctions::LimitedRate(Trial(1.25), &out, &latched, &initial, 0.95, rate, 0, 1);
        EXPECT_EQ(out, rate);
    }
    // The same at the lower limit.
    MemoryFunctions::LimitedRate(StepStart(2), &out, &latched, &initial, -0.01, -2, 0, 1);
    EXPECT_EQ(out, 0.0);
    MemoryFunctions::LimitedRate(StepStart(2.1), &out, &latched, &initial, 0.2, 1.5, 0, 1);
    EXPECT_EQ(out, 1.5);
}

TEST(LimitState, ClampsTheStateOnlyWhenTheRatePushesOut)
{
    double s = 0.5;
    EXPECT_EQ(zzlimf(&s, 7, 0, 1), 7.0);
    s = 1.5;
    EXPECT_EQ(zzlimf(&s, 7, 0, 1), 0.0);
    EXPECT_EQ(s, 1.0);
    s = 1.5;
    EXPECT_EQ(zzlimf(&s, -7, 0, 1), -7.0);  // heading back in
    EXPECT_EQ(s, 1.5);
    s = -0.5;
    EXPECT_EQ(zzlimf(&s, -7, 0, 1), 0.0);
    EXPECT_EQ(s, 0.0);
    // Inverted limits: every state outside the band goes to lower.
    s = 5;
    EXPECT_EQ(zzlimf(&s, 1, 2, 1), 0.0);
    EXPECT_EQ(s, 2.0);
    s = -5;
    EXPECT_EQ(zzlimf(&s, -1, 2, 1), 0.0);
    EXPECT_EQ(s, 2.0);
}

TEST(NumericalDerivative, SlopeChangesOnlyAtStepStarts)
{
    double out = 0, px = 0, pt = 0, slope = 0;
    MemoryFunctions::NumericalDerivative(Init(0), 1, 0.5, &out, &px, &pt, &slope);
    EXPECT_EQ(out, 0.5);
    MemoryFunctions::NumericalDerivative(Trial(0.05), 9, 0.5, &out, &px, &pt, &slope);
    EXPECT_EQ(out, 0.5);
    MemoryFunctions::NumericalDerivative(StepStart(0.1), 1.3, 0.5, &out, &px, &pt, &slope);
    EXPECT_DOUBLE_EQ(out, 3.0);
    // A repeated step start at the same time keeps the slope.
    MemoryFunctions::NumericalDerivative(StepStart(0.1), 2.0, 0.5, &out, &px, &pt, &slope);
    EXPECT_DOUBLE_EQ(out, 3.0);
    EXPECT_EQ(px, 2.0);
}

TEST(Backlash, FollowsOnlyBeyondTheHalfWidth)
{
    double out = 0, held = 0;
    MemoryFunctions::Backlash(Init(0), &out, &held, 0.2, 1, 0);
    EXPECT_EQ(out, 0.2);
    MemoryFunctions::Backlash(StepStart(1), &out, &held, 0.2, 1, 0.9);
    EXPECT_EQ(out, 0.2);
    MemoryFunctions::Backlash(StepStart(2), &out, &held, 0.2, 1, 3);
    EXPECT_EQ(out, 2.0);
    MemoryFunctions::Backlash(Trial(2.5), &out, &held, 0.2, 1, 10);
    EXPECT_EQ(out, 2.0);
    MemoryFunctions::Backlash(StepStart(3), &out, &held, 0.2, 1, -3);
    EXPECT_EQ(out, -2.0);
}

struct Exponential {
    void Eval(const OperatorContext& c, bool on, double ic = 0.5)
    {
        MemoryFunctions::SwitchedExponential(c, tau, ic, on, &previous, &out, &origin, &last);
    }
    double tau = 2;
    uint8_t previous = 0;
    double out = 0, origin = 0, last = 0;
};

TEST(SwitchedExponential, StartsAtTheClampedIcWhicheverWayTheSwitchStands)
{
    for (bool on : {true, false}) {
        Exponential e;
        e.Eval({true, false, 3}, on, 0.5);
        EXPECT_NEAR(e.out, 0.5, 1e-15) << on;
        e.Eval(Trial(3 + e.tau), on);
        EXPECT_NEAR(e.out, on ? 1 - 0.5 * std::exp(-1.0) : 0.5 * std::exp(-1.0), 1e-12) << on;
    }
    const double clamped[][2] = {{0, 1e-30}, {-4, 1e-30}, {1, 0.999999}, {7, 0.999999}};
    for (const auto& c : clamped) {
        Exponential e;
        e.Eval({true, false, 0}, false, c[0]);
        EXPECT_NEAR(e.out, c[1], 1e-15 + 1e-12 * c[1]) << c[0];
    }
    Exponential e;
    e.Eval({true, false, 0}, true, std::nan(""));
    EXPECT_NEAR(e.out, 0.999999, 1e-12);
}

TEST(SwitchedExponential, SwitchesAtStepStartsOnlyAndStaysContinuous)
{
    Exponential e;  // tau = 2
    e.Eval(Init(0), true, 0.1);
    e.Eval(StepStart(1.5), true);
    const double before = e.out;
    EXPECT_NEAR(before, 1 - 0.9 * std::exp(-0.75), 1e-12);
    // A trial evaluation later in the step neither switches nor moves the memory.
    e.Eval(Trial(2.5), false);
    EXPECT_NEAR(e.out, 1 - 0.9 * std::exp(-1.25), 1e-12);
    e.Eval(StepStart(1.5), false);
    EXPECT_NEAR(e.out, before, 1e-12);
    e.Eval(Trial(2.5), true);
    EXPECT_NEAR(e.out, before * std::exp(-0.5), 1e-12);
    e.Eval(StepStart(2.5), true);
    const double low = e.out;
    EXPECT_NEAR(low, before * std::exp(-0.5), 1e-12);
    e.Eval(StepStart(4.5), true);
    EXPECT_NEAR(e.out, 1 - (1 - low) * std::exp(-1.0), 1e-12);
}

TEST(SwitchedExponential, SwitchingAtItsLimitsTakesNoLogarithmOfZero)
{
    // Rising from the clamped 1e-30 gives exactly 0 at once; falling from
    // there, and rising again from what is left, stay finite.
    std::feclearexcept(FE_ALL_EXCEPT);
    Exponential e;
    e.Eval(Init(0), true, 0);
    EXPECT_EQ(e.out, 0.0);
    e.Eval(StepStart(0), false);
    EXPECT_GE(e.out, 0.0);
    EXPECT_LT(e.out, 1e-300);
    e.Eval(StepStart(2), true);
    e.Eval(Trial(4), true);
    EXPECT_NEAR(e.out, 1 - std::exp(-1.0), 1e-12);
    EXPECT_FALSE(std::fetestexcept(FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW));
}

TEST(OrnsteinUhlenbeck, UpdatesOnlyAtAdvancingStepStarts)
{
    RandomNumber::Seed(11);
    double x = 0.25, out = 0, last = -1;
    MemoryFunctions::OrnsteinUhlenbeckNoise(Init(2), 1, 10, 1, &x, &out, &last);
    EXPECT_EQ(last, 2.0);
    EXPECT_EQ(out, 10.25);
    const int32_t seed = RandomNumber::GetSeed();
    MemoryFunctions::OrnsteinUhlenbeckNoise(StepStart(2), 1, 10, 1, &x, &out, &last);
    MemoryFunctions::OrnsteinUhlenbeckNoise(StepStart(1), 1, 10, 1, &x, &out, &last);
    MemoryFunctions::OrnsteinUhlenbeckNoise(Trial(3), 1, 10, 1, &x, &out, &last);
    EXPECT_EQ(x, 0.25);
    EXPECT_EQ(last, 2.0);
    EXPECT_EQ(RandomNumber::GetSeed(), seed);
    MemoryFunctions::OrnsteinUhlenbeckNoise(StepStart(3), 1, 10, 1, &x, &out, &last);
    EXPECT_NE(x, 0.25);
    EXPECT_EQ(last, 3.0);
    EXPECT_EQ(out, 10 + x);
}

TEST(OrnsteinUhlenbeck, StationaryDeviationMatchesSd)
{
    RandomNumber::Seed(2024);
    const double tau = 0.5, sd = 3;
    double x = 0, out = 0, last = 0;
    MemoryFunctions::OrnsteinUhlenbeckNoise(Init(0), tau, 0, sd, &x, &out, &last);
    double sum = 0, sumSq = 0;
    const int count = 40000;
    for (int k = 1; k <= count; ++k) {
        MemoryFunctions::OrnsteinUhlenbeckNoise(StepStart(k * 0.5), tau, 0, sd, &x, &out, &last);
        sum += x;
        sumSq += x * x;
    }
    const double mean = sum / count;
    EXPECT_NEAR(std::sqrt(sumSq / count - mean * mean), sd, 0.03 * sd);
    EXPECT_NEAR(mean, 0, 0.1);
}

}  // namespace
