#include "storage/DefaultMemoryManager.h"

#include "storage/MemoryBase.h"

void DefaultMemoryManager::Initialize(uint32_t /*hint*/) {}

void DefaultMemoryManager::Finalize() {}

void* DefaultMemoryManager::New(uint32_t size, bool zero) {
    void* block = Memory::Malloc(size);
    if (block == nullptr) return nullptr;
    if (zero) Memory::MemSet(block, 0, size);
    CountNew();
    return block;
}

void DefaultMemoryManager::Free(void* block) {
    if (block == nullptr) return;
    Memory::Free(block);
    CountFree();
}
