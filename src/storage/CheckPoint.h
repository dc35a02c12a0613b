#pragma once

#include <cstdint>
#include <list>
#include <memory>

#include "storage/CheckedBlock.h"
#include "storage/StateStorage.h"
#include "storage/StateStorageType.h"

// Remembers the contents of a set of memory blocks and puts them back. Blocks
// are saved in registration order, one record each, to the primary or the
// secondary store. The checkpoint owns its blocks, not the stores, and does
// not position the stores: the caller sets the position before Save/Restore.
class CheckPoint {
public:
    using CheckedBlockList = std::list<CheckedBlock*>;

    CheckPoint() = default;
    explicit CheckPoint(uint32_t id) : id_(id) {}
    CheckPoint(uint32_t id, StateStorage* primary, StateStorage* secondary,
               const CheckedBlockList* blocks);
    // Copies the blocks, shares the stores.
    CheckPoint(const CheckPoint& other);
    CheckPoint& operator=(const CheckPoint&) = delete;
    virtual ~CheckPoint();

    // Drops the current blocks, then takes the id, the stores and a copy of
    // each listed block (the list may be null; its blocks stay the caller's).
    virtual void Initialize(uint32_t id, StateStorage* primary, StateStorage* secondary,
                            const CheckedBlockList* blocks);
    virtual void Finalize();
    // False when the store of that type is missing or the type is unknown.
    virtual bool AddCheckedBlock(void* address, uint32_t length, StateStorageType type);
    // Takes ownership of the block; false (and nothing taken) for null.
    virtual bool AddCheckedBlock(CheckedBlock* block);
    // Stop at the first failing block; earlier ones are not rolled back.
    virtual bool Save();
    virtual bool Restore();

    uint32_t GetId() const { return id_; }
    uint32_t GetTotalSize() const { return totalSize_; }
    uint32_t GetNumberOfBlocks() const { return static_cast<uint32_t>(blocks_.size()); }
    StateStorage* GetPrimaryStorage() const { return primary_; }
    StateStorage* GetSecondaryStorage() const { return secondary_; }

private:
    void Append(std::unique_ptr<CheckedBlock> block);

    uint32_t id_ = 0;
    std::list<std::unique_ptr<CheckedBlock>> blocks_;
    uint32_t totalSize_ = 0;
    StateStorage* primary_ = nullptr;    // not owned
    StateStorage* secondary_ = nullptr;  // not owned
};
