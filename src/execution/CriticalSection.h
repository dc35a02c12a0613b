#pragma once

// A mutual-exclusion object. The lock is recursive for the owning thread:
// every Lock() must be matched by one Unlock() on the same thread.
class CriticalSection {
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    virtual ~CriticalSection() = default;

    virtual void Lock() = 0;
    virtual void Unlock() = 0;
};
