#pragma once

#include "PopulationTables.h"
#include "Options.h"

// `orvo sensitivity local`: normalised local coefficients by central differences.
int LocalSensitivityCommand(const Options& options);

// `orvo sensitivity sobol`: Sobol indices over a population file's distributions.
int SobolSensitivityCommand(const Options& options);

// sobol.csv from the runs of a Sobol design (also used by merge).
// `baseRuns` and `bootstrap` as in the part header; false when the table does
// not fit the design.
bool WriteSobolTable(const PopulationTable& table, std::size_t baseRuns, std::size_t bootstrap, uint64_t seed,
                     const std::string& directory);
