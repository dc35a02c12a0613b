#pragma once

// One host session with the model library: the library initialized, one
// instance created, and everything the run reports (status texts, output
// points, execution states) recorded. The model keeps one static copy of its
// variables, so a session first puts back every scalar variable's value from
// the first load: sessions in one process do not see each other's settings.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ModelLibrary.h"
#include "Trajectory.h"

class HostSession {
public:
    HostSession();
    // Finalizes the library, which also ends a background run still going.
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    const ModelLibrary& Library() const { return library_; }
    uint32_t Instance() const { return instance_; }

    double Get(const char* name) const;
    void Set(const char* name, double value);
    int32_t GetLong(const char* name) const;
    void SetLong(const char* name, int32_t value);

    // The example scenario: 200 ug/day iodide, 0.007 mg/kg/day perchlorate
    // from t = 0, reported daily up to `stopTime` hours.
    void SetExampleScenario(double stopTime = 2400);
    // Integration algorithm and tolerances of every state, in the descriptors
    // (the next run's initialization applies them to the integrator).
    void SetAlgorithm(int32_t algorithm) { SetLong("ialg", algorithm); }
    void SetStateTolerances(double relative, double absolute);
    // The 42 state names, in variable order.
    std::vector<std::string> StateNames() const;

    // Variables read at every output point (after the time), by name.
    void SampleAtOutputPoints(const std::vector<std::string>& names);
    // What the run reported so far. Safe while a background run goes on.
    Trajectory Samples() const;
    std::vector<int> ExecutionStates() const;
    std::string Messages() const;
    std::size_t OutputPoints() const;

    bool WaitForExecutionState(OrvoExecutionState state, std::chrono::seconds timeout);
    bool WaitForOutputPoints(std::size_t count, std::chrono::seconds timeout);

private:
    static void OnStatus(uint32_t instance, uint32_t userData, const char* text);
    static void OnTick(uint32_t instance, uint32_t userData, OrvoTickType tick);
    static void OnExecutionState(uint32_t instance, uint32_t userData, OrvoExecutionState oldState,
                                 OrvoExecutionState newState);
    void RestoreFirstLoadValues();

    const ModelLibrary& library_;
    uint32_t instance_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint32_t> sampled_;
    Trajectory samples_;
    std::vector<int> states_;
    std::string messages_;
};
