#include "SobolIndices.h"

#include <algorithm>
#include <cmath>

#include "CounterRandom.h"
#include "Statistics.h"

namespace {

struct PointEstimate {
    std::vector<double> first, total;
    bool constant = false;
};

// Jansen: S1_j = 1 - mean((f(B) - f(AB_j))^2) / 2V, ST_j = mean((f(A) - f(AB_j))^2) / 2V,
// V the variance of f over A and B together.
PointEstimate Estimate(const SaltelliLayout& layout, const std::vector<double>& outputs,
                       const std::vector<std::size_t>& rows) {
    const std::size_t d = layout.dimensions;
    PointEstimate result;
    result.first.assign(d, 0.0);
    result.total.assign(d, 0.0);
    const double n = static_cast<double>(rows.size());
    double sum = 0.0;
    for (const std::size_t i : rows)
        sum += outputs[layout.Run(i, SaltelliLayout::kA)] + outputs[layout.Run(i, SaltelliLayout::kB)];
    const double mean = sum / (2.0 * n);
    double squares = 0.0;
    for (const std::size_t i : rows) {
        const double a = outputs[layout.Run(i, SaltelliLayout::kA)] - mean;
        const double b = outputs[layout.Run(i, SaltelliLayout::kB)] - mean;
        squares += a * a + b * b;
    }
    const double variance = squares / (2.0 * n - 1.0);
    // The mean of equal values is not always that value in floating point, so
    // a constant output can show a variance of rounding: compare the values.
    bool varies = false;
    if (!rows.empty()) {
        const double first = outputs[layout.Run(rows[0], SaltelliLayout::kA)];
        varies = std::any_of(rows.begin(), rows.end(), [&](std::size_t i) {
            return outputs[layout.Run(i, SaltelliLayout::kA)] != first ||
                   outputs[layout.Run(i, SaltelliLayout::kB)] != first;
        });
    }
    if (!varies || !(variance > 1e-300) || rows.size() < 2) {
        result.constant = true;
        return result;
    }
    for (std::size_t j = 0; j < d; ++j) {
        double firstSum = 0.0, totalSum = 0.0;
        for (const std::size_t i : rows) {
            const double a = outputs[layout.Run(i, SaltelliLayout::kA)];
            const double b = outputs[layout.Run(i, SaltelliLayout::kB)];
            const double ab = outputs[layout.Run(i, 2 + j)];
            firstSum += (b - ab) * (b - ab);
            totalSum += (a - ab) * (a - ab);
        }
        result.first[j] = 1.0 - firstSum / (2.0 * n * variance);
        result.total[j] = totalSum / (2.0 * n * variance);
    }
    return result;
}

}  // namespace

SobolResult EstimateSobol(const SaltelliLayout& layout, const std::vector<double>& outputs, std::size_t bootstrap,
                          uint64_t seed) {
    const std::size_t d = layout.dimensions;
    SobolResult result;
    result.indices.assign(d, SobolIndex{});
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < layout.baseRuns; ++i) {
        bool finite = true;
        for (std::size_t m = 0; m < layout.RunsPerRow(); ++m)
            finite = finite && layout.Run(i, m) < outputs.size() && std::isfinite(outputs[layout.Run(i, m)]);
        if (finite) rows.push_back(i);
    }
    result.rowsUsed = rows.size();
    const PointEstimate point = Estimate(layout, outputs, rows);
    result.constantOutput = point.constant;
    if (point.constant) return result;

    std::vector<std::vector<double>> firsts(d), totals(d);
    std::vector<std::size_t> resampled(rows.size());
    for (std::size_t r = 0; r < bootstrap; ++r) {
        for (std::size_t k = 0; k < rows.size(); ++k)
            resampled[k] = rows[counter_random::Below(rows.size(), seed, counter_random::kBootstrapStream, r, k)];
        const PointEstimate replicate = Estimate(layout, outputs, resampled);
        if (replicate.constant) continue;
        for (std::size_t j = 0; j < d; ++j) {
            firsts[j].push_back(replicate.first[j]);
            totals[j].push_back(replicate.total[j]);
        }
    }
    for (std::size_t j = 0; j < d; ++j) {
        SobolIndex& index = result.indices[j];
        index.first = point.first[j];
        index.total = point.total[j];
        std::sort(firsts[j].begin(), firsts[j].end());
        std::sort(totals[j].begin(), totals[j].end());
        // No replicate (--bootstrap 0): no interval, rather than one of no width.
        index.firstLow = Quantile(firsts[j], 0.025);
        index.firstHigh = Quantile(firsts[j], 0.975);
        index.totalLow = Quantile(totals[j], 0.025);
        index.totalHigh = Quantile(totals[j], 0.975);
    }
    return result;
}
