#pragma once

#include <cstdint>

// The one process-wide Park-Miller minimal-standard generator behind every
// random operator: every instance and operator advances the same sequence.
// Not locked: draws from two threads interleave one sequence.
class RandomNumber {
public:
    RandomNumber() = delete;

    // Stores the seed (a seed the generator cannot leave, 0 or +-(2^31 - 1),
    // is replaced by 1) and returns the stored value.
    static int32_t Seed(int32_t seed);
    static int32_t GetSeed() { return m_seed; }
    // One step; the new state / (2^31 - 1).
    static double MinStd();
    // -ln(u) for a uniform u in (0, 1).
    static double Exponential();
    // lo + (hi - lo) * u with u in (0, 1).
    static double Uniform(double lo, double hi);
    // mean + sd * (sum of 12 uniforms - 6): within mean +- 6 sd.
    static double Gaussian(double mean, double sd);
    // Kept for generated code that refers to it; zzou implements the process.
    static double OrnsteinUhlenbeck(double tau, double& state, double mean, double sd, double t);

private:
    // Schrage's step of the state without 32-bit overflow (may return <= 0).
    static int32_t NextState();
    // One step folded into 1 .. m as Uniform and Gaussian use it, over the
    // single-precision modulus.
    static double UnitValue();

    static int32_t m_seed;
};
