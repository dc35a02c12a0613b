#include "RunObserver.h"

#include "ValueParser.h"

namespace {

// One registration per list; distinct values so each removal finds its own.
constexpr uint32_t kStatusUser = 1;
constexpr uint32_t kErrorUser = 2;
constexpr uint32_t kTickUser = 3;
constexpr uint32_t kStateUser = 4;

}  // namespace

RunObserver* RunObserver::active_ = nullptr;

RunObserver::~RunObserver() { Detach(); }

void RunObserver::Attach() {
    active_ = this;
    library_.OrvoAddStatusCallback(instance_, kStatusUser, &OnStatus);
    library_.OrvoAddErrorCallback(instance_, kErrorUser, &OnError);
    library_.OrvoAddTickCallbackFunction(instance_, kTickUser, &OnTick);
    library_.OrvoAddExecutionStateChangeCallbackFunction(instance_, kStateUser, &OnExecutionState);
    attached_ = true;
}

void RunObserver::Detach() {
    if (!attached_) return;
    library_.OrvoRemoveStatusCallback(instance_, kStatusUser, &OnStatus);
    library_.OrvoRemoveErrorCallback(instance_, kErrorUser, &OnError);
    library_.OrvoRemoveTickCallbackFunction(instance_, kTickUser, &OnTick);
    library_.OrvoRemoveExecutionStateChangeCallbackFunction(instance_, kStateUser, &OnExecutionState);
    attached_ = false;
    if (active_ == this) active_ = nullptr;
}

void RunObserver::Observe() {
    Attach();
    library_.OrvoStartBlocking(instance_);
    Detach();
}

void RunObserver::OnStatus(uint32_t, uint32_t, const char* text) {
    if (active_ != nullptr) active_->Status(text);
}

void RunObserver::OnError(uint32_t, uint32_t, uint32_t code, const char* text) {
    if (active_ == nullptr) return;
    ++active_->errorReports_;
    active_->OnErrorReport(code, text ? text : "");
}

void RunObserver::OnTick(uint32_t, uint32_t, OrvoTickType tick) {
    if (active_ != nullptr && tick == OrvoTickOutputPoint) active_->OnOutputPoint();
}

void RunObserver::OnExecutionState(uint32_t, uint32_t, OrvoExecutionState, OrvoExecutionState newState) {
    if (active_ != nullptr && newState == OrvoExecutionError) active_->endedInError_ = true;
}

void RunObserver::Status(const char* text) {
    if (text == nullptr) return;
    // A text may hold several messages, one per line; blank ones say nothing.
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        if (!Trim(line).empty()) {
            ++statusMessages_;
            OnStatusLine(line);
        }
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
}
