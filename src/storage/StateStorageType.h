#pragma once

#include <cstdint>

// Which of a checkpoint's two stores a block is saved to.
enum StateStorageType : int32_t {
    StateStoragePrimary = 0,
    StateStorageSecondary = 1,
};
