#include "MergeCommand.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "AtomicFile.h"
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
        "It verifies every part's checksum first, then reads the parts one run at a time\n"
        "in run order: memory does not grow with the runs' trajectories (the summary's\n"
        "percentiles go through a scratch file in DIR, removed when done; Sobol indices\n"
        "keep each run's values at the --at times).\n"
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
    // Headers first: whether the parts belong together is known before any
    // run is read. Then the runs stream through in run order, part after
    // part (each holds a contiguous range of runs), one run in memory.
    std::vector<PartHeader> headers(parts.size());
    std::vector<PopulationColumns> columns(parts.size());
    std::string error;
    const auto open = [&](std::size_t p, std::ifstream& in, std::unique_ptr<PartReader>& reader) {
        std::error_code ec;
        const std::filesystem::file_status status = std::filesystem::status(parts[p], ec);
        if (std::filesystem::is_directory(status)) {
            Complain("'" + parts[p] + "' is a folder, not a part file");
            return false;
        }
        // Each part is read more than once (its checksum first): a pipe would be empty the second time.
        if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
            Complain("'" + parts[p] + "' is a pipe or device, not a file: merge reads each part more than once, "
                     "so give it the part files themselves (decompressed)");
            return false;
        }
        in.open(parts[p]);
        if (!in) {
            // A pattern the shell left as it was matched no file.
            if (parts[p].find_first_of("*?[") != std::string::npos && !std::filesystem::exists(parts[p], ec))
                Complain("no part file matches '" + parts[p] + "': no shard wrote its part there");
            else
                Complain("cannot open part file '" + parts[p] + "'");
            return false;
        }
        reader = std::make_unique<PartReader>(in, parts[p]);
        if (!reader->ReadHeader(headers[p], columns[p], error)) {
            Complain(error);
            return false;
        }
        return true;
    };
    for (std::size_t p = 0; p < parts.size(); ++p) {
        std::ifstream in;
        std::unique_ptr<PartReader> reader;
        if (!open(p, in, reader)) return kExitBadInput;
        // A part changed or cut after it was written says so before anything else.
        in.clear();
        in.seekg(0);
        if (!VerifyPartChecksum(in, parts[p], error)) {
            Complain(error);
            return kExitBadInput;
        }
    }
    std::vector<std::size_t> order;
    if (!CheckParts(parts, headers, columns, order, error)) {
        Complain(error);
        return kExitBadInput;
    }
    const PartHeader& header = headers.front();
    PopulationColumns layout = columns.front();
    std::vector<double> atTimes;
    if (!ParseTimeList(header.Extra("at"), atTimes) || !ResolveAtTimes(atTimes, layout.times, layout.atIndices, error)) {
        Complain(parts.front() + ": bad at times '" + header.Extra("at") + "'");
        return kExitBadInput;
    }
    // --vars narrows the plot to these outputs; the tables keep them all.
    for (const std::string& name : variables)
        if (std::find(layout.outputs.begin(), layout.outputs.end(), name) == layout.outputs.end()) {
            Complain("--vars: '" + name + "' is not in the parts");
            return kExitBadInput;
        }
    if (header.kind != "batch" && header.kind != "sobol") {
        Complain(parts.front() + ": unknown part kind '" + header.kind + "'");
        return kExitBadInput;
    }
    if (header.kind == "sobol" && !plotFile.empty()) {
        Complain("--plot draws the band of batch parts; these are sensitivity sobol parts");
        return kExitBadInput;
    }
    std::size_t baseRuns = 0, bootstrap = 0;
    if (header.kind == "sobol") {
        try {
            baseRuns = std::stoul(header.Extra("base_runs"));
            bootstrap = std::stoul(header.Extra("bootstrap"));
        } catch (const std::exception&) {
            Complain(parts.front() + ": bad base_runs or bootstrap in the header");
            return kExitBadInput;
        }
        // The same bounds as on the command line: a header is only a file.
        if (bootstrap > kMaxBootstrap || baseRuns > header.totalRuns) {
            Complain(parts.front() + ": bootstrap=" + std::to_string(bootstrap) + " or base_runs=" +
                     std::to_string(baseRuns) + " in the header is out of range (bootstrap at most " +
                     std::to_string(kMaxBootstrap) + ", base runs at most the runs of the parts)");
            return kExitBadInput;
        }
    }
    std::string directory;
    FolderLock lock;
    try {
        const std::string folder = out.Given() && !out.Last().empty() ? out.Last() : ".";
        std::vector<std::pair<std::string, std::string>> files = {{folder + "/runs.csv", "where runs.csv goes"},
                                                                  {folder + "/summary.csv", "where summary.csv goes"}};
        for (const std::string& part : parts) files.emplace_back(part, "a part file");
        CheckPlotFileIsItsOwn(plotFile, files);
        files.erase(files.begin(), files.begin() + 2);
        CheckTablesAreNotInputs(folder, {"runs.csv", header.kind == "sobol" ? "sobol.csv" : "summary.csv"}, files);
        directory = PrepareOutputDirectory(out.Given() ? out.Last() : std::string(), plotFile, &lock);
        CheckTableTargets(directory, {"runs.csv", header.kind == "sobol" ? "sobol.csv" : "summary.csv"});
    } catch (const PopulationError& e) {
        return ReportPopulationError(e);
    }

    // Ended by a signal, merge leaves no temporary table behind.
    const RemoveTemporariesOnSignal removeOnSignal;
    // Every run of the parts in run order; false after saying what is wrong.
    const auto eachRun = [&](const std::function<void(const RunRecord&)>& take) {
        RunRecord record;
        for (const std::size_t p : order) {
            std::ifstream in;
            std::unique_ptr<PartReader> reader;
            const PartHeader first = headers[p];
            const PopulationColumns firstColumns = columns[p];
            if (!open(p, in, reader)) return false;
            if (headers[p].hash != first.hash || headers[p].shard != first.shard ||
                headers[p].firstRun != first.firstRun || headers[p].endRun != first.endRun ||
                columns[p].inputs != firstColumns.inputs || columns[p].outputs != firstColumns.outputs ||
                columns[p].times != firstColumns.times) {
                Complain(parts[p] + ": the file changed while merge read it");
                return false;
            }
            while (reader->Next(record, error)) take(record);
            if (!reader->Done()) {
                Complain(error);
                return false;
            }
        }
        return true;
    };
    if (header.kind == "sobol") {
        // runs.csv as the runs pass; the indices need every run at once, but
        // only its values at the --at times.
        AtomicFileWriter runsFile;
        if (!runsFile.Open(directory + "/runs.csv", error)) {
            Complain(error);
            return kExitRunFailed;
        }
        RunsTableWriter runsWriter(layout, runsFile.stream());
        PopulationTable atValues;
        atValues.inputs = layout.inputs;
        atValues.outputs = layout.outputs;
        for (std::size_t a = 0; a < layout.atIndices.size(); ++a) {
            atValues.times.push_back(layout.times[layout.atIndices[a]]);
            atValues.atIndices.push_back(a);
        }
        RunCounts counts;
        if (!eachRun([&](const RunRecord& r) {
                counts.Add(r);
                runsWriter.Add(r);
                RunRecord kept;
                kept.run = r.run;
                kept.inputs = r.inputs;
                kept.status = r.status;
                for (std::size_t o = 0; o < layout.outputs.size(); ++o)
                    for (const std::size_t at : layout.atIndices) kept.values.push_back(layout.Value(r, o, at));
                atValues.records.push_back(std::move(kept));
            }))
            return kExitBadInput;
        if (!runsFile.Commit(error)) {
            Complain(error);
            return kExitRunFailed;
        }
        if (!WriteSobolTable(atValues, baseRuns, bootstrap, header.seed, directory)) return kExitRunFailed;
        return ReportFailedRuns(counts, false);
    }
    BatchTables tables;
    if (!tables.Open(layout, directory, header.totalRuns)) return kExitRunFailed;
    try {
        if (!eachRun([&](const RunRecord& r) { tables.Add(r); })) return kExitBadInput;
    } catch (const PopulationError& e) {
        return ReportPopulationError(e);
    }
    ModelMetadata metadata;
    if (!library.empty() && !plotFile.empty()) {
        std::string problem;
        metadata = ReadModelMetadata(library, problem);
        if (!problem.empty()) Complain("warning: " + problem + ": the plot has no units");
    }
    return tables.Finish(plotFile, variables, metadata);
}
