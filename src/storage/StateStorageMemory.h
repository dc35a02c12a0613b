#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "storage/MemoryManager.h"
#include "storage/MemoryManagerType.h"
#include "storage/StateStorage.h"

// The in-memory store: one heap block per record, taken from a memory
// manager created by Initialize. Rewriting a record of the same size copies
// over it, so a repeated snapshot allocates nothing.
class StateStorageMemory : public StateStorage {
public:
    struct tMemBlockInfo {
        uint32_t size;
        void* data;
    };

    explicit StateStorageMemory(MemoryManagerType type = MemoryManagerDefault);
    StateStorageMemory(const StateStorageMemory&) = delete;
    StateStorageMemory& operator=(const StateStorageMemory&) = delete;
    ~StateStorageMemory() override;

    // Creates the memory manager (after releasing an earlier one with its
    // records); true if one was created.
    bool Initialize() override;
    // Releases every record and the manager; the position returns to 0.
    void Finalize() override;
    uint32_t GetPosition() override;
    void SetPosition(uint32_t position) override;
    // 0 (and the position stays) before Initialize or when memory runs out.
    uint32_t Write(const void* data, uint32_t size) override;
    uint32_t Read(void* buffer, uint32_t size) override;
    bool Trim(uint32_t first) override;

    uint32_t GetRecordCount() const { return static_cast<uint32_t>(records_.size()); }
    MemoryManagerType GetMemoryManagerType() const { return type_; }
    // Null before Initialize.
    const MemoryManager* GetMemoryManager() const { return manager_.get(); }

private:
    void Release(tMemBlockInfo& record);

    MemoryManagerType type_;
    uint32_t position_ = 0;
    std::vector<tMemBlockInfo> records_;
    std::unique_ptr<MemoryManager> manager_;
};
