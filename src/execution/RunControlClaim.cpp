#include "execution/RunControlClaim.h"

namespace {

// Whether the calling thread holds a claim.
thread_local bool holdsClaim = false;

}  // namespace

RunControlClaim::RunControlClaim(std::mutex& mutex, bool reentrant) {
    if (reentrant || holdsClaim) {
        refusal_ = Refusal::Reentrant;
    } else if (!mutex.try_lock()) {
        refusal_ = Refusal::Busy;
    } else {
        held_ = &mutex;
        holdsClaim = true;
        refusal_ = Refusal::None;
    }
}

RunControlClaim::RunControlClaim(RunControlClaim&& other) noexcept
    : held_(other.held_), refusal_(other.refusal_) {
    other.held_ = nullptr;
    other.refusal_ = Refusal::Unavailable;
}

RunControlClaim::~RunControlClaim() {
    if (!held_) return;
    holdsClaim = false;
    held_->unlock();
}
