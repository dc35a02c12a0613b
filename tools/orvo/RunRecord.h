#pragma once

// What one run of a population yields, and the population's table of them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class RunStatus : uint32_t { Ok = 0, Error = 1, NonFinite = 2, Stopped = 3, Timeout = 4, Lost = 5 };
const char* RunStatusName(RunStatus status);
bool ParseRunStatus(std::string_view text, RunStatus& status);

struct RunRecord {
    uint32_t run = 0;
    std::vector<double> inputs;  // the varied values, one per input column
    RunStatus status = RunStatus::Ok;
    std::string message;  // the first message of a failed run
    std::vector<double> values;  // output-major: values[output * times + i]; NaN where not reached
};

// The columns of a population's tables: what each run's record holds.
struct PopulationColumns {
    std::vector<std::string> inputs;  // column headers of the varied elements
    std::vector<std::string> outputs;  // recorded elements
    std::vector<double> times;  // the output points
    std::vector<std::size_t> atIndices;  // --at times, as indices into `times`

    std::size_t Values() const { return outputs.size() * times.size(); }
    double Value(const RunRecord& record, std::size_t output, std::size_t time) const {
        return record.values[output * times.size() + time];
    }
};

// Everything the tables are made of, whether from workers or from parts.
struct PopulationTable : PopulationColumns {
    std::vector<RunRecord> records;  // ascending run index
};
