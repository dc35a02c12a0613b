#pragma once

#include "storage/MemoryManager.h"

// Passes every request to the C heap.
class DefaultMemoryManager final : public MemoryManager {
public:
    DefaultMemoryManager() : MemoryManager(MemoryManagerDefault) {}

    void Initialize(uint32_t hint) override;
    void Finalize() override;
    void* New(uint32_t size, bool zero) override;
    void Free(void* block) override;
};
