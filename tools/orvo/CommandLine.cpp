#include "CommandLine.h"

#include <algorithm>

#include <charconv>
#include <cmath>
#include <iostream>
#include <string_view>
#include <strings.h>

#include "AtomicFile.h"
#include "ExitCodes.h"
#include "NumberText.h"
#include "OrvoLibrary.h"
#include "Progress.h"

namespace {

// Every option of any command, to tell "not taken here" from "unknown".
const char* const kKnownOptions[] = {
    "--lib",      "--set",     "--scenario", "--out",        "--vars",   "--at",    "--params", "--jobs",
    "--shard",    "--plot",    "--runs",     "--bootstrap",  "--step",   "--doses", "--run-timeout",
    "--summary",  "--progress", "--settings", "--verbose",   "--rtol",   "--atol",  "--units",  "--from",
    "--iterations", "--burn",  "--thin",     "--chains",     "--seed",   "--continue"};

bool ParseCount(std::string_view text, uint64_t low, uint64_t high, uint64_t& value) {
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, value);
    return ec == std::errc() && end == last && !text.empty() && value >= low && value <= high;
}

// The message for a word the command did not take.
std::string NotTaken(const std::string& command, const std::string& word) {
    if (word.size() < 2 || word.compare(0, 2, "--") != 0) return "unexpected argument '" + Clip(word) + "'";
    const std::string name = word.substr(0, word.find('='));
    for (const char* known : kKnownOptions)
        if (name == known) return "option " + name + " does not apply to '" + command + "'";
    return "unknown option '" + Clip(name) + "'";
}

}  // namespace

const char* const kPopulationFileHelp =
    "Population file (--scenario): scenario lines NAME = VALUE, plus\n"
    "  NAME ~ normal(mean, sd) [low, high]     truncation bounds optional on any\n"
    "  NAME ~ lognormal(gm, gsd)               geometric mean and geometric sd (> 1)\n"
    "  NAME ~ uniform(a, b)    NAME ~ loguniform(a, b)    NAME ~ triangular(low, mode, high)\n"
    "  NAME ~ beta(a, b)       NAME ~ gamma(shape, rate)  NAME ~ weibull(shape, scale)\n"
    "  NAME ~ studentt(df, location, scale)   NAME ~ halfnormal(sd)   NAME ~ halfcauchy(scale)\n"
    "  NAME ~ exponential(rate)\n"
    "  NAME(2) ~ ...            one element of an array\n"
    "  NAME ~ normal(OTHER, sd) a parameter may name another sampled variable\n"
    "  runs = N                 number of runs (default 100; Sobol: base rows, default 1000)\n"
    "  seed = S                 default 1; run k's values depend only on (seed, k)\n"
    "  sampling = random | lhs  lhs: Latin hypercube over all runs (default random)\n"
    "  doses = FILE.csv         dose records for every run (see orvo run --help), found\n"
    "                           beside the population file; --doses overrides it\n"
    "--set takes the same NAME=VALUE lines, runs, seed and sampling included.\n"
    "cint, tstop and zzticg are shared by all runs: the output times are\n"
    "zzticg, zzticg + cint, ... up to tstop.\n";

CLI::Option* AddValue(CLI::App& app, const std::string& name, OptionText& text, const std::string& description) {
    // "N: workers" shows as "--jobs N   workers".
    std::string value = "VALUE", help = description;
    if (const std::size_t colon = description.find(": ");
        colon != std::string::npos && description.find(' ') > colon) {
        value = description.substr(0, colon);
        help = description.substr(colon + 2);
    }
    CLI::Option* option =
        app.add_option(name, text.values, help)->type_name(value)->expected(1)->allow_extra_args(false)->take_all();
    if (value.rfind("FILE", 0) == 0 || value == "DIR") RefuseEmptyName(option, value == "DIR");
    return option;
}

namespace {

// An empty path (an unset variable in a script) would quietly mean none, the
// current folder, the root or the default model: refused with `what`.
CLI::Option* RefuseEmpty(CLI::Option* option, const std::string& what) {
    return option->check(CLI::Validator([what](std::string& v) { return v.empty() ? what : std::string(); }, ""));
}

}  // namespace

CLI::Option* WholeNumber(CLI::Option* option, uint64_t low, uint64_t high) {
    // CLI11 would read "-1" as 2^64 - 1 and clamp a number past 2^64.
    return option->check(CLI::Validator(
        [low, high](std::string& v) {
            uint64_t value = 0;
            return ParseCount(v, low, high, value) ? std::string()
                                                   : "expected a whole number from " + std::to_string(low) + " to " +
                                                         std::to_string(high) + ", got '" + Clip(v) + "'";
        },
        ""));
}

CLI::Option* RefuseEmptyName(CLI::Option* option, bool folder) {
    return RefuseEmpty(option, folder ? "the folder name is empty" : "the file name is empty");
}

CLI::Option* AddLibrary(CLI::App& app, std::string& path) {
    return RefuseEmpty(app.add_option("--lib", path, "model library (default: the one installed beside orvo)")
                           ->type_name("PATH")
                           ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast),
                       "the library path is empty");
}

int ParseCommand(CLI::App& app, const std::string& name, int argc, char** argv,
                 const std::function<bool(std::string&)>& convert) {
    app.allow_extras();
    app.set_help_flag("-h,--help", "print this help and exit");
    const auto refuse = [&](const std::string& message) {
        std::cerr << "orvo: " << message << "\n(orvo " << name << " --help describes the options)\n";
        return kExitBadInput;
    };
    // A flag given a value ("--summary=yes") is refused by name.
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const std::size_t equals = word.find('=');
        if (word.compare(0, 2, "--") != 0 || equals == std::string::npos) continue;
        const CLI::Option* option = app.get_option_no_throw(word.substr(0, equals));
        if (option != nullptr && option->get_expected_max() == 0)
            return refuse("option " + word.substr(0, equals) + " takes no value");
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        return refuse(e.what());
    }
    // "--" ends the options: what follows is an argument, even "-x.model" or "--vars".
    bool ended = false;
    for (const std::string& word : app.remaining()) {
        if (word == "--" && !ended) {
            ended = true;
            continue;
        }
        return refuse(ended ? "unexpected argument '" + Clip(word) + "'" : NotTaken(name, word));
    }
    std::string error;
    if (convert && !convert(error)) return refuse(error);
    return -1;
}

bool ReadSettings(const OptionText& text, std::vector<Assignment>& settings, std::string& error) {
    for (const std::string& value : text.values) {
        Assignment assignment;
        if (!ParseAssignment(value, assignment, error)) {
            error = "--set: " + error;
            return false;
        }
        assignment.origin = "--set";
        settings.push_back(std::move(assignment));
    }
    return true;
}

bool ReadVariables(const OptionText& text, std::vector<std::string>& names, std::string& error) {
    for (const std::string& value : text.values) {
        std::vector<std::string> list;
        if (!SplitNameList(value, list, error)) {
            error = "--vars: " + error;
            return false;
        }
        for (const std::string& name : list) {
            // A repeated column would make tables that merge cannot rebuild;
            // NAME(2), NAME[2] and NAME( 2 ) are one column.
            for (const std::string& seen : names)
                if (FoldedName(seen) == FoldedName(name)) {
                    error = "--vars: '" + Clip(name) + "' is given twice";
                    return false;
                }
            names.push_back(name);
        }
    }
    return true;
}

bool ReadTimes(const OptionText& text, std::vector<double>& times, std::string& error) {
    for (const std::string& value : text.values) {
        std::vector<std::string> items;
        if (!SplitNameList(value, items, error)) {
            error = "--at: " + error;
            return false;
        }
        for (const std::string& item : items) {
            double t = 0.0;
            if (!ReadReal(item, t) || !std::isfinite(t)) {
                error = "--at: bad time '" + item + "'";
                return false;
            }
            times.push_back(t);
        }
    }
    return true;
}

bool ReadJobs(const OptionText& text, unsigned& jobs, std::string& error) {
    uint64_t count = 0;
    for (const std::string& value : text.values) {
        if (!ParseCount(value, 1, 1024, count)) {
            error = "--jobs: expected a number of workers from 1 to 1024, got '" + value + "'";
            return false;
        }
        jobs = static_cast<unsigned>(count);
    }
    return true;
}

bool ReadShard(const OptionText& text, bool& sharded, std::size_t& shard, std::size_t& shards, std::string& error) {
    for (const std::string& value : text.values) {
        const std::size_t slash = value.find('/');
        uint64_t k = 0, n = 0;
        if (slash == std::string::npos || !ParseCount(std::string_view(value).substr(0, slash), 0, UINT32_MAX, k) ||
            !ParseCount(std::string_view(value).substr(slash + 1), 1, UINT32_MAX, n)) {
            error = "--shard: expected K/N (shard K of N, K from 0 to N-1), got '" + value + "'";
            return false;
        }
        if (k >= n) {
            error = "--shard " + value + ": K must be below N (shards count from 0)";
            return false;
        }
        sharded = true;
        shard = k;
        shards = n;
    }
    return true;
}

bool ReadRuns(const OptionText& text, uint64_t& runs, std::string& error) {
    for (const std::string& value : text.values)
        if (!ParseCount(value, 1, 100000000, runs)) {
            error = "--runs: expected a whole number from 1 to 100000000, got '" + value + "'";
            return false;
        }
    return true;
}

bool ReadBootstrap(const OptionText& text, std::size_t& bootstrap, std::string& error) {
    uint64_t count = 0;
    for (const std::string& value : text.values) {
        if (!ParseCount(value, 0, kMaxBootstrap, count)) {
            error = "--bootstrap: expected a number of replicates from 0 to " + std::to_string(kMaxBootstrap) +
                    ", got '" + value + "'";
            return false;
        }
        bootstrap = count;
    }
    return true;
}

bool ReadStep(const OptionText& text, double& step, std::string& error) {
    for (const std::string& value : text.values) {
        double given = 0.0;
        // Below 1e-10 the perturbed runs differ by rounding only (below 1e-16
        // not at all: every coefficient 0), and the tolerances the step needs
        // are beyond double precision.
        if (!ReadReal(value, given) || !(given >= 1e-10 && given < 0.5)) {
            error = "--step: expected a relative step from 1e-10 to below 0.5, got '" + value + "'";
            return false;
        }
        step = given;
    }
    return true;
}

void AddToleranceOptions(CLI::App& app, OptionText& rtol, OptionText& atol) {
    AddValue(app, "--rtol", rtol, "R: relative error tolerance of every state (default: the model's)");
    AddValue(app, "--atol", atol, "A: absolute error tolerance of every state (default: the model's)");
}

bool ReadTolerances(const OptionText& rtol, const OptionText& atol, StateTolerances& tolerances, std::string& error) {
    const auto read = [&](const OptionText& text, const char* option, double& value) {
        for (const std::string& given : text.values)
            if (!ReadReal(given, value) || !(value > 0.0) || !(value < 1.0)) {
                error = std::string(option) + ": expected a tolerance between 0 and 1, got '" + Clip(given) + "'";
                return false;
            }
        return true;
    };
    return read(rtol, "--rtol", tolerances.relative) && read(atol, "--atol", tolerances.absolute);
}

bool ReadRunTimeout(const OptionText& text, double& seconds, std::string& error) {
    for (const std::string& value : text.values) {
        double given = 0.0;
        if (!ReadReal(value, given) || !(given > 0.0) || given > 1e7) {
            error = "--run-timeout: expected seconds, a number above 0, got '" + Clip(value) + "'";
            return false;
        }
        seconds = given;
    }
    return true;
}

void Complain(const std::string& message) { std::cerr << "orvo: " << message << "\n"; }

int ReportPopulationError(const PopulationError& error) {
    std::string prefix;
    switch (error.input()) {
        case PopulationInput::None: break;
        case PopulationInput::Scenario: prefix = "--scenario: "; break;
        case PopulationInput::Params: prefix = "--params: "; break;
        case PopulationInput::Outputs: prefix = "--vars: "; break;
        case PopulationInput::AtTimes: prefix = "--at "; break;
        case PopulationInput::Plot: prefix = "--plot: "; break;
    }
    Complain(prefix + error.what());
    return error.kind() == PopulationError::Kind::BadInput ? kExitBadInput : kExitRunFailed;
}

void ReportNotes(const PopulationSetup& setup) {
    for (const std::string& note : setup.notes) Complain(note);
}

bool WriteOutput(const std::string& directory, const std::string& name,
                 const std::function<void(std::ostream&)>& write) {
    std::string error;
    if (!WriteFileAtomically(directory + "/" + name, write, error)) {
        Complain(error);
        return false;
    }
    return true;
}

bool LoadModel(const std::string& libraryPath, OrvoLibrary& library, ModelMetadata& metadata) {
    const std::string path = libraryPath.empty() ? OrvoLibrary::DefaultPath() : libraryPath;
    if (!library.Load(path)) {
        Complain(library.error());
        return false;
    }
    std::string error;
    metadata = ReadModelMetadata(path, error);
    if (!error.empty()) Complain("warning: " + error);
    return true;
}

int ReportFailedRuns(const RunCounts& counts, bool excluded) {
    if (counts.failed == 0) return kExitOk;
    Complain(std::to_string(counts.failed) + " of " + std::to_string(counts.runs) + " runs failed" +
             (excluded ? " and are excluded from the summary" : "") + " (see status in runs.csv)");
    if (counts.lost > 0) {
        Complain(std::to_string(counts.lost) +
                 " run(s) lost: their worker process died twice (out of memory or killed?)");
        return kExitRunsLost;
    }
    return kExitSomeRunsFailed;
}

int ReportFailedRuns(const PopulationTable& table, bool excluded) { return ReportFailedRuns(CountRuns(table), excluded); }

void AddPopulationOptions(CLI::App& app, PopulationArguments& arguments, const std::string& scenarioHelp) {
    AddLibrary(app, arguments.library);
    AddValue(app, "--scenario", arguments.scenarios, scenarioHelp);
    AddValue(app, "--set", arguments.settings,
             "NAME=VALUE: set a model constant or run setting (or runs, seed, sampling); after the files");
    AddValue(app, "--vars", arguments.variables, "a,b,c: variables to record (default: key amounts and concentrations)");
    AddValue(app, "--at", arguments.at, "t1,t2,...: output times to tabulate per run (each must be an output time)");
    AddValue(app, "--out", arguments.out, "DIR: output directory (default: the current directory)");
    AddValue(app, "--jobs", arguments.jobs, "N: worker processes (default: the number of cores)");
    app.add_flag("--progress", arguments.progress,
                 "progress line on standard error (default: when it is a terminal)")
        ->disable_flag_override();
    AddValue(app, "--run-timeout", arguments.runTimeout,
             "S: a run still going after S seconds is stopped (its worker is killed and replaced) and recorded "
             "with status timeout");
    AddToleranceOptions(app, arguments.rtol, arguments.atol);
}

bool ReadPopulationArguments(PopulationArguments& arguments, std::string& error) {
    PopulationRequest& request = arguments.request;
    request.libraryPath = arguments.library.empty() ? OrvoLibrary::DefaultPath() : arguments.library;
    request.scenarioFiles = arguments.scenarios.values;
    return ReadSettings(arguments.settings, request.settings, error) &&
           ReadVariables(arguments.variables, request.outputs, error) &&
           ReadTimes(arguments.at, request.atTimes, error) && ReadJobs(arguments.jobs, arguments.jobCount, error) &&
           ReadRunTimeout(arguments.runTimeout, request.runTimeout, error) &&
           ReadTolerances(arguments.rtol, arguments.atol, request.tolerances, error);
}

std::string OutputDirectoryOf(const PopulationArguments& arguments) {
    return arguments.out.Given() ? arguments.out.Last() : std::string();
}

ProgressReporter::~ProgressReporter() = default;

void ProgressReporter::Started(std::size_t runs, unsigned workers) {
    line_ = std::make_unique<ProgressLine>(runs, workers, ProgressLine::Wanted(requested_));
}

void ProgressReporter::RunDone(std::size_t done) {
    if (line_) line_->Update(done);
}

void ProgressReporter::Finished(std::size_t done) {
    if (line_) line_->Finish(done);
}
