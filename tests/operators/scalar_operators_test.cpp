#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <limits>

#include "operators/DiscreteFunctions.h"
#include "operators/OrvoSimOperators.h"

namespace {

TEST(ScalarOperators, RoundingDistinguishesHalfUpFromHalfAwayFromZero)
{
    EXPECT_EQ(anint(-1.7), -1.0);
    EXPECT_EQ(nint(-1.7), -2);
    EXPECT_EQ(anint(2.5), 3.0);
    EXPECT_EQ(anint(-0.5), 0.0);
    EXPECT_EQ(anint(0.49999), 0.0);
    EXPECT_EQ(nint(-2.5), -3);
    EXPECT_EQ(nint(2.5), 3);
    EXPECT_EQ(aint(-3.9), -3.0);
    EXPECT_EQ(zzint(-3.9), -3);
    EXPECT_EQ(zzint(3.9), 3);
}

TEST(ScalarOperators, TruncationIgnoresTheCallersRoundingMode)
{
    const int saved = std::fegetround();
    std::fesetround(FE_UPWARD);
    EXPECT_EQ(zzint(2.7), 2);
    EXPECT_EQ(nint(-2.2), -2);
    EXPECT_EQ(pulse(2.5, 0.0, 1.0, 0.6), 1.0);
    EXPECT_EQ(std::fegetround(), FE_UPWARD);
    std::fesetround(saved);
}

TEST(ScalarOperators, TruncationSaturatesOutsideTheIntegerRange)
{
    EXPECT_EQ(zzint(1e12), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(zzint(-1e12), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(nint(std::nan("")), 0);
    EXPECT_EQ(zzint(-2147483648.5), std::numeric_limits<int32_t>::min());
}

TEST(ScalarOperators, ConversionsThroughSinglePrecision)
{
    EXPECT_EQ(real(0.1), static_cast<double>(0.1f));
    EXPECT_NE(real(0.1), 0.1);
    EXPECT_EQ(dble(0.5f), 0.5);
    EXPECT_EQ(real(1e300), HUGE_VAL);
    EXPECT_EQ(real(-1e300), -HUGE_VAL);
}

TEST(ScalarOperators, ModulusFollowsTheSignOfTheDividend)
{
    EXPECT_EQ(mod(-7, 3), -1.0);
    EXPECT_EQ(mod(7, -3), 1.0);
    EXPECT_DOUBLE_EQ(mod(7.5, 2), 1.5);
    EXPECT_TRUE(std::isnan(mod(1, 0)));
    // Quotients beyond 32 bits are still exact.
    EXPECT_EQ(mod(1e15 + 1, 2), 1.0);
    EXPECT_EQ(DiscreteFunctions::Modulus(-7, 3), -1);
    EXPECT_EQ(DiscreteFunctions::Modulus(7, 0), 0);
    EXPECT_EQ(DiscreteFunctions::Modulus(std::numeric_limits<int32_t>::min(), -1), 0);
}

TEST(ScalarOperators, SignFunctions)
{
    EXPECT_EQ(sign(5, 0), 0.0);
    EXPECT_EQ(sign(-5, 2), 5.0);
    EXPECT_EQ(sign(5, -2), -5.0);
    EXPECT_EQ(sgn(-0.1), -1.0);
    EXPECT_EQ(sgn(0.0), 0.0);
    EXPECT_EQ(dim(5, 3), 2.0);
    EXPECT_EQ(dim(3, 5), 0.0);
    EXPECT_EQ(ssqrt(-4), -2.0);
    EXPECT_EQ(ssqrt(0), 0.0);
    EXPECT_EQ(fsqrt(0.01, 1), 0.01);
    EXPECT_EQ(fsqrt(4, 1), 2.0);
    EXPECT_EQ(fsqrt(-4, 1), -2.0);
    // Continuous where the linear band meets the square root.
    EXPECT_NEAR(fsqrt(0.999999, 1), fsqrt(1.0, 1), 2e-6);
    EXPECT_NEAR(fsqrt(-0.999999, 1), fsqrt(-1.0, 1), 2e-6);
}

TEST(ScalarOperators, SwitchesTreatNaNAndAnyNonZeroByteSensibly)
{
    EXPECT_EQ(fcnsw(std::nan(""), 1, 2, 3), 2.0);
    EXPECT_EQ(rsw(2, 1, 2), 1.0);
    EXPECT_EQ(lsw(0x80, 7, 8), 7);
}

TEST(ScalarOperators, BoundLimitsAndInvertedLimitsGiveTheLowerOne)
{
    EXPECT_EQ(bound(0, 1, 2), 1.0);
    EXPECT_EQ(bound(0, 1, -1), 0.0);
    EXPECT_EQ(bound(0, 1, 0.25), 0.25);
    for (double x : {-5.0, 0.5, 5.0}) EXPECT_EQ(bound(1, 0, x), 1.0) << x;
    EXPECT_DOUBLE_EQ(DiscreteFunctions::Limiter(0, 1, 3, true), 1.02);
    EXPECT_DOUBLE_EQ(DiscreteFunctions::Limiter(0, 1, -1, true), -0.01);
}

TEST(ScalarOperators, DeadSpaceAroundTheBand)
{
    EXPECT_EQ(dead(-1, 1, 0.5), 0.0);
    EXPECT_EQ(dead(-1, 1, 1), 0.0);
    EXPECT_EQ(dead(-1, 1, -1), 0.0);
    EXPECT_EQ(dead(-1, 1, 3), 2.0);
    EXPECT_EQ(dead(-1, 1, -3), -2.0);
    // Inverted limits: x - lower everywhere.
    for (double x : {-5.0, 0.5, 5.0}) EXPECT_EQ(dead(1, -1, x), x - 1) << x;
}

TEST(ScalarOperators, QuantizerRoundsToMultiples)
{
    EXPECT_EQ(qntzr(0.5, 1.26), 1.5);
    EXPECT_EQ(qntzr(0.5, -1.26), -1.5);
    EXPECT_EQ(qntzr(0.5, 1.24), 1.0);
    EXPECT_EQ(qntzr(0, 1.26), 1.26);
    EXPECT_EQ(qntzr(std::nan(""), 1.26), 1.26);
    EXPECT_EQ(qntzr(-0.5, 1.26), -1.5);  // a negative step mirrors
    EXPECT_EQ(qntzr(0.5, 0.0), 0.0);
    EXPECT_EQ(qntzr(1.0, 1e12 + 0.4), 1e12);
}

TEST(ScalarOperators, SourcesSwitchOnAtTz)
{
    EXPECT_EQ(step(0.999, 1), 0.0);
    EXPECT_EQ(step(1, 1), 1.0);
    EXPECT_EQ(ramp(3, 1), 2.0);
    EXPECT_DOUBLE_EQ(harm(2, 1, 2, 0.3), std::sin(2.3));
}

TEST(ScalarOperators, PulseTrain)
{
    for (double t : {0.0, 1.0, 1.999}) EXPECT_EQ(pulse(t, 0, 10, 2), 1.0) << t;
    for (double t : {2.0, 5.0, 9.999}) EXPECT_EQ(pulse(t, 0, 10, 2), 0.0) << t;
    for (double t : {10.0, 11.5, 20.0}) EXPECT_EQ(pulse(t, 0, 10, 2), 1.0) << t;
    EXPECT_EQ(pulse(-0.1, 0, 10, 2), 0.0);
    EXPECT_EQ(pulse(4, 3, 10, 2), 1.0);  // phase counted from tz
    EXPECT_EQ(pulse(7.3, 0, 1, 1), 1.0);  // width = period: always on
    EXPECT_EQ(pulse(0, 0, 1, 0), 0.0);    // width 0: never on
    // A count of periods beyond 32 bits keeps the phase right.
    EXPECT_EQ(pulse(1e10 + 0.5, 0, 1, 0.6), 1.0);
    EXPECT_EQ(pulse(1e10 + 0.7, 0, 1, 0.6), 0.0);
    // A zero period is one pulse of the given width.
    EXPECT_EQ(pulse(0.5, 0, 0, 1), 1.0);
    EXPECT_EQ(pulse(1.5, 0, 0, 1), 0.0);
}

TEST(ScalarOperators, ArrayFillAndCopy)
{
    int32_t ints[4] = {1, 2, 3, 4};
    seti(9, ints, 0);
    seti(9, ints, -3);
    EXPECT_EQ(ints[0], 1);
    seti(9, ints, 2);
    EXPECT_EQ(ints[1], 9);
    EXPECT_EQ(ints[2], 3);

    double reals[3] = {1, 2, 3};
    setr(5, reals, -1);
    EXPECT_EQ(reals[0], 1.0);
    setr(5, reals, 3);
    EXPECT_EQ(reals[2], 5.0);

    double from[3] = {7, 8, 9};
    xferbr(reals, from, 2);
    EXPECT_EQ(reals[1], 8.0);
    EXPECT_EQ(reals[2], 5.0);
    xferbr(reals, from, -1);
    EXPECT_EQ(reals[0], 7.0);

    // Overlapping copy moves the elements intact.
    int32_t seq[5] = {1, 2, 3, 4, 5};
    xferbi(seq + 1, seq, 4);
    EXPECT_EQ(seq[4], 4);
    EXPECT_EQ(seq[1], 1);
}

}  // namespace
