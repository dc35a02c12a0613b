#pragma once

#include <cstdint>

class OrvoSimRuntime;

// Decides on which thread a simulation runs and holds the debugger's state.
// Today it only records the runtime it belongs to and the instance it drives
// (the most recently created one), and offers the per-interval debug tick as
// a no-op; starting runs and the debugger are still to be built on it.
class OrvoSimExecutionManager {
public:
    OrvoSimExecutionManager() = default;
    virtual ~OrvoSimExecutionManager() = default;
    OrvoSimExecutionManager(const OrvoSimExecutionManager&) = delete;
    OrvoSimExecutionManager& operator=(const OrvoSimExecutionManager&) = delete;

    void SetRuntime(OrvoSimRuntime* runtime) { runtime_ = runtime; }
    OrvoSimRuntime* GetRuntime() const { return runtime_; }
    // The instance that the start operations run.
    void SetInstance(uint32_t instance) { instance_ = instance; }
    uint32_t GetInstance() const { return instance_; }

    // Called once per communication interval after the solver's step.
    void DebugTick();

private:
    OrvoSimRuntime* runtime_ = nullptr;
    uint32_t instance_ = 1;
};
