#include "execution/ThreadFactory.h"

#include "execution/ThreadStd.h"

std::unique_ptr<Thread> ThreadFactory::newThread(Runnable* runnable, const char* /*name*/) {
    return std::make_unique<ThreadStd>(runnable);
}
