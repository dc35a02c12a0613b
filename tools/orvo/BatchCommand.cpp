#include "BatchCommand.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sys/statvfs.h>
#include <unistd.h>
#include <fstream>
#include <iostream>

#include "AtomicFile.h"
#include "BandPlot.h"
#include "CommandLine.h"
#include "ExitCodes.h"
#include "PopulationEngine.h"

namespace {

constexpr uint64_t kDefaultRuns = 100;

const char* const kBatchFilesHelp =
    "DIR/runs.csv, one row per run in run order:\n"
    "  run,<input>...,status,message,<VAR>@<T>...,<VAR>_max,<VAR>_tmax,<VAR>_auc,<VAR>_final...\n"
    "  inputs are the sampled (or --params) elements as NAME or NAME(INDEX); status is\n"
    "  ok, error (the run ended in the error state), nonfinite (a recorded value was\n"
    "  not finite), stopped (ended before tstop), timeout (past --run-timeout) or\n"
    "  lost (its worker died twice); message is the first message of a failed run.\n"
    "  Per recorded element: the value at each --at time, the maximum over the\n"
    "  output points and its first time, the trapezoidal area under the curve over\n"
    "  the output points, and the final value (empty for a failed run).\n"
    "DIR/summary.csv, one row per recorded element and output time:\n"
    "  variable,time,n,mean,sd,p2.5,p5,p25,p50,p75,p95,p97.5\n"
    "  over the n runs with status ok (failed runs are excluded and counted on\n"
    "  standard error); sd with n - 1; percentiles interpolate linearly between\n"
    "  order statistics.\n"
    "DIR/part-K-of-N.csv: lines '# key=value' (kind, hash of the population's\n"
    "  inputs, seed, shard=K/N, runs=FIRST-END/TOTAL, ...), the header\n"
    "  run,<input>...,status,message,<VAR>@<T> for every output time, one row per run\n"
    "  with the <VAR>@<T> values packed in one field (11 characters of base 64 a value:\n"
    "  its 64 bits, exact), and the line '# end checksum=...'. orvo merge checks\n"
    "  that the parts are all N shards of one population and writes exactly the\n"
    "  tables of the unsharded run (see its --help).\n"
    "  Every file is written to a temporary name and renamed when complete; runs go\n"
    "  to it in run order as they finish, and the summary's percentiles through a\n"
    "  scratch file in DIR, so memory does not grow with the runs' trajectories.\n"
    "Numbers are written in their shortest exact form: the tables are the same bytes\n"
    "for any --jobs and for merged shards.\n";

const char* const kBatchExitHelp =
    "Exit status: 0 all runs ok, 1 internal or library error or a file could not\n"
    "be written, 2 bad input (the message names the file and line; nothing runs),\n"
    "3 some runs failed (the others are in the tables), 4 some runs were lost:\n"
    "their worker process died, and died again when the run was tried once more\n"
    "(status lost: the machine, not the model).\n";

// The values of every run: drawn from the distributions, or the --params rows.
void FillDesign(PopulationSetup& setup) {
    RunPlan& plan = setup.plan;
    if (setup.haveParams) {
        plan.runs = setup.params.Rows();
        plan.inputValues = setup.params.values;
        return;
    }
    const std::size_t d = setup.population.sampled.size();
    plan.runs = setup.population.runs != 0 ? setup.population.runs : kDefaultRuns;
    plan.inputValues = MapThroughDistributions(
        setup.population.sampled, setup.population.sampling == SamplingMethod::LatinHypercube
                                      ? LatinHypercubeDesign(setup.population.seed, plan.runs, d)
                                      : RandomDesign(setup.population.seed, plan.runs, d));
}

// Everything else is bounded; the design (all runs' inputs, every shard
// draws the whole population) is held in memory, and the tables and the
// summary's scratch file go to disk. A population that could not fit is
// refused up front rather than failing after hours.
bool FitsInMemory(const PopulationSetup& setup, std::size_t shardCount, std::string& error) {
    const double runs = static_cast<double>(
        setup.haveParams ? setup.params.Rows() : setup.population.runs != 0 ? setup.population.runs : kDefaultRuns);
    const double inputs = static_cast<double>(setup.plan.inputs.size());
    const double shardRuns = std::ceil(runs / static_cast<double>(shardCount));
    const double bytes = runs * (inputs + 1.0) * 8.0 + shardRuns * 40.0 + 100e6;
    const double available = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
    if (available <= 0.0 || bytes <= available / 2.0) return true;
    char text[256];
    std::snprintf(text, sizeof text,
                  "%.0f runs of %.0f varied inputs would need about %.1f GB of memory for the design, more than half "
                  "of the %.1f GB here",
                  runs, inputs, bytes / 1e9, available / 1e9);
    error = text;
    return false;
}

// What the shard writes to `directory`, at least: the summary's scratch file
// (8 bytes a value) and runs.csv, or the part file (taken as 10 bytes a
// number, which real tables exceed).
bool FitsOnDisk(const PopulationSetup& setup, bool sharded, std::size_t shard, std::size_t shards, const std::string& out,
                std::string& error) {
    // The folder may not exist yet: the disk of its nearest existing parent.
    std::string directory = out.empty() ? "." : out;
    struct statvfs disk {};
    for (std::string folder = directory; statvfs(folder.c_str(), &disk) != 0;) {
        const std::size_t slash = folder.find_last_of('/', folder.size() > 1 ? folder.size() - 2 : 0);
        if (folder == "." || folder == "/") return true;
        folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    }
    const double free = static_cast<double>(disk.f_bavail) * static_cast<double>(disk.f_frsize);
    const std::size_t total =
        setup.haveParams ? setup.params.Rows() : setup.population.runs != 0 ? setup.population.runs : kDefaultRuns;
    const auto [first, end] = ShardRange(total, shard, shards);
    const double runs = static_cast<double>(end - first);
    const double inputs = static_cast<double>(setup.plan.inputs.size());
    const double outputs = static_cast<double>(setup.plan.outputs.size());
    const double values = outputs * static_cast<double>(setup.plan.times.size());
    const double perRun = sharded ? (inputs + values) * 10.0
                                  : values * 8.0 + (inputs + outputs * (4.0 + static_cast<double>(setup.atIndices.size()))) * 10.0;
    const double bytes = runs * perRun;
    // Pseudo file systems report no space; small tables fail at the writing check.
    if (disk.f_blocks == 0 || bytes <= free || bytes < 1e9) return true;
    char text[320];
    std::snprintf(text, sizeof text,
                  "%.0f runs of %.0f recorded values would need about %.1f GB of disk space in '%s', more than the "
                  "%.1f GB free there: record fewer --vars or output times, or run it in shards on other disks",
                  runs, values, bytes / 1e9, directory.c_str(), free / 1e9);
    error = text;
    return false;
}

// The outputs to plot: those named (all when none), at most 12 panels.
std::vector<std::size_t> PlottedOutputs(const PopulationColumns& table, const std::vector<std::string>& names) {
    std::vector<std::size_t> chosen;
    for (std::size_t o = 0; o < table.outputs.size() && chosen.size() < 12; ++o)
        if (names.empty() || std::find(names.begin(), names.end(), table.outputs[o]) != names.end())
            chosen.push_back(o);
    return chosen;
}

// The units of the outputs and of time as the metadata gives them.
BandPlotUnits PlotUnitsOf(const PopulationColumns& columns, const ModelMetadata& metadata) {
    BandPlotUnits units;
    units.time = metadata.timeUnits;
    for (const std::string& output : columns.outputs) {
        // An array element NAME(INDEX) has its variable's unit.
        auto found = metadata.units.find(output);
        if (found == metadata.units.end()) found = metadata.units.find(output.substr(0, output.find('(')));
        units.outputs.push_back(found == metadata.units.end() ? std::string() : found->second);
    }
    return units;
}

bool WritePlot(const std::string& file, const PopulationColumns& columns,
               const std::vector<PopulationSummary>& summaries, const std::vector<std::string>& names,
               const ModelMetadata& metadata) {
    std::string error;
    const std::vector<std::size_t> outputs = PlottedOutputs(columns, names);
    const BandPlotUnits units = PlotUnitsOf(columns, metadata);
    if (!WriteFileAtomically(
            file, [&](std::ostream& out) { WriteBandPlot(columns, summaries, outputs, units, out); }, error)) {
        Complain(error);
        return false;
    }
    return true;
}

}  // namespace

bool BatchTables::Open(const PopulationColumns& columns, const std::string& directory, std::size_t runs) {
    columns_ = columns;
    directory_ = directory;
    std::string error;
    if (!runs_.Open(directory + "/runs.csv", error) ||
        !spill_.Open(directory, columns_.Values(), error, std::size_t{32} << 20, runs)) {
        Complain(error);
        return false;
    }
    runsWriter_ = std::make_unique<RunsTableWriter>(columns_, runs_.stream());
    return true;
}

void BatchTables::Add(const RunRecord& record) {
    counts_.Add(record);
    runsWriter_->Add(record);
    spill_.Add(record);
    // A full disk stops the runs rather than the hours after it.
    if (!runs_.stream())
        throw PopulationError(PopulationError::Kind::Failure,
                              "writing '" + directory_ + "/runs.csv' failed (is the disk full?): stopped");
    if (!spill_.error().empty()) throw PopulationError(PopulationError::Kind::Failure, spill_.error() + ": stopped");
}

int BatchTables::Finish(const std::string& plotFile, const std::vector<std::string>& plotted,
                        const ModelMetadata& metadata) {
    std::string error;
    std::vector<PopulationSummary> summaries;
    // Both tables are complete before either replaces what the folder holds:
    // a write that fails leaves the earlier pair, not a new runs.csv beside
    // an old summary.csv.
    AtomicFileWriter summary;
    if (!spill_.Summaries(summaries, error) || !summary.Open(directory_ + "/summary.csv", error)) {
        Complain(error);
        return kExitRunFailed;
    }
    WriteSummaryRows(columns_, summaries, summary.stream());
    if (!summary.Flush(error) || !runs_.Flush(error) || !runs_.Commit(error) || !summary.Commit(error)) {
        Complain(error);
        return kExitRunFailed;
    }
    if (!plotFile.empty() && !WritePlot(plotFile, columns_, summaries, plotted, metadata)) return kExitRunFailed;
    return ReportFailedRuns(counts_, true);
}

int BatchCommand(int argc, char** argv) {
    CLI::App app{"Runs a population of the model, one worker process per job.", "orvo batch"};
    PopulationArguments arguments;
    OptionText params, shardText, plotText;
    AddPopulationOptions(app, arguments, "FILE: population file (see below); more than one are applied in order");
    AddValue(app, "--params", params,
             "FILE: one run per row of a CSV file: a header of variable names (NAME or NAME(INDEX)) and one number "
             "per column; replaces the file's distributions");
    AddValue(app, "--shard", shardText, "K/N: run only shard K (0..N-1) of N and write DIR/part-K-of-N.csv");
    AddValue(app, "--plot", plotText, "FILE.svg: median and 90 % band over time of the --vars variables");
    OptionText dosesText;
    AddValue(app, "--doses", dosesText,
             "FILE.csv: dose records applied in every run (see orvo run --help); amounts and times may name "
             "sampled constants");
    app.footer(std::string("\n") + kPopulationFileHelp + "\n" + kBatchFilesHelp + "\n" + kBatchExitHelp);
    bool sharded = false;
    std::size_t shard = 0, shards = 1;
    const int parsed = ParseCommand(app, "batch", argc, argv, [&](std::string& error) {
        return ReadPopulationArguments(arguments, error) && ReadShard(shardText, sharded, shard, shards, error);
    });
    if (parsed >= 0) return parsed;
    PopulationRequest& request = arguments.request;
    request.kind = "batch";
    if (params.Given()) {
        request.paramsFile = params.Last();
        request.paramsName = "--params '" + params.Last() + "'";
        request.paramsText = params.Last();
    }
    const std::string plotFile = plotText.Given() ? plotText.Last() : std::string();
    if (dosesText.Given()) request.dosesFile = dosesText.Last();

    std::string error;
    if (request.scenarioFiles.empty() && request.paramsFile.empty()) {
        Complain("batch needs --scenario FILE (a population file) or --params FILE");
        return kExitBadInput;
    }
    if (sharded && !plotFile.empty()) {
        Complain("--plot draws the whole population: give it to merge, not to a shard");
        return kExitBadInput;
    }
    PopulationSetup setup;
    std::string directory;
    FolderLock lock;  // not for a shard: the shards of one population share a folder
    try {
        const std::string out = OutputDirectoryOf(arguments).empty() ? "." : OutputDirectoryOf(arguments);
        std::vector<std::pair<std::string, std::string>> files = {
            {out + "/runs.csv", "where runs.csv goes"}, {out + "/summary.csv", "where summary.csv goes"}};
        for (const auto& input : InputFiles(request)) files.push_back(input);
        CheckPlotFileIsItsOwn(plotFile, files);
        setup = ReadPopulationInputs(request);
        // The tables (or the part) must not replace what the runs are made from.
        PartHeader shardName;
        shardName.shard = shard;
        shardName.shards = shards;
        CheckTablesAreNotInputs(out, sharded ? std::vector<std::string>{PartFileName(shardName)}
                                             : std::vector<std::string>{"runs.csv", "summary.csv"},
                                InputFiles(request, setup.population.doses));
        std::vector<ElementName> inputs;
        std::vector<std::string> origins;
        if (setup.haveParams) {
            inputs = setup.params.columns;
            origins = setup.params.columnOrigins;
        } else {
            SampledInputs(setup, inputs, origins);
        }
        ResolvePopulation(request, inputs, origins, setup);
        ReportNotes(setup);
        if (!FitsInMemory(setup, shards, error) ||
            !FitsOnDisk(setup, sharded, shard, shards, OutputDirectoryOf(arguments), error)) {
            Complain(error);
            return kExitBadInput;
        }
        FillDesign(setup);
        if (!CheckInputRanges(setup.plan, error)) {
            Complain(error);
            return kExitBadInput;
        }
        RoundToInputTypes(setup.plan);
        directory = PrepareOutputDirectory(OutputDirectoryOf(arguments), plotFile, sharded ? nullptr : &lock);
        // summary.csv is written last: a folder in its place is found before the runs.
        if (!sharded) CheckTableTargets(directory, {"runs.csv", "summary.csv"});
    } catch (const PopulationError& e) {
        return ReportPopulationError(e);
    }

    // Ended by a signal, the command leaves no temporary runs.csv or part behind.
    const RemoveTemporariesOnSignal removeOnSignal;
    const PartHeader header = MakePartHeader(setup, setup.plan.runs, shard, shards);
    const PopulationColumns columns = ColumnsOf(setup);
    ProgressReporter progress(arguments.progress);
    if (!sharded) {
        BatchTables tables;
        if (!tables.Open(columns, directory, header.endRun - header.firstRun)) return kExitRunFailed;
        try {
            if (!RunPopulation(
                    setup, header.firstRun, header.endRun, arguments.jobCount, progress,
                    [&](RunRecord&& record) { tables.Add(record); }, error)) {
                Complain(error);
                return kExitRunFailed;
            }
        } catch (const PopulationError& e) {
            return ReportPopulationError(e);
        }
        std::string ignored;  // unreadable metadata: a plot without units
        return tables.Finish(plotFile, {},
                             plotFile.empty() ? ModelMetadata{} : ReadModelMetadata(setup.libraryPath, ignored));
    }

    PartHeader part = header;
    part.extra.emplace_back("at", TimeList(request.atTimes));
    AtomicFileWriter file;
    if (!file.Open(directory + "/" + PartFileName(part), error)) {
        Complain(error);
        return kExitRunFailed;
    }
    PartWriter writer(part, columns, file.stream());
    RunCounts counts;
    try {
        if (!RunPopulation(
                setup, header.firstRun, header.endRun, arguments.jobCount, progress,
                [&](RunRecord&& record) {
                    counts.Add(record);
                    writer.Add(record);
                    if (!writer.Good())
                        throw PopulationError(PopulationError::Kind::Failure,
                                              "writing '" + directory + "/" + PartFileName(part) +
                                                  "' failed (is the disk full?): stopped");
                },
                error)) {
            Complain(error);
            return kExitRunFailed;
        }
    } catch (const PopulationError& e) {
        return ReportPopulationError(e);
    }
    writer.End();
    if (!file.Commit(error)) {
        Complain(error);
        return kExitRunFailed;
    }
    return ReportFailedRuns(counts, false);
}
