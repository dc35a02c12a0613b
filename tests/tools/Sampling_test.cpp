#include <gtest/gtest.h>

#include <boost/math/distributions/beta.hpp>
#include <boost/math/distributions/cauchy.hpp>
#include <boost/math/distributions/exponential.hpp>
#include <boost/math/distributions/gamma.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/students_t.hpp>
#include <boost/math/distributions/weibull.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>

#include "CounterRandom.h"
#include "Distribution.h"
#include "Sampling.h"
#include "SobolIndices.h"
#include "Statistics.h"

namespace {

Distribution Parse(const std::string& text) {
    Distribution d;
    std::string error;
    EXPECT_TRUE(ParseDistribution(text, d, error)) << text << ": " << error;
    return d;
}

std::vector<double> Draw(const Distribution& d, std::size_t n, uint64_t seed = 20261209) {
    std::vector<double> values = RandomDesign(seed, n, 1);
    for (double& v : values) v = d.Sample(v);
    return values;
}

TEST(StandardNormal, QuantileInvertsTheDistributionFunction) {
    for (double p = 1e-12; p < 1.0; p = p < 0.01 ? p * 10 : p + 0.01) {
        const double z = StandardNormalQuantile(p);
        EXPECT_NEAR(StandardNormalCdf(z), p, 1e-14 + 1e-12 * p) << p;
        // 1 - p keeps p's digits only where p is not tiny.
        if (p >= 1e-4) {
            EXPECT_NEAR(StandardNormalQuantile(1.0 - p), -z, 1e-12 * std::max(1.0, std::fabs(z))) << p;
        }
    }
    EXPECT_NEAR(StandardNormalQuantile(0.975), 1.959963984540054, 1e-13);
}

// Mean and sd of 40,000 draws against the distribution's own, within 3
// standard errors; sample quantiles against the exact ones within 2 %.
TEST(Distribution, SampleMomentsAndQuantilesMatch) {
    struct Case {
        const char* text;
        double mean, sd;
    };
    const double lnSd = std::log(2.0);
    const Case cases[] = {
        {"normal(72.3, 8.0)", 72.3, 8.0},
        {"lognormal(0.007, 2.0)", 0.007 * std::exp(lnSd * lnSd / 2),
         0.007 * std::exp(lnSd * lnSd / 2) * std::sqrt(std::exp(lnSd * lnSd) - 1)},
        {"uniform(2, 5)", 3.5, 3.0 / std::sqrt(12.0)},
        {"loguniform(1, 100)", 99.0 / std::log(100.0),
         std::sqrt((100.0 * 100.0 - 1.0) / (2 * std::log(100.0)) - std::pow(99.0 / std::log(100.0), 2))},
        {"triangular(1, 2, 6)", 3.0, std::sqrt((1 + 4 + 36 - 2 - 6 - 12) / 18.0)},
    };
    constexpr std::size_t n = 40000;
    for (const Case& c : cases) {
        const Distribution d = Parse(c.text);
        std::vector<double> values = Draw(d, n);
        const double mean = Mean(values);
        EXPECT_NEAR(mean, c.mean, 3 * c.sd / std::sqrt(double(n))) << c.text;
        EXPECT_NEAR(StandardDeviation(values, mean), c.sd, 0.03 * c.sd) << c.text;
        std::sort(values.begin(), values.end());
        for (const double p : {0.05, 0.5, 0.95}) {
            const double exact = d.Quantile(p);
            EXPECT_NEAR(Quantile(values, p), exact, 0.02 * std::fabs(exact)) << c.text << " p = " << p;
            EXPECT_NEAR(d.Cdf(exact), p, 1e-12) << c.text;
        }
    }
}

TEST(Distribution, TruncationKeepsEveryDrawInsideAndRescalesTheRest) {
    for (const char* text : {"normal(72.3, 8.0) [60, 75]", "lognormal(0.007, 2.0) [0.001, 0.01]",
                             "triangular(0, 1, 10) [5, 20]", "normal(0, 1) [4, 9]"}) {
        const Distribution d = Parse(text);
        std::vector<double> values = Draw(d, 20000);
        for (const double v : values) ASSERT_TRUE(v >= d.lower && v <= d.upper) << text << ": " << v;
        std::sort(values.begin(), values.end());
        // The median is where the truncated mass is halved.
        const double median = d.Quantile(0.5 * (d.Cdf(d.lower) + d.Cdf(d.upper)));
        EXPECT_NEAR(Quantile(values, 0.5), median, 0.01 * (d.upper - d.lower)) << text;
    }
}

TEST(Distribution, RefusesMalformedTextAndParametersOutOfRange) {
    const char* const bad[] = {
        "normal(1, 0)",        "normal(1, -2)",         "lognormal(0, 2)",
        "lognormal(1, 1)",     "uniform(3, 3)",         "uniform(4, 3)",
        "loguniform(0, 3)",    "triangular(1, 5, 3)",   "triangular(2, 2, 2)",
        "normal(1)",           "normal(1, 2, 3)",       "pareto(1, 2)",
        "normal 1, 2",         "normal(1, 2x)",          "normal(1, 2) [3]",
        "normal(1, 2) [5, 4]", "normal(0, 1) [40, 50]", "uniform(0, 1) [2, 3]",
        "normal(1, 2) extra",  "normal(1,,2)",
    };
    for (const char* text : bad) {
        Distribution d;
        std::string error;
        EXPECT_FALSE(ParseDistribution(text, d, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(Sampling, RowsDependOnlyOnTheSeedAndTheRun) {
    const std::vector<double> few = RandomDesign(5, 3, 4);
    const std::vector<double> many = RandomDesign(5, 1000, 4);
    EXPECT_TRUE(std::equal(few.begin(), few.end(), many.begin()));
    EXPECT_NE(RandomDesign(6, 3, 4), few);
    for (const double u : many) ASSERT_TRUE(u > 0.0 && u < 1.0);
}

TEST(Sampling, LatinHypercubeHitsEachStratumOncePerVariable) {
    for (const std::size_t runs : {1, 7, 100}) {
        const std::size_t d = 3;
        const std::vector<double> design = LatinHypercubeDesign(11, runs, d);
        for (std::size_t j = 0; j < d; ++j) {
            std::set<std::size_t> strata;
            for (std::size_t k = 0; k < runs; ++k) strata.insert(static_cast<std::size_t>(design[k * d + j] * runs));
            EXPECT_EQ(strata.size(), runs) << "variable " << j << " of " << runs << " runs";
        }
        EXPECT_EQ(LatinHypercubeDesign(11, runs, d), design);  // a function of the seed
    }
}

TEST(Sampling, SaltelliRowsTakeOneColumnFromB) {
    const SaltelliLayout layout{4, 3};
    const std::vector<double> design = SaltelliDesign(3, layout);
    ASSERT_EQ(design.size(), layout.Runs() * 3);
    const auto at = [&](std::size_t row, std::size_t matrix, std::size_t j) {
        return design[layout.Run(row, matrix) * 3 + j];
    };
    for (std::size_t i = 0; i < layout.baseRuns; ++i)
        for (std::size_t j = 0; j < 3; ++j)
            for (std::size_t k = 0; k < 3; ++k)
                EXPECT_EQ(at(i, 2 + j, k), at(i, k == j ? SaltelliLayout::kB : SaltelliLayout::kA, k));
}

// The Ishigami function, a = 7, b = 0.1, on U(-pi, pi)^3: analytic indices
// S1 = (0.3139, 0.4424, 0), ST = (0.5576, 0.4424, 0.2437).
TEST(SobolIndices, IshigamiIndicesLieInTheirConfidenceIntervals) {
    const double a = 7.0, b = 0.1, pi = M_PI;
    const double v1 = b * std::pow(pi, 4) / 5 + b * b * std::pow(pi, 8) / 50 + 0.5, v2 = a * a / 8;
    const double v13 = 8 * b * b * std::pow(pi, 8) / 225, v = v1 + v2 + v13;
    const double first[] = {v1 / v, v2 / v, 0.0}, total[] = {(v1 + v13) / v, v2 / v, v13 / v};

    const SaltelliLayout layout{8000, 3};
    const std::vector<double> design = SaltelliDesign(42, layout);
    std::vector<double> y(layout.Runs());
    for (std::size_t run = 0; run < y.size(); ++run) {
        const double* u = &design[run * 3];
        const double x1 = -pi + 2 * pi * u[0], x2 = -pi + 2 * pi * u[1], x3 = -pi + 2 * pi * u[2];
        y[run] = std::sin(x1) + a * std::pow(std::sin(x2), 2) + b * std::pow(x3, 4) * std::sin(x1);
    }
    y[layout.Run(5, 3)] = NAN;  // a failed run takes its base row out
    const SobolResult result = EstimateSobol(layout, y, 200, 42);
    EXPECT_EQ(result.rowsUsed, layout.baseRuns - 1);
    ASSERT_EQ(result.indices.size(), 3u);
    for (std::size_t j = 0; j < 3; ++j) {
        const SobolIndex& s = result.indices[j];
        EXPECT_LE(s.firstLow, first[j]) << j;
        EXPECT_GE(s.firstHigh, first[j]) << j;
        EXPECT_LE(s.totalLow, total[j]) << j;
        EXPECT_GE(s.totalHigh, total[j]) << j;
        EXPECT_LT(s.firstHigh - s.firstLow, 0.1) << j;
    }
    // Without replicates there is no interval (not one of no width at the estimate).
    const SobolIndex unbounded = EstimateSobol(layout, y, 0, 42).indices[0];
    EXPECT_EQ(unbounded.first, result.indices[0].first);
    EXPECT_TRUE(std::isnan(unbounded.firstLow) && std::isnan(unbounded.totalHigh));
    // A constant output has no variance to share out.
    const SobolResult flat = EstimateSobol(layout, std::vector<double>(layout.Runs(), 2.0), 10, 1);
    EXPECT_TRUE(flat.constantOutput);
    EXPECT_EQ(flat.indices[0].first, 0.0);
    // 0.1 is not a binary fraction: its mean over the runs is off by rounding,
    // which once passed for variance and gave S1 = 1, ST = 0 to every input.
    const SobolResult tenth = EstimateSobol(layout, std::vector<double>(layout.Runs(), 0.1), 10, 1);
    EXPECT_TRUE(tenth.constantOutput);
    EXPECT_EQ(tenth.indices[0].first, 0.0);
    EXPECT_EQ(tenth.indices[2].total, 0.0);
}

TEST(Statistics, SummaryOfKnownValues) {
    std::vector<double> values;
    for (int k = 10; k >= 1; --k) values.push_back(k);
    const PopulationSummary s = Summarize(values);
    EXPECT_EQ(s.n, 10u);
    EXPECT_DOUBLE_EQ(s.mean, 5.5);
    EXPECT_DOUBLE_EQ(s.sd, std::sqrt(55.0 / 6.0));
    EXPECT_DOUBLE_EQ(s.percentiles[0], 1.225);  // p2.5
    EXPECT_DOUBLE_EQ(s.percentiles[2], 3.25);  // p25
    EXPECT_DOUBLE_EQ(s.percentiles[3], 5.5);  // p50
    EXPECT_DOUBLE_EQ(s.percentiles[6], 9.775);  // p97.5
    EXPECT_TRUE(std::isnan(Summarize({}).mean));
    EXPECT_TRUE(std::isnan(Summarize({}).percentiles[3]));
}

// Columns summarized one after another start from the previous column's
// order: the same numbers as Quantile on the sorted finite values, whether
// the order changes little (a drifting trajectory), wholly (fresh random
// values) or in ties, with runs missing from some columns, for sizes around
// the percentiles' boundaries.
TEST(Statistics, ColumnSummariesEqualThoseOfTheSortedValues) {
    uint64_t state = 12345;
    const auto next = [&] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) / 9007199254740992.0;
    };
    for (const std::size_t n : {0u, 1u, 2u, 3u, 5u, 39u, 40u, 41u, 1000u, 1001u}) {
        ColumnSummarizer summarizer;
        std::vector<double> column(n);
        for (double& v : column) v = next();
        for (int step = 0; step < 12; ++step) {
            for (std::size_t r = 0; r < n; ++r) {
                if (step % 4 == 3) column[r] = next() * 100.0 - 50.0;  // a new order altogether
                else if (step == 6) column[r] = std::floor(next() * 4.0);  // ties
                else column[r] += 0.01 * (next() - 0.5);  // drifting
            }
            std::vector<double> withGaps = column;
            if (step % 2 == 1)
                for (std::size_t r = 0; r < n; r += 7) withGaps[r] = r % 2 ? NAN : INFINITY;
            std::vector<double> sorted;
            for (const double v : withGaps)
                if (std::isfinite(v)) sorted.push_back(v);
            const PopulationSummary s = summarizer.Next(withGaps);
            EXPECT_EQ(s.n, sorted.size());
            if (sorted.empty()) EXPECT_TRUE(std::isnan(s.mean));
            else EXPECT_EQ(s.mean, Mean(sorted)) << n << " " << step;
            std::sort(sorted.begin(), sorted.end());
            for (std::size_t k = 0; k < kSummaryPercentiles; ++k) {
                const double expected = Quantile(sorted, kSummaryProbabilities[k]);
                if (std::isnan(expected)) EXPECT_TRUE(std::isnan(s.percentiles[k]));
                else EXPECT_EQ(s.percentiles[k], expected) << n << " " << step << " " << k;
            }
        }
    }
}

// The distributions whose quantiles are computed numerically or from special
// functions, against Boost.Math as the oracle.
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

// A gamma of large shape (a coefficient of variation of 0.3 % and less):
// its distribution function needs more terms than a small shape's.
TEST(Distribution, GammaOfLargeShapeAgreesWithBoostMath) {
    namespace bm = boost::math;
    for (const double shape : {3e4, 1e5, 1e7}) {
        const std::string text = std::to_string(static_cast<long long>(shape));
        const Distribution d = Parse("gamma(" + text + ", " + text + ")");
        const bm::gamma_distribution<> oracle(shape, 1.0 / shape);
        const double sd = 1.0 / std::sqrt(shape);
        for (const double u : {1e-9, 0.001, 0.025, 0.3, 0.5, 0.77, 0.975, 0.999, 1.0 - 1e-9})
            EXPECT_NEAR(d.Quantile(u), bm::quantile(oracle, u), 1e-6 * sd) << shape << " at " << u;
    }
}

// Truncation bounds far in the upper tail, where the distribution function
// is 1 less a few units in the last place: the draws are those of the
// truncated distribution, not of a handful of rounded probabilities.
TEST(Distribution, UpperTailTruncationsAgreeWithBoostMath) {
    namespace bm = boost::math;
    struct Case {
        std::string text;
        std::function<double(double)> survival, upperQuantile;
    };
    const bm::normal_distribution<> normal(0, 1);
    const bm::gamma_distribution<> gamma(2, 1.0 / 3);
    const bm::exponential_distribution<> exponential(1);
    const bm::weibull_distribution<> weibull(2, 1);
    const bm::normal_distribution<> logNormal(std::log(1.0), std::log(2.0));
    const bm::beta_distribution<> beta(2, 30);
    const Case cases[] = {
        {"normal(0, 1) [6, 7]", [&](double x) { return bm::cdf(bm::complement(normal, x)); },
         [&](double q) { return bm::quantile(bm::complement(normal, q)); }},
        {"gamma(2, 3) [10, 20]", [&](double x) { return bm::cdf(bm::complement(gamma, x)); },
         [&](double q) { return bm::quantile(bm::complement(gamma, q)); }},
        {"exponential(1) [20, 25]", [&](double x) { return bm::cdf(bm::complement(exponential, x)); },
         [&](double q) { return bm::quantile(bm::complement(exponential, q)); }},
        {"weibull(2, 1) [5, 6]", [&](double x) { return bm::cdf(bm::complement(weibull, x)); },
         [&](double q) { return bm::quantile(bm::complement(weibull, q)); }},
        {"lognormal(1, 2) [100, 200]", [&](double x) { return bm::cdf(bm::complement(logNormal, std::log(x))); },
         [&](double q) { return std::exp(bm::quantile(bm::complement(logNormal, q))); }},
        {"beta(2, 30) [0.5, 0.9]", [&](double x) { return bm::cdf(bm::complement(beta, x)); },
         [&](double q) { return bm::quantile(bm::complement(beta, q)); }},
    };
    for (const Case& c : cases) {
        const Distribution d = Parse(c.text);
        const double top = c.survival(d.lower), bottom = c.survival(d.upper);
        EXPECT_NEAR(d.TruncatedMass(), top - bottom, 1e-12 * top) << c.text;
        for (const double u : {1e-9, 0.001, 0.025, 0.3, 0.5, 0.77, 0.975, 0.999, 0.99999}) {
            const double want = c.upperQuantile(bottom + (1.0 - u) * (top - bottom));
            EXPECT_NEAR(d.Sample(u), want, 1e-11 * want) << c.text << " at " << u;
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
