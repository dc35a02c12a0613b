#pragma once

// What batch, sensitivity and merge share: reading a population's inputs,
// resolving them against the model before anything runs, running its runs
// in worker processes, and writing files.

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "Options.h"
#include "PopulationFile.h"
#include "PopulationPlan.h"
#include "PopulationTables.h"

struct PopulationSetup {
    std::string kind;  // "batch", "local" or "sobol"
    PopulationDefinition population;
    bool haveParams = false;  // batch --params
    ParameterTable params;
    std::string hash;  // of every input that defines the runs
    std::string libraryPath;
    double runTimeout = 0.0;  // seconds a run may take in its worker; 0: no limit
    RunPlan plan;
    std::vector<std::size_t> atIndices;
    std::vector<double> baseInputs;  // the inputs' values after the settings (local)
};

// Reads the scenario files, --set and (batch) the --params file. False with
// `error` naming the file and line.
bool ReadPopulationInputs(const Options& options, const std::string& kind, PopulationSetup& setup, std::string& error);

// The sampled variables of the population file, with the text each came from.
void SampledInputs(const PopulationSetup& setup, std::vector<ElementName>& inputs,
                   std::vector<std::string>& origins);

// Loads the library and resolves settings, `inputs`, outputs (--vars or the
// default set), output times and --at times; reads the inputs' values after
// the settings into baseInputs. The library is unloaded again before return,
// so that workers load their own. Returns an exit code: kExitOk, or
// kExitBadInput / kExitRunFailed with `error` set.
int ResolvePopulation(const Options& options, const std::vector<ElementName>& inputs,
                      const std::vector<std::string>& inputOrigins, PopulationSetup& setup, std::string& error);

// Runs [first, end) of the plan over `jobs` workers (0: one per core) and
// returns them as a table in run order. False with `error` when the workers
// fail (not when runs fail).
bool RunPopulation(const PopulationSetup& setup, std::size_t first, std::size_t end, unsigned jobs, bool progress,
                   PopulationTable& table, std::string& error);

// The runs of shard K/N of `total` (all when not sharded) and the part header
// describing them.
PartHeader MakePartHeader(const Options& options, const PopulationSetup& setup, std::size_t total);

// Writes DIR/NAME atomically; prints the error and returns false on failure.
bool WriteOutput(const std::string& directory, const std::string& name,
                 const std::function<void(std::ostream&)>& write);

// Whether a file can be created in the directory (tried with a scratch
// file); false with `error` set.
bool CheckWritable(const std::string& directory, std::string& error);

// The --out directory (default "."), created when missing and checked for
// writing, and the --plot file's folder checked: before any run.
bool PrepareOutputDirectory(const Options& options, std::string& directory);

// kExitOk when every run is ok; else says how many failed and returns
// kExitSomeRunsFailed. `excluded` adds that they are left out of the summary.
int ReportFailedRuns(const PopulationTable& table, bool excluded);

// Prints "orvo: MESSAGE" on standard error.
void Complain(const std::string& message);

// "0,24,48" and back, for part headers.
std::string TimeList(const std::vector<double>& times);
bool ParseTimeList(const std::string& text, std::vector<double>& times);
