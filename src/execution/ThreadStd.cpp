#include "execution/ThreadStd.h"

#include <system_error>

#include "execution/AutoLock.h"
#include "common/ForcedUnwind.h"
#include "common/ScopeExit.h"

using Guard = std::lock_guard<std::mutex>;

ThreadStd::ThreadStd(Runnable* runnable)
    : runnable_(runnable), state_(std::make_shared<State>()) {}

ThreadStd::~ThreadStd() {
    if (OnOwnThread()) {
        // Cannot join itself; the thread only touches the shared state now.
        if (thread_.joinable()) thread_.detach();
        return;
    }
    Terminate();
}

bool ThreadStd::Start() {
    AutoLock guard(this);  // concurrent starts create at most one thread
    Guard lock(state_->mutex);
    if (state_->started || state_->abandon) return false;
    try {
        thread_ = std::thread(&ThreadStd::Body, state_, runnable_, this);
    } catch (const std::system_error&) {
        return false;
    }
    state_->started = true;
    state_->running = true;
    return true;
}

ORVO_LETS_FORCED_UNWIND_PASS void ThreadStd::Body(std::shared_ptr<State> state, Runnable* runnable, Thread* self) {
    SetCurrent(self);
    // Also when the thread is cancelled: joiners must see it end.
    ScopeExit ended([&state] {
        SetCurrent(nullptr);
        Guard lock(state->mutex);
        state->running = false;
    });
    try {
        if (runnable != nullptr) runnable->Run();
    } catch (const abi::__forced_unwind&) {
        throw;  // thread cancellation or exit: swallowing it aborts the process
    } catch (...) {
        // Nothing above this frame could handle it; ending the thread beats
        // ending the process.
    }
}

bool ThreadStd::WaitForPermit(std::unique_lock<std::mutex>& lock) {
    State& s = *state_;
    s.suspended = true;
    s.wake.wait(lock, [&s] { return s.permit || s.abandon; });
    s.suspended = false;
    if (s.abandon) return false;
    s.permit = false;
    return true;
}

bool ThreadStd::Suspend() {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (OnOwnThread()) return WaitForPermit(lock);
    if (!state_->running || state_->abandon) return false;
    // A permit stays: it belongs to a self-suspend that has not happened yet
    // (a debugger step whose pause the thread is just reaching).
    state_->pauseRequested = true;
    return true;
}

bool ThreadStd::Resume() {
    Guard lock(state_->mutex);
    if (!state_->started) return false;
    if (state_->pauseRequested) {
        state_->pauseRequested = false;
        return true;
    }
    state_->permit = true;
    state_->wake.notify_all();
    return true;
}

bool ThreadStd::ServiceRequests() {
    if (!OnOwnThread()) return !state_->abandon;
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (state_->abandon) return false;
    if (!state_->pauseRequested) return true;
    state_->pauseRequested = false;
    return WaitForPermit(lock);
}

bool ThreadStd::Join() {
    if (OnOwnThread()) return false;
    Guard joinLock(joinMutex_);
    {
        Guard lock(state_->mutex);
        if (!state_->started) return false;
    }
    if (thread_.joinable()) thread_.join();
    return true;
}

bool ThreadStd::Terminate() {
    {
        Guard lock(state_->mutex);
        state_->abandon = true;
        state_->pauseRequested = false;
        state_->wake.notify_all();
        if (!state_->started) return false;
    }
    if (OnOwnThread()) return true;
    return Join();
}

bool ThreadStd::AbandonRequested() const { return state_->abandon; }

bool ThreadStd::IsRunning() const {
    Guard lock(state_->mutex);
    return state_->running;
}

bool ThreadStd::IsSuspended() const {
    Guard lock(state_->mutex);
    return state_->suspended;
}
