#pragma once

// Adaptive Metropolis sampling (Haario, Saksman and Tamminen 2001) and the
// chain summaries: quantiles, split R-hat and effective sample size.

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
    uint64_t accepted = 0;
    uint64_t failedRuns = 0;  // likelihoods that came back NaN (a failed model run)
};

// Log prior and log likelihood of a point; a failed run returns NaN as the
// likelihood and counts as zero likelihood.
using LogDensity = std::function<void(const std::vector<double>&, double& logPrior, double& logLikelihood)>;

// One chain from `start` with proposal scales `scales` (used until the chain
// history gives a covariance). Depends only on the settings' seed and chain.
ChainResult RunChain(const LogDensity& density, const std::vector<double>& start, const std::vector<double>& scales,
                     const ChainSettings& settings, const std::function<void(uint64_t)>& progress = {});

struct ParameterSummary {
    double mean = 0.0, sd = 0.0, q025 = 0.0, q50 = 0.0, q975 = 0.0;
    double rhat = 0.0;  // split R-hat; NaN with fewer than 4 draws per chain
    double ess = 0.0;
};

// `chains[c]` holds one parameter's kept draws of chain c, all of one length.
ParameterSummary Summarize(const std::vector<std::vector<double>>& chains);
