#pragma once

// FNV-1a, 64 bits, fed in pieces: fingerprints of populations and checksums
// of part files. Detects changes, not tampering.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

class ContentHash {
public:
    void Add(std::string_view bytes) {
        for (const unsigned char c : bytes) {
            hash_ ^= c;
            hash_ *= 0x100000001b3ULL;
        }
    }
    // 16 lower-case hex digits.
    std::string Hex() const {
        char text[17];
        std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash_));
        return text;
    }

private:
    uint64_t hash_ = 0xcbf29ce484222325ULL;
};
