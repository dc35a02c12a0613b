#include "RunRecorder.h"

#include <cstdio>
#include <string_view>

#include "ValueParser.h"

namespace {

// One registration per list; distinct values so each removal finds its own.
constexpr uint32_t kStatusUser = 1;
constexpr uint32_t kErrorUser = 2;
constexpr uint32_t kTickUser = 3;
constexpr uint32_t kStateUser = 4;

}  // namespace

RunRecorder* RunRecorder::active_ = nullptr;

RunRecorder::RunRecorder(const OrvoLibrary& library, uint32_t instance, const ModelVariables& variables,
                         std::vector<Column> columns, CsvWriter& writer)
    : library_(library), instance_(instance), variables_(variables), columns_(std::move(columns)),
      writer_(writer), time_(variables.At(1)) {}

RunRecorder::~RunRecorder() { Detach(); }

void RunRecorder::Attach() {
    active_ = this;
    library_.OrvoAddStatusCallback(instance_, kStatusUser, &OnStatus);
    library_.OrvoAddErrorCallback(instance_, kErrorUser, &OnError);
    library_.OrvoAddTickCallbackFunction(instance_, kTickUser, &OnTick);
    library_.OrvoAddExecutionStateChangeCallbackFunction(instance_, kStateUser, &OnExecutionState);
    attached_ = true;
}

void RunRecorder::Detach() {
    if (!attached_) return;
    library_.OrvoRemoveStatusCallback(instance_, kStatusUser, &OnStatus);
    library_.OrvoRemoveErrorCallback(instance_, kErrorUser, &OnError);
    library_.OrvoRemoveTickCallbackFunction(instance_, kTickUser, &OnTick);
    library_.OrvoRemoveExecutionStateChangeCallbackFunction(instance_, kStateUser, &OnExecutionState);
    attached_ = false;
    if (active_ == this) active_ = nullptr;
}

void RunRecorder::Run() {
    row_.clear();
    for (const Column& column : columns_) row_.push_back(column.header);
    writer_.WriteRow(row_);
    Attach();
    library_.OrvoStartBlocking(instance_);
    Detach();
    if (!writer_.Flush()) writeFailed_ = true;
}

void RunRecorder::OnStatus(uint32_t, uint32_t, const char* text) {
    if (active_ != nullptr) active_->Status(text);
}

void RunRecorder::OnError(uint32_t, uint32_t, uint32_t code, const char* text) {
    if (active_ == nullptr) return;
    ++active_->errorReports_;
    std::fprintf(stderr, "error %u: %s\n", code, text ? text : "");
}

void RunRecorder::OnTick(uint32_t, uint32_t, OrvoTickType tick) {
    if (active_ != nullptr && tick == OrvoTickOutputPoint) active_->Tick();
}

void RunRecorder::OnExecutionState(uint32_t, uint32_t, OrvoExecutionState, OrvoExecutionState newState) {
    if (active_ != nullptr && newState == OrvoExecutionError) active_->endedInError_ = true;
}

void RunRecorder::Status(const char* text) {
    if (text == nullptr) return;
    // A text may hold several messages, one per line; blank ones say nothing.
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        if (!Trim(line).empty()) {
            ++statusMessages_;
            std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
        }
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
}

void RunRecorder::Tick() {
    if (writeFailed_) return;
    // The run ticks once more when it ends, usually at the time of the last
    // output point: one row per time.
    const double now = variables_.ReadNumber(time_);
    if (haveLastTime_ && now == lastTime_) return;
    haveLastTime_ = true;
    lastTime_ = now;
    for (std::size_t i = 0; i < columns_.size(); ++i)
        row_[i] = variables_.ReadText(columns_[i].variable, columns_[i].offset);
    writer_.WriteRow(row_);
    if (!writer_.Good()) {
        writeFailed_ = true;
        library_.OrvoStop(instance_);  // no point in running on without output
        return;
    }
    ++rows_;
}
