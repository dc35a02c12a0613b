#pragma once

#include <cstdint>

#include "storage/StateStorage.h"

// A memory block that a checkpoint saves and restores. Copies share the
// address and the store; the bytes themselves live with their owner.
class CheckedBlock {
public:
    CheckedBlock() = default;
    CheckedBlock(void* address, uint32_t length) : address_(address), length_(length) {}
    CheckedBlock(void* address, uint32_t length, StateStorage* storage)
        : address_(address), length_(length), storage_(storage) {}
    CheckedBlock(const CheckedBlock&) = default;
    CheckedBlock& operator=(const CheckedBlock&) = default;
    virtual ~CheckedBlock() = default;

    void Initialize(void* address, uint32_t length, StateStorage* storage);
    // Writes the block to its store at the store's position; false if fewer
    // bytes than the block's length were stored (or there is no store).
    bool Save();
    // Reads the block back from the store's position; false if fewer bytes
    // than its length were delivered.
    bool Restore();
    void Finalize() {}

    void* GetAddress() const { return address_; }
    uint32_t GetLength() const { return length_; }
    StateStorage* GetStorage() const { return storage_; }

private:
    void* address_ = nullptr;
    uint32_t length_ = 0;
    StateStorage* storage_ = nullptr;  // not owned
};
