#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "execution/LockObject.h"
#include "storage/MemoryManagerType.h"

// An allocator object. The owner calls Initialize before the first New and
// destroys the manager when done. Every manager counts the blocks it handed
// out and took back, so owners can tell whether a path allocated.
class MemoryManager : public LockObject {
public:
    // A new, not yet initialized manager of that type; null for an unknown type.
    static std::unique_ptr<MemoryManager> CreateMemoryManager(MemoryManagerType type);

    explicit MemoryManager(MemoryManagerType type) : type_(type) {}
    ~MemoryManager() override = default;

    virtual void Initialize(uint32_t hint) = 0;
    virtual void Finalize() = 0;
    // A block of at least `size` bytes (zero-filled when `zero`), or null.
    virtual void* New(uint32_t size, bool zero) = 0;
    // Null is ignored.
    virtual void Free(void* block) = 0;

    MemoryManagerType GetType() const { return type_; }
    uint64_t GetNewCount() const { return newCount_.load(std::memory_order_relaxed); }
    uint64_t GetFreeCount() const { return freeCount_.load(std::memory_order_relaxed); }

protected:
    void CountNew() { newCount_.fetch_add(1, std::memory_order_relaxed); }
    void CountFree() { freeCount_.fetch_add(1, std::memory_order_relaxed); }

private:
    MemoryManagerType type_;
    std::atomic<uint64_t> newCount_{0};
    std::atomic<uint64_t> freeCount_{0};
};
