#pragma once

// Replaces the global operator new/delete to count allocations. Include it in
// exactly one source of an executable of its own (the replacement is global).

#include <atomic>
#include <cstdlib>
#include <new>

namespace counting_allocator {

inline std::atomic<long> allocations{0};

inline void* Allocate(std::size_t size) noexcept {
    ++allocations;
    return std::malloc(size ? size : 1);
}

// Allocations made so far by this process.
inline long Count() { return allocations.load(); }

}  // namespace counting_allocator

void* operator new(std::size_t size) {
    if (void* p = counting_allocator::Allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = counting_allocator::Allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return counting_allocator::Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return counting_allocator::Allocate(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
