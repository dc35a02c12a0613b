#pragma once

// Observes one blocking run through the library's callbacks: output points,
// status lines, error reports, and whether the run ended in the error state.
// Subclasses decide what to do with them.

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "DoseRecords.h"
#include "OrvoLibrary.h"

class RunObserver {
public:
    RunObserver(const OrvoLibrary& library, uint32_t instance) : library_(library), instance_(instance) {}
    virtual ~RunObserver();
    RunObserver(const RunObserver&) = delete;
    RunObserver& operator=(const RunObserver&) = delete;

    // Registers the callbacks, runs (blocking), unregisters.
    void Observe();
    // The same, with doses: the run is taken from stop to stop (each output
    // time and each dose time) with the library's run-to-time, so that both
    // are exact on or off the communication grid. At each stop the doses due
    // are applied through `apply`, then an output time is recorded
    // (OnOutputPoint). The library's own output ticks are not recorded.
    // `outputTimes` ascend from the start time.
    void ObserveWithDoses(const DoseSchedule& schedule, const std::vector<double>& outputTimes,
                          const std::function<void(const DoseEvent&)>& apply);

    uint32_t StatusMessages() const { return statusMessages_; }
    uint32_t ErrorReports() const { return errorReports_; }
    bool EndedInError() const { return endedInError_; }

protected:
    virtual void OnOutputPoint() = 0;
    // One non-blank line of a status text.
    virtual void OnStatusLine(std::string_view line) = 0;
    virtual void OnErrorReport(uint32_t code, const char* text) = 0;

    const OrvoLibrary& library_;
    const uint32_t instance_;

private:
    // The callbacks carry only a 32-bit user value, not a pointer: they reach
    // the observer of the one run in progress through this.
    static RunObserver* active_;

    static void OnStatus(uint32_t instance, uint32_t userData, const char* text);
    static void OnError(uint32_t instance, uint32_t userData, uint32_t code, const char* text);
    static void OnTick(uint32_t instance, uint32_t userData, OrvoTickType tick);
    static void OnExecutionState(uint32_t instance, uint32_t userData, OrvoExecutionState oldState,
                                 OrvoExecutionState newState);

    void Status(const char* text);
    void Attach();
    void Detach();

    uint32_t statusMessages_ = 0;
    uint32_t errorReports_ = 0;
    bool endedInError_ = false;
    bool attached_ = false;
    bool recordTicks_ = true;
};
