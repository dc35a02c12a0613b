#pragma once

#include <memory>

#include "execution/CriticalSection.h"

// Base of every object that can be locked: owns one critical section made by
// CriticalSectionFactory. Recursive for the owning thread.
class LockObject {
public:
    LockObject();
    LockObject(const LockObject&) = delete;
    LockObject& operator=(const LockObject&) = delete;
    virtual ~LockObject();

    void Lock();
    void Unlock();

private:
    std::unique_ptr<CriticalSection> criticalSection_;
};
