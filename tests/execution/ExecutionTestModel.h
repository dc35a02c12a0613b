#pragma once

// A model in the shape of a generated one, for driving runs through the
// exports: one state x' = rate, the settings block, and (when built with
// EXECUTION_TEST_MODEL_DEBUG_INFO) the debugger's zzlinenum, zzfilename and
// zzblockname. Every pass of its run loop moves through the debug positions
// (11, dynamic), (12, dynamic), (12, other), (13, dynamic), each with a
// zzdebugtick, then calls the test's onPass hook and integrates one interval.
// Hooks run on the run thread; set them before starting.

#include <atomic>
#include <cstdint>
#include <functional>

namespace execution_test {

struct ExecutionTestModel {
    static ExecutionTestModel& Get();
    static constexpr bool kHasDebugInfo = EXECUTION_TEST_MODEL_DEBUG_INFO != 0;

    // Registers the model and creates one instance; resets hooks and values.
    uint32_t Setup();
    // Sets the debug position (a no-op without debug information).
    void At(int32_t line, const char* block);

    double time = 0.0;
    double x = 0.0;
    double rate = 1.0;
    // The run ends once t reaches it; changed by tests while a run goes on.
    std::atomic<double> stopTime{1.0};
    std::atomic<uint32_t> initialSections{0};
    // Passes through the (12, dynamic) position.
    std::atomic<uint32_t> breakpointPasses{0};
    std::function<void(uint32_t instance)> onPass;
    double result = 0.0;
};

// Divides by zero at the given position and ticks there.
void DivideByZeroAt(int32_t line, const char* block);
// Underflows (to zero and to a subnormal number) there and ticks.
void UnderflowAt(int32_t line, const char* block);

}  // namespace execution_test
