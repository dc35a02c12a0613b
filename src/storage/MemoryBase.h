#pragma once

#include <cstdint>

// Class-level wrappers of the C heap and byte functions; every allocator of
// the storage layer reaches the heap through them.
class Memory {
public:
    static void* Malloc(uint32_t size);
    static void* Calloc(uint32_t count, uint32_t size);
    static void* Realloc(void* block, uint32_t size);
    static void Free(void* block);
    static void MemCopy(void* destination, const void* source, uint32_t length);
    static void MemSet(void* buffer, int value, uint32_t length);
    // Heap tuning hook; this heap has no options.
    static void SetOptions(const char* options);
    static bool IsValidHeapPointer(const void* block);
};
