// The distributions whose quantiles are computed numerically or from special
// functions, against Boost.Math as the oracle.
#include "Distribution.h"

#include <gtest/gtest.h>

#include <boost/math/distributions/beta.hpp>
#include <boost/math/distributions/cauchy.hpp>
#include <boost/math/distributions/exponential.hpp>
#include <boost/math/distributions/gamma.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/students_t.hpp>
#include <boost/math/distributions/weibull.hpp>

#include <functional>
#include <string>

namespace {

Distribution Parse(const std::string& text) {
    Distribution d;
    std::string error;
    EXPECT_TRUE(ParseDistribution(text, d, error)) << text << ": " << error;
    return d;
}

TEST(Distribution, QuantilesAgreeWithBoostMath) {
    namespace bm = boost::math;
    struct Case {
        std::string text;
        std::function<double(double)> quantile;
    };
    const Case cases[] = {
        {"beta(2, 5)", [](double u) { return bm::quantile(bm::beta_distribution<>(2, 5), u); }},
        {"beta(0.5, 0.5)", [](double u) { return bm::quantile(bm::beta_distribution<>(0.5, 0.5), u); }},
        {"beta(30, 2)", [](double u) { return bm::quantile(bm::beta_distribution<>(30, 2), u); }},
        {"gamma(2.5, 0.5)", [](double u) { return bm::quantile(bm::gamma_distribution<>(2.5, 2.0), u); }},
        {"gamma(0.3, 4)", [](double u) { return bm::quantile(bm::gamma_distribution<>(0.3, 0.25), u); }},
        {"gamma(200, 10)", [](double u) { return bm::quantile(bm::gamma_distribution<>(200, 0.1), u); }},
        {"weibull(1.7, 3)", [](double u) { return bm::quantile(bm::weibull_distribution<>(1.7, 3), u); }},
        {"studentt(3, 1, 2)", [](double u) { return 1 + 2 * bm::quantile(bm::students_t_distribution<>(3), u); }},
        {"studentt(0.7, 0, 1)", [](double u) { return bm::quantile(bm::students_t_distribution<>(0.7), u); }},
        {"halfnormal(2)",
         [](double u) { return 2 * bm::quantile(bm::complement(bm::normal_distribution<>(0, 1), 0.5 * (1 - u))); }},
        {"halfcauchy(1.5)",
         [](double u) { return 1.5 * bm::quantile(bm::complement(bm::cauchy_distribution<>(0, 1), 0.5 * (1 - u))); }},
        {"exponential(0.2)", [](double u) { return bm::quantile(bm::exponential_distribution<>(0.2), u); }},
    };
    for (const Case& c : cases) {
        const Distribution d = Parse(c.text);
        for (const double u : {1e-9, 0.001, 0.025, 0.3, 0.5, 0.77, 0.975, 0.999, 1.0 - 1e-9}) {
            const double want = c.quantile(u);
            const double got = d.Quantile(u);
            // Near 1 the probability itself carries only about 7 digits of 1 - u.
            const double digits = u > 0.999 ? 1e-6 : 1e-9;
            EXPECT_NEAR(got, want, digits * std::max(1e-6, std::fabs(want))) << c.text << " at " << u;
            // The distribution function inverts it.
            EXPECT_NEAR(d.Cdf(got), u, (u > 0.999 ? 1e-7 : 1e-10) * std::max(u, 1e-6)) << c.text << " at " << u;
        }
    }
}

TEST(Distribution, NewKindsRefuseParametersOutOfRangeAndTruncate) {
    for (const char* text : {"beta(0, 1)", "beta(1)", "gamma(2, 0)", "weibull(-1, 2)", "studentt(0, 0, 1)",
                             "studentt(3, 0, 0)", "halfnormal(0)", "halfcauchy(-1)", "exponential(0)"}) {
        Distribution d;
        std::string error;
        EXPECT_FALSE(ParseDistribution(text, d, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    const Distribution d = Parse("gamma(2, 1) [1, 3]");
    for (const double u : {0.0001, 0.5, 0.9999}) {
        const double x = d.Sample(u);
        EXPECT_GE(x, 1.0);
        EXPECT_LE(x, 3.0);
    }
}

}  // namespace
