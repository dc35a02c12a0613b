#include "SensitivityLocal.h"

#include <cmath>

#include "AtomicFile.h"
#include "CommandLine.h"
#include "CsvWriter.h"
#include "ExitCodes.h"
#include "LocalSensitivity.h"
#include "NumberText.h"

int LocalSensitivityCommand(int argc, char** argv) {
    CLI::App app{"Normalised local sensitivity coefficients d ln y / d ln p by central differences:\n"
                 "y at p (1 + step) and p (1 - step), the others at the scenario's values; 2 runs\n"
                 "per parameter and one at the scenario.",
                 "orvo sensitivity local"};
    PopulationArguments arguments;
    OptionText params, stepText;
    AddPopulationOptions(app, arguments, "FILE: scenario (NAME = VALUE lines, no distributions), applied in order");
    OptionText dosesText;
    AddValue(app, "--doses", dosesText, "FILE.csv: dose records applied in every run (see orvo run --help)");
    app.get_option("--at")->description("output times (default: the last output time)");
    app.get_option("--set")->description("set a model constant or run setting; after the files");
    AddValue(app, "--params", params, "p1,p2,...: the real-valued constants to perturb")->required();
    AddValue(app, "--step", stepText, "relative step, from 1e-10 to below 0.5 (default 0.01)");
    app.footer(
        "\nDIR/local.csv: parameter,variable,time,coefficient\n"
        "  coefficient = (y+ - y-) / (2 step y); empty when y = 0 or a run failed.\n"
        "DIR/runs.csv as for batch.\n"
        "\nExit status: 0 all runs ok, 1 internal or library error, 2 bad input (the\n"
        "message names the file and line; nothing runs), 3 some runs failed, 4 some\n"
        "runs were lost with their worker processes.\n");
    double step = 0.01;
    std::vector<std::string> names;
    const int parsed = ParseCommand(app, "sensitivity local", argc, argv, [&](std::string& error) {
        if (!ReadPopulationArguments(arguments, error) || !ReadStep(stepText, step, error)) return false;
        if (!SplitNameList(params.Last(), names, error)) {
            error = "--params: give the parameters as a comma-separated list, e.g. --params bw_m,pdoseug_i";
            return false;
        }
        return true;
    });
    if (parsed >= 0) return parsed;
    PopulationRequest& request = arguments.request;
    request.kind = "local";
    if (dosesText.Given()) request.dosesFile = dosesText.Last();
    request.step = step;
    request.paramsText = params.Last();

    std::string error;
    std::vector<ElementName> inputs(names.size());
    std::vector<std::string> origins(names.size(), "--params");
    for (std::size_t k = 0; k < names.size(); ++k)
        if (!ParseElementName(names[k], inputs[k], error)) {
            Complain("--params: " + error);
            return kExitBadInput;
        }
    PopulationSetup setup;
    std::string directory;
    FolderLock lock;
    try {
        setup = ReadPopulationInputs(request);
        ResolvePopulation(request, inputs, origins, setup);
        ReportNotes(setup);
        // A relative step of an integer runs the same value both ways.
        for (const ModelElement& input : setup.plan.inputs)
            if (input.variable.dataType != OrvoDataTypeDouble && input.variable.dataType != OrvoDataTypeFloat) {
                Complain("--params: '" + input.header +
                         "' is not a real-valued constant: local sensitivity perturbs by a relative step");
                return kExitBadInput;
            }
        if (setup.atIndices.empty()) setup.atIndices.push_back(setup.plan.times.size() - 1);
        const std::size_t d = names.size();
        RunPlan& plan = setup.plan;
        plan.runs = 2 * d + 1;
        plan.inputValues = LocalDesign(setup.baseInputs, step);
        for (std::size_t j = 0; j < d; ++j)
            if (setup.baseInputs[j] == 0.0)
                Complain("warning: " + plan.inputs[j].header + " is 0: its coefficients are empty");
        CheckTablesAreNotInputs(OutputDirectoryOf(arguments),
                                {"local.csv", "runs.csv"}, InputFiles(request, setup.population.doses));
        directory = PrepareOutputDirectory(OutputDirectoryOf(arguments), "", &lock);
        CheckTableTargets(directory, {"local.csv", "runs.csv"});
    } catch (const PopulationError& e) {
        return ReportPopulationError(e);
    }
    // Ended by a signal, the command leaves no temporary table behind.
    const RemoveTemporariesOnSignal removeOnSignal;
    const RunPlan& plan = setup.plan;
    PopulationTable table;
    ProgressReporter progress(arguments.progress);
    if (!RunPopulation(setup, 0, plan.runs, arguments.jobCount, progress, table, error)) {
        Complain(error);
        return kExitRunFailed;
    }
    const auto write = [&](std::ostream& out) {
        CsvWriter writer(out);
        writer.WriteRow({"parameter", "variable", "time", "coefficient"});
        const RunRecord& base = table.records[0];
        for (std::size_t j = 0; j < plan.inputs.size(); ++j) {
            const RunRecord& up = table.records[2 * j + 1];
            const RunRecord& down = table.records[2 * j + 2];
            const bool ran = base.status == RunStatus::Ok && up.status == RunStatus::Ok && down.status == RunStatus::Ok;
            for (std::size_t o = 0; o < table.outputs.size(); ++o)
                for (const std::size_t at : table.atIndices) {
                    const std::optional<double> coefficient = LocalCoefficient(
                        table.Value(base, o, at), table.Value(up, o, at), table.Value(down, o, at), step);
                    const bool defined = ran && setup.baseInputs[j] != 0.0 && coefficient.has_value();
                    writer.WriteRow({plan.inputs[j].header, table.outputs[o], FormatReal(table.times[at]),
                                     defined ? FormatReal(*coefficient) : std::string()});
                }
        }
    };
    if (!WriteOutput(directory, "local.csv", write) ||
        !WriteOutput(directory, "runs.csv", [&](std::ostream& out) { WriteRunsTable(table, out); }))
        return kExitRunFailed;
    return ReportFailedRuns(table, false);
}
