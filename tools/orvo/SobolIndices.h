#pragma once

// First-order and total Sobol indices from outputs on Saltelli's design
// (Jansen's estimators), with bootstrap confidence intervals.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Sampling.h"

struct SobolIndex {
    double first = 0.0, firstLow = 0.0, firstHigh = 0.0;
    double total = 0.0, totalLow = 0.0, totalHigh = 0.0;
};

struct SobolResult {
    std::vector<SobolIndex> indices;  // one per dimension
    std::size_t rowsUsed = 0;  // base rows with every run finite
    bool constantOutput = false;  // zero variance: indices are 0
};

// `outputs` holds one value per run of `layout` (NaN for a failed run; its
// base row is left out). Intervals are the 2.5 and 97.5 percentiles of
// `bootstrap` replicates over resampled base rows, drawn from `seed`.
SobolResult EstimateSobol(const SaltelliLayout& layout, const std::vector<double>& outputs, std::size_t bootstrap,
                          uint64_t seed);
