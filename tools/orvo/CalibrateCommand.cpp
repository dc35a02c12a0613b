#include "CalibrateCommand.h"

#include <CLI/CLI.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "AtomicFile.h"
#include "CalibrationFile.h"
#include "CalibrationPlot.h"
#include "CommandLine.h"
#include "ContentHash.h"
#include "CounterRandom.h"
#include "ExitCodes.h"
#include "Mcmc.h"
#include "ModelDoses.h"
#include "ModelMetadata.h"
#include "ModelSession.h"
#include "NumberText.h"
#include "OrvoLibrary.h"
#include "PopulationPlan.h"
#include "RunObserver.h"
#include "SymbolText.h"

namespace {

// One model run of an experiment: all its data, or one subject's when
// parameters vary between subjects. The distinct data times and, per
// observation, where its prediction is.
struct RunGroup {
    int subject = -1;
    DoseSchedule doses;
    std::vector<double> times;
    std::vector<ModelElement> variables;  // recorded
    std::vector<std::size_t> observations, timeOf, variableOf;
};

// One experiment resolved against the model.
struct ExperimentPlan {
    std::vector<std::pair<ModelVariable, std::string>> settings;
    std::vector<DoseRecord> doseRecords;
    double start = 0.0;
    std::vector<RunGroup> groups;
    bool dosesNameParameters = false;  // then scheduled anew for each run
};

class PointRecorder : public RunObserver {
public:
    PointRecorder(const OrvoLibrary& library, uint32_t instance, const ModelVariables& variables,
                  const std::vector<ModelElement>& recorded, std::vector<double>& values)
        : RunObserver(library, instance), variables_(variables), recorded_(recorded), values_(values) {}

protected:
    void OnOutputPoint() override {
        for (const ModelElement& e : recorded_) values_.push_back(variables_.ReadNumber(e.variable, e.offset));
    }
    void OnStatusLine(std::string_view) override {}
    void OnErrorReport(uint32_t, const char*) override {}

private:
    const ModelVariables& variables_;
    const std::vector<ModelElement>& recorded_;
    std::vector<double>& values_;
};

// The observed element: a scalar `name`, or `name(i)` of an array (the
// whole array would be read as its first element).
bool FindObserved(const ModelVariables& variables, const std::string& text, ModelElement& element,
                  std::string& error) {
    ElementName name;
    if (!ParseElementName(text, name, error) || !variables.Find(name.name, element.variable)) {
        error = "unknown variable '" + text + "'";
        return false;
    }
    const ModelVariable& v = element.variable;
    if (ElementCount(v.dims) > 1 && name.subscripts.empty()) {
        error = "'" + v.name + "' is an array of " + std::to_string(ElementCount(v.dims)) +
                " elements: observe one element, e.g. " + v.name + "(1), in the error model and the data";
        return false;
    }
    return ElementOffset(v, name, element.offset, error);
}

struct Problem {
    CalibrationDefinition definition;
    std::vector<ModelVariable> parameterVariables;  // NAME ~ ... that are model variables (others: sd and population parameters)
    std::vector<uint32_t> parameterOffsets;         // the element of each (NAME(i) ~ ...)
    std::vector<int> parameterOf;  // model parameter k -> index in the definition
    std::vector<std::pair<ModelVariable, std::string>> settings;
    std::vector<ExperimentPlan> experiments;
};

bool Resolve(const ModelVariables& variables, Problem& problem, std::string& error) {
    CalibrationDefinition& def = problem.definition;
    for (std::size_t k = 0; k < def.parameters.size(); ++k) {
        bool isSd = false;
        for (const ErrorModel& e : def.errors) isSd |= e.sdParameter == static_cast<int>(k);
        for (const CalibrationParameter& p : def.parameters)
            for (int r : p.references) isSd |= r == static_cast<int>(k);
        ModelVariable v;
        ElementName name;
        if (!ParseElementName(def.parameters[k].name, name, error) || !variables.Find(name.name, v)) {
            if (isSd) continue;
            error = def.parameters[k].origin + ": unknown parameter '" + def.parameters[k].name +
                    "' (no model variable of that name, nor an error sd or population parameter)";
            return false;
        }
        ModelElement element;
        std::string message;
        if (!ResolveInput(variables, name, element, message)) {
            error = def.parameters[k].origin + ": " + message;
            return false;
        }
        v = element.variable;
        // A chain moves continuously; an integer would only see its rounding.
        if (v.dataType != OrvoDataTypeDouble && v.dataType != OrvoDataTypeFloat) {
            error = def.parameters[k].origin + ": cannot calibrate '" + v.name +
                    "': it is not a real-valued constant";
            return false;
        }
        problem.parameterVariables.push_back(v);
        problem.parameterOffsets.push_back(element.offset);
        problem.parameterOf.push_back(static_cast<int>(k));
    }
    const auto resolveSettings = [&](const std::vector<Assignment>& assignments,
                                     std::vector<std::pair<ModelVariable, std::string>>& out) {
        for (const Assignment& a : assignments) {
            ModelVariable v;
            if (!variables.Find(a.name, v)) {
                error = a.origin + ": unknown variable '" + a.name + "'";
                return false;
            }
            // The chain's value would silently replace the setting in every run.
            for (std::size_t k = 0; k < problem.parameterVariables.size(); ++k)
                if (problem.parameterVariables[k].number == v.number) {
                    const CalibrationParameter& p = def.parameters[problem.parameterOf[k]];
                    error = a.origin + ": '" + a.name + "' is calibrated (" + p.origin +
                            "): set it or calibrate it, not both";
                    return false;
                }
            std::string message;
            if (!variables.Assign(v, a.value, message)) {
                error = a.origin + ": " + message;
                return false;
            }
            out.emplace_back(v, a.value);
        }
        return true;
    };
    if (!resolveSettings(def.settings, problem.settings)) return false;
    for (const ErrorModel& e : def.errors) {
        ModelElement observed;
        if (!FindObserved(variables, e.variable, observed, error)) {
            error = e.origin + ": " + error;
            return false;
        }
    }
    // The runs share one instance: what one experiment sets, the others set
    // back to the model's value (before any setting is written).
    std::vector<std::pair<ModelVariable, std::string>> defaults;
    const std::size_t others = def.experiments.size() > 1 ? def.experiments.size() : 0;
    for (std::size_t e = 0; e < others; ++e)
        for (const Assignment& a : def.experiments[e].settings) {
            ModelVariable v;
            if (!variables.Find(a.name, v) ||
                std::any_of(defaults.begin(), defaults.end(), [&](const auto& d) { return d.first.number == v.number; }))
                continue;
            std::string text;
            for (uint32_t i = 0; i < ElementCount(v.dims); ++i) text += (i ? "," : "") + variables.ReadText(v, i);
            if (!variables.Assign(v, text, error)) {
                error = a.origin + ": cannot restore '" + v.name + "' for the other experiments: " + error;
                return false;
            }
            defaults.emplace_back(v, text);
        }
    for (Experiment& experiment : def.experiments) {
        ExperimentPlan plan;
        plan.settings = defaults;
        plan.settings.insert(plan.settings.end(), problem.settings.begin(), problem.settings.end());
        if (!resolveSettings(experiment.settings, plan.settings)) return false;
        for (const auto& [v, text] : plan.settings) variables.Assign(v, text, error);
        if (std::string fault = RunSettingsFault(variables); !fault.empty()) {
            error = experiment.origin + ": " + fault;
            return false;
        }
        ModelVariable start, stop;
        plan.start = variables.Find("zzticg", start) ? variables.ReadNumber(start) : 0.0;
        const double t0 = plan.start;
        const double t1 = variables.Find("tstop", stop) ? variables.ReadNumber(stop) : HUGE_VAL;
        for (const Observation& o : experiment.data)
            if (o.time < t0 || o.time > t1) {
                error = o.origin + ": time " + FormatReal(o.time) + " is outside the run [" + FormatReal(t0) + ", " +
                        FormatReal(t1) + "]";
                return false;
            }
        if (!experiment.dosesFile.empty() && !ReadDoseFile(experiment.dosesFile, plan.doseRecords, error)) {
            if (!std::ifstream(experiment.dosesFile)) error = experiment.origin + ": " + error;
            return false;
        }
        for (const DoseRecord& r : plan.doseRecords)
            for (const DoseQuantity* q : {&r.time, &r.amount, &r.value, &r.rate, &r.duration, &r.ii}) {
                ModelVariable v;
                if (q->name.empty() || !variables.Find(q->name, v)) continue;
                for (const ModelVariable& p : problem.parameterVariables)
                    plan.dosesNameParameters |= p.number == v.number;
            }
        // One run per subject when parameters vary between subjects, else one for all.
        for (std::size_t i = 0; i < experiment.data.size(); ++i) {
            const int subject = def.Hierarchical() ? experiment.data[i].subjectIndex : -1;
            std::size_t g = 0;
            while (g < plan.groups.size() && plan.groups[g].subject != subject) ++g;
            if (g == plan.groups.size()) plan.groups.push_back(RunGroup{subject, {}, {}, {}, {}, {}, {}});
            plan.groups[g].observations.push_back(i);
        }
        for (RunGroup& group : plan.groups) {
            for (std::size_t i : group.observations) group.times.push_back(experiment.data[i].time);
            std::sort(group.times.begin(), group.times.end());
            group.times.erase(std::unique(group.times.begin(), group.times.end()), group.times.end());
            for (std::size_t i : group.observations) {
                const Observation& o = experiment.data[i];
                ModelElement v;
                FindObserved(variables, o.variable, v, error);  // as its error model's
                std::size_t k = 0;
                while (k < group.variables.size() && !SameElement(group.variables[k], v)) ++k;
                if (k == group.variables.size()) group.variables.push_back(v);
                group.variableOf.push_back(k);
                group.timeOf.push_back(std::lower_bound(group.times.begin(), group.times.end(), o.time) -
                                       group.times.begin());
            }
            if (!plan.doseRecords.empty() &&
                !ScheduleDoses(plan.doseRecords, DoseModelOf(variables), group.times.back(), group.doses, error))
                return false;
        }
        problem.experiments.push_back(std::move(plan));
    }
    return true;
}

// Sets the experiment's settings and the point's parameters (the subject's
// values for those that vary by subject; subject -1: the values in
// `newSubject`, one per such parameter), then runs to `times` recording
// `recorded`. False when the run fails.
bool RunModel(const OrvoLibrary& library, uint32_t instance, const ModelVariables& variables, const Problem& problem,
              const ExperimentPlan& plan, const double* point, int subject, const double* newSubject,
              const DoseSchedule& doses, const std::vector<double>& times, const std::vector<ModelElement>& recorded,
              std::vector<double>& values) {
    const CalibrationDefinition& def = problem.definition;
    std::string error;
    for (const auto& [v, text] : plan.settings) variables.Assign(v, text, error);
    for (std::size_t k = 0; k < problem.parameterVariables.size(); ++k) {
        const std::size_t p = static_cast<std::size_t>(problem.parameterOf[k]);
        const double value = p < def.sharedCount ? point[p]
                             : subject >= 0      ? point[def.Slot(p, static_cast<std::size_t>(subject))]
                                                 : newSubject[p - def.sharedCount];
        variables.WriteNumber(problem.parameterVariables[k], problem.parameterOffsets[k], value);
    }
    values.clear();
    values.reserve(times.size() * recorded.size());
    // Records that name a calibrated parameter take this point's value.
    DoseSchedule ownDoses;
    if (plan.dosesNameParameters &&
        !ScheduleDoses(plan.doseRecords, DoseModelOf(variables), times.back(), ownDoses, error))
        return false;
    PointRecorder recorder(library, instance, variables, recorded, values);
    DoseApplier apply(variables);
    recorder.ObserveWithDoses(plan.dosesNameParameters ? ownDoses : doses, times, std::ref(apply));
    apply.RestoreConstants();
    return !recorder.EndedInError() && values.size() == times.size() * recorded.size();
}

// Runs every experiment at the point (only `subject`'s runs when >= 0); NaN
// likelihood when a run fails. `predictions[e][i]`: the model at experiment
// e's observation i.
double LogLikelihood(const OrvoLibrary& library, uint32_t instance, const ModelVariables& variables,
                     const Problem& problem, const std::vector<double>& point,
                     std::vector<std::vector<double>>* predictions = nullptr, int subject = -1) {
    double total = 0.0;
    std::vector<double> values;
    for (std::size_t e = 0; e < problem.experiments.size(); ++e) {
        const ExperimentPlan& plan = problem.experiments[e];
        const Experiment& experiment = problem.definition.experiments[e];
        for (const RunGroup& group : plan.groups) {
            if (subject >= 0 && group.subject != subject) continue;
            if (!RunModel(library, instance, variables, problem, plan, point.data(), group.subject, nullptr,
                          group.doses, group.times, group.variables, values))
                return NAN;
            for (std::size_t j = 0; j < group.observations.size(); ++j) {
                const Observation& o = experiment.data[group.observations[j]];
                const double predicted = values[group.timeOf[j] * group.variables.size() + group.variableOf[j]];
                if (predictions != nullptr) (*predictions)[e][group.observations[j]] = predicted;
                total += LogLikelihoodOf(*problem.definition.ErrorOf(o.variable), o, predicted, point.data());
            }
        }
    }
    return total;
}

// Why the data have zero likelihood at `point`: the first observation that
// no prediction there makes possible, or the failed run.
std::string ZeroLikelihoodReason(const OrvoLibrary& library, const Problem& problem, const std::vector<double>& point) {
    ModelSession session(library);
    ModelVariables variables(library, session.instance());
    std::vector<std::vector<double>> predicted;
    for (const Experiment& e : problem.definition.experiments) predicted.emplace_back(e.data.size(), NAN);
    const double total = LogLikelihood(library, session.instance(), variables, problem, point, &predicted);
    const std::string none = "every kept draw has zero likelihood: the chains sampled no posterior";
    if (std::isnan(total)) return "orvo calibrate: " + none + " (the model's run fails at the last kept draw)";
    for (std::size_t e = 0; e < predicted.size(); ++e)
        for (std::size_t i = 0; i < predicted[e].size(); ++i) {
            const Observation& o = problem.definition.experiments[e].data[i];
            const ErrorModel& model = *problem.definition.ErrorOf(o.variable);
            if (LogLikelihoodOf(model, o, predicted[e][i], point.data()) > -HUGE_VAL) continue;
            // An sd parameter whose prior allows values <= 0: no prediction helps.
            if (!std::isfinite(o.sd) && model.sdParameter >= 0 && !(point[model.sdParameter] > 0.0))
                return o.origin + ": " + none + "; here the error sd " +
                       problem.definition.parameters[model.sdParameter].name + " = " +
                       FormatReal(point[model.sdParameter]) + " (an sd must be > 0: give it a prior above 0)";
            return o.origin + ": " + none + "; here the model gives " + o.variable + " = " +
                   FormatReal(predicted[e][i]) + " at t = " + FormatReal(o.time) +
                   (model.lognormal && !(predicted[e][i] > 0.0) ? " (a lognormal error needs a prediction > 0)" : "");
        }
    return "orvo calibrate: " + none;
}

// A chain's file: its sampler state, then its kept draws, in binary (exact).
constexpr char kChainMagic[8] = {'o', 'r', 'v', 'o', 'c', 'h', 'n', '3'};

template <typename T>
void Put(std::ostream& out, const T& value) {
    out.write(reinterpret_cast<const char*>(&value), sizeof value);
}

void PutAll(std::ostream& out, const std::vector<double>& values) {
    out.write(reinterpret_cast<const char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(double)));
}

template <typename T>
bool Get(std::istream& in, T& value) {
    return static_cast<bool>(in.read(reinterpret_cast<char*>(&value), sizeof value));
}

bool GetAll(std::istream& in, std::vector<double>& values, std::size_t n) {
    values.resize(n);
    return static_cast<bool>(in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(n * sizeof(double))));
}

bool WriteChainFile(const std::string& path, const ChainState& state, const std::vector<ChainDraw>& draws) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(kChainMagic, sizeof kChainMagic);
    const uint64_t d = state.point.size(), units = state.unitPrior.size();
    for (uint64_t v : {d, state.iteration, state.proposals, state.accepted, state.failedRuns, uint64_t(draws.size()),
                       uint64_t(state.blocks.size()), units})
        Put(out, v);
    Put(out, state.logPrior);
    Put(out, state.logLikelihood);
    Put(out, state.sharedPrior);
    PutAll(out, state.point);
    PutAll(out, state.unitPrior);
    PutAll(out, state.unitLikelihood);
    for (const ProposalState& p : state.blocks) {
        Put(out, uint64_t(p.indices.size()));
        for (std::size_t i : p.indices) Put(out, uint64_t(i));
        Put(out, p.seen);
        Put(out, p.logScale);
        PutAll(out, p.mean);
        PutAll(out, p.scatter);
        PutAll(out, p.factor);
    }
    for (const ChainDraw& draw : draws) {
        Put(out, draw.iteration);
        PutAll(out, draw.values);
        Put(out, draw.logPrior);
        Put(out, draw.logLikelihood);
    }
    out.flush();
    return static_cast<bool>(out);
}

bool ReadChainFile(const std::string& path, std::size_t d, ChainState& state, std::vector<ChainDraw>& draws) {
    std::ifstream in(path, std::ios::binary);
    char magic[sizeof kChainMagic] = {};
    uint64_t dimension = 0, count = 0, blocks = 0, units = 0;
    if (!in.read(magic, sizeof magic) || !std::equal(magic, magic + sizeof magic, kChainMagic) ||
        !Get(in, dimension) || dimension != d || !Get(in, state.iteration) || !Get(in, state.proposals) ||
        !Get(in, state.accepted) || !Get(in, state.failedRuns) || !Get(in, count) || count > state.iteration ||
        !Get(in, blocks) || blocks > d + 1 || !Get(in, units) || units > d || !Get(in, state.logPrior) ||
        !Get(in, state.logLikelihood) || !Get(in, state.sharedPrior) || !GetAll(in, state.point, d) ||
        !GetAll(in, state.unitPrior, units) || !GetAll(in, state.unitLikelihood, units))
        return false;
    state.blocks.resize(blocks);
    for (ProposalState& p : state.blocks) {
        uint64_t size = 0;
        if (!Get(in, size) || size > d) return false;
        p.indices.resize(size);
        for (std::size_t& i : p.indices) {
            uint64_t v = 0;
            if (!Get(in, v) || v >= d) return false;
            i = v;
        }
        if (!Get(in, p.seen) || !Get(in, p.logScale) || !GetAll(in, p.mean, size) ||
            !GetAll(in, p.scatter, size * size) || !GetAll(in, p.factor, size * size))
            return false;
    }
    draws.resize(count);
    for (ChainDraw& draw : draws)
        if (!Get(in, draw.iteration) || !GetAll(in, draw.values, d) || !Get(in, draw.logPrior) ||
            !Get(in, draw.logLikelihood))
            return false;
    return in.peek() == std::char_traits<char>::eof();
}

// What a continued run must share with the first: the calibration file, its
// data and dose files, the model library, and the chains' settings.
struct RunSettings {
    std::string fingerprint;
    uint64_t seed = 1, burn = 0, thin = 1, chains = 4, iterations = 0;
};

std::string Fingerprint(const std::string& calibrationFile, const CalibrationDefinition& def,
                        const std::string& library) {
    ContentHash hash;
    const auto add = [&](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::vector<char> block(1 << 16);
        while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
            hash.Add(std::string_view(block.data(), static_cast<std::size_t>(in.gcount())));
        hash.Add(std::string_view("\0", 1));
    };
    add(calibrationFile);
    for (const Experiment& e : def.experiments) {
        add(e.dataFile);
        if (!e.dosesFile.empty()) add(e.dosesFile);
    }
    add(library);
    return hash.Hex();
}

constexpr const char* kSettingsFile = "/sampler/settings";

bool WriteSettings(const std::string& dir, const RunSettings& s, std::string& error) {
    return WriteFileAtomically(
        dir + kSettingsFile,
        [&](std::ostream& out) {
            out << "fingerprint " << s.fingerprint << "\nseed " << s.seed << "\nburn " << s.burn << "\nthin "
                << s.thin << "\nchains " << s.chains << "\niterations " << s.iterations << "\n";
        },
        error);
}

bool ReadSettings(const std::string& dir, RunSettings& s) {
    std::ifstream in(dir + kSettingsFile);
    std::string key;
    int found = 0;
    while (in >> key) {
        if (key == "fingerprint") found += static_cast<bool>(in >> s.fingerprint);
        else if (key == "seed") found += static_cast<bool>(in >> s.seed);
        else if (key == "burn") found += static_cast<bool>(in >> s.burn);
        else if (key == "thin") found += static_cast<bool>(in >> s.thin);
        else if (key == "chains") found += static_cast<bool>(in >> s.chains);
        else if (key == "iterations") found += static_cast<bool>(in >> s.iterations);
        else return false;
    }
    return found == 6 && s.thin > 0 && s.chains > 0;
}

}  // namespace

int CalibrateCommand(int argc, char** argv) {
    CLI::App app{
        "Calibrates model parameters against data: samples their posterior with an\n"
        "adaptive Metropolis sampler, several chains each in its own worker process.\n"
        "\n"
        "Calibration file (blank lines and everything from # ignored):\n"
        "  NAME ~ normal(m, s) [low, high]   a parameter and its prior (the population\n"
        "                                    file's distributions and bounds)\n"
        "  NAME[subject] ~ lognormal(GM, GSD) [low, high]\n"
        "                                    a parameter that varies between the data's\n"
        "                                    subjects: one value per subject from this\n"
        "                                    population distribution, whose parameters\n"
        "                                    may name population parameters declared\n"
        "                                    with their own priors (GM ~ ..., GSD ~ ...)\n"
        "  NAME = VALUE                      a fixed setting of every experiment\n"
        "  error VAR normal|lognormal SD [loq LIMIT]\n"
        "                                    the error model of data on VAR; SD a number\n"
        "                                    or a parameter with its own prior (sd of the\n"
        "                                    log for lognormal); values below LIMIT are\n"
        "                                    censored (only 'below LIMIT' counts);\n"
        "                                    VAR(i): one element of an array\n"
        "  [experiment NAME]                 starts an experiment; then its own\n"
        "  data = FILE.csv                   settings NAME = VALUE, its data and an\n"
        "  doses = FILE.csv                  optional dose-record file (paths relative\n"
        "                                    to the calibration file)\n"
        "Data files: CSV with the header time,variable,value[,sd][,subject]; an sd\n"
        "there overrides the error model's for that row. Without NAME[subject]\n"
        "parameters all subjects share the parameters; with them every row needs a\n"
        "subject and each subject is run with its own values. Subject-level values are\n"
        "sampled jointly with the others (fine for tens of subjects).\n"
        "\n"
        "Writes in DIR: chains.csv (chain, iteration, each parameter - NAME[SUBJECT]\n"
        "per subject - log_prior, log_likelihood); summary.csv (mean, sd, 2.5/50/97.5 %\n"
        "quantiles, split R-hat, effective sample size); predictions.csv (posterior\n"
        "median and 95 % band of the model at each data point); predictions.svg (per\n"
        "experiment and variable: the data and the posterior median and 95 % band over\n"
        "time, from 50 draws; for parameters that vary by subject, of a new subject);\n"
        "draws.csv (one row per kept draw, one column per calibrated model variable,\n"
        "for orvo batch --params; a varying parameter takes a new subject's value);\n"
        "sampler/ (the chains' state, for --continue). A run that fails counts as zero\n"
        "likelihood and is reported. Chains depend only on --seed and their number.\n"
        "\n"
        "--continue DIR extends the finished chains in DIR by --iterations more: the\n"
        "result equals one run of the total length. FILE, its data and the library\n"
        "must be unchanged; seed, burn, thin and chains are DIR's. The outputs go to\n"
        "--out (default DIR).\n"
        "\n"
        "Exit status: 0 done, 1 the library could not be loaded or a run or output\n"
        "failed, 2 bad command line, calibration file (FILE:LINE: message) or\n"
        "--continue folder.",
        "orvo calibrate"};
    std::string file, outDir, libraryPath, continueDir;
    uint64_t iterations = 5000, burn = 0, thin = 1, chains = 4, jobs = 1, seed = 1;
    RefuseEmptyName(app.add_option("FILE", file, "the calibration file")->required()->type_name(""), false);
    auto* outOption = RefuseEmptyName(app.add_option("--out", outDir, "folder for the outputs")->type_name("DIR"), true);
    auto* continueOption =
        RefuseEmptyName(app.add_option("--continue", continueDir, "extend the chains in this folder")->type_name("DIR"), true);
    WholeNumber(app.add_option("--iterations", iterations, "iterations per chain (default 5000; with --continue: more)"),
                1, 100000000)
        ->type_name("N");
    auto* burnOption = WholeNumber(app.add_option("--burn", burn, "first iterations of each chain not kept (default: half)"),
                                   0, 100000000)
                           ->type_name("N");
    auto* thinOption =
        WholeNumber(app.add_option("--thin", thin, "keep every N-th iteration (default 1)"), 1, 1000000)->type_name("N");
    auto* chainsOption = WholeNumber(app.add_option("--chains", chains, "chains (default 4)"), 1, 1000)->type_name("N");
    WholeNumber(app.add_option("--jobs", jobs, "worker processes (default 1)"), 1, 1024)->type_name("N");
    auto* seedOption =
        WholeNumber(app.add_option("--seed", seed, "seed of the chains (default 1)"), 0, UINT64_MAX)->type_name("N");
    AddLibrary(app, libraryPath);
    if (const int parsed = ParseCommand(app, "calibrate", argc, argv); parsed >= 0) return parsed;
    const bool continuing = continueOption->count() > 0;
    if (!continuing && outOption->count() == 0) {
        std::cerr << "orvo calibrate: --out DIR is required (or --continue DIR)\n";
        return kExitBadInput;
    }
    if (outOption->count() == 0) outDir = continueDir;
    if (!continuing && burnOption->count() == 0) burn = iterations / 2;
    if (!continuing && burn >= iterations) {
        std::cerr << "orvo calibrate: --burn " << burn << " leaves no iterations of " << iterations << "\n";
        return kExitBadInput;
    }
    if (!continuing && (iterations - burn) / thin == 0) {
        std::cerr << "orvo calibrate: --thin " << thin << " keeps no draw of the " << iterations - burn
                  << " iterations after --burn " << burn << "\n";
        return kExitBadInput;
    }

    Problem problem;
    std::string error;
    {
        std::ifstream in(file);
        std::error_code isFolder;
        if (!in || std::filesystem::is_directory(file, isFolder)) {
            std::cerr << "orvo calibrate: cannot read " << file
                      << (std::filesystem::is_directory(file, isFolder) ? ": a folder, not a calibration file" : "") << "\n";
            return kExitBadInput;
        }
        const std::string folder = std::filesystem::path(file).parent_path().string();
        if (!ReadCalibration(in, file, folder, problem.definition, error)) {
            std::cerr << error << "\n";
            return kExitBadInput;
        }
        for (Experiment& e : problem.definition.experiments) {
            std::ifstream data(e.dataFile);
            if (!data || std::filesystem::is_directory(e.dataFile, isFolder)) {
                std::cerr << e.origin << ": cannot read the data file " << e.dataFile << "\n";
                return kExitBadInput;
            }
            if (!ReadObservations(data, e.dataFile, problem.definition, e, error)) {
                std::cerr << error << "\n";
                return kExitBadInput;
            }
        }
    }
    if (libraryPath.empty()) libraryPath = OrvoLibrary::DefaultPath();
    OrvoLibrary library;
    if (!library.Load(libraryPath)) {
        std::cerr << "orvo calibrate: " << library.error() << "\n";
        return kExitRunFailed;
    }
    const CalibrationDefinition& def = problem.definition;
    const std::size_t d = def.Dimension();
    const std::vector<std::string> columns = def.ColumnNames();
    {
        ModelSession session(library);
        ModelVariables variables(library, session.instance());
        if (!Resolve(variables, problem, error)) {
            std::cerr << error << "\n";
            return kExitBadInput;
        }
    }

    RunSettings settings{Fingerprint(file, def, libraryPath), seed, burn, thin, chains, iterations};
    if (continuing) {
        RunSettings before;
        if (!ReadSettings(continueDir, before)) {
            std::cerr << "orvo calibrate: --continue " << continueDir
                      << ": no finished calibration there (sampler/settings missing or unreadable)\n";
            return kExitBadInput;
        }
        if (before.fingerprint != settings.fingerprint) {
            std::cerr << "orvo calibrate: --continue " << continueDir
                      << ": the calibration file, its data or dose files or the model library differ from "
                         "those of that run\n";
            return kExitBadInput;
        }
        const std::pair<CLI::Option*, std::pair<uint64_t, uint64_t>> fixed[] = {
            {seedOption, {seed, before.seed}},
            {burnOption, {burn, before.burn}},
            {thinOption, {thin, before.thin}},
            {chainsOption, {chains, before.chains}}};
        for (const auto& [option, values] : fixed)
            if (option->count() > 0 && values.first != values.second) {
                std::cerr << "orvo calibrate: " << option->get_name() << " " << values.first << " differs from the "
                          << values.second << " of the run in " << continueDir << "; a continued run keeps it\n";
                return kExitBadInput;
            }
        settings = before;
        settings.iterations = before.iterations + iterations;
        seed = settings.seed, burn = settings.burn, thin = settings.thin, chains = settings.chains;
    }
    const uint64_t total = settings.iterations;
    if (!EnsureDirectory(outDir + "/sampler", error)) {
        std::cerr << "orvo calibrate: " << error << "\n";
        return kExitRunFailed;
    }
    std::error_code ec;
    const auto statePath = [](const std::string& dir, uint64_t c) {
        return dir + "/sampler/chain" + std::to_string(c + 1) + ".bin";
    };
    const auto newPath = [&](uint64_t c) { return outDir + "/sampler/.chain" + std::to_string(c + 1) + ".new"; };
    if (continuing)
        for (uint64_t c = 0; c < chains; ++c) {
            ChainState state;
            std::vector<ChainDraw> draws;
            if (!ReadChainFile(statePath(continueDir, c), d, state, draws) || state.iteration != total - iterations) {
                std::cerr << "orvo calibrate: --continue " << continueDir << ": the state of chain " << c + 1
                          << " is missing or damaged\n";
                return kExitBadInput;
            }
        }

    // Starting points and initial proposal scales from the priors' centres and
    // spreads (a subject-level value: its population distribution at the
    // population parameters' start).
    std::vector<double> start(d), scales(d);
    for (std::size_t k = 0; k < def.parameters.size(); ++k) {
        const Distribution p = def.PriorAt(k, start.data());
        for (std::size_t s = 0; s < (k < def.sharedCount ? 1 : def.subjects.size()); ++s) {
            const std::size_t i = def.Slot(k, s);
            start[i] = p.Sample(0.5);
            scales[i] = 0.1 * (p.Sample(0.84) - p.Sample(0.16)) / 2.0;
            if (!(scales[i] > 0.0)) scales[i] = 1e-3 * std::max(1.0, std::fabs(start[i]));
        }
    }
    const auto runChain = [&](uint64_t c) {
        ModelSession session(library);
        ModelVariables variables(library, session.instance());
        const LogDensity density = [&](const std::vector<double>& x, double& logPrior, double& logLikelihood) {
            logPrior = def.LogPrior(x.data());
            logLikelihood = std::isfinite(logPrior)
                                ? LogLikelihood(library, session.instance(), variables, problem, x)
                                : -HUGE_VAL;
        };
        // With parameters that vary by subject: block by block, one block per
        // subject (its runs only) and one of the shared parameters.
        SplitDensity split;
        if (def.Hierarchical()) {
            for (std::size_t k = 0; k < def.sharedCount; ++k) split.sharedIndices.push_back(k);
            split.unitIndices.resize(def.subjects.size());
            for (std::size_t s = 0; s < def.subjects.size(); ++s)
                for (std::size_t k = def.sharedCount; k < def.parameters.size(); ++k)
                    split.unitIndices[s].push_back(def.Slot(k, s));
            split.sharedPrior = [&](const std::vector<double>& x) { return def.LogSharedPrior(x.data()); };
            split.unit = [&](const std::vector<double>& x, std::size_t s, double& logPrior, double& logLikelihood) {
                logPrior = def.LogSubjectPrior(x.data(), s);
                logLikelihood = std::isfinite(logPrior) ? LogLikelihood(library, session.instance(), variables, problem,
                                                                        x, nullptr, static_cast<int>(s))
                                                        : -HUGE_VAL;
            };
        }
        ChainState state;
        std::vector<ChainDraw> draws;
        if (continuing) {
            if (!ReadChainFile(statePath(continueDir, c), d, state, draws)) return false;
        } else {
            state = def.Hierarchical() ? StartChain(split, start, scales) : StartChain(density, start, scales);
        }
        const uint64_t step = std::max<uint64_t>(1, iterations / 10);
        const auto progress = [&](uint64_t it) {
            if (it % step == 0 || it == total)
                std::cerr << "orvo calibrate: chain " << c + 1 << ": " << it << "/" << total << "\n";
        };
        const ChainSettings chainSettings{total, burn, thin, seed, c};
        ChainResult result = def.Hierarchical() ? ContinueChain(split, state, chainSettings, progress)
                                                : ContinueChain(density, state, chainSettings, progress);
        draws.insert(draws.end(), std::make_move_iterator(result.draws.begin()),
                     std::make_move_iterator(result.draws.end()));
        return WriteChainFile(newPath(c), state, draws);
    };
    // One forked worker per chain, at most --jobs at a time.
    std::map<pid_t, uint64_t> running;
    bool workersOk = true;
    const auto reap = [&] {
        int status = 0;
        const pid_t pid = wait(&status);
        if (pid <= 0) return;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::cerr << "orvo calibrate: the worker of chain " << running[pid] + 1 << " failed\n";
            workersOk = false;
        }
        running.erase(pid);
    };
    std::cerr.flush();
    for (uint64_t c = 0; c < chains; ++c) {
        while (running.size() >= jobs) reap();
        const pid_t pid = fork();
        if (pid < 0) {
            workersOk = workersOk && runChain(c);
            continue;
        }
        if (pid == 0) {
            const bool ok = runChain(c);
            std::cerr.flush();
            _exit(ok ? 0 : 1);
        }
        running[pid] = c;
    }
    while (!running.empty()) reap();
    std::vector<ChainState> states(chains);
    std::vector<std::vector<ChainDraw>> results(chains);
    for (uint64_t c = 0; c < chains && workersOk; ++c) workersOk = ReadChainFile(newPath(c), d, states[c], results[c]);
    if (!workersOk) {
        for (uint64_t c = 0; c < chains; ++c) std::filesystem::remove(newPath(c), ec);
        std::cerr << "orvo calibrate: a chain did not finish\n";
        return kExitRunFailed;
    }
    // Chains that never left zero likelihood sampled nothing: say why.
    if (std::all_of(results.begin(), results.end(), [](const std::vector<ChainDraw>& r) {
            return std::none_of(r.begin(), r.end(), [](const ChainDraw& draw) { return draw.logLikelihood > -HUGE_VAL; });
        })) {
        for (uint64_t c = 0; c < chains; ++c) std::filesystem::remove(newPath(c), ec);
        std::cerr << ZeroLikelihoodReason(library, problem, results[0].back().values) << "\n";
        return kExitBadInput;
    }
    // The new states replace the old only now that every chain has finished;
    // without settings meanwhile, a folder left between old and new states is
    // not taken for a finished run.
    std::filesystem::remove(outDir + kSettingsFile, ec);
    for (uint64_t c = 0; c < chains && !ec; ++c) std::filesystem::rename(newPath(c), statePath(outDir, c), ec);
    if (ec || !WriteSettings(outDir, settings, error)) {
        std::cerr << "orvo calibrate: cannot keep the sampler state in " << outDir << "/sampler: "
                  << (ec ? ec.message() : error) << "\n";
        return kExitRunFailed;
    }

    std::ofstream chainsOut(outDir + "/chains.csv");
    chainsOut << "chain,iteration";
    for (const std::string& name : columns) chainsOut << "," << name;
    chainsOut << ",log_prior,log_likelihood\n";
    uint64_t failed = 0, accepted = 0, proposals = 0;
    for (uint64_t c = 0; c < chains; ++c) {
        failed += states[c].failedRuns;
        accepted += states[c].accepted;
        proposals += states[c].proposals;
        for (const ChainDraw& draw : results[c]) {
            chainsOut << c + 1 << "," << draw.iteration;
            for (double v : draw.values) chainsOut << "," << FormatReal(v);
            chainsOut << "," << FormatReal(draw.logPrior) << "," << FormatReal(draw.logLikelihood) << "\n";
        }
    }
    std::ofstream summary(outDir + "/summary.csv");
    summary << "parameter,mean,sd,q2.5,q50,q97.5,rhat,ess\n";
    double worstRhat = 0.0;
    for (std::size_t k = 0; k < d; ++k) {
        std::vector<std::vector<double>> perChain(chains);
        for (uint64_t c = 0; c < chains; ++c)
            for (const ChainDraw& draw : results[c]) perChain[c].push_back(draw.values[k]);
        const ParameterSummary s = Summarize(perChain);
        worstRhat = std::isnan(s.rhat) || std::isnan(worstRhat) ? NAN : std::max(worstRhat, s.rhat);
        summary << columns[k] << "," << FormatReal(s.mean) << "," << FormatReal(s.sd) << "," << FormatReal(s.q025)
                << "," << FormatReal(s.q50) << "," << FormatReal(s.q975) << "," << FormatReal(s.rhat) << ","
                << FormatReal(s.ess) << "\n";
    }
    std::vector<const ChainDraw*> draws;
    for (const auto& r : results)
        for (const ChainDraw& draw : r) draws.push_back(&draw);
    // A new subject per draw, for the parameters that vary by subject: from
    // its population distribution at the draw's population parameters.
    const std::size_t varying = def.parameters.size() - def.sharedCount;
    const auto newSubject = [&](std::size_t i) {
        std::vector<double> values(varying);
        for (std::size_t j = 0; j < varying; ++j)
            values[j] = def.PriorAt(def.sharedCount + j, draws[i]->values.data())
                            .Sample(counter_random::Uniform(seed, 21, i, j));
        return values;
    };
    // Posterior draws for orvo batch --params: the model variables only.
    bool drawsOk = true;
    if (!problem.parameterVariables.empty()) {
        drawsOk = WriteFileAtomically(
            outDir + "/draws.csv",
            [&](std::ostream& out) {
                for (std::size_t k = 0; k < problem.parameterOf.size(); ++k)
                    out << (k ? "," : "") << def.parameters[problem.parameterOf[k]].name;
                out << "\n";
                for (std::size_t i = 0; i < draws.size(); ++i) {
                    const std::vector<double> fresh = newSubject(i);
                    for (std::size_t k = 0; k < problem.parameterOf.size(); ++k) {
                        const std::size_t p = static_cast<std::size_t>(problem.parameterOf[k]);
                        out << (k ? "," : "")
                            << FormatReal(p < def.sharedCount ? draws[i]->values[p] : fresh[p - def.sharedCount]);
                    }
                    out << "\n";
                }
            },
            error);
    }
    // Posterior predictions: the model at the data points for up to 200 kept
    // draws, and over a time grid for up to 50.
    {
        ModelSession session(library);
        ModelVariables variables(library, session.instance());
        const std::size_t use = std::min<std::size_t>(200, draws.size());
        std::vector<std::vector<std::vector<double>>> byDraw;
        for (std::size_t i = 0; i < use; ++i) {
            std::vector<std::vector<double>> predicted;
            for (const Experiment& e : def.experiments) predicted.emplace_back(e.data.size(), NAN);
            LogLikelihood(library, session.instance(), variables, problem, draws[i * draws.size() / use]->values,
                          &predicted);
            byDraw.push_back(std::move(predicted));
        }
        const auto quantile = [](std::vector<double>& v, double f) {
            std::sort(v.begin(), v.end());
            return v.empty() ? NAN : v[static_cast<std::size_t>(f * static_cast<double>(v.size() - 1))];
        };
        const bool withSubjects = !def.subjects.empty();
        std::ofstream out(outDir + "/predictions.csv");
        out << "experiment,time,variable,value,median,q2.5,q97.5" << (withSubjects ? ",subject" : "") << "\n";
        for (std::size_t e = 0; e < def.experiments.size(); ++e)
            for (std::size_t i = 0; i < def.experiments[e].data.size(); ++i) {
                std::vector<double> v;
                for (const auto& p : byDraw)
                    if (std::isfinite(p[e][i])) v.push_back(p[e][i]);
                const Observation& o = def.experiments[e].data[i];
                out << def.experiments[e].name << "," << FormatReal(o.time) << "," << o.variable << ","
                    << FormatReal(o.value) << "," << FormatReal(quantile(v, 0.5)) << ","
                    << FormatReal(quantile(v, 0.025)) << "," << FormatReal(quantile(v, 0.975))
                    << (withSubjects ? "," + o.subject : "") << "\n";
            }
        if (!out) drawsOk = false;

        std::string ignored;
        const ModelMetadata metadata = ReadModelMetadata(libraryPath, ignored);
        std::vector<PredictionPanel> panels;
        const std::size_t gridDraws = std::min<std::size_t>(50, draws.size());
        for (std::size_t e = 0; e < def.experiments.size(); ++e) {
            const ExperimentPlan& plan = problem.experiments[e];
            const Experiment& experiment = def.experiments[e];
            // The observed elements, each once, and the panel of each observation.
            std::vector<ModelElement> recorded;
            std::vector<std::size_t> panelOf;
            for (const Observation& o : experiment.data) {
                ModelElement v;
                FindObserved(variables, o.variable, v, error);
                const auto seen = std::find_if(recorded.begin(), recorded.end(),
                                               [&](const ModelElement& r) { return SameElement(r, v); });
                panelOf.push_back(static_cast<std::size_t>(seen - recorded.begin()));
                if (seen == recorded.end()) recorded.push_back(v);
            }
            double last = plan.start;
            for (const Observation& o : experiment.data) last = std::max(last, o.time);
            std::vector<double> grid;
            for (int k = 0; k <= 100; ++k) grid.push_back(plan.start + (last - plan.start) * k / 100.0);
            grid.erase(std::unique(grid.begin(), grid.end()), grid.end());
            DoseSchedule doses;
            if (!plan.doseRecords.empty())
                ScheduleDoses(plan.doseRecords, DoseModelOf(variables), grid.back(), doses, error);
            std::vector<std::vector<double>> runs;
            std::vector<double> values;
            for (std::size_t i = 0; i < gridDraws; ++i) {
                const std::size_t index = i * draws.size() / gridDraws;
                const std::vector<double> fresh = newSubject(index);
                if (RunModel(library, session.instance(), variables, problem, plan, draws[index]->values.data(), -1,
                             fresh.data(), doses, grid, recorded, values))
                    runs.push_back(values);
            }
            for (std::size_t r = 0; r < recorded.size(); ++r) {
                PredictionPanel panel;
                panel.title = experiment.name + ": " + ElementHeader(recorded[r].variable, recorded[r].offset);
                if (const auto u = metadata.units.find(recorded[r].variable.name); u != metadata.units.end())
                    panel.unit = u->second;
                panel.times = grid;
                for (std::size_t t = 0; t < grid.size(); ++t) {
                    std::vector<double> v;
                    for (const auto& run : runs)
                        if (std::isfinite(run[t * recorded.size() + r])) v.push_back(run[t * recorded.size() + r]);
                    panel.low.push_back(quantile(v, 0.025));
                    panel.median.push_back(quantile(v, 0.5));
                    panel.high.push_back(quantile(v, 0.975));
                }
                for (std::size_t i = 0; i < experiment.data.size(); ++i)
                    if (panelOf[i] == r) {
                        panel.dataTimes.push_back(experiment.data[i].time);
                        panel.dataValues.push_back(experiment.data[i].value);
                    }
                panels.push_back(std::move(panel));
            }
        }
        drawsOk = WriteFileAtomically(
                      outDir + "/predictions.svg",
                      [&](std::ostream& svg) { WritePredictionPlot(panels, metadata.timeUnits, svg); }, error) &&
                  drawsOk;
    }
    if (!chainsOut || !summary || !drawsOk) {
        std::cerr << "orvo calibrate: cannot write the outputs in " << outDir << "\n";
        return kExitRunFailed;
    }
    if (results[0].size() < 4)
        std::cerr << "orvo calibrate: warning: " << results[0].size()
                  << " kept draw(s) per chain: R-hat and the effective sample size need at least 4\n";
    char figures[96];
    std::snprintf(figures, sizeof figures, "acceptance %.3g, largest R-hat %.4g",
                  static_cast<double>(accepted) / static_cast<double>(std::max<uint64_t>(1, proposals)), worstRhat);
    std::cerr << "orvo calibrate: " << chains << " chains of " << total << " iterations, " << figures
              << ", failed runs " << failed << "\n";
    return kExitOk;
}
