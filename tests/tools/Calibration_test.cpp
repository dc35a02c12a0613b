// Calibration files, likelihoods and the adaptive Metropolis sampler against
// a posterior known in closed form.
#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <sstream>

#include "CalibrationFile.h"
#include "Mcmc.h"

namespace {

const char* kGood =
    "a ~ normal(0, 10)\n"
    "s ~ lognormal(0.5, 2) [0.01, 10]\n"
    "tstop = 4\n"
    "error y normal s loq 0.2\n"
    "error c lognormal 0.1\n"
    "[experiment one]\n"
    "data = one.csv\n"
    "k = 2   # a setting of this experiment\n";

TEST(CalibrationFile, ReadsParametersErrorsAndExperiments) {
    // Both files as a spreadsheet may save them: a byte-order mark first.
    std::istringstream in(std::string("\xEF\xBB\xBF") + kGood);
    CalibrationDefinition d;
    std::string error;
    ASSERT_TRUE(ReadCalibration(in, "c.cal", "dir", d, error)) << error;
    ASSERT_EQ(d.parameters.size(), 2u);
    ASSERT_EQ(d.errors.size(), 2u);
    EXPECT_EQ(d.errors[0].sdParameter, 1);
    EXPECT_DOUBLE_EQ(d.errors[0].loq, 0.2);
    EXPECT_TRUE(d.errors[1].lognormal);
    EXPECT_DOUBLE_EQ(d.errors[1].sd, 0.1);
    ASSERT_EQ(d.experiments.size(), 1u);
    EXPECT_EQ(d.experiments[0].dataFile, "dir/one.csv");
    ASSERT_EQ(d.settings.size(), 1u);
    ASSERT_EQ(d.experiments[0].settings.size(), 1u);
    EXPECT_EQ(d.experiments[0].settings[0].origin, "c.cal:8");

    std::istringstream data("\xEF\xBB\xBFtime,variable,value,sd\r\n1,y,0.5,\r\n2,c,3,0.2\r\n");
    ASSERT_TRUE(ReadObservations(data, "one.csv", d, d.experiments[0], error)) << error;
    ASSERT_EQ(d.experiments[0].data.size(), 2u);
    EXPECT_TRUE(std::isnan(d.experiments[0].data[0].sd));
    EXPECT_DOUBLE_EQ(d.experiments[0].data[1].sd, 0.2);
}

TEST(CalibrationFile, RefusesBadFilesWithFileAndLine) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"a ~ normal(0, 1) [40, 50]\n", "c.cal:1: a: truncation bounds"},
        {"a ~ uniform(0, 1) [2, 3]\n", "c.cal:1: a: truncation bounds"},
        {"a ~ normal(0, -1)\n", "c.cal:1: a:"},
        {"a ~ normal(0, 1)\na ~ normal(0, 1)\n", "c.cal:2: parameter 'a' is given twice"},
        {"a ~ normal(0, 1)\nb ~ normal(a, 1)\n", "c.cal:2: b: a prior's parameters are numbers"},
        {"a ~ normal(0, 1)\nerror y normal sig\n[experiment e]\ndata = d.csv\n", "c.cal:2: sd parameter 'sig'"},
        {"a ~ normal(0, 1)\nerror y weibull 1\n", "c.cal:2: error distribution 'weibull'"},
        {"a ~ normal(0, 1)\nerror y normal -1\n", "c.cal:2: the sd of 'y' must be > 0"},
        {"a ~ normal(0, 1)\nerror y normal 1 lod 3\n", "c.cal:2: expected 'loq LIMIT'"},
        {"a ~ normal(0, 1)\n[experiment e\n", "c.cal:2: expected a section header"},
        {"a ~ normal(0, 1)\n[experiment e]\nb ~ normal(0, 1)\n", "c.cal:3: parameters belong before"},
        {"a ~ normal(0, 1)\n[experiment e]\nk = 1\n", "c.cal:2: experiment 'e' has no data"},
        {"a ~ normal(0, 1)\nnonsense\n", "c.cal:2:"},
        {"tstop = 4\n[experiment e]\ndata = d.csv\n", "no parameters"},
        {"a ~ normal(0, 1)\n", "no [experiment NAME] section"},
        {"a[subj] ~ normal(0, 1)\n", "c.cal:1: expected NAME[subject]"},
        {"a[subject] ~ normal(m, 1)\n", "c.cal:1: a: 'm' is not a parameter shared by all subjects"},
        {"b[subject] ~ normal(0, 1)\na[subject] ~ normal(b, 1)\n", "c.cal:2: a: 'b' is not a parameter shared"},
        {"s[subject] ~ lognormal(1, 2)\nerror y normal s\n[experiment e]\ndata = d.csv\n",
         "c.cal:2: sd parameter 's' varies between subjects"},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        CalibrationDefinition d;
        std::string error;
        EXPECT_FALSE(ReadCalibration(in, "c.cal", "", d, error)) << c.text;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " gave: " << error;
    }
}

TEST(CalibrationFile, RefusesBadDataWithFileAndLine) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"t,variable,value\n", "d.csv:1: expected the header"},
        {"time,variable,value\n1,y,abc\n", "d.csv:2: value 'abc' is not a number"},
        {"time,variable,value\nx,y,1\n", "d.csv:2: time 'x' is not a number"},
        {"time,variable,value\n1,y,nan\n", "d.csv:2: value 'nan'"},
        {"time,variable,value\n1,z,1\n", "d.csv:2: variable 'z' has no error model"},
        {"time,variable,value\n\n1,y,1,2\n", "d.csv:3: 4 cells, expected 3"},
        {"time,variable,value,sd\n1,y,1,0\n", "d.csv:2: sd '0'"},
        {"time,variable,value,subject,sd\n", "d.csv:1: expected the header"},
        {"time,variable,value,subject,subject\n", "d.csv:1: expected the header"},
        {"time,variable,value\n1,c,0\n", "d.csv:2: a lognormal error needs values > 0"},
        {"time,variable,value\n", "d.csv: no data rows"},
    };
    std::istringstream in(kGood);
    CalibrationDefinition d;
    std::string error;
    ASSERT_TRUE(ReadCalibration(in, "c.cal", "", d, error)) << error;
    for (const auto& c : cases) {
        std::istringstream data(c.text);
        Experiment e;
        EXPECT_FALSE(ReadObservations(data, "d.csv", d, e, error)) << c.text;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " gave: " << error;
    }
}

TEST(CalibrationFile, SubjectLevelParametersComeLastWithOneValuePerSubject) {
    std::istringstream in(
        "k[subject] ~ lognormal(k_gm, k_gsd) [0.1, 10]\n"
        "k_gm ~ lognormal(1, 2)\n"
        "k_gsd ~ uniform(1.1, 3)\n"
        "error y normal 0.5\n"
        "[experiment e]\n"
        "data = d.csv\n");
    CalibrationDefinition d;
    std::string error;
    ASSERT_TRUE(ReadCalibration(in, "c.cal", "", d, error)) << error;
    ASSERT_EQ(d.sharedCount, 2u);
    EXPECT_EQ(d.parameters[2].name, "k");
    EXPECT_EQ(d.parameters[2].references[0], 0);
    EXPECT_EQ(d.parameters[2].references[1], 1);
    std::istringstream data("time,variable,value,sd,subject\n1,y,1,,A\n2,y,1,,B\n3,y,2,,A\n");
    ASSERT_TRUE(ReadObservations(data, "d.csv", d, d.experiments[0], error)) << error;
    EXPECT_EQ(d.subjects, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(d.experiments[0].data[2].subjectIndex, 0);
    EXPECT_EQ(d.Dimension(), 4u);
    EXPECT_EQ(d.ColumnNames(), (std::vector<std::string>{"k_gm", "k_gsd", "k[A]", "k[B]"}));
    // The subject density is the population one, normalized over its bounds.
    const double point[] = {1.0, 2.0, 0.5, 3.0};
    Distribution law;
    ASSERT_TRUE(ParseDistribution("lognormal(1, 2)", law, error));
    const double mass = law.Cdf(10) - law.Cdf(0.1);
    EXPECT_NEAR(d.LogSubjectPrior(point, 1), LogPriorDensity(law, 3.0) - std::log(mass), 1e-12);
    EXPECT_NEAR(d.LogPrior(point), d.LogSharedPrior(point) + d.LogSubjectPrior(point, 0) + d.LogSubjectPrior(point, 1),
                1e-12);
    const double outside[] = {1.0, 2.0, 0.05, 3.0}, badSd[] = {1.0, 0.5, 0.5, 3.0};
    EXPECT_EQ(d.LogPrior(outside), -HUGE_VAL);
    EXPECT_EQ(d.LogPrior(badSd), -HUGE_VAL);
    std::istringstream pooled("time,variable,value\n1,y,1\n");
    Experiment e;
    EXPECT_FALSE(ReadObservations(pooled, "p.csv", d, e, error));
    EXPECT_NE(error.find("p.csv:2: no subject, but k varies between subjects"), std::string::npos) << error;
    // A subject column needs no sd column before it.
    std::istringstream noSd("time,variable,value,subject\n4,y,1,B\n5,y,2,C\n");
    Experiment second;
    ASSERT_TRUE(ReadObservations(noSd, "s.csv", d, second, error)) << error;
    EXPECT_EQ(d.subjects, (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(second.data[0].subjectIndex, 1);
    EXPECT_FALSE(std::isfinite(second.data[1].sd));
}

TEST(CalibrationLikelihood, NormalLognormalAndCensored) {
    const double parameters[] = {0.5};
    ErrorModel normal;
    normal.sd = 2.0;
    Observation o;
    o.value = 3.0;
    const double c = 0.9189385332046727;  // log sqrt(2 pi)
    EXPECT_NEAR(LogLikelihoodOf(normal, o, 1.0, parameters), -0.5 - std::log(2.0) - c, 1e-12);
    o.sd = 1.0;  // the row's own sd wins
    EXPECT_NEAR(LogLikelihoodOf(normal, o, 1.0, parameters), -2.0 - c, 1e-12);
    ErrorModel byParameter;
    byParameter.sdParameter = 0;
    o.sd = NAN;
    EXPECT_NEAR(LogLikelihoodOf(byParameter, o, 2.0, parameters), -2.0 - std::log(0.5) - c, 1e-12);
    ErrorModel lognormal;
    lognormal.lognormal = true;
    lognormal.sd = 0.5;
    o.value = std::exp(1.0);
    EXPECT_NEAR(LogLikelihoodOf(lognormal, o, 1.0, parameters), -2.0 - std::log(0.5) - c, 1e-12);
    EXPECT_EQ(LogLikelihoodOf(lognormal, o, -1.0, parameters), -HUGE_VAL);
    // Below the limit only P(observation < limit) counts, whatever the value.
    normal.loq = 1.0;
    o.value = 0.2;
    EXPECT_NEAR(LogLikelihoodOf(normal, o, 1.0, parameters), std::log(0.5), 1e-12);
    o.value = -7.0;
    EXPECT_NEAR(LogLikelihoodOf(normal, o, 1.0, parameters), std::log(0.5), 1e-12);
    lognormal.loq = 1.0;
    o.value = 0.5;
    EXPECT_NEAR(LogLikelihoodOf(lognormal, o, 1.0, parameters), std::log(0.5), 1e-12);
    o.value = 0.0;  // a value below the limit written as 0
    EXPECT_NEAR(LogLikelihoodOf(lognormal, o, 1.0, parameters), std::log(0.5), 1e-12);
}

TEST(CalibrationFile, LognormalDataBelowTheLimitMayBeZero) {
    // Once refused as "needs values > 0"; without a limit 0 still is.
    std::istringstream in("k ~ lognormal(1, 2)\nerror c lognormal 0.2 loq 0.5\nerror d lognormal 0.2\n"
                          "[experiment e]\ndata = d.csv\n");
    CalibrationDefinition d;
    std::string error;
    ASSERT_TRUE(ReadCalibration(in, "c.cal", "", d, error)) << error;
    std::istringstream censored("time,variable,value\n1,c,0\n2,c,0.8\n");
    ASSERT_TRUE(ReadObservations(censored, "d.csv", d, d.experiments[0], error)) << error;
    std::istringstream uncensored("time,variable,value\n1,d,0\n");
    Experiment e;
    EXPECT_FALSE(ReadObservations(uncensored, "u.csv", d, e, error));
    EXPECT_NE(error.find("u.csv:2: a lognormal error needs values > 0"), std::string::npos) << error;
}

TEST(CalibrationPrior, DensitiesAndBounds) {
    Distribution normal;
    std::string error;
    ASSERT_TRUE(ParseDistribution("normal(1, 2) [0, 5]", normal, error)) << error;
    EXPECT_NEAR(LogPriorDensity(normal, 3.0) - LogPriorDensity(normal, 1.0), -0.5, 1e-12);
    EXPECT_EQ(LogPriorDensity(normal, -0.1), -HUGE_VAL);
    EXPECT_EQ(LogPriorDensity(normal, 5.1), -HUGE_VAL);
    Distribution lognormal;
    ASSERT_TRUE(ParseDistribution("lognormal(2, 3)", lognormal, error)) << error;
    // Density of log x is normal: f(x) x is symmetric in log x around log 2.
    EXPECT_NEAR(LogPriorDensity(lognormal, 4.0) + std::log(4.0), LogPriorDensity(lognormal, 1.0) + std::log(1.0),
                1e-12);
    EXPECT_EQ(LogPriorDensity(lognormal, 0.0), -HUGE_VAL);
    Distribution uniform;
    ASSERT_TRUE(ParseDistribution("uniform(1, 3)", uniform, error)) << error;
    EXPECT_NEAR(LogPriorDensity(uniform, 2.0), std::log(0.5), 1e-12);
    EXPECT_EQ(LogPriorDensity(uniform, 3.5), -HUGE_VAL);
    Distribution triangular;
    ASSERT_TRUE(ParseDistribution("triangular(0, 1, 2)", triangular, error)) << error;
    EXPECT_NEAR(LogPriorDensity(triangular, 1.0), 0.0, 1e-12);
    EXPECT_NEAR(LogPriorDensity(triangular, 0.5), std::log(0.5), 1e-12);
    // Every kind of prior has a density: its log, differenced, is the log of the
    // distribution function's slope (numerically).
    for (const char* text : {"beta(2, 5)", "gamma(2.5, 0.5)", "weibull(1.7, 3)", "studentt(3, 1, 2)",
                             "halfnormal(2)", "halfcauchy(1.5)", "exponential(0.2)"}) {
        Distribution d;
        ASSERT_TRUE(ParseDistribution(text, d, error)) << error;
        const double x = d.Quantile(0.3), h = 1e-6 * std::max(1.0, x);
        const double slope = (d.Cdf(x + h) - d.Cdf(x - h)) / (2 * h);
        EXPECT_NEAR(LogPriorDensity(d, x), std::log(slope), 1e-5) << text;
    }
}

// y = a + b t with normal errors of known sd and normal priors: the
// posterior is normal with precision X'X/s^2 + I/p^2 and mean
// (X'X/s^2 + I/p^2)^-1 X'y/s^2.
TEST(AdaptiveMetropolis, MatchesAConjugatePosterior) {
    const double t[] = {0, 1, 2, 3, 4}, y[] = {1.1, 2.9, 5.2, 6.8, 9.1};
    const double s = 0.5, p = 10.0;
    double xx[3] = {}, xy[2] = {};  // X'X as (11, 12, 22)
    for (int i = 0; i < 5; ++i) {
        xx[0] += 1, xx[1] += t[i], xx[2] += t[i] * t[i];
        xy[0] += y[i], xy[1] += t[i] * y[i];
    }
    const double p11 = xx[0] / (s * s) + 1 / (p * p), p12 = xx[1] / (s * s), p22 = xx[2] / (s * s) + 1 / (p * p);
    const double det = p11 * p22 - p12 * p12;
    const double c11 = p22 / det, c12 = -p12 / det, c22 = p11 / det;  // posterior covariance
    const double meanA = (c11 * xy[0] + c12 * xy[1]) / (s * s), meanB = (c12 * xy[0] + c22 * xy[1]) / (s * s);

    const LogDensity density = [&](const std::vector<double>& x, double& logPrior, double& logLikelihood) {
        logPrior = -0.5 * (x[0] * x[0] + x[1] * x[1]) / (p * p);
        logLikelihood = 0.0;
        for (int i = 0; i < 5; ++i) logLikelihood -= 0.5 * std::pow((y[i] - x[0] - x[1] * t[i]) / s, 2);
    };
    const int chains = 4;
    std::vector<std::vector<double>> a(chains), b(chains);
    for (int c = 0; c < chains; ++c) {
        const ChainResult r = RunChain(density, {0.0, 0.0}, {1.0, 1.0}, {20000, 4000, 2, 7, uint64_t(c)});
        EXPECT_EQ(r.failedRuns, 0u);
        ASSERT_EQ(r.draws.size(), 8000u);
        for (const ChainDraw& d : r.draws) a[c].push_back(d.values[0]), b[c].push_back(d.values[1]);
    }
    const ParameterSummary sa = Summarize(a), sb = Summarize(b);
    EXPECT_LT(sa.rhat, 1.01);
    EXPECT_LT(sb.rhat, 1.01);
    ASSERT_GT(sa.ess, 400);
    EXPECT_NEAR(sa.mean, meanA, 4 * std::sqrt(c11 / sa.ess));
    EXPECT_NEAR(sb.mean, meanB, 4 * std::sqrt(c22 / sb.ess));
    EXPECT_NEAR(sa.sd, std::sqrt(c11), 0.1 * std::sqrt(c11));
    EXPECT_NEAR(sb.sd, std::sqrt(c22), 0.1 * std::sqrt(c22));
    EXPECT_NEAR(sa.q50, meanA, 5 * std::sqrt(c11 / sa.ess));

    // The same seed and chain give the same draws; another chain others.
    const ChainResult again = RunChain(density, {0.0, 0.0}, {1.0, 1.0}, {20000, 4000, 2, 7, 1});
    EXPECT_EQ(again.draws[100].values, (std::vector<double>{a[1][100], b[1][100]}));
    EXPECT_NE(a[0][100], a[1][100]);
}

// Stopping a chain and going on gives the chain of one run, block by block too.
TEST(AdaptiveMetropolis, ContinuedChainsEqualOneRun) {
    const LogDensity density = [](const std::vector<double>& x, double& logPrior, double& logLikelihood) {
        logPrior = -0.5 * x[0] * x[0];
        logLikelihood = -0.5 * (x[1] - x[0]) * (x[1] - x[0]);
    };
    const ChainResult whole = RunChain(density, {3.0, -2.0}, {0.5, 0.5}, {1000, 100, 3, 4, 2});
    ChainState state = StartChain(density, {3.0, -2.0}, {0.5, 0.5});
    ChainResult part = ContinueChain(density, state, {437, 100, 3, 4, 2});
    const ChainResult rest = ContinueChain(density, state, {1000, 100, 3, 4, 2});
    part.draws.insert(part.draws.end(), rest.draws.begin(), rest.draws.end());
    ASSERT_EQ(part.draws.size(), whole.draws.size());
    for (std::size_t i = 0; i < whole.draws.size(); ++i) {
        ASSERT_EQ(part.draws[i].iteration, whole.draws[i].iteration);
        ASSERT_EQ(part.draws[i].values, whole.draws[i].values);
    }
    EXPECT_EQ(rest.accepted, whole.accepted);
}

// Normal units y_u ~ N(theta_u, 1), theta_u ~ N(mu, 1), mu ~ N(0, 10^2):
// marginally y_u ~ N(mu, 2), so mu's posterior is normal with precision
// U/2 + 1/100. Sampled block by block.
TEST(AdaptiveMetropolis, SplitDensityMatchesAConjugateHierarchy) {
    const std::vector<double> y = {1.2, 2.9, 0.4, 2.2, 1.6};
    const std::size_t units = y.size();
    SplitDensity split;
    split.sharedIndices = {0};
    for (std::size_t u = 0; u < units; ++u) split.unitIndices.push_back({u + 1});
    split.sharedPrior = [](const std::vector<double>& x) { return -0.5 * x[0] * x[0] / 100.0; };
    split.unit = [&](const std::vector<double>& x, std::size_t u, double& logPrior, double& logLikelihood) {
        logPrior = -0.5 * (x[u + 1] - x[0]) * (x[u + 1] - x[0]);
        logLikelihood = -0.5 * (y[u] - x[u + 1]) * (y[u] - x[u + 1]);
    };
    double sum = 0.0;
    for (double v : y) sum += v;
    const double precision = units / 2.0 + 1.0 / 100.0, mean = sum / 2.0 / precision;
    std::vector<std::vector<double>> mu(4), theta(4);
    for (uint64_t c = 0; c < 4; ++c) {
        ChainState state = StartChain(split, std::vector<double>(units + 1, 0.0), std::vector<double>(units + 1, 1.0));
        const ChainResult r = ContinueChain(split, state, {6000, 1000, 1, 5, c});
        for (const ChainDraw& d : r.draws) mu[c].push_back(d.values[0]), theta[c].push_back(d.values[2]);
        // The cached terms still sum to the density at the final point.
        double terms = split.sharedPrior(state.point);
        for (std::size_t u = 0; u < units; ++u) {
            double p = 0.0, l = 0.0;
            split.unit(state.point, u, p, l);
            terms += p + l;
        }
        EXPECT_NEAR(state.logPrior + state.logLikelihood, terms, 1e-9);
    }
    const ParameterSummary s = Summarize(mu);
    EXPECT_LT(s.rhat, 1.01);
    ASSERT_GT(s.ess, 300);
    EXPECT_NEAR(s.mean, mean, 4 * std::sqrt(1 / precision / s.ess));
    EXPECT_NEAR(s.sd, std::sqrt(1 / precision), 0.1 * std::sqrt(1 / precision));
    // theta_u | y is normal with mean (y_u + mu)/2 averaged over mu: (y_u + E mu)/2.
    EXPECT_NEAR(Summarize(theta).mean, (y[1] + mean) / 2, 0.05);
}

TEST(AdaptiveMetropolis, FailedRunsCountAsZeroLikelihood) {
    // Half the plane "fails": the chain stays in the other half and counts them.
    const LogDensity density = [](const std::vector<double>& x, double& logPrior, double& logLikelihood) {
        logPrior = -0.5 * x[0] * x[0];
        logLikelihood = x[0] < 0.0 ? NAN : 0.0;
    };
    const ChainResult r = RunChain(density, {1.0}, {1.0}, {2000, 0, 1, 3, 0});
    EXPECT_GT(r.failedRuns, 100u);
    for (const ChainDraw& d : r.draws) ASSERT_GE(d.values[0], 0.0);
}

TEST(ChainSummary, SplitRhatSeesChainsThatDisagree) {
    std::vector<std::vector<double>> same(2), apart(2);
    for (int i = 0; i < 200; ++i) {
        const double wiggle = std::sin(i * 12.9898) * 0.5;
        same[0].push_back(wiggle), same[1].push_back(-wiggle);
        apart[0].push_back(wiggle), apart[1].push_back(3.0 + wiggle);
    }
    EXPECT_LT(Summarize(same).rhat, 1.05);
    EXPECT_GT(Summarize(apart).rhat, 2.0);
    const ParameterSummary one = Summarize({{1, 2, 3, 4, 5}});
    EXPECT_DOUBLE_EQ(one.mean, 3.0);
    EXPECT_DOUBLE_EQ(one.q50, 3.0);
    EXPECT_DOUBLE_EQ(one.q025, 1.1);
}

}  // namespace
