#include "Statistics.h"

#include <algorithm>
#include <cmath>

double Mean(const std::vector<double>& values) {
    if (values.empty()) return NAN;
    double sum = 0.0;
    for (const double v : values) sum += v;
    return sum / static_cast<double>(values.size());
}

double Variance(const std::vector<double>& values, double mean) {
    if (values.size() < 2) return 0.0;
    double squares = 0.0;
    for (const double v : values) squares += (v - mean) * (v - mean);
    return squares / static_cast<double>(values.size() - 1);
}

double StandardDeviation(const std::vector<double>& values, double mean) {
    return std::sqrt(Variance(values, mean));
}

double Quantile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return NAN;
    const double position = p * static_cast<double>(sorted.size() - 1);
    const std::size_t below = static_cast<std::size_t>(std::floor(position));
    if (below + 1 >= sorted.size()) return sorted.back();
    const double fraction = position - static_cast<double>(below);
    return sorted[below] + fraction * (sorted[below + 1] - sorted[below]);
}

PopulationSummary Summarize(const std::vector<double>& values) {
    PopulationSummary summary;
    summary.n = values.size();
    summary.mean = Mean(values);
    summary.sd = values.empty() ? NAN : StandardDeviation(values, summary.mean);
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t k = 0; k < kSummaryPercentiles; ++k)
        summary.percentiles[k] = Quantile(sorted, kSummaryProbabilities[k]);
    return summary;
}
