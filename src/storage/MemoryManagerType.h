#pragma once

#include <cstdint>

// Which allocator a MemoryManager is.
enum MemoryManagerType : int32_t {
    MemoryManagerDefault = 0,  // every request goes to the C heap
    MemoryManagerFast = 1,     // power-of-two pools of fixed-size blocks
};
