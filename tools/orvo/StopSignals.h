#pragma once

// SIGINT, SIGTERM and SIGHUP handled by one function while the object lives
// (the three blocked while it runs), their earlier dispositions put back when
// it goes. One ignored on entry (a background job's SIGINT, nohup's SIGHUP)
// stays ignored.

#include <csignal>
#include <iterator>

class StopSignalHandler {
public:
    StopSignalHandler(void (*handler)(int), int flags) {
        struct sigaction action {};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        for (const int signal : kSignals) sigaddset(&action.sa_mask, signal);
        action.sa_flags = flags;
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            sigaction(kSignals[i], &action, &saved_[i]);
            if (saved_[i].sa_handler == SIG_IGN) sigaction(kSignals[i], &saved_[i], nullptr);
        }
    }
    ~StopSignalHandler() {
        for (std::size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &saved_[i], nullptr);
    }
    StopSignalHandler(const StopSignalHandler&) = delete;
    StopSignalHandler& operator=(const StopSignalHandler&) = delete;

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction saved_[std::size(kSignals)] {};
};
