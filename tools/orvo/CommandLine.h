#pragma once

// What the commands share on the command line: each command declares its own
// options on a CLI::App with the Add* helpers (raw text), parses with
// ParseCommand, and converts the text with the Read* helpers, whose messages
// name the option. Also the diagnostics every command prints.

#include <CLI/CLI.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "ModelMetadata.h"
#include "OrvoLibrary.h"
#include "PopulationEngine.h"
#include "PopulationTables.h"
#include "Progress.h"
#include "ValueParser.h"

// Bootstrap replicates of Sobol intervals: the bound of --bootstrap and of
// a part header's bootstrap=.
constexpr std::size_t kMaxBootstrap = 100000;

// One option's text as given; `given` when it appeared at all.
struct OptionText {
    std::vector<std::string> values;
    bool Given() const { return !values.empty(); }
    const std::string& Last() const { return values.back(); }
};

// Declares an option taking one value per occurrence (repeatable: all kept).
CLI::Option* AddValue(CLI::App& app, const std::string& name, OptionText& text, const std::string& description);
// Refuses a value that is not a whole number from `low` to `high`.
CLI::Option* WholeNumber(CLI::Option* option, uint64_t low, uint64_t high);
// Refuses an empty value of a file (or folder) option.
CLI::Option* RefuseEmptyName(CLI::Option* option, bool folder);
// --lib PATH: the model library.
CLI::Option* AddLibrary(CLI::App& app, std::string& path);

// Parses `argv` (argv[0] is the command's name) for command `name`.
// Returns -1 to go on, else the exit code: 0 after --help, 2 after a parse
// error, an option the command does not take, or `convert` returning false
// with its message. Messages go to standard error.
int ParseCommand(CLI::App& app, const std::string& name, int argc, char** argv,
                 const std::function<bool(std::string&)>& convert = {});

// The converters; false with `error` naming the option.
bool ReadSettings(const OptionText& text, std::vector<Assignment>& settings, std::string& error);
bool ReadVariables(const OptionText& text, std::vector<std::string>& names, std::string& error);
bool ReadTimes(const OptionText& text, std::vector<double>& times, std::string& error);
bool ReadJobs(const OptionText& text, unsigned& jobs, std::string& error);
bool ReadShard(const OptionText& text, bool& sharded, std::size_t& shard, std::size_t& shards, std::string& error);
bool ReadRuns(const OptionText& text, uint64_t& runs, std::string& error);
bool ReadBootstrap(const OptionText& text, std::size_t& bootstrap, std::string& error);
bool ReadStep(const OptionText& text, double& step, std::string& error);
bool ReadRunTimeout(const OptionText& text, double& seconds, std::string& error);
// --rtol and --atol: every state's tolerances.
void AddToleranceOptions(CLI::App& app, OptionText& rtol, OptionText& atol);
bool ReadTolerances(const OptionText& rtol, const OptionText& atol, StateTolerances& tolerances, std::string& error);

// The options batch and both sensitivity methods share.
struct PopulationArguments {
    std::string library;
    OptionText scenarios, settings, variables, at, out, jobs, runTimeout, rtol, atol;
    bool progress = false;
    // Converted:
    unsigned jobCount = 0;  // 0: one per core
    PopulationRequest request;
};
void AddPopulationOptions(CLI::App& app, PopulationArguments& arguments, const std::string& scenarioHelp);
// Fills arguments.request (kind set by the caller) and jobCount.
bool ReadPopulationArguments(PopulationArguments& arguments, std::string& error);
// --out as given (empty: the current directory).
std::string OutputDirectoryOf(const PopulationArguments& arguments);

// The progress line on standard error (ProgressLine) for RunPopulation:
// shown on a terminal, or everywhere when `requested` (--progress).
class ProgressReporter : public PopulationProgress {
public:
    explicit ProgressReporter(bool requested) : requested_(requested) {}
    ~ProgressReporter() override;
    void Started(std::size_t runs, unsigned workers) override;
    void RunDone(std::size_t done) override;
    void Finished(std::size_t done) override;

private:
    bool requested_;
    std::unique_ptr<ProgressLine> line_;
};

// Prints "orvo: MESSAGE" on standard error.
void Complain(const std::string& message);
// Prints the engine's notes about a resolved population.
void ReportNotes(const PopulationSetup& setup);

// Loads --lib (or the default model) and the metadata beside it; false after
// saying why the library could not be loaded. Unreadable metadata is warned
// about and left empty.
bool LoadModel(const std::string& libraryPath, OrvoLibrary& library, ModelMetadata& metadata);

// Prints a refusal of the population engine with the option it is about,
// and returns its exit code.
int ReportPopulationError(const PopulationError& error);

// Writes DIR/NAME atomically; prints the error and returns false on failure.
bool WriteOutput(const std::string& directory, const std::string& name,
                 const std::function<void(std::ostream&)>& write);

// kExitOk when every run is ok; else says how many failed and returns
// kExitSomeRunsFailed. `excluded` adds that they are left out of the summary.
int ReportFailedRuns(const PopulationTable& table, bool excluded);
int ReportFailedRuns(const RunCounts& counts, bool excluded);

// The population file's format, for the --help of the population commands.
extern const char* const kPopulationFileHelp;
