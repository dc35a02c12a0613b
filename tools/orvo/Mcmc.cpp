#include "Mcmc.h"

#include <algorithm>
#include <cmath>

#include "CounterRandom.h"
#include "Distribution.h"
#include "Statistics.h"

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

namespace {

ProposalState NewProposal(std::vector<std::size_t> indices, const std::vector<double>& scales) {
    const std::size_t d = indices.size();
    ProposalState p;
    p.mean.assign(d, 0.0);
    p.scatter.assign(d * d, 0.0);
    p.factor.assign(d * d, 0.0);
    for (std::size_t i = 0; i < d; ++i) p.factor[i * d + i] = scales[indices[i]];
    p.indices = std::move(indices);
    return p;
}

// y = x moved along the block's coordinates.
void Propose(ProposalState& p, const std::vector<double>& x, std::vector<double>& y, uint64_t seed, uint64_t it) {
    using namespace counter_random;
    const std::size_t d = p.indices.size();
    // Adapt: the proposal covariance follows the chain's history (all of it,
    // so the chain stays ergodic), refreshed every 50 iterations. 2.38^2/d is
    // the scaling that is optimal for Gaussian targets (Gelman, Roberts and
    // Gilks 1996): acceptance near 0.23 as d grows.
    const double scale = 2.38 * 2.38 / static_cast<double>(d);
    if (p.seen >= std::max<uint64_t>(100, 10 * d) && it % 50 == 0) {
        std::vector<double> cov(d * d);
        for (std::size_t k = 0; k < d * d; ++k) cov[k] = scale * p.scatter[k] / static_cast<double>(p.seen - 1);
        for (std::size_t i = 0; i < d; ++i) cov[i * d + i] += scale * 1e-10 * (1.0 + std::fabs(p.mean[i]));
        p.factor = Cholesky(cov, d);
    }
    y = x;
    std::vector<double> z(d);
    for (std::size_t i = 0; i < d; ++i) z[i] = StandardNormalQuantile(Uniform(seed, kProposalStream, it, p.indices[i]));
    const double stretch = std::exp(p.logScale);
    for (std::size_t i = 0; i < d; ++i) {
        double s = 0.0;
        for (std::size_t k = 0; k <= i; ++k) s += p.factor[i * d + k] * z[k];
        y[p.indices[i]] = x[p.indices[i]] + stretch * s;
    }
}

// After the accept/reject step: the scale follows the acceptance
// probability with a vanishing gain (so that the chain stays ergodic),
// bounded against runaway steps; Welford's running mean and scatter.
void Learn(ProposalState& p, const std::vector<double>& x, double acceptance, uint64_t it) {
    const std::size_t d = p.indices.size();
    const double target = d == 1 ? 0.44 : 0.234;
    p.logScale = std::clamp(p.logScale + (acceptance - target) / std::pow(static_cast<double>(it), 0.6), -30.0, 30.0);
    ++p.seen;
    std::vector<double> delta(d);
    for (std::size_t i = 0; i < d; ++i) delta[i] = x[p.indices[i]] - p.mean[i];
    for (std::size_t i = 0; i < d; ++i) p.mean[i] += delta[i] / static_cast<double>(p.seen);
    for (std::size_t i = 0; i < d; ++i)
        for (std::size_t j = 0; j < d; ++j) p.scatter[i * d + j] += delta[i] * (x[p.indices[j]] - p.mean[j]);
}

// Metropolis acceptance of a move from log density `from` to `to`; the
// acceptance probability is returned in `probability`.
bool Accept(double from, double to, uint64_t seed, uint64_t it, uint64_t block, double& probability) {
    using namespace counter_random;
    const double logRatio = to - from;
    probability = std::isfinite(to) ? std::exp(std::min(0.0, logRatio)) : 0.0;
    return std::isfinite(to) &&
           (logRatio >= 0.0 || std::log(Uniform(seed, kAcceptStream, it, block)) < logRatio);
}

// The chain's own seed: every chain draws from its own streams whichever
// process runs it.
uint64_t ChainSeed(const ChainSettings& settings) {
    using namespace counter_random;
    return Mix(settings.seed) ^ Mix(settings.chain + 0x5bd1e995ULL);
}

void Keep(const ChainState& state, const ChainSettings& settings, ChainResult& result) {
    const uint64_t it = state.iteration;
    if (it > settings.burn && (it - settings.burn) % settings.thin == 0)
        result.draws.push_back({it, state.point, state.logPrior, state.logLikelihood});
}

void Totals(const ChainState& state, ChainResult& result) {
    result.proposals = state.proposals;
    result.accepted = state.accepted;
    result.failedRuns = state.failedRuns;
}

}  // namespace

ChainState StartChain(const LogDensity& density, const std::vector<double>& start, const std::vector<double>& scales) {
    ChainState state;
    state.point = start;
    std::vector<std::size_t> all(start.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    state.blocks.push_back(NewProposal(all, scales));
    density(state.point, state.logPrior, state.logLikelihood);
    if (std::isnan(state.logLikelihood)) ++state.failedRuns, state.logLikelihood = -HUGE_VAL;
    return state;
}

ChainResult RunChain(const LogDensity& density, const std::vector<double>& start, const std::vector<double>& scales,
                     const ChainSettings& settings, const std::function<void(uint64_t)>& progress) {
    ChainState state = StartChain(density, start, scales);
    return ContinueChain(density, state, settings, progress);
}

ChainResult ContinueChain(const LogDensity& density, ChainState& state, const ChainSettings& settings,
                          const std::function<void(uint64_t)>& progress) {
    const uint64_t seed = ChainSeed(settings);
    ChainResult result;
    std::vector<double> y;
    ProposalState& proposal = state.blocks.front();
    for (uint64_t it = state.iteration + 1; it <= settings.iterations; ++it) {
        Propose(proposal, state.point, y, seed, it);
        double yPrior = 0.0, yLikelihood = -HUGE_VAL;
        density(y, yPrior, yLikelihood);
        if (std::isnan(yLikelihood) && std::isfinite(yPrior)) ++state.failedRuns;
        if (std::isnan(yLikelihood)) yLikelihood = -HUGE_VAL;
        double probability = 0.0;
        ++state.proposals;
        if (Accept(state.logPrior + state.logLikelihood, yPrior + yLikelihood, seed, it, 0, probability)) {
            state.point = y;
            state.logPrior = yPrior;
            state.logLikelihood = yLikelihood;
            ++state.accepted;
        }
        Learn(proposal, state.point, probability, it);
        state.iteration = it;
        Keep(state, settings, result);
        if (progress) progress(it);
    }
    Totals(state, result);
    return result;
}

namespace {

// Sums a split density's terms into the state's totals.
void SumTerms(ChainState& state) {
    state.logPrior = state.sharedPrior;
    state.logLikelihood = 0.0;
    for (std::size_t u = 0; u < state.unitPrior.size(); ++u) {
        state.logPrior += state.unitPrior[u];
        state.logLikelihood += state.unitLikelihood[u];
    }
}

// Every unit's terms at y; false (and NaN likelihoods counted) when one fails.
bool UnitTerms(const SplitDensity& density, const std::vector<double>& y, std::vector<double>& prior,
               std::vector<double>& likelihood, uint64_t& failed) {
    const std::size_t units = density.unitIndices.size();
    prior.assign(units, -HUGE_VAL);
    likelihood.assign(units, -HUGE_VAL);
    for (std::size_t u = 0; u < units; ++u) {
        density.unit(y, u, prior[u], likelihood[u]);
        if (std::isnan(likelihood[u])) {
            if (std::isfinite(prior[u])) ++failed;
            likelihood[u] = -HUGE_VAL;
        }
        if (!std::isfinite(prior[u] + likelihood[u])) return false;
    }
    return true;
}

}  // namespace

ChainState StartChain(const SplitDensity& density, const std::vector<double>& start, const std::vector<double>& scales) {
    ChainState state;
    state.point = start;
    state.blocks.push_back(NewProposal(density.sharedIndices, scales));
    for (const auto& indices : density.unitIndices) state.blocks.push_back(NewProposal(indices, scales));
    state.sharedPrior = density.sharedPrior(start);
    UnitTerms(density, start, state.unitPrior, state.unitLikelihood, state.failedRuns);
    SumTerms(state);
    return state;
}

ChainResult ContinueChain(const SplitDensity& density, ChainState& state, const ChainSettings& settings,
                          const std::function<void(uint64_t)>& progress) {
    const uint64_t seed = ChainSeed(settings);
    const std::size_t units = density.unitIndices.size();
    ChainResult result;
    std::vector<double> y, prior, likelihood;
    for (uint64_t it = state.iteration + 1; it <= settings.iterations; ++it) {
        double probability = 0.0;
        for (std::size_t u = 0; u < units; ++u) {
            ProposalState& proposal = state.blocks[u + 1];
            Propose(proposal, state.point, y, seed, it);
            double p = -HUGE_VAL, l = -HUGE_VAL;
            density.unit(y, u, p, l);
            if (std::isnan(l) && std::isfinite(p)) ++state.failedRuns;
            if (std::isnan(l)) l = -HUGE_VAL;
            ++state.proposals;
            if (Accept(state.unitPrior[u] + state.unitLikelihood[u], p + l, seed, it, u + 1, probability)) {
                for (std::size_t i : proposal.indices) state.point[i] = y[i];
                state.unitPrior[u] = p;
                state.unitLikelihood[u] = l;
                ++state.accepted;
            }
            Learn(proposal, state.point, probability, it);
        }
        ProposalState& shared = state.blocks.front();
        if (shared.indices.empty()) {
            state.iteration = it;
            SumTerms(state);
            Keep(state, settings, result);
            if (progress) progress(it);
            continue;
        }
        Propose(shared, state.point, y, seed, it);
        const double yShared = density.sharedPrior(y);
        double to = -HUGE_VAL;
        if (std::isfinite(yShared) && UnitTerms(density, y, prior, likelihood, state.failedRuns)) {
            to = yShared;
            for (std::size_t u = 0; u < units; ++u) to += prior[u] + likelihood[u];
        }
        double from = state.sharedPrior;
        for (std::size_t u = 0; u < units; ++u) from += state.unitPrior[u] + state.unitLikelihood[u];
        ++state.proposals;
        if (Accept(from, to, seed, it, 0, probability)) {
            state.point = y;
            state.sharedPrior = yShared;
            state.unitPrior = prior;
            state.unitLikelihood = likelihood;
            ++state.accepted;
        }
        Learn(shared, state.point, probability, it);
        SumTerms(state);
        state.iteration = it;
        Keep(state, settings, result);
        if (progress) progress(it);
    }
    Totals(state, result);
    return result;
}

ParameterSummary Summarize(const std::vector<std::vector<double>>& chains) {
    ParameterSummary s;
    std::vector<double> all;
    for (const auto& c : chains) all.insert(all.end(), c.begin(), c.end());
    if (all.empty()) return {NAN, NAN, NAN, NAN, NAN, NAN, NAN};
    std::sort(all.begin(), all.end());
    s.mean = Mean(all);
    s.sd = all.size() > 1 ? StandardDeviation(all, s.mean) : NAN;
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
        within += Variance(p, means.back()) / m;
    }
    const double between = n * Variance(means, Mean(means));
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
