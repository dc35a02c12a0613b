#include "RunObserver.h"

#include "ValueParser.h"

#include <algorithm>
#include <cmath>

namespace {

// One registration per list; distinct values so each removal finds its own.
constexpr uint32_t kStatusUser = 1;
constexpr uint32_t kErrorUser = 2;
constexpr uint32_t kTickUser = 3;
constexpr uint32_t kStateUser = 4;
// The derivative section a run evaluates.
constexpr uint32_t kRunDerivativeSection = 500;

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

void RunObserver::ObserveWithDoses(const DoseSchedule& schedule, const std::vector<double>& outputTimes,
                                   const std::function<void(const DoseEvent&)>& apply) {
    Attach();
    recordTicks_ = false;
    // Each stop ends a run of the library, which writes the integrator's
    // statistics when asked: only the last one does.
    const uint32_t statistics = library_.OrvoGetSymbolIndex("wesitg");
    const bool statisticsWanted = statistics != 0 && library_.OrvoGetBool(instance_, statistics);
    if (statisticsWanted) library_.OrvoSetBool(instance_, statistics, false);
    library_.OrvoPreStep(instance_);
    const uint32_t timeVariable = 1;
    const auto now = [&] { return library_.OrvoGetDouble(instance_, timeVariable); };
    const auto same = SameDoseTime;
    std::size_t nextOutput = 0, nextDose = 0;
    const std::vector<DoseEvent>& doses = schedule.events;
    while (!endedInError_ && (nextOutput < outputTimes.size() || nextDose < doses.size())) {
        const double outputAt = nextOutput < outputTimes.size() ? outputTimes[nextOutput] : HUGE_VAL;
        const double doseAt = nextDose < doses.size() ? doses[nextDose].time : HUGE_VAL;
        // Doses past the last output time change nothing that is recorded.
        if (nextOutput == outputTimes.size()) break;
        // A dose a rounding before an output time is applied at it: the row
        // stays on the grid, and the run does not stop short of it.
        const double stop = same(doseAt, outputAt) ? outputAt : std::min(outputAt, doseAt);
        if (statisticsWanted && nextOutput + 1 == outputTimes.size() && stop == outputAt)
            library_.OrvoSetBool(instance_, statistics, true);
        if (stop > now()) library_.OrvoRunToTime(instance_, stop);
        if (endedInError_ || !same(now(), stop)) break;  // stopped early: the caller sees the time
        bool dosed = false;
        for (; nextDose < doses.size() && same(doses[nextDose].time, stop); dosed = true) apply(doses[nextDose++]);
        if (same(outputAt, stop)) {
            // The row shows the doses: what the derivative section computes
            // from the states and constants they changed is computed anew.
            if (dosed) library_.OrvoCalcDeriv(instance_, kRunDerivativeSection);
            OnOutputPoint();
            ++nextOutput;
        }
    }
    if (statisticsWanted) library_.OrvoSetBool(instance_, statistics, true);
    recordTicks_ = true;
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
    if (active_ != nullptr && active_->recordTicks_ && tick == OrvoTickOutputPoint) active_->OnOutputPoint();
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
