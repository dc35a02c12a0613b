#pragma once

// Population statistics. Sums run in the order given (run order), so the
// same values give the same bits whichever process produced them.

#include <cstddef>
#include <utility>
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
// Of the finite values.
PopulationSummary Summarize(const std::vector<double>& values);

// The summaries of a table's columns one after another, each column one
// value per run (NaN or infinite where a run has none: left out), each the
// same as Summarize of the column. Successive columns (an output over time)
// rank the runs much alike: each is sorted by insertion from the previous
// column's order, and afresh when that order is far off.
class ColumnSummarizer {
public:
    PopulationSummary Next(const std::vector<double>& column);

private:
    std::vector<std::pair<double, std::size_t>> ranked_;  // value, run
    std::vector<std::size_t> order_;  // runs by the last column's values, those without one last
};
