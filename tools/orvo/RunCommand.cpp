#include "RunCommand.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "AtomicFile.h"
#include "CommandLine.h"
#include "CsvWriter.h"
#include "ExitCodes.h"
#include "ModelDoses.h"
#include "ModelMetadata.h"
#include "ModelSession.h"
#include "ModelVariables.h"
#include "PopulationPlan.h"
#include "RunRecorder.h"
#include "RunSummary.h"
#include "StopSignals.h"
#include "SymbolText.h"

namespace {

void Fail(const std::string& message) { std::cerr << "orvo: " << message << "\n"; }

std::string UnknownVariable(const std::string& name) { return "unknown variable '" + Clip(name) + "'"; }

bool CollectAssignments(const std::vector<std::string>& scenarios, const std::vector<Assignment>& settings,
                        std::vector<Assignment>& assignments) {
    for (const std::string& file : scenarios) {
        std::ifstream in(file);
        if (!in) {
            Fail("cannot open scenario file '" + file + "'");
            return false;
        }
        std::string error;
        if (!ReadScenario(in, file, assignments, error)) {
            Fail(error);
            return false;
        }
    }
    assignments.insert(assignments.end(), settings.begin(), settings.end());
    return true;
}

// A variable, or one element of an array written NAME(I) or NAME[I]
// (`element` then true, and `offset` its place in storage).
bool FindElement(const ModelVariables& variables, const std::string& text, ModelVariable& variable, bool& element,
                 uint32_t& offset, std::string& error) {
    element = text.find_first_of("([") != std::string::npos;
    offset = 0;
    if (!element) {
        if (variables.Find(text, variable)) return true;
        error = UnknownVariable(text);
        return false;
    }
    std::string written = text;
    std::replace(written.begin(), written.end(), '[', '(');
    std::replace(written.begin(), written.end(), ']', ')');
    ElementName name;
    if (!ParseElementName(written, name, error)) return false;
    if (!variables.Find(name.name, variable)) {
        error = UnknownVariable(name.name);
        return false;
    }
    if (name.subscripts.empty()) name.subscripts.push_back(0);  // "a()": refused below
    return ElementOffset(variable, name, offset, error);
}

bool ApplyAssignments(const ModelVariables& variables, const std::vector<Assignment>& assignments,
                      std::vector<AppliedSetting>& applied) {
    for (const Assignment& a : assignments) {
        const std::string where = a.origin.empty() ? "" : a.origin + ": ";
        ModelVariable variable;
        bool element = false;
        uint32_t offset = 0;
        std::string error;
        if (!FindElement(variables, a.name, variable, element, offset, error) ||
            !(element ? variables.AssignElement(variable, offset, a.value, error)
                      : variables.Assign(variable, a.value, error))) {
            Fail(where + error);
            return false;
        }
        // A later setting of the same variable replaces the earlier one.
        std::erase_if(applied, [&](const AppliedSetting& s) { return s.variable.number == variable.number; });
        applied.push_back({variable, a.origin});
    }
    return true;
}

// "header (unit)" with --units when the metadata gives the variable one.
std::string WithUnit(std::string header, const ModelVariable& v, const ModelMetadata& metadata, bool withUnits) {
    if (withUnits) {
        const auto unit = metadata.units.find(v.name);
        if (unit != metadata.units.end() && !unit->second.empty()) header += " (" + unit->second + ")";
    }
    return header;
}

// A column per element of each variable, in order: NAME, or NAME[I] for arrays.
void AddColumns(const std::vector<ModelVariable>& chosen, std::vector<RunRecorder::Column>& columns,
                const ModelMetadata& metadata, bool withUnits) {
    for (const ModelVariable& v : chosen) {
        const uint32_t count = ElementCount(v.dims);
        for (uint32_t i = 0; i < count; ++i) {
            std::string header = v.name;
            if (count > 1) header.append("[").append(std::to_string(i + 1)).append("]");
            columns.push_back({v, i, WithUnit(header, v, metadata, withUnits)});
        }
    }
}

// While the CSV goes to a temporary file: SIGINT, SIGTERM or SIGHUP removes
// it and then ends orvo as the signal asked, so an interrupted run leaves
// neither a partial CSV nor its temporary file, and an earlier file of that
// name stays as it was. A signal the caller ignores stays ignored.
char interruptedOutput[PATH_MAX + 64];

void RemoveOutputAndRaise(int signal) {
    unlink(interruptedOutput);
    raise(signal);  // the disposition is back to the default (SA_RESETHAND)
}

class RemoveOnSignal {
public:
    explicit RemoveOnSignal(const std::string& temporary) {
        if (temporary.empty() || temporary.size() >= sizeof interruptedOutput) return;
        std::memcpy(interruptedOutput, temporary.c_str(), temporary.size() + 1);
        handler_.emplace(RemoveOutputAndRaise, SA_RESETHAND | SA_RESTART);
    }

private:
    std::optional<StopSignalHandler> handler_;
};

// An input the output file would replace: what it is, else "".
std::string InputNamedAsOutput(const std::string& output, const std::vector<std::pair<std::string, std::string>>& inputs) {
    std::error_code ec;
    // Devices and pipes (/dev/stdout) are written to, not replaced.
    return std::filesystem::is_regular_file(output, ec) ? FileItWouldReplace(output, inputs) : std::string();
}

// True when `path` is what standard output writes to (/dev/stdout, /dev/fd/1).
bool IsStandardOutput(const std::string& path) {
    struct stat out {}, file {};
    return fstat(STDOUT_FILENO, &out) == 0 && stat(path.c_str(), &file) == 0 && out.st_dev == file.st_dev &&
           out.st_ino == file.st_ino;
}

bool IsWritableFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && access(path.c_str(), W_OK) == 0;
}

bool ResolveColumns(const ModelVariables& variables, const std::vector<std::string>& names,
                    const ModelMetadata& metadata, bool withUnits, std::vector<RunRecorder::Column>& columns) {
    std::vector<ModelVariable> chosen;
    if (names.empty()) {
        // Without --vars: what the model declares to record, else time and
        // every state.
        for (const std::string& name : metadata.record) {
            ModelVariable v;
            if (variables.Find(name, v)) chosen.push_back(v);
        }
        if (chosen.empty()) {
            chosen.push_back(variables.At(1));
            for (uint32_t n = 2;; ++n) {
                const ModelVariable v = variables.At(n);
                if (v.symbolType != OrvoSymbolState) break;
                chosen.push_back(v);
            }
        }
    } else {
        for (const std::string& name : names) {
            ModelVariable v;
            bool element = false;
            uint32_t offset = 0;
            std::string error;
            if (!FindElement(variables, name, v, element, offset, error)) {
                Fail("--vars: " + error);
                return false;
            }
            if (!element) {
                chosen.push_back(v);
                continue;
            }
            // One element of an array: its own column, NAME[I] as whole arrays write theirs.
            AddColumns(chosen, columns, metadata, withUnits);
            chosen.clear();
            std::string header = ElementHeader(v, offset);
            std::replace(header.begin(), header.end(), '(', '[');
            std::replace(header.begin(), header.end(), ')', ']');
            columns.push_back({v, offset, WithUnit(header, v, metadata, withUnits)});
        }
    }
    AddColumns(chosen, columns, metadata, withUnits);
    // A whole array and one of its elements give that element twice.
    for (std::size_t i = 0; i < columns.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (SameElement(columns[j], columns[i])) {
                Fail("--vars: '" + Clip(columns[i].header) + "' is recorded twice");
                return false;
            }
    return true;
}

}  // namespace

int RunCommand(int argc, char** argv) {
    CLI::App app{"Runs the model once and writes one CSV row per output point.", "orvo run"};
    std::string libraryPath;
    OptionText scenarios, settingsText, out, vars, dosesText, rtol, atol;
    bool summary = false, withUnits = false;
    AddLibrary(app, libraryPath);
    AddValue(app, "--scenario", scenarios, "FILE: NAME=VALUE lines ('#' starts a comment), applied before --set");
    AddValue(app, "--set", settingsText,
             "NAME=VALUE: set a model constant or run setting; arrays take one comma-separated value per element, "
             "NAME(I)=VALUE sets one element");
    AddValue(app, "--out", out, "FILE.csv: write the CSV there instead of standard output");
    AddValue(app, "--vars", vars,
             "a,b,c: variables to record, NAME(I) one element of an array (default: time, key amounts and "
             "concentrations, mass balances)");
    AddValue(app, "--doses", dosesText,
             "FILE.csv: dose records, one per line under a header of the columns time, target, amount | value "
             "[, rate | duration] [, ii, addl]: a bolus amount added to a state, a constant set to a value, or an "
             "infusion of amount into a constant (its input rate) at rate or over duration; ii and addl repeat the "
             "record addl more times every ii. Numbers or names of constants.");
    AddToleranceOptions(app, rtol, atol);
    app.add_flag("--summary", summary,
                 "print a short summary of the run to standard output (to standard error when the CSV goes to "
                 "standard output)")
        ->disable_flag_override();
    app.add_flag("--units", withUnits,
                 "write each column's unit after its name in the header, 'NAME (UNIT)', as the model's metadata "
                 "gives it (names without a unit stay bare)")
        ->disable_flag_override();
    app.footer(
        "\nExit status: 0 success, 1 the run failed or output could not be written,\n"
        "2 bad command line, unknown variable or bad value.\n");
    std::vector<Assignment> settings;
    std::vector<std::string> names;
    StateTolerances tolerances;
    const int parsed = ParseCommand(app, "run", argc, argv, [&](std::string& error) {
        // Given twice, one of the files would be left out without a word.
        for (const auto& [text, option] : {std::pair{&out, "--out"}, std::pair{&dosesText, "--doses"}}) {
            if (text->values.size() > 1) {
                error = std::string(option) + " is given " + std::to_string(text->values.size()) +
                        " times; a run takes one file";
                return false;
            }
        }
        return ReadSettings(settingsText, settings, error) && ReadVariables(vars, names, error) &&
               ReadTolerances(rtol, atol, tolerances, error);
    });
    if (parsed >= 0) return parsed;
    const std::string outputFile = out.Given() ? out.Last() : std::string();
    const std::string dosesFile = dosesText.Given() ? dosesText.Last() : std::string();

    OrvoLibrary library;
    ModelMetadata metadata;
    if (!LoadModel(libraryPath, library, metadata)) return kExitRunFailed;
    std::vector<Assignment> assignments;
    if (!CollectAssignments(scenarios.values, settings, assignments)) return kExitBadInput;


    ModelSession session(library);
    if (session.instance() == 0) {
        Fail("the library could not create a model instance");
        return kExitRunFailed;
    }
    const ModelVariables variables(library, session.instance());

    std::vector<RunRecorder::Column> columns;
    if (!ResolveColumns(variables, names, metadata, withUnits, columns)) return kExitBadInput;
    std::vector<AppliedSetting> applied;
    if (!ApplyAssignments(variables, assignments, applied)) return kExitBadInput;
    SetStateTolerances(library, session.instance(), variables, tolerances);
    if (const std::string fault = RunSettingsFault(variables); !fault.empty()) {
        Fail(fault);
        return kExitBadInput;
    }
    // Dose records: checked against the model before anything is written.
    std::vector<DoseRecord> doses;
    DoseSchedule schedule;
    RunPlan plan;
    if (!dosesFile.empty()) {
        std::string error;
        if (!ReadDoseFile(dosesFile, doses, error) || !ComputeOutputTimes(variables, plan, error) ||
            !ScheduleDoses(doses, DoseModelOf(variables), plan.times.back(), schedule, error)) {
            Fail(error);
            return kExitBadInput;
        }
        for (const std::string& warning : schedule.warnings) std::cerr << "orvo: warning: " << warning << "\n";
    }

    // The CSV goes to a temporary file renamed over --out when the run is
    // done: a write that fails or a signal leaves an earlier file as it was.
    AtomicFileWriter file;
    std::ofstream inPlace;
    // --out /dev/stdout is standard output itself, written as it is (appended
    // to with >>), with the summary kept off it.
    const bool toStdout = outputFile.empty() || outputFile == "-" || IsStandardOutput(outputFile);
    if (!toStdout) {
        std::vector<std::pair<std::string, std::string>> inputs;
        for (const std::string& scenario : scenarios.values) inputs.emplace_back(scenario, "a scenario file");
        inputs.emplace_back(dosesFile, "the dose-record file");
        std::string libraryFile = libraryPath.empty() ? OrvoLibrary::DefaultPath() : libraryPath;
        inputs.emplace_back(libraryFile, "the model library");
        if (libraryFile.size() > 3 && libraryFile.compare(libraryFile.size() - 3, 3, ".so") == 0)
            inputs.emplace_back(libraryFile.replace(libraryFile.size() - 3, 3, ".json"), "the model's metadata");
        if (const std::string what = InputNamedAsOutput(outputFile, inputs); !what.empty()) {
            Fail("--out: '" + outputFile + "' is " + what + ": the CSV would replace it; give the CSV a file of its own");
            return kExitBadInput;
        }
        std::string error;
        if (CheckFileTarget(outputFile, error) && !file.Open(outputFile, error)) {
            if (IsWritableFile(outputFile)) {
                // A file this user may write in a folder it may not: written where it is.
                inPlace.open(outputFile, std::ios::out | std::ios::trunc);
                if (inPlace) error.clear();
            }
            // Named by --out, not by the temporary file: "cannot write 'x.csv': Permission denied".
            if (const std::size_t reason = error.rfind("': "); reason != std::string::npos)
                error = "cannot write '" + outputFile + "'" + error.substr(reason + 1);
        }
        if (!error.empty()) {
            Fail(error);
            return kExitRunFailed;
        }
    }
    const RemoveOnSignal removeOnSignal(file.TemporaryPath());
    CsvWriter writer(toStdout ? std::cout : inPlace.is_open() ? inPlace : file.stream());
    RunRecorder recorder(library, session.instance(), variables, std::move(columns), writer);
    if (doses.empty()) {
        recorder.Run();
    } else {
        DoseApplier apply(variables);
        recorder.RunWithDoses(schedule, plan.times, std::ref(apply));
    }

    int status = kExitOk;
    double time = 0.0;
    double stopTime = 0.0;
    if (recorder.WriteFailed()) {
        Fail("writing '" + (toStdout ? std::string("standard output") : outputFile) + "' failed");
        status = kExitRunFailed;
    }
    if (recorder.EndedInError()) {
        Fail("the run ended in the error state at t = " + FormatReal(variables.ReadNumber(variables.At(1))));
        status = kExitRunFailed;
    } else if (!recorder.WriteFailed() && EndedBeforeStopTime(variables, time, stopTime)) {
        Fail("the run stopped at t = " + FormatReal(time) + ", before tstop = " + FormatReal(stopTime));
        status = kExitRunFailed;
    }
    // The rows of a run that ended early are kept (with exit status 1): they
    // show where it went wrong. Output whose write failed is not.
    if (!toStdout && !inPlace.is_open() && !recorder.WriteFailed()) {
        std::string error;
        if (!file.Commit(error)) {
            Fail(error);
            status = kExitRunFailed;
        }
    }
    if (summary) {
        // With the CSV on standard output the summary goes to stderr, so the
        // CSV stays readable.
        std::ostream& to = toStdout ? std::cerr : std::cout;
        PrintRunSummary(to, variables, metadata, applied, recorder);
        if (!to.flush()) {
            Fail("writing the summary to standard output failed");
            status = kExitRunFailed;
        }
    }
    return status;
}
