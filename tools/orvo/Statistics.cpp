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

namespace {

// Puts the order statistics `ranks` (ascending, distinct, within the range)
// of [first, last) in their sorted places; `base` is the rank of `first`.
// Each selection splits the range, so the ranks either side select within
// their part: a few passes over the values instead of a sort.
void SelectRanks(double* first, double* last, std::size_t base, const std::size_t* ranks, std::size_t count) {
    if (count == 0) return;
    const std::size_t middle = count / 2;
    double* nth = first + (ranks[middle] - base);
    std::nth_element(first, nth, last);
    SelectRanks(first, nth, base, ranks, middle);
    SelectRanks(nth + 1, last, ranks[middle] + 1, ranks + middle + 1, count - middle - 1);
}

}  // namespace

PopulationSummary SummarizeInPlace(std::vector<double>& values) {
    PopulationSummary summary;
    summary.n = values.size();
    summary.mean = Mean(values);
    summary.sd = values.empty() ? NAN : StandardDeviation(values, summary.mean);
    if (values.empty()) {
        for (double& p : summary.percentiles) p = NAN;
        return summary;
    }
    // The order statistics the percentiles interpolate between (as Quantile).
    const std::size_t n = values.size();
    std::size_t ranks[2 * kSummaryPercentiles];
    std::size_t count = 0;
    for (const double p : kSummaryProbabilities) {
        const std::size_t below = static_cast<std::size_t>(std::floor(p * static_cast<double>(n - 1)));
        for (const std::size_t rank : {below, below + 1})
            if (rank < n && (count == 0 || ranks[count - 1] < rank)) ranks[count++] = rank;
    }
    SelectRanks(values.data(), values.data() + n, 0, ranks, count);
    for (std::size_t k = 0; k < kSummaryPercentiles; ++k) {
        const double position = kSummaryProbabilities[k] * static_cast<double>(n - 1);
        const std::size_t below = static_cast<std::size_t>(std::floor(position));
        if (below + 1 >= n) {
            summary.percentiles[k] = values[n - 1];
            continue;
        }
        const double fraction = position - static_cast<double>(below);
        summary.percentiles[k] = values[below] + fraction * (values[below + 1] - values[below]);
    }
    return summary;
}

PopulationSummary Summarize(const std::vector<double>& values) {
    std::vector<double> copy = values;
    return SummarizeInPlace(copy);
}
