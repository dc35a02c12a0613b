#include "storage/MemoryManager.h"

#include "storage/DefaultMemoryManager.h"
#include "storage/FastAllocMemoryManager.h"

std::unique_ptr<MemoryManager> MemoryManager::CreateMemoryManager(MemoryManagerType type) {
    switch (type) {
        case MemoryManagerDefault: return std::make_unique<DefaultMemoryManager>();
        case MemoryManagerFast: return std::make_unique<FastAllocMemoryManager>();
    }
    return nullptr;
}
