#pragma once

#include <cstdint>

// A sequential store of records addressed by a record position. Write and
// Read work on the record at the current position and advance it by one.
class StateStorage {
public:
    virtual bool Initialize() = 0;
    virtual void Finalize() = 0;
    virtual uint32_t GetPosition() = 0;
    virtual void SetPosition(uint32_t position) = 0;
    // Number of bytes stored.
    virtual uint32_t Write(const void* data, uint32_t size) = 0;
    // Number of bytes delivered.
    virtual uint32_t Read(void* buffer, uint32_t size) = 0;
    // Drops the records from `first` to the end; false if there is none there.
    virtual bool Trim(uint32_t first) = 0;
    virtual ~StateStorage() = default;
};
