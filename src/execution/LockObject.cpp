#include "execution/LockObject.h"

#include "execution/CriticalSectionFactory.h"

LockObject::LockObject() : criticalSection_(CriticalSectionFactory::newCriticalSection()) {}

LockObject::~LockObject() = default;

void LockObject::Lock() { criticalSection_->Lock(); }

void LockObject::Unlock() { criticalSection_->Unlock(); }
