#pragma once

// The command line of the host:
//   orvo list|run|batch|merge|sensitivity local|sensitivity sobol [options]

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ValueParser.h"

// Bootstrap replicates of Sobol intervals: the bound of --bootstrap and of
// a part header's bootstrap=.
constexpr std::size_t kMaxBootstrap = 100000;

struct Options {
    std::string command;                  // list, run, batch, merge, sensitivity; empty with help
    std::string method;                   // sensitivity: local or sobol
    std::string libraryPath;              // empty: the library beside the executable
    std::vector<std::string> scenarios;   // --scenario files, applied in order
    std::vector<Assignment> settings;     // --set, applied after the scenarios
    std::string dosesFile;                // --doses: dose records (run)
    std::string outputFile;               // --out: the CSV of run (empty: stdout), else a directory
    std::vector<std::string> variables;   // --vars; empty: the default set
    std::vector<double> atTimes;          // --at
    std::string params;                   // --params: batch a CSV file, sensitivity local a name list
    unsigned jobs = 0;                    // --jobs; 0: one per core
    bool sharded = false;                 // --shard K/N
    std::size_t shard = 0;
    std::size_t shards = 1;
    std::string plotFile;                 // --plot
    bool progress = false;
    uint64_t runs = 0;                    // --runs; 0: from the population file
    std::size_t bootstrap = 100;          // --bootstrap
    double step = 0.01;                   // --step
    double runTimeout = 0.0;              // --run-timeout seconds; 0: none
    std::vector<std::string> parts;       // merge: the part files
    std::vector<std::string> given;       // the options given, for "does not apply" checks
    bool summary = false;
    bool help = false;
};

// False with `error` set on an unknown option, a missing or malformed
// argument, or an option the command does not take.
bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error);

// The usage text of one command (all commands when empty).
std::string UsageText(const std::string& command = "");
