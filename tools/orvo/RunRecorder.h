#pragma once

// Observes one blocking run through the library's callbacks: writes a CSV row
// at every output point, passes status and error texts to stderr, and notes
// whether the run ended in the error state.

#include <cstdint>
#include <string>
#include <vector>

#include "CsvWriter.h"
#include "ModelVariables.h"
#include "OrvoLibrary.h"

class RunRecorder {
public:
    // One CSV column: an element of a recorded variable.
    struct Column {
        ModelVariable variable;
        uint32_t offset = 0;
        std::string header;
    };

    RunRecorder(const OrvoLibrary& library, uint32_t instance, const ModelVariables& variables,
                std::vector<Column> columns, CsvWriter& writer);
    ~RunRecorder();
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    // Writes the header, registers the callbacks, runs, unregisters.
    void Run();

    uint32_t Rows() const { return rows_; }
    uint32_t StatusMessages() const { return statusMessages_; }
    uint32_t ErrorReports() const { return errorReports_; }
    bool EndedInError() const { return endedInError_; }
    bool WriteFailed() const { return writeFailed_; }
    const std::vector<Column>& Columns() const { return columns_; }

private:
    // The callbacks carry only a 32-bit user value, not a pointer: they reach
    // the recorder of the one run in progress through this.
    static RunRecorder* active_;

    static void OnStatus(uint32_t instance, uint32_t userData, const char* text);
    static void OnError(uint32_t instance, uint32_t userData, uint32_t code, const char* text);
    static void OnTick(uint32_t instance, uint32_t userData, OrvoTickType tick);
    static void OnExecutionState(uint32_t instance, uint32_t userData, OrvoExecutionState oldState,
                                 OrvoExecutionState newState);

    void Status(const char* text);
    void Tick();
    void Attach();
    void Detach();

    const OrvoLibrary& library_;
    uint32_t instance_;
    const ModelVariables& variables_;
    std::vector<Column> columns_;
    CsvWriter& writer_;
    ModelVariable time_;
    std::vector<std::string> row_;  // reused for every row
    uint32_t rows_ = 0;
    bool haveLastTime_ = false;
    double lastTime_ = 0.0;
    uint32_t statusMessages_ = 0;
    uint32_t errorReports_ = 0;
    bool endedInError_ = false;
    bool writeFailed_ = false;
    bool attached_ = false;
};
