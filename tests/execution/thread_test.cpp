#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "execution/Runnable.h"
#include "execution/Thread.h"
#include "execution/ThreadFactory.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kTimeout = 10s;

class FunctionRunnable : public Runnable {
public:
    explicit FunctionRunnable(std::function<void()> body) : body_(std::move(body)) {}
    void Run() override { body_(); }

private:
    std::function<void()> body_;
};

// Waits for a state the thread reports without a signal of its own (being
// blocked inside Suspend); bounded so a fault fails instead of hanging.
bool Eventually(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

bool Ready(std::future<void>& f) { return f.wait_for(kTimeout) == std::future_status::ready; }

TEST(Thread, SuspendsItselfUntilResumed) {
    std::atomic<int> stage{0};
    std::atomic<bool> resumed{false};
    Thread* self = nullptr;
    std::unique_ptr<Thread> thread;
    FunctionRunnable body([&] {
        self = Thread::Current();
        stage = 1;
        resumed = thread->Suspend();
        stage = 2;
    });
    thread = ThreadFactory::newThread(&body, "Simulation");
    EXPECT_FALSE(thread->IsRunning());
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(Eventually([&] { return thread->IsSuspended(); }));
    EXPECT_EQ(stage.load(), 1);
    EXPECT_TRUE(thread->IsRunning());

    EXPECT_TRUE(thread->Resume());
    ASSERT_TRUE(thread->Join());
    EXPECT_EQ(stage.load(), 2);
    EXPECT_TRUE(resumed.load());
    EXPECT_EQ(self, thread.get());
    EXPECT_FALSE(thread->IsRunning());
    EXPECT_FALSE(thread->AbandonRequested());
    EXPECT_EQ(Thread::Current(), nullptr);
    EXPECT_TRUE(thread->Join());  // an ended thread joins at once
}

TEST(Thread, ResumeBeforeSuspendIsNotLost) {
    std::promise<void> go;
    std::future<void> goSignal = go.get_future();
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::unique_ptr<Thread> thread;
    std::atomic<bool> resumed{false};
    FunctionRunnable body([&] {
        goSignal.wait();
        resumed = thread->Suspend();
        done.set_value();
    });
    thread = ThreadFactory::newThread(&body, "Simulation");
    ASSERT_TRUE(thread->Start());
    // The host answers the pause before the run thread gets to it.
    EXPECT_TRUE(thread->Resume());
    go.set_value();
    EXPECT_TRUE(Ready(finished));
    thread->Join();
    EXPECT_TRUE(resumed.load());
}

TEST(Thread, RepeatedResumesKeepOnePermitOnly) {
    std::unique_ptr<Thread> thread;
    std::atomic<int> passed{0};
    std::atomic<bool> secondResult{true};
    std::promise<void> go;
    std::future<void> goSignal = go.get_future();
    FunctionRunnable body([&] {
        goSignal.wait();
        if (thread->Suspend()) ++passed;
        secondResult = thread->Suspend();
    });
    thread = ThreadFactory::newThread(&body, "Simulation");
    ASSERT_TRUE(thread->Start());
    thread->Resume();
    thread->Resume();
    go.set_value();
    ASSERT_TRUE(Eventually([&] { return thread->IsSuspended(); }));
    EXPECT_EQ(passed.load(), 1);
    EXPECT_TRUE(thread->Terminate());
    EXPECT_FALSE(secondResult.load());
}

TEST(Thread, TerminateWakesASuspendedThreadAndJoinsIt) {
    std::unique_ptr<Thread> thread;
    std::atomic<bool> suspendResult{true};
    std::atomic<bool> sawAbandon{false};
    std::atomic<bool> laterSuspend{true};
    FunctionRunnable body([&] {
        suspendResult = thread->Suspend();
        sawAbandon = Thread::Current()->AbandonRequested();
        // Once abandoned, further pauses return at once.
        laterSuspend = thread->Suspend();
    });
    thread = ThreadFactory::newThread(&body, "Simulation");
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(Eventually([&] { return thread->IsSuspended(); }));
    EXPECT_TRUE(thread->Terminate());
    EXPECT_FALSE(thread->IsRunning());
    EXPECT_FALSE(suspendResult.load());
    EXPECT_TRUE(sawAbandon.load());
    EXPECT_FALSE(laterSuspend.load());
    EXPECT_FALSE(thread->Start());  // an abandoned thread object stays ended
}

TEST(Thread, RunCodeUnwindsOnAnAbandonObservedAtItsChecks) {
    std::unique_ptr<Thread> thread;
    std::atomic<long> intervals{0};
    std::atomic<bool> unwound{false};
    FunctionRunnable body([&] {
        try {
            for (;;) {
                ++intervals;
                if (!Thread::Current()->ServiceRequests()) throw std::runtime_error("debug stopped");
            }
        } catch (const std::runtime_error&) {
            unwound = true;
        }
    });
    thread = ThreadFactory::newThread(&body, "Simulation");
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(Eventually([&] { return intervals.load() > 0; }));
    EXPECT_TRUE(thread->Terminate());
    EXPECT_TRUE(unwound.load());
}

TEST(Thread, PauseRequestedByAnotherThreadIsHonouredAtTheNextCheck) {
    std::unique_ptr<Thread> thread;
    std::promise<void> requested;
    std::future<void> requestedSignal = requested.get_future();
    std::promise<void> step;
    std::future<void> stepSignal = step.get_future();
    std::atomic<int> stage{0};
    FunctionRunnable body([&] {
        requestedSignal.wait();
        stage = 1;
        thread->ServiceRequests();  // pauses: a request is pending
        stage = 2;
        stepSignal.wait();
        thread->ServiceRequests();  // the request was cancelled: no pause
        stage = 3;
    });
    thread = ThreadFactory::newThread(&body, "Simulation");
    EXPECT_FALSE(thread->Suspend());  // not running yet
    ASSERT_TRUE(thread->Start());
    EXPECT_TRUE(thread->Suspend());
    requested.set_value();
    ASSERT_TRUE(Eventually([&] { return thread->IsSuspended(); }));
    EXPECT_EQ(stage.load(), 1);
    thread->Resume();
    ASSERT_TRUE(Eventually([&] { return stage.load() == 2; }));

    thread->Suspend();
    thread->Resume();  // before the thread reached its check
    step.set_value();
    ASSERT_TRUE(thread->Join());
    EXPECT_EQ(stage.load(), 3);
    EXPECT_TRUE(thread->ServiceRequests());  // from another thread: no effect
}

TEST(Thread, StartsOnceAndEndsCleanlyOnEscapingExceptions) {
    std::atomic<int> runs{0};
    FunctionRunnable body([&] {
        ++runs;
        throw std::runtime_error("model fault");
    });
    auto thread = ThreadFactory::newThread(&body, "Simulation");
    EXPECT_FALSE(thread->Join());       // never started
    EXPECT_FALSE(thread->Resume());
    ASSERT_TRUE(thread->Start());
    EXPECT_FALSE(thread->Start());
    ASSERT_TRUE(thread->Join());
    EXPECT_EQ(runs.load(), 1);
    EXPECT_FALSE(thread->IsRunning());
    EXPECT_TRUE(thread->Terminate());   // a no-op on an ended thread

    auto unstarted = ThreadFactory::newThread(&body, "Simulation");
    EXPECT_FALSE(unstarted->Terminate());
    EXPECT_FALSE(unstarted->Start());
    EXPECT_EQ(runs.load(), 1);
}

TEST(Thread, ConcurrentStartsCreateOneThread) {
    std::atomic<int> runs{0};
    FunctionRunnable body([&] { ++runs; });
    auto thread = ThreadFactory::newThread(&body, "Simulation");
    std::atomic<int> started{0};
    auto starter = [&] { started += thread->Start() ? 1 : 0; };
    std::thread a(starter);
    std::thread b(starter);
    a.join();
    b.join();
    thread->Join();
    EXPECT_EQ(started.load(), 1);
    EXPECT_EQ(runs.load(), 1);
}

TEST(Thread, DestroyingTheObjectAbandonsAndJoinsASuspendedRun) {
    std::atomic<bool> suspendResult{true};
    std::atomic<bool> finished{false};
    std::unique_ptr<Thread> thread;
    FunctionRunnable body([&] {
        suspendResult = Thread::Current()->Suspend();
        finished = true;
    });
    thread = ThreadFactory::newThread(&body, "Simulation");
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(Eventually([&] { return thread->IsSuspended(); }));
    thread.reset();  // the run was left paused, as a stopped debug run is
    EXPECT_TRUE(finished.load());
    EXPECT_FALSE(suspendResult.load());
}

TEST(Thread, RunMayDestroyItsOwnThreadObject) {
    std::unique_ptr<Thread> thread;
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::promise<void> go;
    std::future<void> goSignal = go.get_future();
    FunctionRunnable body([&] {
        goSignal.wait();
        thread.reset();  // detaches; the ending thread must not touch the object
        done.set_value();
    });
    thread = ThreadFactory::newThread(&body, "Simulation");
    ASSERT_TRUE(thread->Start());
    go.set_value();
    EXPECT_TRUE(Ready(finished));
}

}  // namespace
