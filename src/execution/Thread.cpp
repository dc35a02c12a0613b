#include "execution/Thread.h"

namespace {
thread_local Thread* currentThread = nullptr;
}

Thread* Thread::Current() { return currentThread; }

void Thread::SetCurrent(Thread* thread) { currentThread = thread; }
