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
    }
    return 0.0;
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
    }
    return 0.0;
}

double Distribution::Sample(double u) const {
    if (!truncated) return Quantile(u);
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
        error = "unknown distribution '" + Clip(name) + "' (normal, lognormal, uniform, loguniform, triangular)";
        return false;
    }
    std::vector<double> numbers;
    if (!ParseNumbers(rest.substr(open + 1, close - open - 1), numbers, error)) {
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
    if (error = CheckParameters(distribution); !error.empty()) return false;

    rest = Trim(rest.substr(close + 1));
    if (rest.empty()) return DrawsAreFinite(distribution, error);
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
    if (!(distribution.Cdf(distribution.upper) - distribution.Cdf(distribution.lower) > 1e-12)) {
        error =
            "truncation bounds [" + FormatReal(numbers[0]) + ", " + FormatReal(numbers[1]) + "] leave no probability";
        return false;
    }
    return DrawsAreFinite(distribution, error);
}
