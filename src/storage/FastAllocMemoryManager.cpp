#include "storage/FastAllocMemoryManager.h"

void FastAllocMemoryManager::Initialize(uint32_t /*hint*/) {
    Finalize();
    for (uint32_t i = 0; i < kClassCount; ++i) {
        uint32_t blockSize = (uint32_t{2} << i) + 1;
        pools_[i] = std::make_unique<FixedBlockMemoryManager>(blockSize, 0, kGrowthCount);
    }
}

void FastAllocMemoryManager::Finalize() {
    for (auto& pool : pools_) pool.reset();
}

void* FastAllocMemoryManager::New(uint32_t size, bool zero) {
    if (size == 0 || size > kLargestRequest) return nullptr;
    uint32_t sizeClass = 0;
    while ((uint32_t{2} << sizeClass) < size) ++sizeClass;
    FixedBlockMemoryManager* pool = pools_[sizeClass].get();
    if (pool == nullptr) return nullptr;
    auto* block = static_cast<unsigned char*>(pool->New(zero));
    if (block == nullptr) return nullptr;
    block[0] = static_cast<unsigned char>(sizeClass);
    CountNew();
    return block + 1;
}

FixedBlockMemoryManager* FastAllocMemoryManager::PoolOf(void* block) const {
    if (block == nullptr) return nullptr;
    unsigned char sizeClass = static_cast<unsigned char*>(block)[-1];
    if (sizeClass >= kClassCount) return nullptr;
    return pools_[sizeClass].get();
}

void FastAllocMemoryManager::Free(void* block) {
    FixedBlockMemoryManager* pool = PoolOf(block);
    if (pool == nullptr) return;
    if (pool->Free(static_cast<unsigned char*>(block) - 1)) CountFree();
}

bool FastAllocMemoryManager::IsAllocated(void* block) {
    FixedBlockMemoryManager* pool = PoolOf(block);
    return pool != nullptr && pool->IsAllocated(static_cast<unsigned char*>(block) - 1);
}

const FixedBlockMemoryManager* FastAllocMemoryManager::GetPool(uint32_t sizeClass) const {
    return sizeClass < kClassCount ? pools_[sizeClass].get() : nullptr;
}
