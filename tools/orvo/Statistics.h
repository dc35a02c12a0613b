#pragma once

// Population statistics. Sums run in the order given (run order), so the
// same values give the same bits whichever process produced them.

#include <cstddef>
#include <vector>

double Mean(const std::vector<double>& values);
// Sample variance and standard deviation (n - 1); 0 for fewer than two values.
double Variance(const std::vector<double>& values, double mean);
double StandardDeviation(const std::vector<double>& values, double mean);
// Quantile at probability p of ascending `sorted` values, linear between
// order statistics (Hyndman and Fan type 7); NaN when empty.
double Quantile(const std::vector<double>& sorted, double p);

// The summary table's probabilities and column names, in order.
inline constexpr double kSummaryProbabilities[] = {0.025, 0.05, 0.25, 0.5, 0.75, 0.95, 0.975};
inline constexpr const char* kSummaryPercentileNames[] = {"p2.5", "p5", "p25", "p50", "p75", "p95", "p97.5"};
inline constexpr std::size_t kSummaryPercentiles = 7;

struct PopulationSummary {
    std::size_t n = 0;
    double mean = 0.0;
    double sd = 0.0;
    double percentiles[kSummaryPercentiles] = {};
};
PopulationSummary Summarize(const std::vector<double>& values);
// The same, reordering `values` instead of copying them.
PopulationSummary SummarizeInPlace(std::vector<double>& values);
