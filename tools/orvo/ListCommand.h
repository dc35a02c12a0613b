#pragma once

#include <ostream>

#include "OrvoLibrary.h"

// `orvo list`: one aligned row per variable (number, name, symbol type, data
// type, dimensions, whether `run --set` accepts it) under a header line.
int ListCommand(const OrvoLibrary& library, std::ostream& out);
