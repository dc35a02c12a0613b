#include "BatchCommand.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>
#include <fstream>
#include <iostream>

#include "AtomicFile.h"
#include "BandPlot.h"
#include "ExitCodes.h"
#include "PopulationEngine.h"
#include "SensitivityCommand.h"

namespace {

constexpr uint64_t kDefaultRuns = 100;

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
    plan.inputValues = setup.population.sampling == SamplingMethod::LatinHypercube
                           ? LatinHypercubeDesign(setup.population.seed, plan.runs, d)
                           : RandomDesign(setup.population.seed, plan.runs, d);
    for (std::size_t k = 0; k < plan.runs; ++k)
        for (std::size_t j = 0; j < d; ++j) {
            double& value = plan.inputValues[k * d + j];
            value = setup.population.sampled[j].distribution.Sample(value);
        }
}

// The design and this process's share of the trajectories are held in
// memory until the tables are written: refused up front when they would not
// fit in half the machine's memory, rather than failing after hours.
bool FitsInMemory(const PopulationSetup& setup, const Options& options, std::string& error) {
    const double runs = static_cast<double>(
        setup.haveParams ? setup.params.Rows() : setup.population.runs != 0 ? setup.population.runs : kDefaultRuns);
    const double inputs = static_cast<double>(setup.plan.inputs.size());
    const double values = static_cast<double>(setup.plan.outputs.size() * setup.plan.times.size());
    const double shardRuns = std::ceil(runs / static_cast<double>(options.shards));
    const double bytes = runs * inputs * 8.0 + shardRuns * ((values + inputs) * 8.0 + 160.0);
    const double available = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
    if (available <= 0.0 || bytes <= available / 2.0) return true;
    const double shards = std::ceil(bytes / (available / 4.0)) * static_cast<double>(options.shards);
    char text[256];
    std::snprintf(text, sizeof text,
                  "%.0f runs of %.0f recorded values would need about %.1f GB of memory, more than half of the "
                  "%.1f GB here: run it in shards (--shard K/N with N of about %.0f) or record fewer --vars",
                  runs, values, bytes / 1e9, available / 1e9, shards);
    error = text;
    return false;
}

// The outputs to plot: those named (all when none), at most 12 panels.
std::vector<std::size_t> PlottedOutputs(const PopulationTable& table, const std::vector<std::string>& names) {
    std::vector<std::size_t> chosen;
    for (std::size_t o = 0; o < table.outputs.size() && chosen.size() < 12; ++o)
        if (names.empty() || std::find(names.begin(), names.end(), table.outputs[o]) != names.end())
            chosen.push_back(o);
    return chosen;
}

bool WritePlot(const std::string& file, const PopulationTable& table, const std::vector<std::string>& names) {
    std::string error;
    const std::vector<std::size_t> outputs = PlottedOutputs(table, names);
    if (!WriteFileAtomically(
            file, [&](std::ostream& out) { WriteBandPlot(table, outputs, out); }, error)) {
        Complain(error);
        return false;
    }
    return true;
}

// runs.csv, summary.csv and the plot of a whole batch; the exit code.
int WriteBatchTables(const PopulationTable& table, const std::string& directory, const std::string& plotFile,
                     const std::vector<std::string>& plotted) {
    if (!WriteOutput(directory, "runs.csv", [&](std::ostream& out) { WriteRunsTable(table, out); }) ||
        !WriteOutput(directory, "summary.csv", [&](std::ostream& out) { WriteSummaryTable(table, out); }) ||
        (!plotFile.empty() && !WritePlot(plotFile, table, plotted)))
        return kExitRunFailed;
    return ReportFailedRuns(table, true);
}

}  // namespace

int BatchCommand(const Options& options) {
    std::string error;
    if (options.scenarios.empty() && options.params.empty()) {
        Complain("batch needs --scenario FILE (a population file) or --params FILE");
        return kExitBadInput;
    }
    if (options.sharded && !options.plotFile.empty()) {
        Complain("--plot draws the whole population: give it to merge, not to a shard");
        return kExitBadInput;
    }
    PopulationSetup setup;
    if (!ReadPopulationInputs(options, "batch", setup, error)) {
        Complain(error);
        return kExitBadInput;
    }
    std::vector<ElementName> inputs;
    std::vector<std::string> origins;
    if (setup.haveParams) {
        inputs = setup.params.columns;
        origins = setup.params.columnOrigins;
    } else {
        SampledInputs(setup, inputs, origins);
    }
    if (const int status = ResolvePopulation(options, inputs, origins, setup, error); status != kExitOk) {
        Complain(error);
        return status;
    }
    if (!FitsInMemory(setup, options, error)) {
        Complain(error);
        return kExitBadInput;
    }
    FillDesign(setup);
    if (!CheckInputRanges(setup.plan, error)) {
        Complain(error);
        return kExitBadInput;
    }
    RoundToInputTypes(setup.plan);
    std::string directory;
    if (!PrepareOutputDirectory(options, directory)) return kExitRunFailed;

    const PartHeader header = MakePartHeader(options, setup, setup.plan.runs);
    PopulationTable table;
    if (!RunPopulation(setup, header.firstRun, header.endRun, options.jobs, options.progress, table, error)) {
        Complain(error);
        return kExitRunFailed;
    }
    if (!options.sharded) return WriteBatchTables(table, directory, options.plotFile, {});

    PartHeader part = header;
    part.extra.emplace_back("at", TimeList(options.atTimes));
    if (!WriteOutput(directory, PartFileName(part), [&](std::ostream& out) { WritePart(part, table, out); }))
        return kExitRunFailed;
    return ReportFailedRuns(table, false);
}

int MergeCommand(const Options& options) {
    if (options.parts.empty()) {
        Complain("merge needs the part files: orvo merge PART... --out DIR");
        return kExitBadInput;
    }
    std::vector<PartHeader> headers(options.parts.size());
    std::vector<PopulationTable> tables(options.parts.size());
    std::string error;
    for (std::size_t p = 0; p < options.parts.size(); ++p) {
        std::ifstream in(options.parts[p]);
        if (!in) {
            Complain("cannot open part file '" + options.parts[p] + "'");
            return kExitBadInput;
        }
        if (!ReadPart(in, options.parts[p], headers[p], tables[p], error)) {
            Complain(error);
            return kExitBadInput;
        }
    }
    PopulationTable table;
    if (!JoinParts(options.parts, headers, tables, table, error)) {
        Complain(error);
        return kExitBadInput;
    }
    const PartHeader& header = headers.front();
    std::vector<double> atTimes;
    if (!ParseTimeList(header.Extra("at"), atTimes) || !ResolveAtTimes(atTimes, table.times, table.atIndices, error)) {
        Complain(options.parts.front() + ": bad at times '" + header.Extra("at") + "'");
        return kExitBadInput;
    }
    if (!options.variables.empty()) {
        // --vars narrows the plot to these outputs; the tables keep them all.
        for (const std::string& name : options.variables)
            if (std::find(table.outputs.begin(), table.outputs.end(), name) == table.outputs.end()) {
                Complain("--vars: '" + name + "' is not in the parts");
                return kExitBadInput;
            }
    }
    std::string directory;
    if (!PrepareOutputDirectory(options, directory)) return kExitRunFailed;
    if (header.kind == "sobol") {
        std::size_t baseRuns = 0, bootstrap = 0;
        try {
            baseRuns = std::stoul(header.Extra("base_runs"));
            bootstrap = std::stoul(header.Extra("bootstrap"));
        } catch (const std::exception&) {
            Complain(options.parts.front() + ": bad base_runs or bootstrap in the header");
            return kExitBadInput;
        }
        // The same bounds as on the command line: a header is only a file.
        if (bootstrap > kMaxBootstrap || baseRuns > table.records.size()) {
            Complain(options.parts.front() + ": bootstrap=" + std::to_string(bootstrap) + " or base_runs=" +
                     std::to_string(baseRuns) + " in the header is out of range (bootstrap at most " +
                     std::to_string(kMaxBootstrap) + ", base runs at most the runs of the parts)");
            return kExitBadInput;
        }
        if (!WriteOutput(directory, "runs.csv", [&](std::ostream& out) { WriteRunsTable(table, out); }) ||
            !WriteSobolTable(table, baseRuns, bootstrap, header.seed, directory))
            return kExitRunFailed;
        return ReportFailedRuns(table, false);
    }
    if (header.kind != "batch") {
        Complain(options.parts.front() + ": unknown part kind '" + header.kind + "'");
        return kExitBadInput;
    }
    return WriteBatchTables(table, directory, options.plotFile, options.variables);
}
