#pragma once

#include "execution/LockObject.h"

// A thread that runs one Runnable once. Created through ThreadFactory; the
// platform class behind it is never named elsewhere.
//
// Suspend and resume work like permits. Suspend() called by the thread on
// itself blocks until another thread calls Resume(); a Resume() that arrives
// before the matching Suspend() is kept (one permit at most), so that Suspend
// then returns at once. Suspend() called from another thread cannot stop the
// thread where it stands: it leaves a request that the thread honours at its
// next ServiceRequests(), and a Resume() before that cancels the request.
//
// There is no forcible termination. Terminate() is an abandon request: it sets
// a flag, wakes the thread if it is suspended (its Suspend() returns false)
// and waits until the thread has ended. Run code observes the request in one
// of three ways and must then unwind (the execution manager throws a
// TextException from its communication-interval and debug-tick checks):
//   - Suspend() or ServiceRequests() returning false;
//   - AbandonRequested() on the thread object;
//   - Thread::Current() gives the thread object from inside its Run().
// Terminate() therefore waits as long as the run code takes to reach its next
// check. Called from the thread itself, it only sets the flag.
//
// Destroying a thread object abandons and joins a thread still running, so a
// Runnable never runs against freed state. Destroyed from inside its own Run(),
// it detaches instead.
class Thread : public LockObject {
public:
    ~Thread() override = default;

    // Creates and runs the thread; true if this call started it. A second
    // Start(), or one after Terminate(), does nothing and returns false.
    virtual bool Start() = 0;
    // On the thread itself: blocks until resumed; false if an abandon was
    // requested (at once, without blocking, when one is already pending).
    // From another thread: requests a pause at the next ServiceRequests();
    // false if the thread is not running.
    virtual bool Suspend() = 0;
    // Wakes the suspended thread, cancels a pending pause request, or keeps a
    // permit for the next Suspend(). False if the thread was never started.
    virtual bool Resume() = 0;
    // Waits until the thread has ended. False if it was never started or when
    // called from the thread itself.
    virtual bool Join() = 0;
    // Requests an abandon, wakes the thread and joins it (see above). False if
    // the thread was never started.
    virtual bool Terminate() = 0;

    // To be called by the run code at safe points: pauses here while a pause
    // requested by another thread is pending. False once an abandon has been
    // requested. Returns at once when called from any other thread.
    virtual bool ServiceRequests() = 0;
    virtual bool AbandonRequested() const = 0;
    // True from Start() until Run() has returned.
    virtual bool IsRunning() const = 0;
    // True while the thread is blocked in Suspend() or ServiceRequests().
    virtual bool IsSuspended() const = 0;

    // The thread object whose Run() is executing on the calling thread, or
    // null on a thread not created through ThreadFactory.
    static Thread* Current();

protected:
    static void SetCurrent(Thread* thread);
};
