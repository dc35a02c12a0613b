#pragma once

// The command line of the host: `orvo list|run [options]`.

#include <string>
#include <vector>

#include "ValueParser.h"

struct Options {
    std::string command;                  // "list" or "run"; empty with help
    std::string libraryPath;              // empty: the library beside the executable
    std::vector<std::string> scenarios;   // --scenario files, applied in order
    std::vector<Assignment> settings;     // --set, applied after the scenarios
    std::string outputFile;               // empty: standard output
    std::vector<std::string> variables;   // --vars; empty: the default set
    bool summary = false;
    bool help = false;
};

// False with `error` set on an unknown option, a missing argument, an option
// the command does not take, or a malformed NAME=VALUE.
bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error);

const char* UsageText();
