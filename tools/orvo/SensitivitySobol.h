#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "PopulationTables.h"

// `orvo sensitivity sobol`: Sobol indices over a population file's distributions.
int SobolSensitivityCommand(int argc, char** argv);

// sobol.csv from the runs of a Sobol design (also used by merge), with
// warnings on standard error. `baseRuns` and `bootstrap` as in the part
// header; false when the table does not fit the design or cannot be written.
bool WriteSobolTable(const PopulationTable& table, std::size_t baseRuns, std::size_t bootstrap, uint64_t seed,
                     const std::string& directory);
