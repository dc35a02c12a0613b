#pragma once

#include <atomic>
#include <cstdint>

// Byte flags of the model's settings block that the host writes while a run
// reads them (zzstopflag through OrvoStop). Accessed atomically in place, so
// the model keeps its one-byte layout; relaxed order suffices for a flag that
// is only polled.
inline uint8_t LoadSharedFlag(const uint8_t* flag) {
    return std::atomic_ref<uint8_t>(*const_cast<uint8_t*>(flag)).load(std::memory_order_relaxed);
}

inline void StoreSharedFlag(uint8_t* flag, uint8_t value) {
    std::atomic_ref<uint8_t>(*flag).store(value, std::memory_order_relaxed);
}
