#pragma once

#include "Options.h"
#include "OrvoLibrary.h"

// Exit codes of the host.
constexpr int kExitOk = 0;
constexpr int kExitRunFailed = 1;  // the run failed, or files could not be read or written
constexpr int kExitBadInput = 2;   // bad command line, unknown variable, bad value

// `orvo run`: applies the scenario files and --set values, runs the model once
// (blocking) and records the chosen variables at every output point.
int RunCommand(const OrvoLibrary& library, const Options& options);
