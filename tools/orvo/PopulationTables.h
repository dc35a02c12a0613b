#pragma once

// The population's CSV tables and part files. Numbers are written in their
// shortest exact form and rows in run order, so the tables of one
// population are the same bytes whether one process, several workers or
// merged shards produced them.
//
// runs.csv     run, the varied inputs, status, message, then per output
//              OUT@T for each --at time, OUT_max, OUT_tmax, OUT_auc, OUT_final
// summary.csv  variable,time,n,mean,sd,p2.5,p5,p25,p50,p75,p95,p97.5: one row
//              per output and output time, over the runs with status ok
// part file    '#' header lines (key=value), the column header run, inputs,
//              status, message and OUT@T for every output time, then per run
//              run, inputs, status, message and the OUT@T values packed in
//              one field: 11 characters of base 64 a value holding its 64
//              bits, so that merge gets back exactly the numbers of the run
//              ('# values=packed'; without that line, one decimal field each)

#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "CsvWriter.h"
#include "ContentHash.h"
#include "RunRecord.h"
#include "Statistics.h"

void WriteRunsTable(const PopulationTable& table, std::ostream& out);
void WriteSummaryTable(const PopulationTable& table, std::ostream& out);

// Number of runs whose status is not ok (left out of the summary).
std::size_t FailedRuns(const PopulationTable& table);

// Runs by outcome, counted as they pass.
struct RunCounts {
    std::size_t runs = 0, failed = 0, lost = 0;
    void Add(const RunRecord& record);
};
RunCounts CountRuns(const PopulationTable& table);

// Hands records on in run order from `first` as they arrive in any order,
// holding only those that arrive ahead of an earlier run.
class RunOrder {
public:
    RunOrder(std::size_t first, std::function<void(RunRecord&&)> next) : next_(first), hand_(std::move(next)) {}
    void Add(RunRecord&& record);
    std::size_t Waiting() const { return early_.size(); }

private:
    std::size_t next_;
    std::function<void(RunRecord&&)> hand_;
    std::map<std::size_t, RunRecord> early_;
};

// runs.csv one run at a time, in the order given (run order).
class RunsTableWriter {
public:
    // Writes the column header.
    RunsTableWriter(const PopulationColumns& columns, std::ostream& out);
    void Add(const RunRecord& record);

private:
    const PopulationColumns& columns_;
    std::ostream& out_;
    std::string line_;
};

// The summary of each output at each output time, output-major, over the
// runs with status ok, in run order.
std::vector<PopulationSummary> SummarizeTable(const PopulationTable& table);
void WriteSummaryRows(const PopulationColumns& columns, const std::vector<PopulationSummary>& summaries,
                      std::ostream& out);

// The summary of a population too large to hold: each run's values go to a
// block in memory and each full block to a scratch file (unlinked at once,
// so nothing is left behind), stored column by column; Summaries reads one
// column at a time back, so memory is one block plus one column, and the
// result is exactly that of SummarizeTable on the same runs in the same
// order. A population that fits in one block is summarized from memory.
// Memory for a large table, its values unset. Blocks of megabytes are mapped
// with huge pages where the system grants them: filled once and read once,
// they would otherwise cost a page fault every 4 KB.
class LargeBlock {
public:
    LargeBlock() = default;
    explicit LargeBlock(std::size_t count);
    ~LargeBlock();
    LargeBlock(LargeBlock&& other) noexcept;
    LargeBlock& operator=(LargeBlock&& other) noexcept;
    double* get() const { return data_; }
    double& operator[](std::size_t k) const { return data_[k]; }
    explicit operator bool() const { return data_ != nullptr; }
    void reset() { *this = LargeBlock(); }

private:
    double* data_ = nullptr;
    std::size_t bytes_ = 0;  // mapped; 0 for a heap block
};

class SummarySpill {
public:
    SummarySpill() = default;
    ~SummarySpill();
    SummarySpill(const SummarySpill&) = delete;
    SummarySpill& operator=(const SummarySpill&) = delete;

    // The scratch file in `directory`; `blockBytes` bounds the block buffer,
    // and so does `runs` when no more runs than that will be added. Runs
    // that fit in one block stay in memory and never reach the file.
    bool Open(const std::string& directory, std::size_t values, std::string& error,
              std::size_t blockBytes = std::size_t{32} << 20, std::size_t runs = SIZE_MAX);
    // Runs in run order; the values of a run that is not ok are left out.
    void Add(const RunRecord& record);
    bool Summaries(std::vector<PopulationSummary>& summaries, std::string& error);
    // Why writing the scratch file failed; empty while it has not.
    const std::string& error() const { return error_; }

private:
    bool WriteBlock();

    int fd_ = -1;
    std::size_t values_ = 0;
    std::size_t blockRuns_ = 0;
    std::size_t inBlock_ = 0;
    std::size_t blocks_ = 0;  // full blocks written
    LargeBlock block_;  // blockRuns_ rows of values_
    std::string error_;
};

// Per-run measures of output `output`: the maximum over the output points
// (and its first time), the trapezoidal area under the curve and the final
// value. False when the run has a missing or non-finite value.
struct OutputMeasures {
    double max = 0.0, tmax = 0.0, auc = 0.0, final = 0.0;
};
bool MeasureOutput(const PopulationColumns& table, const RunRecord& record, std::size_t output, OutputMeasures& measures);

struct PartHeader {
    std::string kind;  // "batch" or "sobol"
    std::string hash;  // of everything that defines the population
    uint64_t seed = 0;
    std::size_t shard = 0;
    std::size_t shards = 1;
    std::size_t firstRun = 0;  // the part's runs: [firstRun, endRun) of totalRuns
    std::size_t endRun = 0;
    std::size_t totalRuns = 0;
    std::vector<std::pair<std::string, std::string>> extra;  // kind-specific settings, in order

    std::string Extra(const std::string& key) const;
};

// The runs [first, end) of shard K of N among `total`.
std::pair<std::size_t, std::size_t> ShardRange(std::size_t total, std::size_t shard, std::size_t shards);

// "part-K-of-N.csv".
std::string PartFileName(const PartHeader& header);

void WritePart(const PartHeader& header, const PopulationTable& table, std::ostream& out);
// False with `error` ("FILE:LINE: ...") when the file is no complete part.
bool ReadPart(std::istream& in, const std::string& fileName, PartHeader& header, PopulationTable& table,
              std::string& error);

// A part file one run at a time; End writes the end line with the checksum
// of everything before it.
class PartWriter {
public:
    // Writes the header lines and the column header.
    PartWriter(const PartHeader& header, const PopulationColumns& columns, std::ostream& out);
    ~PartWriter();
    void Add(const RunRecord& record);
    void End();
    // False once a write has failed.
    bool Good() const { return out_.good() && destination_.good(); }

private:
    std::ostream& destination_;
    ContentHash hash_;
    std::unique_ptr<std::streambuf> hashing_;
    std::ostream out_;
    CsvWriter writer_;
    std::vector<std::string> row_;
};

// Reads a part file one run at a time: ReadHeader, then Next until it
// returns false; the part is complete when Done() (the end line was
// reached, its checksum and the run count agree). Errors are
// "FILE:LINE: ...".
class PartReader {
public:
    PartReader(std::istream& in, std::string fileName) : in_(in), fileName_(std::move(fileName)) {}
    bool ReadHeader(PartHeader& header, PopulationColumns& columns, std::string& error);
    bool Next(RunRecord& record, std::string& error);
    bool Done() const { return ended_; }

private:
    bool Fail(const std::string& what, std::string& error) const;

    std::istream& in_;
    std::string fileName_;
    int lineNumber_ = 0;
    ContentHash hash_;
    PartHeader header_;
    std::size_t statusColumn_ = 0;
    std::size_t values_ = 0;
    std::size_t runsRead_ = 0;
    bool ended_ = false;
    bool packed_ = false;  // the values of a run in one field (see PartWriter)
    std::string line_;
    std::vector<std::string> fields_;
};

// Whether the part is complete and its content matches the checksum of its
// end line, without reading its numbers; false with `error` otherwise.
bool VerifyPartChecksum(std::istream& in, const std::string& fileName, std::string& error);

// Checks that the parts are the shards 0..N-1 of one population, from their
// headers and columns; `order` gets the parts' indices in shard order.
// `names` label the messages.
bool CheckParts(const std::vector<std::string>& names, const std::vector<PartHeader>& headers,
                const std::vector<PopulationColumns>& columns, std::vector<std::size_t>& order, std::string& error);

// CheckParts, then the runs of all parts joined in run order.
bool JoinParts(const std::vector<std::string>& names, const std::vector<PartHeader>& headers,
               std::vector<PopulationTable>& tables, PopulationTable& joined, std::string& error);
