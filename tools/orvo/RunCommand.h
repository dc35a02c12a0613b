#pragma once

#include "ExitCodes.h"
#include "Options.h"
#include "OrvoLibrary.h"

// `orvo run`: applies the scenario files and --set values, runs the model once
// (blocking) and records the chosen variables at every output point.
int RunCommand(const OrvoLibrary& library, const Options& options);
