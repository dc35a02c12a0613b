#include "storage/FixedBlockMemoryManager.h"

#include <algorithm>

#include "execution/AutoLock.h"
#include "storage/MemoryBase.h"

FixedBlockMemoryManager::FixedBlockMemoryManager(uint32_t blockSize, uint32_t initialCount,
                                                 uint32_t growthCount)
    : blockSize_(blockSize), growthCount_(growthCount) {
    IncreaseCapacity(initialCount);
}

FixedBlockMemoryManager::~FixedBlockMemoryManager() {
    for (void* block : allBlocks_) Memory::Free(block);
}

namespace {

// Room for `count` more entries. Reserving exactly the new size would copy the
// whole vector at every growth; at least doubling keeps growth amortized constant.
void ReserveMore(std::vector<void*>& vector, std::size_t count) {
    const std::size_t needed = vector.size() + count;
    if (needed > vector.capacity()) vector.reserve(std::max(needed, 2 * vector.capacity()));
}

}  // namespace

void FixedBlockMemoryManager::IncreaseCapacity(uint32_t count) {
    AutoLock guard(this);
    ReserveMore(freeSlots_, count);
    ReserveMore(allBlocks_, count);
    // The map rehashes geometrically by itself as it fills.
    for (uint32_t k = 0; k < count; ++k) {
        void* block = Memory::Malloc(blockSize_);
        if (block == nullptr) break;
        freeSlots_.push_back(block);
        allBlocks_.push_back(block);
        handedOut_.emplace(block, false);
        ++capacity_;
    }
}

void* FixedBlockMemoryManager::New(bool zero) {
    AutoLock guard(this);
    if (top_ == capacity_) IncreaseCapacity(growthCount_);
    if (top_ == capacity_) return nullptr;
    void* block = freeSlots_[top_];
    freeSlots_[top_] = nullptr;
    ++top_;
    handedOut_[block] = true;
    if (zero) Memory::MemSet(block, 0, blockSize_);
    return block;
}

bool FixedBlockMemoryManager::Free(void* block) {
    AutoLock guard(this);
    auto entry = handedOut_.find(block);
    if (entry == handedOut_.end() || !entry->second || top_ == 0) return false;
    entry->second = false;
    --top_;
    freeSlots_[top_] = block;
    return true;
}

bool FixedBlockMemoryManager::IsAllocated(void* block) {
    AutoLock guard(this);
    auto entry = handedOut_.find(block);
    return entry != handedOut_.end() && entry->second;
}
