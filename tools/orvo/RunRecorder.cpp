#include "RunRecorder.h"

#include <cstdio>

RunRecorder::RunRecorder(const OrvoLibrary& library, uint32_t instance, const ModelVariables& variables,
                         std::vector<Column> columns, CsvWriter& writer)
    : RunObserver(library, instance), variables_(variables), columns_(std::move(columns)), writer_(writer),
      time_(variables.At(1)) {}

void RunRecorder::Run() {
    row_.clear();
    for (const Column& column : columns_) row_.push_back(column.header);
    writer_.WriteRow(row_);
    Observe();
    if (!writer_.Flush()) writeFailed_ = true;
}

void RunRecorder::RunWithDoses(const DoseSchedule& schedule, const std::vector<double>& outputTimes,
                               const std::function<void(const DoseEvent&)>& apply) {
    row_.clear();
    for (const Column& column : columns_) row_.push_back(column.header);
    writer_.WriteRow(row_);
    ObserveWithDoses(schedule, outputTimes, apply);
    if (!writer_.Flush()) writeFailed_ = true;
}

void RunRecorder::OnStatusLine(std::string_view line) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

void RunRecorder::OnErrorReport(uint32_t code, const char* text) {
    std::fprintf(stderr, "error %u: %s\n", code, text);
}

void RunRecorder::OnOutputPoint() {
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
