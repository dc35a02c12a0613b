#pragma once

// Adaptive Metropolis sampling (Haario, Saksman and Tamminen 2001) with a
// global scale adapted towards the optimal acceptance rate (Andrieu and
// Thoms 2008, algorithm 4), and the chain summaries: quantiles, split R-hat
// and effective sample size.

#include <cstdint>
#include <functional>
#include <vector>

struct ChainDraw {
    uint64_t iteration = 0;
    std::vector<double> values;
    double logPrior = 0.0;
    double logLikelihood = 0.0;
};

struct ChainSettings {
    uint64_t iterations = 1000;
    uint64_t burn = 0;  // first draws not kept
    uint64_t thin = 1;
    uint64_t seed = 1;
    uint64_t chain = 0;
};

struct ChainResult {
    std::vector<ChainDraw> draws;  // kept ones
    uint64_t proposals = 0, accepted = 0;
    uint64_t failedRuns = 0;  // likelihoods that came back NaN (a failed model run)
};

// An adaptive random-walk proposal over some coordinates of the point: the
// running mean and scatter of those coordinates, the Cholesky factor of the
// proposal covariance built from them and the global scale.
struct ProposalState {
    std::vector<std::size_t> indices;
    std::vector<double> mean, scatter;
    uint64_t seen = 0;
    std::vector<double> factor;  // lower Cholesky factor of the proposal covariance
    double logScale = 0.0;  // global scale of the proposal, adapted to the acceptance rate
};

// Where a chain stands after some iterations: enough to go on exactly as if
// it had never stopped.
struct ChainState {
    uint64_t iteration = 0;  // iterations done
    std::vector<double> point;
    double logPrior = 0.0, logLikelihood = 0.0;
    std::vector<ProposalState> blocks;  // one over every coordinate, or the blocks of a split density
    // A split density's terms at the point: the shared prior, per unit its prior and likelihood.
    double sharedPrior = 0.0;
    std::vector<double> unitPrior, unitLikelihood;
    uint64_t proposals = 0, accepted = 0, failedRuns = 0;
};

// Log prior and log likelihood of a point; a failed run returns NaN as the
// likelihood and counts as zero likelihood.
using LogDensity = std::function<void(const std::vector<double>&, double& logPrior, double& logLikelihood)>;

// A density that is a sum of a shared prior and one term per unit (subject):
// log p(x) = shared(x) + sum over u of [prior_u(x) + likelihood_u(x)], where
// unit u's terms depend only on the shared block and unit u's block. Sampled
// block by block (Metropolis within Gibbs): each unit's block costs only its
// own terms.
struct SplitDensity {
    std::vector<std::size_t> sharedIndices;
    std::vector<std::vector<std::size_t>> unitIndices;
    std::function<double(const std::vector<double>&)> sharedPrior;
    std::function<void(const std::vector<double>&, std::size_t unit, double& logPrior, double& logLikelihood)> unit;
};

// One chain from `start` with proposal scales `scales` (used until the chain
// history gives a covariance). Depends only on the settings' seed and chain.
ChainResult RunChain(const LogDensity& density, const std::vector<double>& start, const std::vector<double>& scales,
                     const ChainSettings& settings, const std::function<void(uint64_t)>& progress = {});

// The state before the first iteration (evaluates the density at `start`).
ChainState StartChain(const LogDensity& density, const std::vector<double>& start, const std::vector<double>& scales);
ChainState StartChain(const SplitDensity& density, const std::vector<double>& start, const std::vector<double>& scales);

// Runs `state` on to iteration settings.iterations; the draws kept on the
// way (by the settings' burn and thin, counted from iteration 1) go to the
// result, whose counts are the state's totals. An iteration of a split
// density updates the unit blocks in turn, then the shared block.
ChainResult ContinueChain(const LogDensity& density, ChainState& state, const ChainSettings& settings,
                          const std::function<void(uint64_t)>& progress = {});
ChainResult ContinueChain(const SplitDensity& density, ChainState& state, const ChainSettings& settings,
                          const std::function<void(uint64_t)>& progress = {});

struct ParameterSummary {
    double mean = 0.0, sd = 0.0, q025 = 0.0, q50 = 0.0, q975 = 0.0;
    double rhat = 0.0;  // split R-hat; NaN with fewer than 4 draws per chain
    double ess = 0.0;
};

// `chains[c]` holds one parameter's kept draws of chain c, all of one length.
ParameterSummary Summarize(const std::vector<std::vector<double>>& chains);
