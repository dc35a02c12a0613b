#pragma once

// The population engine behind batch, sensitivity and merge: reads a
// population's inputs, resolves them against the model before anything runs,
// lays out the design, runs it in worker processes and describes the parts.
// Values in, values out: no command-line options, exit codes or printing;
// refusals are PopulationError exceptions carrying the message.

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "PopulationFile.h"
#include "PopulationPlan.h"
#include "PopulationTables.h"

class FolderLock;
class OrvoLibrary;

// Which input a message is about when the message itself does not say: the
// caller names it (a command line prefixes the option).
enum class PopulationInput { None, Scenario, Params, Outputs, AtTimes, Plot };

class PopulationError : public std::runtime_error {
public:
    enum class Kind { BadInput, Failure };  // the input is refused; the library or a file failed
    PopulationError(Kind kind, const std::string& message, PopulationInput input = PopulationInput::None)
        : std::runtime_error(message), kind_(kind), input_(input) {}
    Kind kind() const { return kind_; }
    PopulationInput input() const { return input_; }

private:
    Kind kind_;
    PopulationInput input_;
};

// Everything that defines a population's runs.
struct PopulationRequest {
    std::string kind;                        // "batch", "local" or "sobol"
    std::string libraryPath;                 // the model library the runs load
    std::vector<std::string> scenarioFiles;  // population files, applied in order
    std::vector<Assignment> settings;        // applied after the files
    std::string paramsFile;                  // batch: a design table (CSV) instead of distributions
    std::string paramsName;                  // how messages name the design table
    std::string dosesFile;                   // dose records applied in every run (may name sampled constants)
    std::vector<std::string> outputs;        // recorded variables; empty: the default set
    std::vector<double> atTimes;             // tabulated output times
    // Design settings that enter the fingerprint of the population.
    uint64_t runs = 0;                       // Sobol base rows; 0: from the files
    std::size_t bootstrap = 100;
    double step = 0.01;                      // local: relative step
    std::string paramsText;                  // the parameter list or table as given
    double runTimeout = 0.0;                 // seconds a run may take in its worker; 0: no limit
    StateTolerances tolerances;              // of every state; none given: the model's (local: checked)
};

struct PopulationSetup {
    std::string kind;  // "batch", "local" or "sobol"
    PopulationDefinition population;
    bool haveParams = false;  // batch design table
    ParameterTable params;
    std::string hash;  // of every input that defines the runs
    std::string libraryPath;
    double runTimeout = 0.0;  // seconds a run may take in its worker; 0: no limit
    RunPlan plan;
    std::vector<std::size_t> atIndices;
    std::vector<double> baseInputs;  // the inputs' values after the settings (local)
    std::vector<std::string> notes;  // what the engine decided for the user to know (tightened tolerances)
    // The library, loaded and not initialized: forked workers find it mapped
    // and relocated, and their own Load only counts another reference.
    std::shared_ptr<const OrvoLibrary> loaded;
};

// Reads the population files, the settings and (batch) the design table.
// Throws PopulationError (BadInput) naming the file and line.
PopulationSetup ReadPopulationInputs(const PopulationRequest& request);

// The sampled variables of the population file, with the text each came from.
void SampledInputs(const PopulationSetup& setup, std::vector<ElementName>& inputs,
                   std::vector<std::string>& origins);

// Loads the library and resolves settings, `inputs`, outputs (the request's
// or the default set), output times and tabulated times; reads the inputs'
// values after the settings into baseInputs. The library is finalized again
// before return and stays loaded in `setup.loaded`, so that each worker
// initializes its own copy without loading it again. Throws PopulationError:
// Failure when the library fails, BadInput when an input is refused.
void ResolvePopulation(const PopulationRequest& request, const std::vector<ElementName>& inputs,
                       const std::vector<std::string>& inputOrigins, PopulationSetup& setup);

// The run values of a unit-cube design (runs x distributions, row-major),
// each column mapped through its variable's distribution.
std::vector<double> MapThroughDistributions(const std::vector<SampledVariable>& sampled, std::vector<double> unit);

// Told how a population run goes: once at the start, after each run, and
// at the end (not after a failure of the workers).
class PopulationProgress {
public:
    virtual ~PopulationProgress() = default;
    virtual void Started(std::size_t /*runs*/, unsigned /*workers*/) {}
    virtual void RunDone(std::size_t /*done*/) {}
    virtual void Finished(std::size_t /*done*/) {}
};

// The columns of the tables of the setup's runs.
PopulationColumns ColumnsOf(const PopulationSetup& setup);

// Runs [first, end) of the plan over `jobs` workers (0: one per core) and
// hands each run's record to `onRecord` in run order, as soon as the runs
// before it are done: only runs that finished ahead of an earlier one wait
// (a few per worker). False with `error` when the workers fail (not when
// runs fail). `onRecord` may throw to stop the population (its output cannot
// be written): the workers are ended and the exception passes on.
bool RunPopulation(const PopulationSetup& setup, std::size_t first, std::size_t end, unsigned jobs,
                   PopulationProgress& progress, const std::function<void(RunRecord&&)>& onRecord,
                   std::string& error);

// The same, collected into a table.
bool RunPopulation(const PopulationSetup& setup, std::size_t first, std::size_t end, unsigned jobs,
                   PopulationProgress& progress, PopulationTable& table, std::string& error);

// The runs of shard `shard` of `shards` (0 of 1: all) of `total` and the
// part header describing them.
PartHeader MakePartHeader(const PopulationSetup& setup, std::size_t total, std::size_t shard, std::size_t shards);

// Whether a file can be created in the directory (tried with a scratch
// file); false with `error` set.
bool CheckWritable(const std::string& directory, std::string& error);

// The output directory (default "."), created when missing and checked for
// writing, and the plot file's folder checked (when a plot is asked for):
// before any run; with `lock`, the directory is held for this process's
// tables (see FolderLock). Returns the directory; throws PopulationError
// (Failure).
std::string PrepareOutputDirectory(const std::string& directory, const std::string& plotFile,
                                   FolderLock* lock = nullptr);

// Throws PopulationError (Failure) when a folder stands where one of the
// tables `names` goes in `directory`: found before the runs, not after.
void CheckTableTargets(const std::string& directory, const std::vector<std::string>& names);

// The files the runs are made from, {path, what it is}: --params, --doses,
// the population files and (once they are read) the dose records they name.
std::vector<std::pair<std::string, std::string>> InputFiles(const PopulationRequest& request,
                                                            const std::string& populationDoses = {});

// Throws PopulationError (BadInput) when one of the tables `names` in the
// folder `out` (the current one when empty, as PrepareOutputDirectory takes
// it) is one of `inputs` ({path, what it is}), which it would replace.
void CheckTablesAreNotInputs(const std::string& out, const std::vector<std::string>& names,
                             const std::vector<std::pair<std::string, std::string>>& inputs);

// Throws PopulationError (BadInput, about the plot) when the plot file is one
// of `files` ({path, what it is}: the command's inputs and the tables it
// writes), which the plot would replace.
void CheckPlotFileIsItsOwn(const std::string& plotFile, const std::vector<std::pair<std::string, std::string>>& files);

// "0,24,48" and back, for part headers.
std::string TimeList(const std::vector<double>& times);
bool ParseTimeList(const std::string& text, std::vector<double>& times);
