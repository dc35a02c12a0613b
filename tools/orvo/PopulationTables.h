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
// part file    '#' header lines (key=value), then run, inputs, status,
//              message and OUT@T for every output time

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "RunRecord.h"

void WriteRunsTable(const PopulationTable& table, std::ostream& out);
void WriteSummaryTable(const PopulationTable& table, std::ostream& out);

// Number of runs whose status is not ok (left out of the summary).
std::size_t FailedRuns(const PopulationTable& table);

// Per-run measures of output `output`: the maximum over the output points
// (and its first time), the trapezoidal area under the curve and the final
// value. False when the run has a missing or non-finite value.
struct OutputMeasures {
    double max = 0.0, tmax = 0.0, auc = 0.0, final = 0.0;
};
bool MeasureOutput(const PopulationTable& table, const RunRecord& record, std::size_t output, OutputMeasures& measures);

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

// Checks that the parts are the shards 0..N-1 of one population and joins
// them; `names` label the messages.
bool JoinParts(const std::vector<std::string>& names, const std::vector<PartHeader>& headers,
               std::vector<PopulationTable>& tables, PopulationTable& joined, std::string& error);
