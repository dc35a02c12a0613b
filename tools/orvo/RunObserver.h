#pragma once

// Observes one blocking run through the library's callbacks: output points,
// status lines, error reports, and whether the run ended in the error state.
// Subclasses decide what to do with them.

#include <cstdint>
#include <string_view>

#include "OrvoLibrary.h"

class RunObserver {
public:
    RunObserver(const OrvoLibrary& library, uint32_t instance) : library_(library), instance_(instance) {}
    virtual ~RunObserver();
    RunObserver(const RunObserver&) = delete;
    RunObserver& operator=(const RunObserver&) = delete;

    // Registers the callbacks, runs (blocking), unregisters.
    void Observe();

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
};
