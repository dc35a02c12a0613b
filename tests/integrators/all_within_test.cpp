#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "common/AllWithin.h"

namespace {

// The high-word pass must answer exactly as |x| <= limit on every element,
// wherever the odd value sits (vector body or tail) and whatever it is.
TEST(AllWithin, AgreesWithTheExactComparison) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = HUGE_VAL;
    for (const double limit : {1e100, inf, 1.0}) {
        const double odd[] = {0.0, -0.0, 4.9e-324, 1.0, -1.0, 9e99, -9.5e99, 1e100, -1e100,
                              std::nextafter(1e100, inf), std::nextafter(1.0, 2.0), 1e300, -1e300,
                              inf, -inf, nan, -nan, std::numeric_limits<double>::max()};
        for (const std::size_t count : {1u, 2u, 7u, 37u}) {
            for (std::size_t at = 0; at < count; at += std::max<std::size_t>(1, count / 3)) {
                for (const double value : odd) {
                    std::vector<double> values(count, 0.5);
                    values[at] = value;
                    const bool exact = std::all_of(values.begin(), values.end(),
                                                   [&](double x) { return std::fabs(x) <= limit; });
                    EXPECT_EQ(AllWithin(values.data(), count, limit), exact)
                        << "limit " << limit << ", " << value << " at " << at << " of " << count;
                }
            }
        }
    }
    EXPECT_TRUE(AllWithin(nullptr, 0, 1.0));
}

}  // namespace
