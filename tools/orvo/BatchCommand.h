#pragma once

#include <string>
#include <vector>

#include "ModelMetadata.h"
#include "PopulationTables.h"

// `orvo batch`: runs a population (distributions of a population file, or
// the rows of --params) and writes runs.csv and summary.csv, or with
// --shard K/N the part file part-K-of-N.csv.
int BatchCommand(int argc, char** argv);

// runs.csv, summary.csv and (with `plotFile`) the band plot of the outputs
// named in `plotted` (all when empty) of a whole batch, labelled with the
// units `metadata` gives; the exit code.
int WriteBatchTables(const PopulationTable& table, const std::string& directory, const std::string& plotFile,
                     const std::vector<std::string>& plotted, const ModelMetadata& metadata);
