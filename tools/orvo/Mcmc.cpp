#include "Mcmc.h"

#include <algorithm>
#include <cmath>

#include "CounterRandom.h"
#include "Distribution.h"

namespace {

constexpr uint64_t kProposalStream = 11;
constexpr uint64_t kAcceptStream = 12;

// Lower Cholesky factor of a symmetric matrix (n x n, row-major), with a
// diagonal jitter added until it is positive definite.
std::vector<double> Cholesky(std::vector<double> a, std::size_t n) {
    for (double jitter = 0.0;; jitter = jitter == 0.0 ? 1e-12 : jitter * 100.0) {
        std::vector<double> l(n * n, 0.0);
        bool ok = true;
        for (std::size_t i = 0; i < n && ok; ++i)
            for (std::size_t j = 0; j <= i; ++j) {
                double s = a[i * n + j] + (i == j ? jitter * std::max(1e-300, a[i * n + i]) : 0.0);
                for (std::size_t k = 0; k < j; ++k) s -= l[i * n + k] * l[j * n + k];
                if (i == j) {
                    if (!(s > 0.0)) {
                        ok = false;
                        break;
                    }
                    l[i * n + i] = std::sqrt(s);
                } else {
                    l[i * n + j] = s / l[j * n + j];
                }
            }
        if (ok || jitter > 1e6) return l;
    }
}

}  // namespace

ChainResult RunChain(const LogDensity& density, const std::vector<double>& start, const std::vector<double>& scales,
                     const ChainSettings& settings, const std::function<void(uint64_t)>& progress) {
    using namespace counter_random;
    const std::size_t d = start.size();
    // The chain's own seed: every chain draws from its own streams whichever
    // process runs it.
    const uint64_t seed = Mix(settings.seed) ^ Mix(settings.chain + 0x5bd1e995ULL);
    // 2.38^2/d is the scaling that is optimal for Gaussian targets (Gelman,
    // Roberts and Gilks 1996): acceptance near 0.23 as d grows.
    const double scale = 2.38 * 2.38 / static_cast<double>(d);
    const uint64_t adaptFrom = std::max<uint64_t>(100, 10 * d);

    ChainResult result;
    std::vector<double> x = start, y(d), z(d), mean(d, 0.0), scatter(d * d, 0.0);
    double logPrior = 0.0, logLikelihood = 0.0;
    density(x, logPrior, logLikelihood);
    if (std::isnan(logLikelihood)) ++result.failedRuns, logLikelihood = -HUGE_VAL;
    std::vector<double> factor(d * d, 0.0);
    for (std::size_t i = 0; i < d; ++i) factor[i * d + i] = scales[i];
    uint64_t seen = 0;
    for (uint64_t it = 1; it <= settings.iterations; ++it) {
        // Adapt: the proposal covariance follows the chain's history (all of
        // it, so the chain stays ergodic), refreshed every 50 iterations.
        if (seen >= adaptFrom && it % 50 == 0) {
            std::vector<double> cov(d * d);
            for (std::size_t k = 0; k < d * d; ++k) cov[k] = scale * scatter[k] / static_cast<double>(seen - 1);
            for (std::size_t i = 0; i < d; ++i) cov[i * d + i] += scale * 1e-10 * (1.0 + std::fabs(mean[i]));
            factor = Cholesky(cov, d);
        }
        for (std::size_t i = 0; i < d; ++i)
            z[i] = StandardNormalQuantile(Uniform(seed, kProposalStream, it, i));
        for (std::size_t i = 0; i < d; ++i) {
            double s = 0.0;
            for (std::size_t k = 0; k <= i; ++k) s += factor[i * d + k] * z[k];
            y[i] = x[i] + s;
        }
        double yPrior = 0.0, yLikelihood = -HUGE_VAL;
        density(y, yPrior, yLikelihood);
        if (std::isnan(yLikelihood) && std::isfinite(yPrior)) ++result.failedRuns;
        if (std::isnan(yLikelihood)) yLikelihood = -HUGE_VAL;
        const double logRatio = (yPrior + yLikelihood) - (logPrior + logLikelihood);
        if (std::isfinite(yPrior + yLikelihood) &&
            (logRatio >= 0.0 || std::log(Uniform(seed, kAcceptStream, it, 0)) < logRatio)) {
            x = y;
            logPrior = yPrior;
            logLikelihood = yLikelihood;
            ++result.accepted;
        }
        // Welford's running mean and scatter matrix of the chain.
        ++seen;
        std::vector<double> delta(d);
        for (std::size_t i = 0; i < d; ++i) delta[i] = x[i] - mean[i];
        for (std::size_t i = 0; i < d; ++i) mean[i] += delta[i] / static_cast<double>(seen);
        for (std::size_t i = 0; i < d; ++i)
            for (std::size_t j = 0; j < d; ++j) scatter[i * d + j] += delta[i] * (x[j] - mean[j]);
        if (it > settings.burn && (it - settings.burn) % settings.thin == 0)
            result.draws.push_back({it, x, logPrior, logLikelihood});
        if (progress) progress(it);
    }
    return result;
}

namespace {

double Mean(const std::vector<double>& v) {
    double s = 0.0;
    for (double x : v) s += x;
    return s / static_cast<double>(v.size());
}

double Variance(const std::vector<double>& v) {
    const double m = Mean(v);
    double s = 0.0;
    for (double x : v) s += (x - m) * (x - m);
    return s / static_cast<double>(v.size() - 1);
}

double Quantile(std::vector<double> sorted, double p) {
    const double h = p * static_cast<double>(sorted.size() - 1);
    const std::size_t lo = static_cast<std::size_t>(h);
    const std::size_t hi = std::min(lo + 1, sorted.size() - 1);
    return sorted[lo] + (h - static_cast<double>(lo)) * (sorted[hi] - sorted[lo]);
}

}  // namespace

ParameterSummary Summarize(const std::vector<std::vector<double>>& chains) {
    ParameterSummary s;
    std::vector<double> all;
    for (const auto& c : chains) all.insert(all.end(), c.begin(), c.end());
    if (all.empty()) return {NAN, NAN, NAN, NAN, NAN, NAN, NAN};
    std::sort(all.begin(), all.end());
    s.mean = Mean(all);
    s.sd = all.size() > 1 ? std::sqrt(Variance(all)) : NAN;
    s.q025 = Quantile(all, 0.025);
    s.q50 = Quantile(all, 0.5);
    s.q975 = Quantile(all, 0.975);
    // Split R-hat (Gelman et al., Bayesian Data Analysis 3rd ed.): each
    // chain's halves count as chains, so a drifting chain shows too.
    const std::size_t half = chains[0].size() / 2;
    if (half < 2) {
        s.rhat = s.ess = NAN;
        return s;
    }
    std::vector<std::vector<double>> parts;
    for (const auto& c : chains) {
        parts.emplace_back(c.begin(), c.begin() + half);
        parts.emplace_back(c.end() - half, c.end());
    }
    const double m = static_cast<double>(parts.size()), n = static_cast<double>(half);
    std::vector<double> means;
    double within = 0.0;
    for (const auto& p : parts) {
        means.push_back(Mean(p));
        within += Variance(p) / m;
    }
    const double between = n * Variance(means);
    const double varPlus = (n - 1.0) / n * within + between / n;
    s.rhat = within > 0.0 ? std::sqrt(varPlus / within) : NAN;
    // Effective sample size from the chains' autocorrelations, summed in
    // pairs while the pair sums stay positive (Geyer's initial sequence).
    if (!(varPlus > 0.0)) {
        s.ess = NAN;
        return s;
    }
    double sum = 0.0;
    for (std::size_t t = 1; t + 1 < half; t += 2) {
        double pair = 0.0;
        for (std::size_t lag : {t, t + 1}) {
            double acov = 0.0;
            for (std::size_t c = 0; c < parts.size(); ++c) {
                double a = 0.0;
                for (std::size_t i = 0; i + lag < half; ++i)
                    a += (parts[c][i] - means[c]) * (parts[c][i + lag] - means[c]);
                acov += a / n / m;
            }
            pair += 1.0 - (within - acov) / varPlus;
        }
        if (pair < 0.0) break;
        sum += pair;
    }
    s.ess = m * n / (1.0 + 2.0 * sum);
    return s;
}
