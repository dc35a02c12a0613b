#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "operators/TransportDelay.h"

namespace {

using Result = TransportDelay::Result;

// A delay's memory as generated code holds it, driven through the run's
// phases: initialisation (a plain and a step-start evaluation), then step
// starts and trial evaluations inside the steps.
struct DelayLine {
    explicit DelayLine(int32_t size, double ic = -1.0) : n(size), ic(ic), time(size), value(size) {}

    Result Eval(bool initialising, bool stepStart, double t, double x, double delay,
                double dtmin = 0.0)
    {
        const OperatorContext context{initialising, stepStart, t};
        return TransportDelay::Evaluate(context, x, ic, delay, n, dtmin, &output, time.data(),
                                        value.data(), &head, &cursor, &updateFlag);
    }
    void Initialize(double t0, double x, double delay)
    {
        ASSERT_EQ(Eval(true, false, t0, x, delay), Result::Written);
        ASSERT_EQ(Eval(true, true, t0, x, delay), Result::Written);
    }

    int32_t n;
    double ic;
    std::vector<double> time, value;
    int32_t head = 0, cursor = 0;
    uint8_t updateFlag = 0;
    double output = 12345.0;
};

double Linear(double t) { return 2 * t + 1; }

TEST(TransportDelay, InitialisationReadsTheHistoryAsIc)
{
    DelayLine d(8);
    d.Initialize(0, Linear(0), 0.35);
    EXPECT_EQ(d.output, -1.0);
    EXPECT_EQ(d.head, 1);
    EXPECT_EQ(d.time[0], std::numeric_limits<double>::lowest());
    // Until t0 + delay the delayed time lies in the constant history.
    for (int k = 1; k <= 3; ++k) {
        const double t = k / 10.0;
        ASSERT_EQ(d.Eval(false, true, t, Linear(t), 0.35), Result::Written);
        EXPECT_EQ(d.output, -1.0) << t;
    }
}

TEST(TransportDelay, FollowsALinearSignalExactlyAfterTheDelay)
{
    DelayLine d(16);
    d.Initialize(0, Linear(0), 0.35);
    for (int k = 1; k <= 10; ++k) {
        const double t = k / 10.0;
        ASSERT_EQ(d.Eval(false, true, t, Linear(t), 0.35), Result::Written);
        if (t > 0.45) {
            EXPECT_NEAR(d.output, Linear(t - 0.35), 1e-12) << t;
        }
    }
    // Trial evaluations inside the next step interpolate towards the present
    // without committing a sample.
    const int32_t head = d.head;
    for (double t : {1.05, 1.1}) {
        ASSERT_EQ(d.Eval(false, false, t, Linear(t), 0.35), Result::Written);
        EXPECT_NEAR(d.output, Linear(t - 0.35), 1e-12) << t;
    }
    EXPECT_EQ(d.head, head);
}

TEST(TransportDelay, ZeroDelayReturnsThePresentValue)
{
    DelayLine d(8);
    d.Initialize(0, 3, 0);
    for (int k = 1; k <= 20; ++k) {
        const double t = k / 10.0;
        const double x = t * t;
        ASSERT_EQ(d.Eval(false, true, t, x, 0), Result::Written);
        EXPECT_NEAR(d.output, x, 1e-12) << t;
        ASSERT_EQ(d.Eval(false, false, t + 0.05, 7.0, 0), Result::Written);
        EXPECT_NEAR(d.output, 7.0, 1e-12) << t;
    }
}

TEST(TransportDelay, MinimumSpacingThinsTheStoredSamples)
{
    DelayLine d(16);
    d.Initialize(0, 0, 0.35);
    for (int k = 1; k <= 10; ++k) {
        const double t = k / 10.0;
        ASSERT_EQ(d.Eval(false, true, t, t * t, 0.35, 0.25), Result::Written);
    }
    // Stored: 0, 0.3, 0.6, 0.9; at t = 1 the delayed time 0.65 lies between
    // the samples at 0.6 and 0.9.
    EXPECT_EQ(d.head, 4);
    EXPECT_NEAR(d.output, 0.36 + 0.05 * (0.81 - 0.36) / 0.3, 1e-12);
}

TEST(TransportDelay, RepeatedStepStartStoresNoDuplicate)
{
    DelayLine d(8);
    d.Initialize(0, 0, 0.1);
    ASSERT_EQ(d.Eval(false, true, 0.5, 1, 0.1), Result::Written);
    const int32_t head = d.head;
    // A restart at the same point, also with a negative spacing.
    ASSERT_EQ(d.Eval(false, true, 0.5, 1, 0.1, -1.0), Result::Written);
    EXPECT_EQ(d.head, head);
    EXPECT_FALSE(std::isnan(d.output));  // no zero-length segment
}

TEST(TransportDelay, RingTooShortForTheDelay)
{
    DelayLine d(4);
    d.Initialize(0, 0, 0.35);
    ASSERT_EQ(d.Eval(false, true, 0.1, 1, 0.35), Result::Written);
    ASSERT_EQ(d.Eval(false, true, 0.2, 2, 0.35), Result::Written);
    d.output = 99;
    // The fourth sample overwrites the oldest: nothing before t - delay is left.
    EXPECT_EQ(d.Eval(false, true, 0.3, 3, 0.35), Result::InsufficientArea);
    EXPECT_EQ(d.output, 99.0);
    EXPECT_EQ(d.cursor, d.head);
}

TEST(TransportDelay, RefusedArguments)
{
    DelayLine d(8);
    d.Initialize(0, 0, 0.2);
    ASSERT_EQ(d.Eval(false, true, 0.1, 1, 0.2), Result::Written);
    d.output = 99;
    d.cursor = 0;
    EXPECT_EQ(d.Eval(false, true, 0.2, 2, -0.5), Result::NegativeDelay);
    EXPECT_EQ(d.output, 99.0);
    EXPECT_EQ(d.cursor, d.head);

    DelayLine tooSmall(1);
    tooSmall.time[0] = 42;
    EXPECT_EQ(tooSmall.Eval(true, false, 0, 0, 0.1), Result::InsufficientArea);
    EXPECT_EQ(tooSmall.time[0], 42.0);
    EXPECT_EQ(tooSmall.output, 12345.0);

    // Indices outside the ring (memory never initialised, or corrupted).
    DelayLine corrupt(4);
    corrupt.head = 7;
    EXPECT_EQ(corrupt.Eval(false, true, 1, 1, 0.1), Result::InsufficientArea);
    corrupt.head = 0;
    corrupt.cursor = -1;
    EXPECT_EQ(corrupt.Eval(false, false, 1, 1, 0.1), Result::InsufficientArea);
}

TEST(TransportDelay, UpdateFlagOverwritesTheNewestSampleUntilTheNextStepStart)
{
    DelayLine d(8);
    d.Initialize(0, 0, 0.0);
    ASSERT_EQ(d.Eval(false, true, 0.1, 1, 0), Result::Written);
    const int32_t head = d.head;
    d.updateFlag = 1;
    ASSERT_EQ(d.Eval(false, false, 0.15, 5, 0), Result::Written);
    EXPECT_EQ(d.head, head);
    EXPECT_EQ(d.time[head], 0.15);
    EXPECT_EQ(d.value[head], 5.0);
    ASSERT_EQ(d.Eval(false, true, 0.2, 2, 0), Result::Written);
    EXPECT_EQ(d.updateFlag, 0);
    EXPECT_EQ(d.value[head], 5.0);
}

}  // namespace
