#pragma once

// Records what the execution-state, tick and status callbacks report, from
// whichever thread they arrive on, and lets a test wait for a state change
// (bounded wait, no sleeps).

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ExecutionTestModel.h"
#include "orvo/orvo.h"

namespace execution_test {

struct Recorded {
    enum Kind { State, Tick, Status } kind;
    int32_t value;  // new state or tick type
    std::string text;
    std::thread::id thread;
    int32_t line;  // zzlinenum when it arrived (0 without debug information)
    std::string block;
};

class ExecutionRecorder {
public:
    static ExecutionRecorder& Get() {
        static ExecutionRecorder recorder;
        return recorder;
    }

    void Attach(uint32_t instance) {
        Clear();
        OrvoAddExecutionStateChangeCallbackFunction(instance, 1, &OnState);
        OrvoAddTickCallbackFunction(instance, 2, &OnTick);
        OrvoAddStatusCallback(instance, 3, &OnStatus);
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }
    std::vector<Recorded> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<int32_t> States() { return Values(Recorded::State); }
    std::vector<int32_t> Ticks() { return Values(Recorded::Tick); }
    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const Recorded& e : Events()) {
            if (e.kind == Recorded::Status) out.push_back(e.text);
        }
        return out;
    }
    size_t Count(Recorded::Kind kind, int32_t value) {
        size_t n = 0;
        for (const Recorded& e : Events()) n += e.kind == kind && e.value == value;
        return n;
    }
    // Waits until state `state` has been reported `times` times in all.
    bool WaitForState(int32_t state, size_t times = 1) {
        return WaitUntil([&] { return CountLocked(Recorded::State, state) >= times; });
    }
    bool WaitForTicks(int32_t tick, size_t times) {
        return WaitUntil([&] { return CountLocked(Recorded::Tick, tick) >= times; });
    }

    // Called inside the callbacks, on the run thread: the test's reaction.
    std::function<void(const Recorded&)> onEvent;

private:
    static void OnState(uint32_t, uint32_t, OrvoExecutionState, OrvoExecutionState state) {
        Get().Add({Recorded::State, state, {}, {}, 0, {}});
    }
    static void OnTick(uint32_t, uint32_t, OrvoTickType tick) {
        Get().Add({Recorded::Tick, tick, {}, {}, 0, {}});
    }
    static void OnStatus(uint32_t, uint32_t, const char* text) {
        Get().Add({Recorded::Status, 0, text, {}, 0, {}});
    }
    void Add(Recorded event) {
        event.thread = std::this_thread::get_id();
        if (ExecutionTestModel::kHasDebugInfo) {
            const uint32_t instance = 1;  // the fixture's only instance
            event.line = OrvoGetLong(instance, OrvoGetSymbolIndex("zzlinenum"));
            const char* block = OrvoGetString(instance, OrvoGetSymbolIndex("zzblockname"));
            event.block = block ? block : "";
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(event);
        }
        changed_.notify_all();
        if (onEvent) onEvent(event);
    }
    size_t CountLocked(Recorded::Kind kind, int32_t value) const {
        size_t n = 0;
        for (const Recorded& e : events_) n += e.kind == kind && e.value == value;
        return n;
    }
    template <typename Predicate>
    bool WaitUntil(Predicate done) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), done);
    }
    std::vector<int32_t> Values(Recorded::Kind kind) {
        std::vector<int32_t> out;
        for (const Recorded& e : Events()) {
            if (e.kind == kind) out.push_back(e.value);
        }
        return out;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Recorded> events_;
};

// Registers the model, creates instance 1 and attaches the recorder.
class ExecutionFixture : public ::testing::Test {
protected:
    void SetUp() override {
        instance = model().Setup();
        ASSERT_EQ(instance, 1u);
        recorder().Attach(instance);
        recorder().onEvent = nullptr;
    }
    void TearDown() override {
        OrvoFinalize();  // ends a background run still going
        recorder().onEvent = nullptr;
    }
    static ExecutionTestModel& model() { return ExecutionTestModel::Get(); }
    static ExecutionRecorder& recorder() { return ExecutionRecorder::Get(); }
    double Time() { return OrvoGetDouble(instance, 1); }

    uint32_t instance = 0;
};

}  // namespace execution_test
