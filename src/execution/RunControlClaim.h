#pragma once

#include <mutex>

// The right of one host call to start a run or to change the instance table.
// One thread holds it at a time, for as long as the call lasts (a blocking
// run included), and never twice: a callback reached from inside such a call
// cannot take it again. Refused claims hold nothing.
class RunControlClaim {
public:
    enum class Refusal { None, Reentrant, Busy, Unavailable };

    // Refused as Unavailable.
    RunControlClaim() = default;
    // Refused as Reentrant when `reentrant` or when this thread already holds
    // a claim, as Busy when another thread holds one.
    RunControlClaim(std::mutex& mutex, bool reentrant);
    RunControlClaim(RunControlClaim&& other) noexcept;
    RunControlClaim& operator=(RunControlClaim&&) = delete;
    RunControlClaim(const RunControlClaim&) = delete;
    RunControlClaim& operator=(const RunControlClaim&) = delete;
    ~RunControlClaim();

    explicit operator bool() const { return refusal_ == Refusal::None; }
    Refusal GetRefusal() const { return refusal_; }

private:
    std::mutex* held_ = nullptr;
    Refusal refusal_ = Refusal::Unavailable;
};
