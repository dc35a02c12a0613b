#include "storage/CheckPoint.h"

CheckPoint::CheckPoint(uint32_t id, StateStorage* primary, StateStorage* secondary,
                       const CheckedBlockList* blocks) {
    Initialize(id, primary, secondary, blocks);
}

CheckPoint::CheckPoint(const CheckPoint& other)
    : id_(other.id_), primary_(other.primary_), secondary_(other.secondary_) {
    for (const auto& block : other.blocks_) Append(std::make_unique<CheckedBlock>(*block));
}

CheckPoint::~CheckPoint() { Finalize(); }

void CheckPoint::Initialize(uint32_t id, StateStorage* primary, StateStorage* secondary,
                            const CheckedBlockList* blocks) {
    Finalize();
    id_ = id;
    primary_ = primary;
    secondary_ = secondary;
    if (blocks == nullptr) return;
    for (const CheckedBlock* block : *blocks) {
        if (block != nullptr) Append(std::make_unique<CheckedBlock>(*block));
    }
}

void CheckPoint::Finalize() {
    blocks_.clear();
    totalSize_ = 0;
}

void CheckPoint::Append(std::unique_ptr<CheckedBlock> block) {
    totalSize_ += block->GetLength();
    blocks_.push_back(std::move(block));
}

bool CheckPoint::AddCheckedBlock(void* address, uint32_t length, StateStorageType type) {
    StateStorage* storage = nullptr;
    if (type == StateStoragePrimary) storage = primary_;
    else if (type == StateStorageSecondary) storage = secondary_;
    if (storage == nullptr) return false;
    Append(std::make_unique<CheckedBlock>(address, length, storage));
    return true;
}

bool CheckPoint::AddCheckedBlock(CheckedBlock* block) {
    if (block == nullptr) return false;
    Append(std::unique_ptr<CheckedBlock>(block));
    return true;
}

bool CheckPoint::Save() {
    for (const auto& block : blocks_) {
        if (!block->Save()) return false;
    }
    return true;
}

bool CheckPoint::Restore() {
    for (const auto& block : blocks_) {
        if (!block->Restore()) return false;
    }
    return true;
}
