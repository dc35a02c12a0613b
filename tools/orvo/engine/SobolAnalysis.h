#pragma once

// Sobol indices of every recorded output at every tabulated time, from the
// runs of a Saltelli design: the estimates and what a reader should be told.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "RunRecord.h"
#include "SobolIndices.h"

// Fewer base rows give estimates that say nothing: a design is refused with
// fewer, and indices are left empty when failed runs leave fewer usable.
constexpr std::size_t kMinSobolRows = 10;

struct SobolAnalysis {
    // results[o][a]: the indices of every parameter for output o at the a-th tabulated time.
    std::vector<std::vector<SobolResult>> results;
    std::vector<std::vector<bool>> usable;  // enough usable base rows to report
    std::vector<std::string> notes;         // warnings and rows left out, in table order
};

// Throws PopulationError (Failure) when the table's runs do not form a
// design of `baseRuns` base rows over its inputs.
SobolAnalysis AnalyseSobol(const PopulationTable& table, std::size_t baseRuns, std::size_t bootstrap, uint64_t seed);
