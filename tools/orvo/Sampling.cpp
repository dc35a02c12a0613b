#include "Sampling.h"

#include <numeric>
#include <utility>

#include "CounterRandom.h"

using namespace counter_random;

std::vector<double> RandomDesign(uint64_t seed, std::size_t runs, std::size_t dimensions) {
    std::vector<double> design(runs * dimensions);
    for (std::size_t k = 0; k < runs; ++k)
        for (std::size_t j = 0; j < dimensions; ++j) design[k * dimensions + j] = Uniform(seed, kSampleStream, k, j);
    return design;
}

std::vector<double> LatinHypercubeDesign(uint64_t seed, std::size_t runs, std::size_t dimensions) {
    std::vector<double> design(runs * dimensions);
    std::vector<std::size_t> strata(runs);
    for (std::size_t j = 0; j < dimensions; ++j) {
        std::iota(strata.begin(), strata.end(), std::size_t{0});
        for (std::size_t i = runs; i > 1; --i)  // Fisher-Yates
            std::swap(strata[i - 1], strata[Below(i, seed, kPermutationStream, i, j)]);
        for (std::size_t k = 0; k < runs; ++k)
            design[k * dimensions + j] =
                (static_cast<double>(strata[k]) + Uniform(seed, kStratumStream, k, j)) / static_cast<double>(runs);
    }
    return design;
}

std::vector<double> SaltelliDesign(uint64_t seed, const SaltelliLayout& layout) {
    const std::size_t d = layout.dimensions;
    // Row i of A and of B side by side: 2d independent columns.
    const std::vector<double> base = RandomDesign(seed, layout.baseRuns, 2 * d);
    std::vector<double> design(layout.Runs() * d);
    for (std::size_t i = 0; i < layout.baseRuns; ++i) {
        const double* a = &base[i * 2 * d];
        const double* b = a + d;
        for (std::size_t m = 0; m < layout.RunsPerRow(); ++m) {
            double* row = &design[layout.Run(i, m) * d];
            for (std::size_t j = 0; j < d; ++j) {
                const bool fromB = m == SaltelliLayout::kB || m == 2 + j;
                row[j] = fromB ? b[j] : a[j];
            }
        }
    }
    return design;
}
