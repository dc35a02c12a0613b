#pragma once

#include <memory>

#include "execution/Runnable.h"
#include "execution/Thread.h"

// Creates the platform's thread for a runnable (not owned, must outlive the
// thread). The thread does not run until Start(). The name is accepted for
// callers' documentation and not used.
class ThreadFactory {
public:
    static std::unique_ptr<Thread> newThread(Runnable* runnable, const char* name);
};
