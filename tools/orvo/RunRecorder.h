#pragma once

// `orvo run`'s observer: writes a CSV row at every output point and passes
// status and error texts to stderr.

#include <cstdint>
#include <string>
#include <vector>

#include "CsvWriter.h"
#include "ModelVariables.h"
#include "OrvoLibrary.h"
#include "RunObserver.h"

class RunRecorder : public RunObserver {
public:
    // One CSV column: an element of a recorded variable.
    struct Column {
        ModelVariable variable;
        uint32_t offset = 0;
        std::string header;
    };

    RunRecorder(const OrvoLibrary& library, uint32_t instance, const ModelVariables& variables,
                std::vector<Column> columns, CsvWriter& writer);

    // Writes the header, runs, flushes.
    void Run();
    // The same with doses, recording at `outputTimes` (see ObserveWithDoses).
    void RunWithDoses(const DoseSchedule& schedule, const std::vector<double>& outputTimes,
                      const std::function<void(const DoseEvent&)>& apply);

    uint32_t Rows() const { return rows_; }
    bool WriteFailed() const { return writeFailed_; }
    const std::vector<Column>& Columns() const { return columns_; }

private:
    void OnOutputPoint() override;
    void OnStatusLine(std::string_view line) override;
    void OnErrorReport(uint32_t code, const char* text) override;

    const ModelVariables& variables_;
    std::vector<Column> columns_;
    CsvWriter& writer_;
    ModelVariable time_;
    std::vector<std::string> row_;  // reused for every row
    uint32_t rows_ = 0;
    bool haveLastTime_ = false;
    double lastTime_ = 0.0;
    bool writeFailed_ = false;
};
