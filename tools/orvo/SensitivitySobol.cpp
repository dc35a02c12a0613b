#include "SensitivitySobol.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <unistd.h>

#include "AtomicFile.h"
#include "CommandLine.h"
#include "CsvWriter.h"
#include "ExitCodes.h"
#include "NumberText.h"
#include "Sampling.h"
#include "SobolAnalysis.h"

namespace {

constexpr uint64_t kDefaultSobolRuns = 1000;

// The design (every run's inputs, in every shard) and the shard's runs with
// all their recorded values (the indices need them at once) are held in
// memory: a population that could not fit is refused before it is drawn,
// rather than failing in an allocation.
bool FitsInMemory(const SaltelliLayout& layout, std::size_t shards, std::size_t values, std::string& error) {
    const double runs = static_cast<double>(layout.baseRuns) * static_cast<double>(layout.RunsPerRow());
    const double inputs = static_cast<double>(layout.dimensions);
    const double shardRuns = std::ceil(runs / static_cast<double>(shards));
    const double design = runs * inputs * 8.0 + static_cast<double>(layout.baseRuns) * 2.0 * inputs * 8.0 + 100e6;
    const double bytes = design + shardRuns * ((static_cast<double>(values) + inputs) * 8.0 + 120.0);
    const double available = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
    char text[320];
    if (runs > static_cast<double>(UINT32_MAX)) {
        std::snprintf(text, sizeof text, "%zu base rows of %zu inputs make %.0f runs, more than the 4294967295 a "
                      "population can have: give fewer --runs", layout.baseRuns, layout.dimensions, runs);
    } else if (available > 0.0 && bytes > available / 2.0) {
        std::snprintf(text, sizeof text, "%zu base rows of %zu inputs (%.0f runs) would need about %.1f GB of memory, "
                      "more than half of the %.1f GB here: give fewer --runs%s",
                      layout.baseRuns, layout.dimensions, runs, bytes / 1e9, available / 1e9,
                      design <= available / 2.0 ? ", or run it in more shards" : "");
    } else {
        return true;
    }
    error = text;
    return false;
}

}  // namespace

bool WriteSobolTable(const PopulationTable& table, std::size_t baseRuns, std::size_t bootstrap, uint64_t seed,
                     const std::string& directory) {
    SobolAnalysis analysis;
    try {
        analysis = AnalyseSobol(table, baseRuns, bootstrap, seed);
    } catch (const PopulationError& e) {
        ReportPopulationError(e);
        return false;
    }
    for (const std::string& note : analysis.notes) Complain(note);
    return WriteOutput(directory, "sobol.csv", [&](std::ostream& out) {
        CsvWriter writer(out);
        writer.WriteRow({"parameter", "variable", "time", "S1", "S1_low", "S1_high", "ST", "ST_low", "ST_high"});
        for (std::size_t j = 0; j < table.inputs.size(); ++j)
            for (std::size_t o = 0; o < table.outputs.size(); ++o)
                for (std::size_t a = 0; a < table.atIndices.size(); ++a) {
                    const SobolIndex& s = analysis.results[o][a].indices[j];
                    const bool usable = analysis.usable[o][a];
                    const auto cell = [usable](double v) { return usable && !std::isnan(v) ? FormatReal(v) : std::string(); };
                    writer.WriteRow({table.inputs[j], table.outputs[o], FormatReal(table.times[table.atIndices[a]]),
                                     cell(s.first), cell(s.firstLow), cell(s.firstHigh), cell(s.total),
                                     cell(s.totalLow), cell(s.totalHigh)});
                }
    });
}

int SobolSensitivityCommand(int argc, char** argv) {
    CLI::App app{"First-order (S1) and total (ST) Sobol indices over the population file's\n"
                 "distributions: Saltelli's design with N base rows and N (d + 2) runs for d\n"
                 "distributions; Jansen's estimators; intervals are the 2.5 and 97.5 percentiles\n"
                 "of B bootstrap replicates over base rows.",
                 "orvo sensitivity sobol"};
    PopulationArguments arguments;
    OptionText runsText, bootstrapText, shardText;
    AddPopulationOptions(app, arguments, "POPFILE: population file with distribution lines (see below)");
    OptionText dosesText;
    AddValue(app, "--doses", dosesText, "FILE.csv: dose records applied in every run (see orvo run --help)");
    app.get_option("--at")->description("output times (default: the last output time)");
    AddValue(app, "--runs", runsText, "N: base rows (default: the file's runs, else 1000; at least 10)");
    AddValue(app, "--bootstrap", bootstrapText, "B: bootstrap replicates for the intervals (default 100; 0: none, the intervals left empty)");
    AddValue(app, "--shard", shardText, "K/N: run only shard K (0..N-1) of N and write DIR/part-K-of-N.csv");
    app.footer(std::string(
                   "\nA base row with a failed run is left out, and indices with fewer than 10 usable\n"
                   "base rows are left empty; `sampling` does not apply. --shard, merge and\n"
                   "--run-timeout work as for batch.\n"
                   "DIR/sobol.csv: parameter,variable,time,S1,S1_low,S1_high,ST,ST_low,ST_high\n"
                   "DIR/runs.csv as for batch.\n\n") +
               kPopulationFileHelp +
               "\nExit status: 0 all runs ok, 1 internal or library error, 2 bad input (the\n"
               "message names the file and line; nothing runs), 3 some runs failed, 4 some\n"
               "runs were lost with their worker processes.\n");
    uint64_t runs = 0;
    std::size_t bootstrap = 100;
    bool sharded = false;
    std::size_t shard = 0, shards = 1;
    const int parsed = ParseCommand(app, "sensitivity sobol", argc, argv, [&](std::string& error) {
        return ReadPopulationArguments(arguments, error) && ReadRuns(runsText, runs, error) &&
               ReadBootstrap(bootstrapText, bootstrap, error) && ReadShard(shardText, sharded, shard, shards, error);
    });
    if (parsed >= 0) return parsed;
    PopulationRequest& request = arguments.request;
    request.kind = "sobol";
    if (dosesText.Given()) request.dosesFile = dosesText.Last();
    request.runs = runs;
    request.bootstrap = bootstrap;

    std::string error;
    PopulationSetup setup;
    std::string directory;
    std::size_t baseRuns = 0;
    FolderLock lock;  // not for a shard
    try {
        setup = ReadPopulationInputs(request);
        std::vector<ElementName> inputs;
        std::vector<std::string> origins;
        SampledInputs(setup, inputs, origins);
        ResolvePopulation(request, inputs, origins, setup);
        ReportNotes(setup);
        if (setup.atIndices.empty()) setup.atIndices.push_back(setup.plan.times.size() - 1);
        baseRuns = runs != 0 ? runs : setup.population.runs != 0 ? setup.population.runs : kDefaultSobolRuns;
        if (baseRuns < kMinSobolRows) {
            Complain("Sobol indices need at least " + std::to_string(kMinSobolRows) + " base rows (runs), got " +
                     std::to_string(baseRuns));
            return kExitBadInput;
        }
        const SaltelliLayout layout{baseRuns, inputs.size()};
        if (!FitsInMemory(layout, shards, setup.plan.outputs.size() * setup.plan.times.size(), error)) {
            Complain(error);
            return kExitBadInput;
        }
        RunPlan& plan = setup.plan;
        plan.runs = layout.Runs();
        plan.inputValues =
            MapThroughDistributions(setup.population.sampled, SaltelliDesign(setup.population.seed, layout));
        if (!CheckInputRanges(plan, error)) {
            Complain(error);
            return kExitBadInput;
        }
        RoundToInputTypes(plan);
        const std::vector<std::string> tables =
            sharded ? std::vector<std::string>{PartFileName(MakePartHeader(setup, setup.plan.runs, shard, shards))}
                    : std::vector<std::string>{"sobol.csv", "runs.csv"};
        CheckTablesAreNotInputs(OutputDirectoryOf(arguments), tables,
                                InputFiles(request, setup.population.doses));
        directory = PrepareOutputDirectory(OutputDirectoryOf(arguments), "", sharded ? nullptr : &lock);
        CheckTableTargets(directory, tables);
    } catch (const PopulationError& e) {
        return ReportPopulationError(e);
    }
    // Ended by a signal, the command leaves no temporary table behind.
    const RemoveTemporariesOnSignal removeOnSignal;
    const RunPlan& plan = setup.plan;
    const PartHeader header = MakePartHeader(setup, plan.runs, shard, shards);
    PopulationTable table;
    ProgressReporter progress(arguments.progress);
    if (!RunPopulation(setup, header.firstRun, header.endRun, arguments.jobCount, progress, table, error)) {
        Complain(error);
        return kExitRunFailed;
    }
    if (sharded) {
        PartHeader part = header;
        std::vector<double> atTimes;
        for (const std::size_t at : setup.atIndices) atTimes.push_back(plan.times[at]);
        part.extra = {{"at", TimeList(atTimes)},
                      {"base_runs", std::to_string(baseRuns)},
                      {"bootstrap", std::to_string(bootstrap)}};
        if (!WriteOutput(directory, PartFileName(part), [&](std::ostream& out) { WritePart(part, table, out); }))
            return kExitRunFailed;
        return ReportFailedRuns(table, false);
    }
    if (!WriteOutput(directory, "runs.csv", [&](std::ostream& out) { WriteRunsTable(table, out); }) ||
        !WriteSobolTable(table, baseRuns, bootstrap, setup.population.seed, directory))
        return kExitRunFailed;
    return ReportFailedRuns(table, false);
}
