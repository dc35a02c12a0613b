#include "execution/AutoLock.h"

AutoLock::AutoLock(LockObject* object) : object_(object) {
    if (object_ != nullptr) object_->Lock();
}

AutoLock::~AutoLock() {
    if (object_ != nullptr) object_->Unlock();
}
