#pragma once

#include <memory>
#include <string>
#include <vector>

#include "AtomicFile.h"
#include "ModelMetadata.h"
#include "PopulationTables.h"

// `orvo batch`: runs a population (distributions of a population file, or
// the rows of --params) and writes runs.csv and summary.csv, or with
// --shard K/N the part file part-K-of-N.csv.
int BatchCommand(int argc, char** argv);

// runs.csv, summary.csv and (with a plot file) the band plot of a whole
// batch, written run by run in run order: runs.csv goes to its temporary
// file as runs are added, the summary's values to a scratch file; memory
// does not grow with the number of runs.
class BatchTables {
public:
    // Opens runs.csv's temporary file and the scratch file in `directory`
    // for `runs` runs; false after saying why not.
    bool Open(const PopulationColumns& columns, const std::string& directory, std::size_t runs);
    void Add(const RunRecord& record);
    // Completes runs.csv, writes summary.csv and the plot of the outputs
    // named in `plotted` (all when empty); the exit code.
    // The plot's axes carry the units `metadata` gives.
    int Finish(const std::string& plotFile, const std::vector<std::string>& plotted, const ModelMetadata& metadata);

private:
    PopulationColumns columns_;
    std::string directory_;
    AtomicFileWriter runs_;
    std::unique_ptr<RunsTableWriter> runsWriter_;
    SummarySpill spill_;
    RunCounts counts_;
};
