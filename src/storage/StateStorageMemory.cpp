#include "storage/StateStorageMemory.h"

#include <algorithm>

#include "storage/MemoryBase.h"

StateStorageMemory::StateStorageMemory(MemoryManagerType type) : type_(type) {}

StateStorageMemory::~StateStorageMemory() { Finalize(); }

bool StateStorageMemory::Initialize() {
    Finalize();
    manager_ = MemoryManager::CreateMemoryManager(type_);
    if (manager_ == nullptr) return false;
    manager_->Initialize(0);
    return true;
}

void StateStorageMemory::Release(tMemBlockInfo& record) {
    if (record.data != nullptr && manager_ != nullptr) manager_->Free(record.data);
    record.data = nullptr;
    record.size = 0;
}

void StateStorageMemory::Finalize() {
    for (tMemBlockInfo& record : records_) Release(record);
    records_.clear();
    manager_.reset();
    position_ = 0;
}

uint32_t StateStorageMemory::GetPosition() { return position_; }

void StateStorageMemory::SetPosition(uint32_t position) { position_ = position; }

uint32_t StateStorageMemory::Write(const void* data, uint32_t size) {
    if (manager_ == nullptr || (data == nullptr && size != 0)) return 0;
    bool existing = position_ < records_.size();
    if (existing && records_[position_].size == size) {
        Memory::MemCopy(records_[position_].data, data, size);
    } else {
        // Take the new block before releasing the old one, so a failure
        // leaves the record as it was.
        void* block = nullptr;
        if (size != 0) {
            block = manager_->New(size, false);
            if (block == nullptr) return 0;
            Memory::MemCopy(block, data, size);
        }
        if (existing) {
            Release(records_[position_]);
            records_[position_] = {size, block};
        } else {
            records_.push_back({size, block});
        }
    }
    ++position_;
    return size;
}

uint32_t StateStorageMemory::Read(void* buffer, uint32_t size) {
    if (position_ >= records_.size() || (buffer == nullptr && size != 0)) return 0;
    const tMemBlockInfo& record = records_[position_];
    uint32_t delivered = std::min(size, record.size);
    Memory::MemCopy(buffer, record.data, delivered);
    ++position_;
    return delivered;
}

bool StateStorageMemory::Trim(uint32_t first) {
    if (first >= records_.size()) return false;
    for (auto record = records_.begin() + first; record != records_.end(); ++record) Release(*record);
    records_.erase(records_.begin() + first, records_.end());
    return true;
}
