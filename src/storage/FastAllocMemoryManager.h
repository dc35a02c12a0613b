#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "storage/FixedBlockMemoryManager.h"
#include "storage/MemoryManager.h"

// Serves requests from twenty pools of power-of-two size classes: class i
// takes requests of up to 2^(i+1) bytes. Each pool block is one byte larger,
// its first byte holding the class number; callers get the address after it.
// Takes no lock of its own: the pools lock themselves.
class FastAllocMemoryManager final : public MemoryManager {
public:
    static constexpr uint32_t kClassCount = 20;
    static constexpr uint32_t kGrowthCount = 10;
    static constexpr uint32_t kLargestRequest = uint32_t{1} << kClassCount;

    FastAllocMemoryManager() : MemoryManager(MemoryManagerFast) {}
    ~FastAllocMemoryManager() override = default;

    // Creates the pools (the hint is ignored); required before New.
    void Initialize(uint32_t hint) override;
    void Finalize() override;
    // Null for size 0, above kLargestRequest, or before Initialize.
    void* New(uint32_t size, bool zero) override;
    void Free(void* block) override;
    virtual bool IsAllocated(void* block);

    // The pool of a size class, or null (class out of range, not initialized).
    const FixedBlockMemoryManager* GetPool(uint32_t sizeClass) const;

private:
    // The pool that owns the class byte in front of `block`, or null.
    FixedBlockMemoryManager* PoolOf(void* block) const;

    std::array<std::unique_ptr<FixedBlockMemoryManager>, kClassCount> pools_;
};
