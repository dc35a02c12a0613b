#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

// True when |values[k]| <= limit for every k (so none is NaN); limit is
// positive, HUGE_VAL asks for finite values or infinities. The runtime checks
// the states this way after every step: a first pass compares only the high
// words of the magnitudes with the limit's, which vectorises and settles the
// common case (everything well within); a value in the limit's binade or
// beyond gets the exact comparison.
inline bool AllWithin(const double* values, std::size_t count, double limit) {
    uint64_t limitBits;
    std::memcpy(&limitBits, &limit, sizeof limitBits);
    const auto limitHigh = static_cast<int32_t>((limitBits >> 32) & 0x7fffffffu);
    int32_t near = 0;
    for (std::size_t k = 0; k < count; ++k) {
        uint64_t bits;
        std::memcpy(&bits, values + k, sizeof bits);
        near |= static_cast<int32_t>((bits >> 32) & 0x7fffffffu) >= limitHigh;
    }
    if (near == 0) return true;
    for (std::size_t k = 0; k < count; ++k)
        if (!(std::fabs(values[k]) <= limit)) return false;
    return true;
}
