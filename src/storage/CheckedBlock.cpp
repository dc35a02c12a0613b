#include "storage/CheckedBlock.h"

void CheckedBlock::Initialize(void* address, uint32_t length, StateStorage* storage) {
    address_ = address;
    length_ = length;
    storage_ = storage;
}

bool CheckedBlock::Save() {
    return storage_ != nullptr && storage_->Write(address_, length_) >= length_;
}

bool CheckedBlock::Restore() {
    return storage_ != nullptr && storage_->Read(address_, length_) >= length_;
}
