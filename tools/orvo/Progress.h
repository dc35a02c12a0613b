#pragma once

// The progress line on standard error: runs done of the total, runs per
// second and the time left; rewritten in place on a terminal, one line a
// second otherwise (with --progress). Silent when not enabled.

#include <chrono>
#include <cstddef>

class ProgressLine {
public:
    ProgressLine(std::size_t total, unsigned workers, bool enabled);
    void Update(std::size_t done);
    // The last line: runs, time taken and throughput.
    void Finish(std::size_t done);

    // A terminal on standard error, or `requested`.
    static bool Wanted(bool requested);

private:
    using Clock = std::chrono::steady_clock;
    std::size_t total_;
    unsigned workers_;
    bool enabled_;
    bool terminal_;
    Clock::time_point start_;
    Clock::time_point lastShown_;
};
