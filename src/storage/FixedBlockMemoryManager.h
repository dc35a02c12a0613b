#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "execution/LockObject.h"

// A pool of equal-sized blocks taken from the heap in batches and handed out
// last-freed first. New, Free and IsAllocated are serialized by the object's
// lock, so one pool may be shared by threads. Blocks go back to the heap only
// when the pool is destroyed.
class FixedBlockMemoryManager : public LockObject {
public:
    FixedBlockMemoryManager(uint32_t blockSize, uint32_t initialCount, uint32_t growthCount);
    ~FixedBlockMemoryManager() override;

    // A block (zero-filled when `zero`), or null when the pool is dry and may
    // not grow (growth count 0) or the heap is exhausted.
    void* New(bool zero);
    // Blocks not handed out by this pool (null, foreign, already freed) are
    // ignored, so a stray free cannot hand one block out twice. True if the
    // block was taken back.
    bool Free(void* block);
    bool IsAllocated(void* block);
    void IncreaseCapacity(uint32_t count);

    uint32_t GetBlockSize() const { return blockSize_; }
    uint32_t GetCapacity() const { return capacity_; }
    uint32_t GetGrowthCount() const { return growthCount_; }
    uint32_t GetTop() const { return top_; }

private:
    uint32_t blockSize_;
    uint32_t capacity_ = 0;
    uint32_t growthCount_;
    uint32_t top_ = 0;            // blocks handed out
    std::vector<void*> freeSlots_;  // index top_ and above: available blocks
    std::vector<void*> allBlocks_;  // every block, in allocation order
    std::unordered_map<void*, bool> handedOut_;  // block -> currently handed out
};
