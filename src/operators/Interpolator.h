#pragma once

#include <cstdint>

// Linear interpolation in a function table of one, two or three arguments,
// with linear extrapolation beyond the end breakpoints. The table is one
// array of doubles owned by the model: the function values with x varying
// fastest, then y, then z, followed by the nx, ny and nz breakpoints
// (strictly ascending, at least 2 per argument).
//
// One shared object serves every table call; it keeps no position between
// calls, so reinitialising it is just storing five values.
class Interpolator {
public:
    Interpolator() = default;
    virtual ~Interpolator() = default;

    void Initialize(const double* table, uint32_t ndims, uint32_t nx, uint32_t ny, uint32_t nz);
    bool Interpolate(double x, double* result) const;
    bool Interpolate(double x, double y, double* result) const;
    bool Interpolate(double x, double y, double z, double* result) const;
    // Segment search among the ascending values at table positions
    // low..high, starting from index (moved into the range first). index
    // receives the upper end of the segment holding x (low < index <= high);
    // below the range that is the first segment, above it the last.
    bool FindElement(uint32_t low, uint32_t high, uint32_t& index, double x) const;

    static Interpolator m_instance;

private:
    // Zero-based upper end k (1 <= k <= n - 1) of the segment holding x among
    // the n breakpoints at b; the walk always starts at the first segment.
    static uint32_t Segment(const double* b, uint32_t n, double x);
    // Position of x within the segment ending at b[k]: 0 at b[k], 1 at b[k - 1].
    static double Fraction(const double* b, uint32_t k, double x);
    static double Blend(double g, double vLow, double vHigh) { return vHigh + g * (vLow - vHigh); }

    const double* table_ = nullptr;
    uint32_t ndims_ = 0;
    uint32_t nx_ = 0;
    uint32_t ny_ = 0;
    uint32_t nz_ = 0;
};
