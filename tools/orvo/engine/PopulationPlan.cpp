#include "PopulationPlan.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <strings.h>

#include "ModelDoses.h"
#include "ModelSession.h"
#include "NumberText.h"
#include "RunObserver.h"
#include "SymbolText.h"

namespace {

std::string UnknownVariable(const std::string& name) { return "unknown variable '" + Clip(name) + "'"; }

bool IsGridVariable(const std::string& name) {
    return strcasecmp(name.c_str(), "cint") == 0 || strcasecmp(name.c_str(), "tstop") == 0 ||
           strcasecmp(name.c_str(), "zzticg") == 0;
}


// Records the outputs at each output point into the run's grid slots.
class TrajectoryRecorder : public RunObserver {
public:
    TrajectoryRecorder(const OrvoLibrary& library, uint32_t instance, const ModelVariables& variables,
                       const RunPlan& plan, RunRecord& record)
        : RunObserver(library, instance), variables_(variables), plan_(plan), record_(record), time_(variables.At(1)) {}

    bool SawNonFinite() const { return nonFinite_; }
    // The first line that names an error or failure (informational lines,
    // such as serviced events, may come before the cause), else the first.
    const std::string& FailureMessage() const { return firstFailure_.empty() ? firstLine_ : firstFailure_; }

private:
    void OnOutputPoint() override {
        const double now = variables_.ReadNumber(time_);
        const std::vector<double>& times = plan_.times;
        const auto after = std::lower_bound(times.begin(), times.end(), now);
        std::size_t slot = static_cast<std::size_t>(after - times.begin());
        if (after == times.end() || (after != times.begin() && now - *(after - 1) < *after - now)) --slot;
        if (!(std::fabs(times[slot] - now) <= 1e-9 * std::max(1.0, std::fabs(now)))) return;
        for (std::size_t o = 0; o < plan_.outputs.size(); ++o) {
            const double value = variables_.ReadNumber(plan_.outputs[o].variable, plan_.outputs[o].offset);
            record_.values[o * times.size() + slot] = value;
            if (!std::isfinite(value) && !nonFinite_) {
                nonFinite_ = true;
                if (record_.message.empty())
                    record_.message =
                        plan_.outputs[o].header + " = " + FormatReal(value) + " at t = " + FormatReal(now);
                library_.OrvoStop(instance_);  // the rest of this run says nothing
            }
        }
    }
    void OnStatusLine(std::string_view line) override {
        const std::string text(Trim(line));
        if (firstLine_.empty()) firstLine_ = text;
        if (firstFailure_.empty() && NamesFailure(text)) firstFailure_ = text;
    }
    void OnErrorReport(uint32_t code, const char* text) override {
        if (firstFailure_.empty()) firstFailure_ = "error " + std::to_string(code) + ": " + text;
    }
    static bool NamesFailure(const std::string& text) {
        std::string lower = text;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return lower.find("error") != std::string::npos || lower.find("fail") != std::string::npos;
    }

    const ModelVariables& variables_;
    const RunPlan& plan_;
    RunRecord& record_;
    ModelVariable time_;
    bool nonFinite_ = false;
    std::string firstLine_;
    std::string firstFailure_;
};

}  // namespace

std::string ElementHeader(const ModelVariable& v, uint32_t offset) {
    const uint32_t count = ElementCount(v.dims);
    if (count == 1) return v.name;
    uint32_t indices[6];
    ElementIndices(v.dims, offset, indices);
    std::string header = v.name + "(";
    for (int k = 0; k < 6 && indices[k] != 0; ++k) header.append(k ? "," : "").append(std::to_string(indices[k]));
    return header + ")";
}

bool ApplySettings(const ModelVariables& variables, const std::vector<Assignment>& assignments, RunPlan& plan,
                   std::string& error) {
    for (const Assignment& a : assignments) {
        const std::string where = a.origin.empty() ? "" : a.origin + ": ";
        ModelVariable variable;
        if (!variables.Find(a.name, variable)) {
            error = where + UnknownVariable(a.name);
            return false;
        }
        if (!variables.Assign(variable, a.value, error)) {
            error = where + error;
            return false;
        }
        std::erase_if(plan.settings, [&](const auto& s) { return s.first.number == variable.number; });
        plan.settings.emplace_back(variable, a.value);
    }
    return true;
}

bool ElementOffset(const ModelVariable& v, const ElementName& name, uint32_t& offset, std::string& error) {
    const uint32_t count = ElementCount(v.dims);
    uint32_t rank = 0;
    while (rank < 6 && v.dims[rank] != 0) ++rank;
    if (count > 1 && name.subscripts.empty()) {
        error = "'" + v.name + "' is an array of " + std::to_string(count) + " elements: vary one element, e.g. " +
                v.name + "(1)";
        return false;
    }
    const std::string quoted = std::string(1, '\'').append(name.Text()).append("'");
    if (!name.subscripts.empty() && name.subscripts.size() != rank) {
        error = quoted + ": '" + v.name + "' has ";
        error += rank == 0 ? std::string("no subscripts") : std::to_string(rank) + " subscript(s)";
        return false;
    }
    offset = 0;
    for (std::size_t k = name.subscripts.size(); k-- > 0;) {
        if (name.subscripts[k] > v.dims[k]) {
            error = quoted + ": subscript " + std::to_string(name.subscripts[k]) + " is beyond " +
                    std::to_string(v.dims[k]);
            return false;
        }
        offset = offset * v.dims[k] + (name.subscripts[k] - 1);
    }
    return true;
}

bool ResolveInput(const ModelVariables& variables, const ElementName& name, ModelElement& element, std::string& error) {
    ModelVariable v;
    if (!variables.Find(name.name, v)) {
        error = UnknownVariable(name.name);
        return false;
    }
    if (const std::string reason = WhyNotSettable(v.symbolType, v.constant); !reason.empty()) {
        error = "cannot vary '" + v.name + "': " + reason;
        return false;
    }
    if (v.dataType == OrvoDataTypeString) {
        error = "cannot vary '" + v.name + "': it is a string";
        return false;
    }
    if (IsGridVariable(v.name)) {
        error = "cannot vary '" + v.name + "': all runs share the output times (set it with NAME = VALUE)";
        return false;
    }
    uint32_t offset = 0;
    if (!ElementOffset(v, name, offset, error)) return false;
    element = {v, offset, ElementHeader(v, offset)};
    return true;
}

bool ResolveOutputs(const ModelVariables& variables, const std::vector<std::string>& names, RunPlan& plan,
                    std::string& error) {
    for (const std::string& name : names) {
        ModelVariable v;
        if (!variables.Find(name, v)) {
            error = UnknownVariable(name);
            return false;
        }
        if (v.dataType == OrvoDataTypeString) {
            error = "'" + v.name + "' is a string, not a number";
            return false;
        }
        for (uint32_t i = 0; i < ElementCount(v.dims); ++i) plan.outputs.push_back({v, i, ElementHeader(v, i)});
    }
    return true;
}

bool ComputeOutputTimes(const ModelVariables& variables, RunPlan& plan, std::string& error) {
    ModelVariable start, interval, stop;
    if (!variables.Find("zzticg", start) || !variables.Find("cint", interval) || !variables.Find("tstop", stop)) {
        error = "the model lacks zzticg, cint or tstop";
        return false;
    }
    const double t0 = variables.ReadNumber(start);
    const double step = variables.ReadNumber(interval);
    const double end = variables.ReadNumber(stop);
    if (!(step > 0.0) || !std::isfinite(step) || !std::isfinite(t0) || !std::isfinite(end) || !(end > t0)) {
        error = "the output times need a finite cint > 0 and tstop > zzticg (cint = " + FormatReal(step) +
                ", tstop = " + FormatReal(end) + ", zzticg = " + FormatReal(t0) + ")";
        return false;
    }
    const double points = std::floor((end - t0) / step * (1.0 + 1e-12));
    if (points > 100000) {
        error = "(tstop - zzticg) / cint = " + FormatReal(points) + " output points per run, at most 100000";
        return false;
    }
    plan.times.clear();
    for (std::size_t i = 0; i <= static_cast<std::size_t>(points); ++i)
        plan.times.push_back(t0 + static_cast<double>(i) * step);
    // The last point of the grid may pass tstop by a rounding (0.3 / 0.1):
    // it is tstop, so that a dose at tstop is not applied, as documented.
    if (plan.times.back() > end) plan.times.back() = end;
    const double last = plan.times.back();
    if (end - last > 1e-9 * std::max(1.0, std::fabs(end))) plan.times.push_back(end);
    return true;
}

bool ResolveAtTimes(const std::vector<double>& atTimes, const std::vector<double>& times,
                    std::vector<std::size_t>& indices, std::string& error) {
    indices.clear();
    for (const double at : atTimes) {
        std::size_t found = times.size();
        for (std::size_t i = 0; i < times.size(); ++i)
            if (std::fabs(times[i] - at) <= 1e-9 * std::max(1.0, std::fabs(at))) found = i;
        if (found == times.size()) {
            error = FormatReal(at) + " is not an output time (" + FormatReal(times.front()) + " to " +
                    FormatReal(times.back()) + (times.size() > 1 ? " every " + FormatReal(times[1] - times[0]) : "") +
                    ")";
            return false;
        }
        indices.push_back(found);
    }
    return true;
}

bool CheckInputRanges(const RunPlan& plan, std::string& error) {
    const std::size_t d = plan.inputs.size();
    for (std::size_t j = 0; j < d; ++j) {
        const uint32_t type = plan.inputs[j].variable.dataType;
        double low = -HUGE_VAL, high = HUGE_VAL;
        if (type == OrvoDataTypeShort) low = -32768.0, high = 32767.0;
        if (type == OrvoDataTypeLong) low = -2147483648.0, high = 2147483647.0;
        for (std::size_t run = 0; run < plan.runs; ++run) {
            const double value = plan.inputValues[run * d + j];
            if (!std::isfinite(value) || std::round(value) < low || std::round(value) > high) {
                error = "'" + plan.inputs[j].header + "' = " + FormatReal(value) + " in run " + std::to_string(run) +
                        " is outside the range of its type" +
                        (std::isfinite(low) ? " (" + FormatReal(low) + " to " + FormatReal(high) + ")" : "");
                return false;
            }
        }
    }
    return true;
}

void RoundToInputTypes(RunPlan& plan) {
    const std::size_t d = plan.inputs.size();
    for (std::size_t j = 0; j < d; ++j) {
        const uint32_t type = plan.inputs[j].variable.dataType;
        if (type != OrvoDataTypeShort && type != OrvoDataTypeLong && type != OrvoDataTypeBool) continue;
        for (std::size_t run = 0; run < plan.runs; ++run) {
            double& value = plan.inputValues[run * d + j];
            value = type == OrvoDataTypeBool ? (value != 0.0 ? 1.0 : 0.0) : std::round(value);
        }
    }
}

ModelRunner::ModelRunner(const OrvoLibrary& library, uint32_t instance, const RunPlan& plan)
    : library_(library), instance_(instance), plan_(plan), variables_(library, instance) {
    if (plan_.tolerances.Given()) SetStateTolerances(library_, instance_, variables_, plan_.tolerances);
}

RunRecord ModelRunner::Run(uint32_t run) {
    RunRecord record;
    record.run = run;
    record.values.assign(plan_.outputs.size() * plan_.times.size(), NAN);
    std::string error;
    for (const auto& [variable, text] : plan_.settings) variables_.Assign(variable, text, error);
    const double* inputs = plan_.InputsOf(run);
    for (std::size_t k = 0; k < plan_.inputs.size(); ++k)
        variables_.WriteNumber(plan_.inputs[k].variable, plan_.inputs[k].offset, inputs[k]);

    if (std::string fault = RunSettingsFault(variables_); !fault.empty()) {
        record.status = RunStatus::Error;
        record.message = std::move(fault);
        return record;
    }
    TrajectoryRecorder recorder(library_, instance_, variables_, plan_, record);
    if (plan_.doses.empty()) {
        recorder.Observe();
    } else {
        // The records may name constants this run samples: scheduled now.
        DoseSchedule schedule;
        if (!ScheduleDoses(plan_.doses, DoseModelOf(variables_), plan_.times.back(), schedule, error)) {
            record.status = RunStatus::Error;
            record.message = error;
            return record;
        }
        DoseApplier apply(variables_);
        recorder.ObserveWithDoses(schedule, plan_.times, std::ref(apply));
        apply.RestoreConstants();
    }
    double time = 0.0, stopTime = 0.0;
    if (recorder.EndedInError()) {
        record.status = RunStatus::Error;
        if (record.message.empty()) record.message = recorder.FailureMessage();
        if (record.message.empty())
            record.message =
                "the run ended in the error state at t = " + FormatReal(variables_.ReadNumber(variables_.At(1)));
    } else if (recorder.SawNonFinite()) {
        record.status = RunStatus::NonFinite;
    } else if (EndedBeforeStopTime(variables_, time, stopTime)) {
        record.status = RunStatus::Stopped;
        record.message = "stopped at t = " + FormatReal(time) + ", before tstop = " + FormatReal(stopTime);
        if (!recorder.FailureMessage().empty()) record.message += ": " + recorder.FailureMessage();
    }
    if (record.status == RunStatus::Ok) record.message.clear();  // informational texts of a good run
    // One line per record in the tables.
    std::replace(record.message.begin(), record.message.end(), '\n', ' ');
    std::replace(record.message.begin(), record.message.end(), '\r', ' ');
    return record;
}
