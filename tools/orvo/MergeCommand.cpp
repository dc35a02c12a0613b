#include "MergeCommand.h"

#include <algorithm>
#include <fstream>

#include "BatchCommand.h"
#include "CommandLine.h"
#include "ExitCodes.h"
#include "SensitivitySobol.h"

int MergeCommand(int argc, char** argv) {
    CLI::App app{"Joins the part files of all shards (batch or sensitivity sobol --shard K/N) into\n"
                 "the tables of one run.",
                 "orvo merge"};
    std::vector<std::string> parts;
    std::string library;
    OptionText out, plot, vars;
    app.add_option("PART", parts, "the part files, all N shards of one population");
    AddValue(app, "--out", out, "DIR: output directory (default: the current directory)");
    AddValue(app, "--plot", plot, "FILE.svg: median and 90 % band over time (batch parts)");
    AddValue(app, "--vars", vars, "a,b: the variables to plot (default: all, at most 12); the tables keep all");
    // Needs no library; takes --lib like the others so hosts can pass it always.
    AddLibrary(app, library)->description("model library whose metadata gives the plot's units (optional)");
    app.footer(
        "\nmerge checks that the parts are all N shards of one population (same hash and\n"
        "seed, none missing or repeated) and writes exactly the tables of the unsharded\n"
        "run: runs.csv and summary.csv (batch) or runs.csv and sobol.csv (sensitivity sobol).\n"
        "\nExit status: 0 all runs ok, 1 a file could not be written, 2 bad input\n"
        "(parts that do not form one population), 3 some runs failed, 4 some runs\n"
        "were lost with their worker processes.\n");
    std::vector<std::string> variables;
    const int parsed =
        ParseCommand(app, "merge", argc, argv, [&](std::string& error) { return ReadVariables(vars, variables, error); });
    if (parsed >= 0) return parsed;
    const std::string plotFile = plot.Given() ? plot.Last() : std::string();

    if (parts.empty()) {
        Complain("merge needs the part files: orvo merge PART... --out DIR");
        return kExitBadInput;
    }
    std::vector<PartHeader> headers(parts.size());
    std::vector<PopulationTable> tables(parts.size());
    std::string error;
    for (std::size_t p = 0; p < parts.size(); ++p) {
        std::ifstream in(parts[p]);
        if (!in) {
            Complain("cannot open part file '" + parts[p] + "'");
            return kExitBadInput;
        }
        if (!ReadPart(in, parts[p], headers[p], tables[p], error)) {
            Complain(error);
            return kExitBadInput;
        }
    }
    PopulationTable table;
    if (!JoinParts(parts, headers, tables, table, error)) {
        Complain(error);
        return kExitBadInput;
    }
    const PartHeader& header = headers.front();
    std::vector<double> atTimes;
    if (!ParseTimeList(header.Extra("at"), atTimes) || !ResolveAtTimes(atTimes, table.times, table.atIndices, error)) {
        Complain(parts.front() + ": bad at times '" + header.Extra("at") + "'");
        return kExitBadInput;
    }
    // --vars narrows the plot to these outputs; the tables keep them all.
    for (const std::string& name : variables)
        if (std::find(table.outputs.begin(), table.outputs.end(), name) == table.outputs.end()) {
            Complain("--vars: '" + name + "' is not in the parts");
            return kExitBadInput;
        }
    std::string directory;
    try {
        directory = PrepareOutputDirectory(out.Given() ? out.Last() : std::string(), plotFile);
    } catch (const PopulationError& e) {
        return ReportPopulationError(e);
    }
    if (header.kind == "sobol") {
        std::size_t baseRuns = 0, bootstrap = 0;
        try {
            baseRuns = std::stoul(header.Extra("base_runs"));
            bootstrap = std::stoul(header.Extra("bootstrap"));
        } catch (const std::exception&) {
            Complain(parts.front() + ": bad base_runs or bootstrap in the header");
            return kExitBadInput;
        }
        // The same bounds as on the command line: a header is only a file.
        if (bootstrap > kMaxBootstrap || baseRuns > table.records.size()) {
            Complain(parts.front() + ": bootstrap=" + std::to_string(bootstrap) + " or base_runs=" +
                     std::to_string(baseRuns) + " in the header is out of range (bootstrap at most " +
                     std::to_string(kMaxBootstrap) + ", base runs at most the runs of the parts)");
            return kExitBadInput;
        }
        if (!WriteOutput(directory, "runs.csv", [&](std::ostream& o) { WriteRunsTable(table, o); }) ||
            !WriteSobolTable(table, baseRuns, bootstrap, header.seed, directory))
            return kExitRunFailed;
        return ReportFailedRuns(table, false);
    }
    if (header.kind != "batch") {
        Complain(parts.front() + ": unknown part kind '" + header.kind + "'");
        return kExitBadInput;
    }
    ModelMetadata metadata;
    if (!library.empty() && !plotFile.empty()) {
        metadata = ReadModelMetadata(library, error);
        if (!error.empty()) Complain("warning: " + error + ": the plot has no units");
    }
    return WriteBatchTables(table, directory, plotFile, variables, metadata);
}
