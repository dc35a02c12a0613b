#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "execution/Runnable.h"
#include "execution/Thread.h"

// The thread of this platform, on std::thread. Only ThreadFactory names it.
class ThreadStd final : public Thread {
public:
    explicit ThreadStd(Runnable* runnable);
    ~ThreadStd() override;

    bool Start() override;
    bool Suspend() override;
    bool Resume() override;
    bool Join() override;
    bool Terminate() override;
    bool ServiceRequests() override;
    bool AbandonRequested() const override;
    bool IsRunning() const override;
    bool IsSuspended() const override;

private:
    // What the running thread touches after its Run() returns. Shared, so
    // that it outlives an object destroyed from inside Run().
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        bool started = false;
        bool running = false;
        bool permit = false;
        bool pauseRequested = false;
        bool suspended = false;
        std::atomic<bool> abandon{false};
    };

    static void Body(std::shared_ptr<State> state, Runnable* runnable, Thread* self);
    // Blocks on `lock` until a permit or an abandon arrives.
    bool WaitForPermit(std::unique_lock<std::mutex>& lock);
    bool OnOwnThread() const { return Current() == this; }

    Runnable* runnable_;  // not owned
    std::shared_ptr<State> state_;
    std::thread thread_;
    std::mutex joinMutex_;  // serializes joiners without blocking the state
};
