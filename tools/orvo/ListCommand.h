#pragma once

#include <ostream>

#include "ModelMetadata.h"
#include "OrvoLibrary.h"

// `orvo list`: prints the model's symbol table.
int ListCommand(int argc, char** argv);

// One aligned row per variable (number, name, symbol type, data type,
// dimensions, whether `run --set` accepts it) under a header line.
int ListVariables(const OrvoLibrary& library, const ModelMetadata& metadata, std::ostream& out);
