#include "storage/FixedBlockMemoryManager.h"

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

void FixedBlockMemoryManager::IncreaseCapacity(uint32_t count) {
    AutoLock guard(this);
    freeSlots_.reserve(freeSlots_.size() + count);
    allBlocks_.reserve(allBlocks_.size() + count);
    handedOut_.reserve(handedOut_.size() + count);
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
