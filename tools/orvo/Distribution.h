#pragma once

// The distributions of population files, written out here (inverse CDF) so
// that a seed gives the same values on every platform and library.

#include <string>

struct Distribution {
    enum class Kind {
        Normal, LogNormal, Uniform, LogUniform, Triangular,
        Beta, Gamma, Weibull, StudentT, HalfNormal, HalfCauchy, Exponential
    };
    Kind kind = Kind::Uniform;
    // normal: mean, sd; lognormal: geometric mean, geometric sd; uniform and
    // loguniform: a, b; triangular: low, mode, high; beta: a, b (on 0..1);
    // gamma: shape, rate; weibull: shape, scale; studentt: df, location,
    // scale; halfnormal: sd; halfcauchy: scale; exponential: rate.
    double p[3] = {0.0, 1.0, 0.0};
    // A parameter written as a name takes, run by run, the value sampled for
    // that variable (normal(vmax, 0.1)); empty for a number.
    std::string references[3];
    bool truncated = false;
    double lower = 0.0;  // truncation bounds, when `truncated`
    double upper = 0.0;

    double Cdf(double x) const;  // untruncated
    double Quantile(double u) const;  // untruncated, u in (0, 1)
    double Density(double x) const;  // untruncated; for the kinds inverted numerically
    // 1 - Cdf(x), and its inverse for q in (0, 1): with their digits in the
    // upper tail, where Cdf is 1 less a few units in the last place.
    double Survival(double x) const;
    double UpperQuantile(double q) const;
    // The probability between the truncation bounds.
    double TruncatedMass() const;
    // The value at probability u in (0, 1) of the (truncated) distribution.
    double Sample(double u) const;

    bool HasReferences() const { return !references[0].empty() || !references[1].empty() || !references[2].empty(); }
    // With the referenced parameters set: empty when the parameters, the
    // truncation and the draws are sound, else why not.
    std::string Check() const;
};

// Parses "normal(72.3, 8.0) [45, 120]" and the other forms; false with
// `error` set when malformed or the parameters are out of range. A parameter
// may be a variable's name instead of a number (checked when it is known).
bool ParseDistribution(const std::string& text, Distribution& distribution, std::string& error);

// The standard normal distribution function and its inverse.
double StandardNormalCdf(double z);
double StandardNormalQuantile(double p);
// Regularized incomplete gamma P(a, x) and beta I_x(a, b).
double RegularizedGammaP(double a, double x);
double RegularizedGammaQ(double a, double x);  // 1 - P, with its digits when P is near 1
double RegularizedBeta(double x, double a, double b);
