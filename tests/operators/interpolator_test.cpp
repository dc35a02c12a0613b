#include <gtest/gtest.h>

#include <vector>

#include "operators/Interpolator.h"
#include "operators/OrvoSimOperators.h"

namespace {

TEST(Interpolator, OneDimensionExtrapolatesAlongTheEndSegments)
{
    const double table[] = {0.0633, 0.0787, 50, 75};
    EXPECT_NEAR(zztable(table, 1, 2, 0, 0, 0, 0, 0), 0.0325, 1e-12);
    EXPECT_DOUBLE_EQ(zztable(table, 1, 2, 0, 0, 75, 0, 0), 0.0787);
    EXPECT_DOUBLE_EQ(zztable(table, 1, 2, 0, 0, 50, 0, 0), 0.0633);
    EXPECT_NEAR(zztable(table, 1, 2, 0, 0, 100, 0, 0), 0.0941, 1e-12);
}

TEST(Interpolator, OneDimensionBreakpointsAndSegments)
{
    // Values 0, 10, 40, 50 at 0, 1, 2, 4 (a kink at every interior breakpoint).
    const double table[] = {0, 10, 40, 50, 0, 1, 2, 4};
    EXPECT_DOUBLE_EQ(zztable(table, 1, 4, 0, 0, 1, 0, 0), 10);
    EXPECT_DOUBLE_EQ(zztable(table, 1, 4, 0, 0, 2, 0, 0), 40);
    EXPECT_DOUBLE_EQ(zztable(table, 1, 4, 0, 0, 0.5, 0, 0), 5);
    EXPECT_DOUBLE_EQ(zztable(table, 1, 4, 0, 0, 1.5, 0, 0), 25);
    EXPECT_DOUBLE_EQ(zztable(table, 1, 4, 0, 0, 3, 0, 0), 45);
    EXPECT_DOUBLE_EQ(zztable(table, 1, 4, 0, 0, 6, 0, 0), 60);
    EXPECT_DOUBLE_EQ(zztable(table, 1, 4, 0, 0, -1, 0, 0), -10);
}

// f(x, y) = x + 10 y + x y sampled on x {0, 1, 3}, y {0, 2}: bilinear in each cell.
std::vector<double> Grid2()
{
    const double xs[] = {0, 1, 3};
    const double ys[] = {0, 2};
    std::vector<double> t;
    for (double y : ys)
        for (double x : xs) t.push_back(x + 10 * y + x * y);
    t.insert(t.end(), std::begin(xs), std::end(xs));
    t.insert(t.end(), std::begin(ys), std::end(ys));
    return t;
}

TEST(Interpolator, TwoDimensionsGridPointsAndBilinearInterior)
{
    const std::vector<double> t = Grid2();
    auto f = [&](double x, double y) { return zztable(t.data(), 2, 3, 2, 0, x, y, 0); };
    EXPECT_DOUBLE_EQ(f(1, 2), 1 + 20 + 2);
    EXPECT_DOUBLE_EQ(f(3, 0), 3);
    EXPECT_DOUBLE_EQ(f(0, 2), 20);
    // x y is exactly bilinear inside a cell.
    EXPECT_DOUBLE_EQ(f(2, 1), 2 + 10 + 2);
    EXPECT_DOUBLE_EQ(f(0.5, 0.5), 0.5 + 5 + 0.25);
    // Linear extrapolation in both arguments.
    EXPECT_DOUBLE_EQ(f(4, 3), 4 + 30 + 12);
    EXPECT_DOUBLE_EQ(f(-1, -1), -1 - 10 + 1);
}

TEST(Interpolator, ThreeDimensionsTrilinear)
{
    // f = 1 + x + 2 y + 3 z + x y z on x {0, 2}, y {0, 1, 2}, z {0, 4}.
    const double xs[] = {0, 2}, ys[] = {0, 1, 2}, zs[] = {0, 4};
    auto g = [](double x, double y, double z) { return 1 + x + 2 * y + 3 * z + x * y * z; };
    std::vector<double> t;
    for (double z : zs)
        for (double y : ys)
            for (double x : xs) t.push_back(g(x, y, z));
    t.insert(t.end(), std::begin(xs), std::end(xs));
    t.insert(t.end(), std::begin(ys), std::end(ys));
    t.insert(t.end(), std::begin(zs), std::end(zs));
    auto f = [&](double x, double y, double z) { return zztable(t.data(), 3, 2, 3, 2, x, y, z); };
    EXPECT_DOUBLE_EQ(f(2, 1, 4), g(2, 1, 4));
    EXPECT_DOUBLE_EQ(f(1, 1.5, 1), g(1, 1.5, 1));
    EXPECT_DOUBLE_EQ(f(0.5, 0.25, 3), g(0.5, 0.25, 3));
    EXPECT_DOUBLE_EQ(f(3, 2.5, 5), g(3, 2.5, 5));
}

TEST(Interpolator, RefusedTablesGiveZeroWithoutReading)
{
    EXPECT_EQ(zztable(nullptr, 4, 2, 2, 2, 1, 1, 1), 0.0);
    EXPECT_EQ(zztable(nullptr, 0, 2, 0, 0, 1, 0, 0), 0.0);
    // Too few breakpoints for a segment.
    const double one[] = {5, 1};
    EXPECT_EQ(zztable(one, 1, 1, 0, 0, 1, 0, 0), 0.0);
    EXPECT_EQ(zztable(one, 2, 2, 1, 0, 1, 0, 0), 0.0);
    EXPECT_EQ(zztable(one, 1, -2, 0, 0, 1, 0, 0), 0.0);
}

TEST(Interpolator, FindElementSearchesFromAGivenPosition)
{
    const double b[] = {0, 1, 2, 4, 8};
    Interpolator interpolator;
    interpolator.Initialize(b, 1, 5, 0, 0);
    uint32_t index = 4;
    EXPECT_TRUE(interpolator.FindElement(0, 4, index, 1.5));
    EXPECT_EQ(index, 2u);
    index = 0;  // below the range: moved in first
    interpolator.FindElement(0, 4, index, 5);
    EXPECT_EQ(index, 4u);
    index = 9;
    interpolator.FindElement(0, 4, index, -3);
    EXPECT_EQ(index, 1u);
    index = 3;
    interpolator.FindElement(0, 4, index, 2);  // on a breakpoint: the segment ending there
    EXPECT_EQ(index, 2u);
    index = 1;
    interpolator.FindElement(1, 3, index, 100);  // a sub-range
    EXPECT_EQ(index, 3u);
}

}  // namespace
