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

namespace {

// Quantile of n ascending values, the k-th read as at(k).
template <class At>
double QuantileOf(std::size_t n, double p, At at) {
    if (n == 0) return NAN;
    const double position = p * static_cast<double>(n - 1);
    const std::size_t below = static_cast<std::size_t>(std::floor(position));
    if (below + 1 >= n) return at(n - 1);
    const double fraction = position - static_cast<double>(below);
    const double low = at(below);
    return low + fraction * (at(below + 1) - low);
}

}  // namespace

double Quantile(const std::vector<double>& sorted, double p) {
    return QuantileOf(sorted.size(), p, [&](std::size_t k) { return sorted[k]; });
}

PopulationSummary ColumnSummarizer::Next(const std::vector<double>& column) {
    // Mean and StandardDeviation of the finite values, in run order.
    PopulationSummary summary;
    std::size_t n = 0;
    double sum = 0.0;
    for (const double v : column)
        if (std::isfinite(v)) {
            sum += v;
            ++n;
        }
    summary.n = n;
    summary.mean = n == 0 ? NAN : sum / static_cast<double>(n);
    double squares = 0.0;
    if (n >= 2)
        for (const double v : column)
            if (std::isfinite(v)) squares += (v - summary.mean) * (v - summary.mean);
    summary.sd = n == 0 ? NAN : std::sqrt(n < 2 ? 0.0 : squares / static_cast<double>(n - 1));

    // The runs in the previous column's order, sorted by insertion: about n
    // steps when the order changed little, else a sort afresh.
    if (order_.size() != column.size()) {
        order_.resize(column.size());
        for (std::size_t r = 0; r < order_.size(); ++r) order_[r] = r;
    }
    ranked_.resize(n);
    std::size_t k = 0;
    for (const std::size_t r : order_)
        if (std::isfinite(column[r])) ranked_[k++] = {column[r], r};
    const std::size_t budget = 8 * n + 64;
    std::size_t moves = 0;
    for (std::size_t i = 1; i < n && moves <= budget; ++i) {
        const std::pair<double, std::size_t> item = ranked_[i];
        std::size_t j = i;
        for (; j > 0 && item.first < ranked_[j - 1].first && moves <= budget; --j, ++moves) ranked_[j] = ranked_[j - 1];
        ranked_[j] = item;
    }
    if (moves > budget)
        std::sort(ranked_.begin(), ranked_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (k = 0; k < n; ++k) order_[k] = ranked_[k].second;
    if (n < column.size())
        for (std::size_t r = 0; r < column.size(); ++r)
            if (!std::isfinite(column[r])) order_[k++] = r;

    for (std::size_t q = 0; q < kSummaryPercentiles; ++q)
        summary.percentiles[q] = QuantileOf(n, kSummaryProbabilities[q], [&](std::size_t k) { return ranked_[k].first; });
    return summary;
}

PopulationSummary Summarize(const std::vector<double>& values) { return ColumnSummarizer().Next(values); }
