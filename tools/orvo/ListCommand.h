#pragma once

#include <ostream>

#include "OrvoLibrary.h"

// `orvo list`: prints the model's symbol table.
int ListCommand(int argc, char** argv);

// One aligned row per variable (number, name, symbol type, data type,
// dimensions, whether `run --set` accepts it) under a header line.
int ListVariables(const OrvoLibrary& library, std::ostream& out);
