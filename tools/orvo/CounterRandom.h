#pragma once

// Counter-based uniform numbers: each value is a hash of (seed, stream,
// counter, dimension), so run k's draws depend on nothing but the seed and
// k, whichever process or shard computes them.

#include <cstdint>

namespace counter_random {

// Streams keep unrelated uses of one seed apart.
enum Stream : uint64_t {
    kSampleStream = 1,  // the values of random sampling
    kStratumStream = 2,  // LHS: position within a stratum
    kPermutationStream = 3,  // LHS: order of the strata
    kBootstrapStream = 4,  // resampled rows of the Sobol bootstrap
};

// SplitMix64 finaliser: a bijective avalanche mix of 64 bits.
constexpr uint64_t Mix(uint64_t z) {
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

constexpr uint64_t Bits(uint64_t seed, uint64_t stream, uint64_t counter, uint64_t dimension) {
    return Mix(Mix(Mix(Mix(seed) ^ stream) ^ counter) ^ dimension);
}

// Uniform on the open interval (0, 1): 53 bits, centred in their cell.
constexpr double Uniform(uint64_t seed, uint64_t stream, uint64_t counter, uint64_t dimension) {
    return (static_cast<double>(Bits(seed, stream, counter, dimension) >> 11) + 0.5) * 0x1p-53;
}

// Uniform integer in [0, bound), bound > 0 (multiply-shift, bias below 2^-32
// for the bounds used here).
constexpr uint64_t Below(uint64_t bound, uint64_t seed, uint64_t stream, uint64_t counter, uint64_t dimension) {
    const unsigned __int128 product = static_cast<unsigned __int128>(Bits(seed, stream, counter, dimension)) * bound;
    return static_cast<uint64_t>(product >> 64);
}

}  // namespace counter_random
