#pragma once

#include "execution/LockObject.h"

// Holds a LockObject's lock for the lifetime of this object. A null object
// is accepted and nothing is locked.
class AutoLock {
public:
    explicit AutoLock(LockObject* object);
    AutoLock(const AutoLock&) = delete;
    AutoLock& operator=(const AutoLock&) = delete;
    ~AutoLock();

private:
    LockObject* object_;
};
