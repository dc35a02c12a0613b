#include "operators/Interpolator.h"

#include <cstddef>

Interpolator Interpolator::m_instance;

void Interpolator::Initialize(const double* table, uint32_t ndims, uint32_t nx, uint32_t ny,
                              uint32_t nz)
{
    table_ = table;
    ndims_ = ndims;
    nx_ = nx;
    ny_ = ny;
    nz_ = nz;
}

uint32_t Interpolator::Segment(const double* b, uint32_t n, double x)
{
    uint32_t k = 1;
    if (x <= b[k]) return k;
    while (x > b[k] && k < n - 1) ++k;
    return k;
}

double Interpolator::Fraction(const double* b, uint32_t k, double x)
{
    return (x - b[k]) / (b[k - 1] - b[k]);
}

bool Interpolator::Interpolate(double x, double* result) const
{
    const double* values = table_;
    const double* bx = values + nx_;
    const uint32_t i = Segment(bx, nx_, x);
    *result = Blend(Fraction(bx, i, x), values[i - 1], values[i]);
    return true;
}

bool Interpolator::Interpolate(double x, double y, double* result) const
{
    const double* values = table_;
    const size_t nx = nx_;
    const double* bx = values + nx * ny_;
    const double* by = bx + nx;
    const uint32_t i = Segment(bx, nx_, x);
    const uint32_t j = Segment(by, ny_, y);
    const double gx = Fraction(bx, i, x);
    const double* rowHi = values + j * nx;
    const double* rowLo = rowHi - nx;
    const double vHi = Blend(gx, rowHi[i - 1], rowHi[i]);
    const double vLo = Blend(gx, rowLo[i - 1], rowLo[i]);
    *result = Blend(Fraction(by, j, y), vLo, vHi);
    return true;
}

bool Interpolator::Interpolate(double x, double y, double z, double* result) const
{
    const double* values = table_;
    const size_t nx = nx_;
    const size_t plane = nx * ny_;
    const double* bx = values + plane * nz_;
    const double* by = bx + nx;
    const double* bz = by + ny_;
    const uint32_t i = Segment(bx, nx_, x);
    const uint32_t j = Segment(by, ny_, y);
    const uint32_t k = Segment(bz, nz_, z);
    const double gx = Fraction(bx, i, x);
    const double gy = Fraction(by, j, y);
    // Bilinear value in the plane starting at p.
    auto inPlane = [&](const double* p) {
        const double* rowHi = p + j * nx;
        const double* rowLo = rowHi - nx;
        return Blend(gy, Blend(gx, rowLo[i - 1], rowLo[i]), Blend(gx, rowHi[i - 1], rowHi[i]));
    };
    const double* planeHi = values + k * plane;
    *result = Blend(Fraction(bz, k, z), inPlane(planeHi - plane), inPlane(planeHi));
    return true;
}

bool Interpolator::FindElement(uint32_t low, uint32_t high, uint32_t& index, double x) const
{
    if (high <= low) {
        index = high;
        return true;
    }
    uint32_t k = index;
    if (k <= low) k = low + 1;
    if (k > high) k = high;
    if (x <= table_[k]) {
        while (k > low + 1 && x <= table_[k - 1]) --k;
    } else {
        while (x > table_[k] && k < high) ++k;
    }
    index = k;
    return true;
}
