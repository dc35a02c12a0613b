#pragma once

// Designs in the unit cube, row-major (one row per run, one column per
// sampled variable); the distributions map them to values. Every design is
// a function of the seed alone, so any process or shard can compute it.

#include <cstddef>
#include <cstdint>
#include <vector>

enum class SamplingMethod { Random, LatinHypercube };

// Independent uniform values: row k depends only on (seed, k).
std::vector<double> RandomDesign(uint64_t seed, std::size_t runs, std::size_t dimensions);

// Latin hypercube: each column puts exactly one row in each of the `runs`
// equal strata of (0, 1), in an order drawn from the seed.
std::vector<double> LatinHypercubeDesign(uint64_t seed, std::size_t runs, std::size_t dimensions);

// Saltelli's design for first-order and total indices: for each of the
// `baseRuns` rows i, the runs A_i, B_i and AB_i^j (A_i with column j taken
// from B_i), j = 0..d-1, at the positions given by Run().
struct SaltelliLayout {
    std::size_t baseRuns = 0;
    std::size_t dimensions = 0;

    static constexpr std::size_t kA = 0;
    static constexpr std::size_t kB = 1;
    std::size_t RunsPerRow() const { return dimensions + 2; }
    std::size_t Runs() const { return baseRuns * RunsPerRow(); }
    // Run index of matrix `matrix` (kA, kB, or 2 + j for AB^j) in row `row`.
    std::size_t Run(std::size_t row, std::size_t matrix) const { return row * RunsPerRow() + matrix; }
};
std::vector<double> SaltelliDesign(uint64_t seed, const SaltelliLayout& layout);
