#include <gtest/gtest.h>

#include <cmath>

#include "operators/OrvoSimOperators.h"
#include "operators/RandomNumber.h"

namespace {

// The generator is process-wide: every test seeds it first.

TEST(RandomNumber, MinimalStandardSteps)
{
    RandomNumber::Seed(1);
    EXPECT_EQ(RandomNumber::MinStd(), 16807.0 / 2147483647.0);
    EXPECT_EQ(RandomNumber::GetSeed(), 16807);
    RandomNumber::Seed(123456);
    RandomNumber::MinStd();
    EXPECT_EQ(RandomNumber::GetSeed(), 2074924992);
    // The classic check value: 10000 steps from 1.
    RandomNumber::Seed(1);
    for (int i = 0; i < 10000; ++i) RandomNumber::MinStd();
    EXPECT_EQ(RandomNumber::GetSeed(), 1043618065);
}

TEST(RandomNumber, UniformDividesByTheSinglePrecisionModulus)
{
    RandomNumber::Seed(123456);
    const double u = RandomNumber::Uniform(0, 1);
    EXPECT_DOUBLE_EQ(u, 2074924992.0 / 2147483648.0);
}

TEST(RandomNumber, UniformOverAnEmptyRangeStillAdvances)
{
    RandomNumber::Seed(1);
    EXPECT_EQ(RandomNumber::Uniform(5, 5), 5.0);
    EXPECT_EQ(RandomNumber::GetSeed(), 16807);
    EXPECT_EQ(zzurv(5, 5), 5.0);
    EXPECT_NE(RandomNumber::GetSeed(), 16807);
}

TEST(RandomNumber, UniformStaysInsideTheRange)
{
    // The state just below the modulus gives the largest unit value.
    RandomNumber::Seed(1);
    double lowest = 1, highest = 0;
    for (int i = 0; i < 20000; ++i) {
        const double u = RandomNumber::Uniform(0, 1);
        lowest = std::min(lowest, u);
        highest = std::max(highest, u);
    }
    EXPECT_GT(lowest, 0.0);
    EXPECT_LT(highest, 1.0);
    EXPECT_LT(lowest, 0.001);
    EXPECT_GT(highest, 0.999);
}

TEST(RandomNumber, GaussianUsesTwelveSteps)
{
    RandomNumber::Seed(42);
    for (int i = 0; i < 12; ++i) RandomNumber::MinStd();
    const int32_t afterTwelve = RandomNumber::GetSeed();
    RandomNumber::Seed(42);
    const double g = RandomNumber::Gaussian(10, 2);
    EXPECT_EQ(RandomNumber::GetSeed(), afterTwelve);
    EXPECT_GE(g, 10 - 12.0);
    EXPECT_LE(g, 10 + 12.0);
}

TEST(RandomNumber, GaussianMomentsAndRange)
{
    zzgausi(7);
    const int count = 20000;
    double sum = 0, sumSq = 0;
    for (int i = 0; i < count; ++i) {
        const double g = zzgrv(3, 2);
        ASSERT_LE(std::fabs(g - 3), 12.0);
        sum += g;
        sumSq += g * g;
    }
    const double mean = sum / count;
    const double sd = std::sqrt(sumSq / count - mean * mean);
    EXPECT_NEAR(mean, 3, 0.05);
    EXPECT_NEAR(sd, 2, 0.05);
}

TEST(RandomNumber, SeedingRestartsTheSequence)
{
    EXPECT_EQ(zzunifi(99), 99);
    const double a = zzurv(0, 1);
    zzgausi(99);  // one generator behind both seeding operators
    EXPECT_EQ(zzurv(0, 1), a);
}

TEST(RandomNumber, DegenerateSeedsAreReplaced)
{
    // From 0 (or a multiple of the modulus) the sequence would never move.
    for (int32_t seed : {0, 2147483647, -2147483647}) {
        EXPECT_EQ(RandomNumber::Seed(seed), 1) << seed;
        EXPECT_EQ(RandomNumber::MinStd(), 16807.0 / 2147483647.0);
    }
    EXPECT_GT(RandomNumber::Exponential(), 0.0);
    // Negative seeds are valid states of the recurrence.
    RandomNumber::Seed(-5);
    const double u = RandomNumber::Uniform(0, 1);
    EXPECT_GT(u, 0.0);
    EXPECT_LT(u, 1.0);
}

TEST(RandomNumber, ExponentialMean)
{
    RandomNumber::Seed(3);
    double sum = 0;
    for (int i = 0; i < 20000; ++i) sum += RandomNumber::Exponential();
    EXPECT_NEAR(sum / 20000, 1.0, 0.03);
}

}  // namespace
