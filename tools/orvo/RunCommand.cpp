#include "RunCommand.h"

#include <cmath>
#include <fstream>
#include <functional>
#include <iostream>

#include "CsvWriter.h"
#include "ModelDoses.h"
#include "ModelSession.h"
#include "ModelVariables.h"
#include "PopulationPlan.h"
#include "RunRecorder.h"
#include "RunSummary.h"
#include "SymbolText.h"

namespace {

// Recorded when --vars is not given: time, doses, maternal and fetal amounts
// and concentrations of both chemicals, and the two mass balances.
const char* const kDefaultVariables[] = {
    "t",          "aioral_i",   "aplasma_mi", "ca_mi",          "cthyt_mi",       "aelim_mi",
    "aplasma_fi", "ca_fi",      "cthy_fi",    "aioral_p",       "aplasma_mp",     "ca_mp",
    "cthy_mp",    "aelim_mp",   "aplasma_fp", "ca_fp",          "cthy_fp",        "massb_amount_i",
    "massb_amount_p"};

void Fail(const std::string& message) { std::cerr << "orvo: " << message << "\n"; }

std::string UnknownVariable(const std::string& name) { return "unknown variable '" + Clip(name) + "'"; }

bool CollectAssignments(const Options& options, std::vector<Assignment>& assignments) {
    for (const std::string& file : options.scenarios) {
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
    assignments.insert(assignments.end(), options.settings.begin(), options.settings.end());
    return true;
}

bool ApplyAssignments(const ModelVariables& variables, const std::vector<Assignment>& assignments,
                      std::vector<AppliedSetting>& applied) {
    for (const Assignment& a : assignments) {
        const std::string where = a.origin.empty() ? "" : a.origin + ": ";
        ModelVariable variable;
        if (!variables.Find(a.name, variable)) {
            Fail(where + UnknownVariable(a.name));
            return false;
        }
        std::string error;
        if (!variables.Assign(variable, a.value, error)) {
            Fail(where + error);
            return false;
        }
        // A later setting of the same variable replaces the earlier one.
        std::erase_if(applied, [&](const AppliedSetting& s) { return s.variable.number == variable.number; });
        applied.push_back({variable, a.origin});
    }
    return true;
}

bool ResolveColumns(const ModelVariables& variables, const Options& options,
                    std::vector<RunRecorder::Column>& columns) {
    std::vector<ModelVariable> chosen;
    if (options.variables.empty()) {
        // A library carrying another model may lack some of these.
        for (const char* name : kDefaultVariables) {
            ModelVariable v;
            if (variables.Find(name, v)) chosen.push_back(v);
        }
    } else {
        for (const std::string& name : options.variables) {
            ModelVariable v;
            if (!variables.Find(name, v)) {
                Fail("--vars: " + UnknownVariable(name));
                return false;
            }
            chosen.push_back(v);
        }
    }
    for (const ModelVariable& v : chosen) {
        const uint32_t count = ElementCount(v.dims);
        for (uint32_t i = 0; i < count; ++i) {
            std::string header = v.name;
            if (count > 1) header.append("[").append(std::to_string(i + 1)).append("]");
            columns.push_back({v, i, header});
        }
    }
    return true;
}

}  // namespace

int RunCommand(const OrvoLibrary& library, const Options& options) {
    std::vector<Assignment> assignments;
    if (!CollectAssignments(options, assignments)) return kExitBadInput;

    ModelSession session(library);
    if (session.instance() == 0) {
        Fail("the library could not create a model instance");
        return kExitRunFailed;
    }
    const ModelVariables variables(library, session.instance());

    std::vector<RunRecorder::Column> columns;
    if (!ResolveColumns(variables, options, columns)) return kExitBadInput;
    std::vector<AppliedSetting> applied;
    if (!ApplyAssignments(variables, assignments, applied)) return kExitBadInput;
    if (const std::string fault = RunSettingsFault(variables); !fault.empty()) {
        Fail(fault);
        return kExitBadInput;
    }
    // Dose records: checked against the model before anything is written.
    std::vector<DoseRecord> doses;
    DoseSchedule schedule;
    RunPlan plan;
    if (!options.dosesFile.empty()) {
        std::string error;
        if (!ReadDoseFile(options.dosesFile, doses, error) || !ComputeOutputTimes(variables, plan, error) ||
            !ScheduleDoses(doses, DoseModelOf(variables), plan.times.back(), schedule, error)) {
            Fail(error);
            return kExitBadInput;
        }
        for (const std::string& warning : schedule.warnings) std::cerr << "orvo: warning: " << warning << "\n";
    }

    std::ofstream file;
    const bool toStdout = options.outputFile.empty() || options.outputFile == "-";
    if (!toStdout) {
        file.open(options.outputFile, std::ios::out | std::ios::trunc);
        if (!file) {
            Fail("cannot write '" + options.outputFile + "'");
            return kExitRunFailed;
        }
    }
    CsvWriter writer(toStdout ? std::cout : file);
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
        Fail("writing '" + (toStdout ? std::string("standard output") : options.outputFile) + "' failed");
        status = kExitRunFailed;
    }
    if (recorder.EndedInError()) {
        Fail("the run ended in the error state at t = " + FormatReal(variables.ReadNumber(variables.At(1))));
        status = kExitRunFailed;
    } else if (!recorder.WriteFailed() && EndedBeforeStopTime(variables, time, stopTime)) {
        Fail("the run stopped at t = " + FormatReal(time) + ", before tstop = " + FormatReal(stopTime));
        status = kExitRunFailed;
    }
    if (options.summary) {
        // With the CSV on standard output the summary goes to stderr, so the
        // CSV stays readable.
        PrintRunSummary(toStdout ? std::cerr : std::cout, variables, applied, recorder);
    }
    return status;
}
