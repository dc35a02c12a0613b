#include "storage/MemoryBase.h"

#include <cstdlib>
#include <cstring>

void* Memory::Malloc(uint32_t size) { return std::malloc(size); }

void* Memory::Calloc(uint32_t count, uint32_t size) { return std::calloc(count, size); }

void* Memory::Realloc(void* block, uint32_t size) { return std::realloc(block, size); }

void Memory::Free(void* block) { std::free(block); }

void Memory::MemCopy(void* destination, const void* source, uint32_t length) {
    if (length != 0) std::memcpy(destination, source, length);
}

void Memory::MemSet(void* buffer, int value, uint32_t length) {
    if (length != 0) std::memset(buffer, value, length);
}

void Memory::SetOptions(const char* /*options*/) {}

bool Memory::IsValidHeapPointer(const void* /*block*/) { return true; }
