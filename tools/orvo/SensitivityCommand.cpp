#include "SensitivityCommand.h"

#include <algorithm>
#include <cmath>
#include <iostream>

#include "CsvWriter.h"
#include "ExitCodes.h"
#include "NumberText.h"
#include "PopulationEngine.h"
#include "SobolIndices.h"

namespace {

constexpr uint64_t kDefaultSobolRuns = 1000;
// Fewer base rows give estimates that say nothing: refused up front, and
// indices left empty when failed runs leave fewer usable.
constexpr uint64_t kMinSobolRows = 10;

// --at, or the last output time.
void DefaultAtLastTime(PopulationSetup& setup) {
    if (setup.atIndices.empty()) setup.atIndices.push_back(setup.plan.times.size() - 1);
}

}  // namespace

int LocalSensitivityCommand(const Options& options) {
    std::string error;
    if (options.sharded) {
        Complain("--shard does not apply to local sensitivity");
        return kExitBadInput;
    }
    std::vector<std::string> names;
    if (options.params.empty() || !SplitNameList(options.params, names, error)) {
        Complain("--params: give the parameters as a comma-separated list, e.g. --params bw_m,pdoseug_i");
        return kExitBadInput;
    }
    PopulationSetup setup;
    if (!ReadPopulationInputs(options, "local", setup, error)) {
        Complain(error);
        return kExitBadInput;
    }
    std::vector<ElementName> inputs(names.size());
    std::vector<std::string> origins(names.size(), "--params");
    for (std::size_t k = 0; k < names.size(); ++k)
        if (!ParseElementName(names[k], inputs[k], error)) {
            Complain("--params: " + error);
            return kExitBadInput;
        }
    if (const int status = ResolvePopulation(options, inputs, origins, setup, error); status != kExitOk) {
        Complain(error);
        return status;
    }
    // A relative step of an integer runs the same value both ways.
    for (const ModelElement& input : setup.plan.inputs)
        if (input.variable.dataType != OrvoDataTypeDouble && input.variable.dataType != OrvoDataTypeFloat) {
            Complain("--params: '" + input.header +
                     "' is not a real-valued constant: local sensitivity perturbs by a relative step");
            return kExitBadInput;
        }
    DefaultAtLastTime(setup);
    // Run 0 at the scenario's values; runs 2j+1 and 2j+2 with parameter j
    // raised and lowered by the step.
    const std::size_t d = names.size();
    RunPlan& plan = setup.plan;
    plan.runs = 2 * d + 1;
    for (std::size_t run = 0; run < plan.runs; ++run)
        for (std::size_t j = 0; j < d; ++j) {
            double factor = 1.0;
            if (run == 2 * j + 1) factor = 1.0 + options.step;
            if (run == 2 * j + 2) factor = 1.0 - options.step;
            plan.inputValues.push_back(setup.baseInputs[j] * factor);
        }
    for (std::size_t j = 0; j < d; ++j)
        if (setup.baseInputs[j] == 0.0)
            Complain("warning: " + plan.inputs[j].header + " is 0: its coefficients are empty");

    std::string directory;
    if (!PrepareOutputDirectory(options, directory)) return kExitRunFailed;
    PopulationTable table;
    if (!RunPopulation(setup, 0, plan.runs, options.jobs, options.progress, table, error)) {
        Complain(error);
        return kExitRunFailed;
    }
    const auto write = [&](std::ostream& out) {
        CsvWriter writer(out);
        writer.WriteRow({"parameter", "variable", "time", "coefficient"});
        const RunRecord& base = table.records[0];
        for (std::size_t j = 0; j < d; ++j) {
            const RunRecord& up = table.records[2 * j + 1];
            const RunRecord& down = table.records[2 * j + 2];
            const bool ran = base.status == RunStatus::Ok && up.status == RunStatus::Ok && down.status == RunStatus::Ok;
            for (std::size_t o = 0; o < table.outputs.size(); ++o)
                for (const std::size_t at : table.atIndices) {
                    const double y = table.Value(base, o, at);
                    const double coefficient =
                        (table.Value(up, o, at) - table.Value(down, o, at)) / (2.0 * options.step * y);
                    const bool defined = ran && y != 0.0 && setup.baseInputs[j] != 0.0 && std::isfinite(coefficient);
                    writer.WriteRow({plan.inputs[j].header, table.outputs[o], FormatReal(table.times[at]),
                                     defined ? FormatReal(coefficient) : std::string()});
                }
        }
    };
    if (!WriteOutput(directory, "local.csv", write) ||
        !WriteOutput(directory, "runs.csv", [&](std::ostream& out) { WriteRunsTable(table, out); }))
        return kExitRunFailed;
    return ReportFailedRuns(table, false);
}

bool WriteSobolTable(const PopulationTable& table, std::size_t baseRuns, std::size_t bootstrap, uint64_t seed,
                     const std::string& directory) {
    const SaltelliLayout layout{baseRuns, table.inputs.size()};
    if (layout.Runs() != table.records.size()) {
        Complain("the runs do not form a Sobol design of " + std::to_string(baseRuns) + " base rows");
        return false;
    }
    // results[o][a]: the indices of every parameter for output o at time a.
    std::vector<std::vector<SobolResult>> results(table.outputs.size());
    std::vector<double> y(layout.Runs());
    for (std::size_t o = 0; o < table.outputs.size(); ++o)
        for (const std::size_t at : table.atIndices) {
            for (std::size_t run = 0; run < y.size(); ++run) {
                const RunRecord& r = table.records[run];
                y[run] = r.status == RunStatus::Ok ? table.Value(r, o, at) : NAN;
            }
            results[o].push_back(EstimateSobol(layout, y, bootstrap, seed));
            const SobolResult& result = results[o].back();
            const std::string what = table.outputs[o] + " at t = " + FormatReal(table.times[at]);
            if (result.rowsUsed < std::min<std::size_t>(kMinSobolRows, baseRuns)) {
                Complain("warning: " + what + ": only " + std::to_string(result.rowsUsed) + " of " +
                         std::to_string(baseRuns) + " base rows usable (failed runs): its indices are left empty");
                continue;
            }
            if (result.constantOutput) Complain("warning: " + what + " does not vary: its indices are 0");
            if (result.rowsUsed < baseRuns)
                Complain(what + ": " + std::to_string(baseRuns - result.rowsUsed) + " of " + std::to_string(baseRuns) +
                         " base rows left out (failed runs)");
        }
    return WriteOutput(directory, "sobol.csv", [&](std::ostream& out) {
        CsvWriter writer(out);
        writer.WriteRow({"parameter", "variable", "time", "S1", "S1_low", "S1_high", "ST", "ST_low", "ST_high"});
        for (std::size_t j = 0; j < layout.dimensions; ++j)
            for (std::size_t o = 0; o < table.outputs.size(); ++o)
                for (std::size_t a = 0; a < table.atIndices.size(); ++a) {
                    const SobolIndex& s = results[o][a].indices[j];
                    const bool usable = results[o][a].rowsUsed >= std::min<std::size_t>(kMinSobolRows, baseRuns);
                    const auto cell = [usable](double v) { return usable ? FormatReal(v) : std::string(); };
                    writer.WriteRow({table.inputs[j], table.outputs[o], FormatReal(table.times[table.atIndices[a]]),
                                     cell(s.first), cell(s.firstLow), cell(s.firstHigh), cell(s.total),
                                     cell(s.totalLow), cell(s.totalHigh)});
                }
    });
}

int SobolSensitivityCommand(const Options& options) {
    std::string error;
    PopulationSetup setup;
    if (!ReadPopulationInputs(options, "sobol", setup, error)) {
        Complain(error);
        return kExitBadInput;
    }
    std::vector<ElementName> inputs;
    std::vector<std::string> origins;
    SampledInputs(setup, inputs, origins);
    if (const int status = ResolvePopulation(options, inputs, origins, setup, error); status != kExitOk) {
        Complain(error);
        return status;
    }
    DefaultAtLastTime(setup);
    const std::size_t baseRuns = options.runs != 0            ? options.runs
                                 : setup.population.runs != 0 ? setup.population.runs
                                                              : kDefaultSobolRuns;
    if (baseRuns < kMinSobolRows) {
        Complain("Sobol indices need at least " + std::to_string(kMinSobolRows) + " base rows (runs), got " +
                 std::to_string(baseRuns));
        return kExitBadInput;
    }
    const SaltelliLayout layout{baseRuns, inputs.size()};
    RunPlan& plan = setup.plan;
    plan.runs = layout.Runs();
    plan.inputValues = SaltelliDesign(setup.population.seed, layout);
    for (std::size_t run = 0; run < plan.runs; ++run)
        for (std::size_t j = 0; j < layout.dimensions; ++j) {
            double& value = plan.inputValues[run * layout.dimensions + j];
            value = setup.population.sampled[j].distribution.Sample(value);
        }
    if (!CheckInputRanges(plan, error)) {
        Complain(error);
        return kExitBadInput;
    }
    RoundToInputTypes(plan);

    std::string directory;
    if (!PrepareOutputDirectory(options, directory)) return kExitRunFailed;
    const PartHeader header = MakePartHeader(options, setup, plan.runs);
    PopulationTable table;
    if (!RunPopulation(setup, header.firstRun, header.endRun, options.jobs, options.progress, table, error)) {
        Complain(error);
        return kExitRunFailed;
    }
    if (options.sharded) {
        PartHeader part = header;
        std::vector<double> atTimes;
        for (const std::size_t at : setup.atIndices) atTimes.push_back(plan.times[at]);
        part.extra = {{"at", TimeList(atTimes)},
                      {"base_runs", std::to_string(baseRuns)},
                      {"bootstrap", std::to_string(options.bootstrap)}};
        if (!WriteOutput(directory, PartFileName(part), [&](std::ostream& out) { WritePart(part, table, out); }))
            return kExitRunFailed;
        return ReportFailedRuns(table, false);
    }
    if (!WriteOutput(directory, "runs.csv", [&](std::ostream& out) { WriteRunsTable(table, out); }) ||
        !WriteSobolTable(table, baseRuns, options.bootstrap, setup.population.seed, directory))
        return kExitRunFailed;
    return ReportFailedRuns(table, false);
}
