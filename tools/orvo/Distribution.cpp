#include "Distribution.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string_view>
#include <vector>

#include "NumberText.h"
#include "ValueParser.h"

double StandardNormalCdf(double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); }

double StandardNormalQuantile(double p) {
    if (p <= 0.0) return -INFINITY;
    if (p >= 1.0) return INFINITY;
    // Rational approximation (relative error 1.2e-9), then one Halley step on
    // the exact distribution function.
    static const double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,  -2.759285104469687e+02,
                               1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
    static const double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                               6.680131188771972e+01, -1.328068155288572e+01};
    static const double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                               -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
    static const double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                               3.754408661907416e+00};
    constexpr double tail = 0.02425;
    double x;
    if (p < tail || p > 1.0 - tail) {
        const double q = std::sqrt(-2.0 * std::log(p < tail ? p : 1.0 - p));
        x = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
        if (p > tail) x = -x;
    } else {
        const double q = p - 0.5;
        const double r = q * q;
        x = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
            (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
    }
    // e = Phi(x) - p; in the upper half taken on the complements, which keep their digits.
    const double e = p > 0.5 ? (1.0 - p) - 0.5 * std::erfc(x / std::sqrt(2.0)) : StandardNormalCdf(x) - p;
    const double u = e * std::sqrt(2.0 * M_PI) * std::exp(x * x / 2.0);
    return x - u / (1.0 + x * u / 2.0);
}

// Written out rather than taken from a library so that a seed gives the same
// draws whatever library version is installed.
namespace {

// P(a, x) and Q(a, x) = 1 - P(a, x), each from whichever of the series and
// the continued fraction computes it directly.
double RegularizedGamma(double a, double x, bool upper) {
    if (!(x > 0.0)) return upper ? 1.0 : 0.0;
    const double front = std::exp(a * std::log(x) - x - std::lgamma(a));
    // Near x = a the terms (and the fraction's steps) fall off as
    // exp(-n^2 / 2a): a large shape needs about 9 sqrt(a) of them, 2,800 for
    // a shape of 1e5 (a 0.3 % coefficient of variation).
    const double terms = std::max(1000.0, std::ceil(20.0 * std::sqrt(a)));
    if (x < a + 1.0) {
        // Series: P = e^-x x^a / Gamma(a) * sum x^n / (a (a+1) ... (a+n)).
        double term = 1.0 / a, sum = term;
        for (double n = 1; n < terms && std::fabs(term) > 1e-17 * std::fabs(sum); ++n) {
            term *= x / (a + n);
            sum += term;
        }
        return upper ? std::max(0.0, 1.0 - front * sum) : std::min(1.0, front * sum);
    }
    // Continued fraction for Q = 1 - P (modified Lentz).
    constexpr double tiny = 1e-300;
    double b = x + 1.0 - a, c = 1.0 / tiny, d = 1.0 / b, h = d;
    for (double n = 1; n < terms; ++n) {
        const double an = -n * (n - a);
        b += 2.0;
        d = an * d + b;
        if (std::fabs(d) < tiny) d = tiny;
        c = b + an / c;
        if (std::fabs(c) < tiny) c = tiny;
        d = 1.0 / d;
        const double delta = d * c;
        h *= delta;
        if (std::fabs(delta - 1.0) < 1e-16) break;
    }
    return upper ? std::min(1.0, front * h) : std::max(0.0, 1.0 - front * h);
}

}  // namespace

double RegularizedGammaP(double a, double x) { return RegularizedGamma(a, x, false); }
double RegularizedGammaQ(double a, double x) { return RegularizedGamma(a, x, true); }

namespace {

// The continued fraction of the incomplete beta function (modified Lentz).
double BetaFraction(double x, double a, double b) {
    constexpr double tiny = 1e-300;
    double c = 1.0, d = 1.0 - (a + b) * x / (a + 1.0);
    if (std::fabs(d) < tiny) d = tiny;
    d = 1.0 / d;
    double h = d;
    for (int m = 1; m < 1000; ++m) {
        const double m2 = 2.0 * m;
        double aa = m * (b - m) * x / ((a + m2 - 1.0) * (a + m2));
        d = 1.0 + aa * d;
        if (std::fabs(d) < tiny) d = tiny;
        c = 1.0 + aa / c;
        if (std::fabs(c) < tiny) c = tiny;
        d = 1.0 / d;
        h *= d * c;
        aa = -(a + m) * (a + b + m) * x / ((a + m2) * (a + m2 + 1.0));
        d = 1.0 + aa * d;
        if (std::fabs(d) < tiny) d = tiny;
        c = 1.0 + aa / c;
        if (std::fabs(c) < tiny) c = tiny;
        d = 1.0 / d;
        const double delta = d * c;
        h *= delta;
        if (std::fabs(delta - 1.0) < 1e-16) break;
    }
    return h;
}

// Inverts a continuous, increasing distribution function on (low, high) by
// safeguarded Newton steps (bisection when a step leaves the bracket).
template <class Cdf, class Pdf>
double InvertCdf(double u, double low, double high, double start, Cdf cdf, Pdf pdf) {
    double x = std::clamp(start, low, high);
    for (int k = 0; k < 200; ++k) {
        const double f = cdf(x) - u;
        if (f == 0.0) return x;
        (f < 0.0 ? low : high) = x;
        const double slope = pdf(x);
        double next = slope > 0.0 ? x - f / slope : NAN;
        if (!(next > low && next < high)) next = std::isfinite(high) && std::isfinite(low) ? 0.5 * (low + high)
                                               : std::isfinite(high)                       ? 2.0 * x - high
                                                                                           : 2.0 * std::fabs(x) + 1.0;
        if (std::fabs(next - x) <= 1e-15 * std::fabs(x) || std::fabs(next - x) < 1e-300) return next;
        x = next;
    }
    return x;
}

}  // namespace

double RegularizedBeta(double x, double a, double b) {
    if (x <= 0.0) return 0.0;
    if (x >= 1.0) return 1.0;
    const double front =
        std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) + b * std::log1p(-x));
    if (x < (a + 1.0) / (a + b + 2.0)) return front * BetaFraction(x, a, b) / a;
    return 1.0 - front * BetaFraction(1.0 - x, b, a) / b;
}

double Distribution::Cdf(double x) const {
    switch (kind) {
        case Kind::Normal: return StandardNormalCdf((x - p[0]) / p[1]);
        case Kind::LogNormal:
            return x <= 0.0 ? 0.0 : StandardNormalCdf((std::log(x) - std::log(p[0])) / std::log(p[1]));
        case Kind::Uniform: return std::clamp((x - p[0]) / (p[1] - p[0]), 0.0, 1.0);
        case Kind::LogUniform:
            return x <= p[0] ? 0.0 : std::clamp(std::log(x / p[0]) / std::log(p[1] / p[0]), 0.0, 1.0);
        case Kind::Triangular: {
            const double low = p[0], mode = p[1], high = p[2];
            if (x <= low) return 0.0;
            if (x >= high) return 1.0;
            if (x <= mode) return (x - low) * (x - low) / ((high - low) * (mode - low));
            return 1.0 - (high - x) * (high - x) / ((high - low) * (high - mode));
        }
        case Kind::Beta: return RegularizedBeta(x, p[0], p[1]);
        case Kind::Gamma: return RegularizedGammaP(p[0], p[1] * x);
        case Kind::Weibull: return x <= 0.0 ? 0.0 : -std::expm1(-std::pow(x / p[1], p[0]));
        case Kind::StudentT: {
            const double t = (x - p[1]) / p[2], nu = p[0];
            const double tail = 0.5 * RegularizedBeta(nu / (nu + t * t), nu / 2.0, 0.5);
            return t < 0.0 ? tail : 1.0 - tail;
        }
        case Kind::HalfNormal: return x <= 0.0 ? 0.0 : std::erf(x / (p[0] * std::sqrt(2.0)));
        case Kind::HalfCauchy: return x <= 0.0 ? 0.0 : 2.0 / M_PI * std::atan(x / p[0]);
        case Kind::Exponential: return x <= 0.0 ? 0.0 : -std::expm1(-p[0] * x);
    }
    return 0.0;
}

double Distribution::Density(double x) const {
    switch (kind) {
        case Kind::Beta:
            if (x <= 0.0 || x >= 1.0) return 0.0;
            return std::exp((p[0] - 1.0) * std::log(x) + (p[1] - 1.0) * std::log1p(-x) + std::lgamma(p[0] + p[1]) -
                            std::lgamma(p[0]) - std::lgamma(p[1]));
        case Kind::Gamma:
            if (x <= 0.0) return 0.0;
            return std::exp(p[0] * std::log(p[1]) + (p[0] - 1.0) * std::log(x) - p[1] * x - std::lgamma(p[0]));
        case Kind::StudentT: {
            const double t = (x - p[1]) / p[2], nu = p[0];
            return std::exp(std::lgamma((nu + 1.0) / 2.0) - std::lgamma(nu / 2.0) -
                            0.5 * std::log(nu * M_PI) - (nu + 1.0) / 2.0 * std::log1p(t * t / nu)) /
                   p[2];
        }
        default: return 0.0;  // the others have closed-form quantiles
    }
}

double Distribution::Quantile(double u) const {
    switch (kind) {
        case Kind::Normal: return p[0] + p[1] * StandardNormalQuantile(u);
        case Kind::LogNormal: return p[0] * std::exp(std::log(p[1]) * StandardNormalQuantile(u));
        case Kind::Uniform: return p[0] + u * (p[1] - p[0]);
        case Kind::LogUniform: return p[0] * std::exp(u * std::log(p[1] / p[0]));
        case Kind::Triangular: {
            const double low = p[0], mode = p[1], high = p[2];
            const double split = (mode - low) / (high - low);
            if (u <= split) return low + std::sqrt(u * (high - low) * (mode - low));
            return high - std::sqrt((1.0 - u) * (high - low) * (high - mode));
        }
        case Kind::Weibull: return p[1] * std::pow(-std::log1p(-u), 1.0 / p[0]);
        case Kind::HalfNormal: return -p[0] * StandardNormalQuantile(0.5 * (1.0 - u));
        case Kind::HalfCauchy: return p[0] * std::tan(M_PI / 2.0 * u);
        case Kind::Exponential: return -std::log1p(-u) / p[0];
        case Kind::Beta: {
            const double mean = p[0] / (p[0] + p[1]);
            return InvertCdf(u, 0.0, 1.0, mean, [this](double x) { return Cdf(x); },
                             [this](double x) { return Density(x); });
        }
        case Kind::Gamma: {
            const double mean = p[0] / p[1];
            return InvertCdf(u, 0.0, HUGE_VAL, mean, [this](double x) { return Cdf(x); },
                             [this](double x) { return Density(x); });
        }
        case Kind::StudentT:
            return InvertCdf(u, -HUGE_VAL, HUGE_VAL, p[1] + p[2] * StandardNormalQuantile(u),
                             [this](double x) { return Cdf(x); }, [this](double x) { return Density(x); });
    }
    return 0.0;
}

double Distribution::Survival(double x) const {
    switch (kind) {
        case Kind::Normal: return StandardNormalCdf((p[0] - x) / p[1]);
        case Kind::LogNormal:
            return x <= 0.0 ? 1.0 : StandardNormalCdf((std::log(p[0]) - std::log(x)) / std::log(p[1]));
        case Kind::Beta: return x <= 0.0 ? 1.0 : x >= 1.0 ? 0.0 : RegularizedBeta(1.0 - x, p[1], p[0]);
        case Kind::Gamma: return RegularizedGammaQ(p[0], p[1] * x);
        case Kind::Weibull: return x <= 0.0 ? 1.0 : std::exp(-std::pow(x / p[1], p[0]));
        case Kind::StudentT: {
            const double t = (x - p[1]) / p[2], nu = p[0];
            const double tail = 0.5 * RegularizedBeta(nu / (nu + t * t), nu / 2.0, 0.5);
            return t > 0.0 ? tail : 1.0 - tail;
        }
        case Kind::HalfNormal: return x <= 0.0 ? 1.0 : std::erfc(x / (p[0] * std::sqrt(2.0)));
        case Kind::HalfCauchy: return x <= 0.0 ? 1.0 : 2.0 / M_PI * std::atan(p[0] / x);
        case Kind::Exponential: return x <= 0.0 ? 1.0 : std::exp(-p[0] * x);
        default: return 1.0 - Cdf(x);  // bounded: no tail to lose digits in
    }
}

double Distribution::UpperQuantile(double q) const {
    switch (kind) {
        case Kind::Normal: return p[0] - p[1] * StandardNormalQuantile(q);
        case Kind::LogNormal: return p[0] * std::exp(-std::log(p[1]) * StandardNormalQuantile(q));
        case Kind::Weibull: return p[1] * std::pow(-std::log(q), 1.0 / p[0]);
        case Kind::HalfNormal: return -p[0] * StandardNormalQuantile(0.5 * q);
        case Kind::HalfCauchy: return p[0] / std::tan(M_PI / 2.0 * q);
        case Kind::Exponential: return -std::log(q) / p[0];
        case Kind::StudentT: return 2.0 * p[1] - Quantile(q);  // symmetric about the location
        case Kind::Beta: {
            Distribution mirrored = *this;  // 1 - X is beta(b, a)
            std::swap(mirrored.p[0], mirrored.p[1]);
            return 1.0 - mirrored.Quantile(q);
        }
        case Kind::Gamma:
            // -Survival increases with x, at the rate of the density.
            return InvertCdf(-q, 0.0, HUGE_VAL, p[0] / p[1],
                             [this](double x) { return -Survival(x); }, [this](double x) { return Density(x); });
        default: return Quantile(1.0 - q);
    }
}

namespace {

// A truncation whose upper-tail probability is below this is drawn from the
// survival function: through Cdf, fewer than 10 of its digits would be left.
constexpr double kUpperTail = 1e-6;

}  // namespace

double Distribution::TruncatedMass() const {
    const double above = Survival(lower);
    if (above < kUpperTail) return above - Survival(upper);
    return Cdf(upper) - Cdf(lower);
}

double Distribution::Sample(double u) const {
    if (!truncated) return Quantile(u);
    if (const double top = Survival(lower); top < kUpperTail) {
        // From the upper bound down: 1 - u is exact where the tail is thin.
        const double bottom = Survival(upper);
        return std::clamp(UpperQuantile(bottom + (1.0 - u) * (top - bottom)), lower, upper);
    }
    const double low = Cdf(lower);
    const double high = Cdf(upper);
    return std::clamp(Quantile(low + u * (high - low)), lower, upper);
}

namespace {

struct KindName {
    const char* name;
    Distribution::Kind kind;
    std::size_t parameters;
    const char* signature;
};

const KindName kKinds[] = {
    {"normal", Distribution::Kind::Normal, 2, "normal(mean, sd)"},
    {"lognormal", Distribution::Kind::LogNormal, 2, "lognormal(geometric mean, geometric sd)"},
    {"uniform", Distribution::Kind::Uniform, 2, "uniform(a, b)"},
    {"loguniform", Distribution::Kind::LogUniform, 2, "loguniform(a, b)"},
    {"triangular", Distribution::Kind::Triangular, 3, "triangular(low, mode, high)"},
    {"beta", Distribution::Kind::Beta, 2, "beta(a, b)"},
    {"gamma", Distribution::Kind::Gamma, 2, "gamma(shape, rate)"},
    {"weibull", Distribution::Kind::Weibull, 2, "weibull(shape, scale)"},
    {"studentt", Distribution::Kind::StudentT, 3, "studentt(df, location, scale)"},
    {"halfnormal", Distribution::Kind::HalfNormal, 1, "halfnormal(sd)"},
    {"halfcauchy", Distribution::Kind::HalfCauchy, 1, "halfcauchy(scale)"},
    {"exponential", Distribution::Kind::Exponential, 1, "exponential(rate)"},
};

// "a, b, c" as numbers; false with `error` naming the bad item.
bool ParseNumbers(std::string_view text, std::vector<double>& numbers, std::string& error) {
    std::vector<std::string> items;
    if (!SplitNameList(text, items, error)) {
        error = "empty number in '" + std::string(text) + "'";
        return false;
    }
    numbers.clear();
    for (const std::string& item : items) {
        TypedValue value;
        std::string why;
        if (!ParseValue(4, item, value, why)) {
            error = "bad number '" + item + "': " + why;
            return false;
        }
        numbers.push_back(value.real);
    }
    return true;
}

std::string CheckParameters(const Distribution& d) {
    const double* p = d.p;
    switch (d.kind) {
        case Distribution::Kind::Normal: return p[1] > 0.0 ? "" : "normal: sd must be > 0";
        case Distribution::Kind::LogNormal:
            if (!(p[0] > 0.0)) return "lognormal: geometric mean must be > 0";
            return p[1] > 1.0 ? "" : "lognormal: geometric sd must be > 1";
        case Distribution::Kind::Uniform: return p[0] < p[1] ? "" : "uniform: needs a < b";
        case Distribution::Kind::LogUniform:
            if (!(p[0] > 0.0)) return "loguniform: needs a > 0";
            return p[0] < p[1] ? "" : "loguniform: needs a < b";
        case Distribution::Kind::Triangular:
            if (!(p[0] < p[2])) return "triangular: needs low < high";
            return p[0] <= p[1] && p[1] <= p[2] ? "" : "triangular: needs low <= mode <= high";
        case Distribution::Kind::Beta: return p[0] > 0.0 && p[1] > 0.0 ? "" : "beta: needs a > 0 and b > 0";
        case Distribution::Kind::Gamma: return p[0] > 0.0 && p[1] > 0.0 ? "" : "gamma: needs shape > 0 and rate > 0";
        case Distribution::Kind::Weibull:
            return p[0] > 0.0 && p[1] > 0.0 ? "" : "weibull: needs shape > 0 and scale > 0";
        case Distribution::Kind::StudentT:
            return p[0] > 0.0 && p[2] > 0.0 ? "" : "studentt: needs df > 0 and scale > 0";
        case Distribution::Kind::HalfNormal: return p[0] > 0.0 ? "" : "halfnormal: needs sd > 0";
        case Distribution::Kind::HalfCauchy: return p[0] > 0.0 ? "" : "halfcauchy: needs scale > 0";
        case Distribution::Kind::Exponential: return p[0] > 0.0 ? "" : "exponential: needs rate > 0";
    }
    return "";
}

}  // namespace

// Draws that overflow would reach the model as infinities: the extreme
// quantiles a sampler can reach must be finite.
bool DrawsAreFinite(const Distribution& distribution, std::string& error) {
    for (const double u : {1e-300, 1e-16, 0.5, 1.0 - 1e-16}) {
        if (!std::isfinite(distribution.Sample(u))) {
            error = "its draws overflow to infinity (at probability " + FormatReal(u) +
                    "): choose parameters or truncation bounds within the range of doubles";
            return false;
        }
    }
    return true;
}

std::string Distribution::Check() const {
    if (std::string why = CheckParameters(*this); !why.empty()) return why;
    if (truncated && !(TruncatedMass() > 1e-12))
        return "truncation bounds [" + FormatReal(lower) + ", " + FormatReal(upper) + "] leave no probability";
    std::string why;
    return DrawsAreFinite(*this, why) ? std::string() : why;
}

// A parameter that names a scalar variable: a letter, then letters, digits
// and underscores (not inf or nan, which are numbers to the parser).
static bool IsReference(std::string_view text) {
    text = Trim(text);
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return !text.empty() && std::isalpha(static_cast<unsigned char>(text.front())) &&
           text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") ==
               std::string_view::npos &&
           lower != "inf" && lower != "nan" && lower != "infinity";
}

bool ParseDistribution(const std::string& text, Distribution& distribution, std::string& error) {
    distribution = Distribution{};
    std::string_view rest = Trim(text);
    const std::size_t open = rest.find('(');
    const std::size_t close = rest.find(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        error = "expected a distribution such as normal(mean, sd), got '" + std::string(rest) + "'";
        return false;
    }
    std::string name(Trim(rest.substr(0, open)));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const KindName* kind = nullptr;
    for (const KindName& k : kKinds)
        if (name == k.name) kind = &k;
    if (kind == nullptr) {
        error = "unknown distribution '" + Clip(name) +
                "' (normal, lognormal, uniform, loguniform, triangular, beta, gamma, weibull, studentt, "
                "halfnormal, halfcauchy, exponential)";
        return false;
    }
    std::vector<double> numbers;
    std::vector<std::string> items;
    if (!SplitNameList(rest.substr(open + 1, close - open - 1), items, error)) {
        error = std::string(kind->name) + ": empty parameter in '" + std::string(rest) + "'";
        return false;
    }
    std::string references[3];
    for (std::size_t k = 0; k < items.size() && k < 3; ++k)
        if (IsReference(items[k])) {
            references[k] = std::string(Trim(items[k]));
            items[k] = "0";
        }
    std::string joined;
    for (const std::string& item : items) joined += (joined.empty() ? "" : ",") + item;
    if (!ParseNumbers(joined, numbers, error)) {
        error = std::string(kind->name) + ": " + error;
        return false;
    }
    if (numbers.size() != kind->parameters) {
        error = std::string("expected ") + kind->signature + ", got " + std::to_string(numbers.size()) + " parameter" +
                (numbers.size() == 1 ? "" : "s");
        return false;
    }
    distribution.kind = kind->kind;
    std::copy(numbers.begin(), numbers.end(), distribution.p);
    std::copy(std::begin(references), std::end(references), distribution.references);
    const bool checked = !distribution.HasReferences();  // else run by run
    if (checked && !(error = CheckParameters(distribution)).empty()) return false;

    rest = Trim(rest.substr(close + 1));
    if (rest.empty()) return !checked || DrawsAreFinite(distribution, error);
    if (rest.front() != '[' || rest.back() != ']') {
        error = "expected truncation bounds [low, high] after the distribution, got '" + std::string(rest) + "'";
        return false;
    }
    if (!ParseNumbers(rest.substr(1, rest.size() - 2), numbers, error)) {
        error = "truncation bounds: " + error;
        return false;
    }
    if (numbers.size() != 2) {
        error = "truncation bounds: expected [low, high]";
        return false;
    }
    if (!(numbers[0] < numbers[1])) {
        error = "truncation bounds: needs low < high";
        return false;
    }
    distribution.truncated = true;
    distribution.lower = numbers[0];
    distribution.upper = numbers[1];
    if (!checked) return true;
    if (!(distribution.TruncatedMass() > 1e-12)) {
        error =
            "truncation bounds [" + FormatReal(numbers[0]) + ", " + FormatReal(numbers[1]) + "] leave no probability";
        return false;
    }
    return DrawsAreFinite(distribution, error);
}
