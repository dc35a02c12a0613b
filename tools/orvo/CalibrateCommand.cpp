#include "CalibrateCommand.h"

#include <CLI/CLI.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include "CalibrationFile.h"
#include "CommandLine.h"
#include "ExitCodes.h"
#include "Mcmc.h"
#include "ModelDoses.h"
#include "ModelSession.h"
#include "NumberText.h"
#include "OrvoLibrary.h"
#include "PopulationPlan.h"
#include "RunObserver.h"

namespace {

// One experiment resolved against the model: its settings, doses, the
// distinct data times and, per observation, where its prediction is.
struct ExperimentPlan {
    std::vector<std::pair<ModelVariable, std::string>> settings;
    DoseSchedule doses;
    std::vector<double> times;
    std::vector<ModelVariable> variables;  // recorded
    std::vector<std::size_t> timeOf, variableOf;  // per observation
};

class PointRecorder : public RunObserver {
public:
    PointRecorder(const OrvoLibrary& library, uint32_t instance, const ModelVariables& variables,
                  const std::vector<ModelVariable>& recorded, std::vector<double>& values)
        : RunObserver(library, instance), variables_(variables), recorded_(recorded), values_(values) {}

protected:
    void OnOutputPoint() override {
        for (const ModelVariable& v : recorded_) values_.push_back(variables_.ReadNumber(v));
    }
    void OnStatusLine(std::string_view) override {}
    void OnErrorReport(uint32_t, const char*) override {}

private:
    const ModelVariables& variables_;
    const std::vector<ModelVariable>& recorded_;
    std::vector<double>& values_;
};

struct Problem {
    CalibrationDefinition definition;
    std::vector<ModelVariable> parameterVariables;  // NAME ~ ... that are model variables (others: sd parameters)
    std::vector<int> parameterOf;  // model parameter k -> index in the definition
    std::vector<std::pair<ModelVariable, std::string>> settings;
    std::vector<ExperimentPlan> experiments;
};

bool Resolve(const ModelVariables& variables, Problem& problem, std::string& error) {
    CalibrationDefinition& def = problem.definition;
    for (std::size_t k = 0; k < def.parameters.size(); ++k) {
        bool isSd = false;
        for (const ErrorModel& e : def.errors) isSd |= e.sdParameter == static_cast<int>(k);
        ModelVariable v;
        if (!variables.Find(def.parameters[k].name, v)) {
            if (isSd) continue;
            error = def.parameters[k].origin + ": unknown parameter '" + def.parameters[k].name +
                    "' (no model variable of that name)";
            return false;
        }
        ModelElement element;
        std::string message;
        if (!ResolveInput(variables, ElementName{def.parameters[k].name, {}}, element, message)) {
            error = def.parameters[k].origin + ": " + message;
            return false;
        }
        v = element.variable;
        problem.parameterVariables.push_back(v);
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
        ModelVariable v;
        if (!variables.Find(e.variable, v)) {
            error = e.origin + ": unknown variable '" + e.variable + "'";
            return false;
        }
    }
    for (Experiment& experiment : def.experiments) {
        ExperimentPlan plan;
        plan.settings = problem.settings;
        if (!resolveSettings(experiment.settings, plan.settings)) return false;
        for (const auto& [v, text] : plan.settings) variables.Assign(v, text, error);
        if (std::string fault = RunSettingsFault(variables); !fault.empty()) {
            error = experiment.origin + ": " + fault;
            return false;
        }
        ModelVariable start, stop;
        const double t0 = variables.Find("zzticg", start) ? variables.ReadNumber(start) : 0.0;
        const double t1 = variables.Find("tstop", stop) ? variables.ReadNumber(stop) : HUGE_VAL;
        for (const Observation& o : experiment.data) {
            if (o.time < t0 || o.time > t1) {
                error = o.origin + ": time " + FormatReal(o.time) + " is outside the run [" + FormatReal(t0) + ", " +
                        FormatReal(t1) + "]";
                return false;
            }
            plan.times.push_back(o.time);
        }
        std::sort(plan.times.begin(), plan.times.end());
        plan.times.erase(std::unique(plan.times.begin(), plan.times.end()), plan.times.end());
        for (const Observation& o : experiment.data) {
            ModelVariable v;
            variables.Find(o.variable, v);
            std::size_t i = 0;
            while (i < plan.variables.size() && plan.variables[i].number != v.number) ++i;
            if (i == plan.variables.size()) plan.variables.push_back(v);
            plan.variableOf.push_back(i);
            plan.timeOf.push_back(std::lower_bound(plan.times.begin(), plan.times.end(), o.time) - plan.times.begin());
        }
        if (!experiment.dosesFile.empty()) {
            std::vector<DoseRecord> records;
            if (!ReadDoseFile(experiment.dosesFile, records, error) ||
                !ScheduleDoses(records, DoseModelOf(variables), plan.times.back(), plan.doses, error))
                return false;
        }
        problem.experiments.push_back(std::move(plan));
    }
    return true;
}

// Runs every experiment at the point; NaN likelihood when a run fails.
double LogLikelihood(const OrvoLibrary& library, uint32_t instance, const ModelVariables& variables,
                     const Problem& problem, const std::vector<double>& point,
                     std::vector<std::vector<double>>* predictions = nullptr) {
    double total = 0.0;
    std::string error;
    for (std::size_t e = 0; e < problem.experiments.size(); ++e) {
        const ExperimentPlan& plan = problem.experiments[e];
        const Experiment& experiment = problem.definition.experiments[e];
        for (const auto& [v, text] : plan.settings) variables.Assign(v, text, error);
        for (std::size_t k = 0; k < problem.parameterVariables.size(); ++k)
            variables.WriteNumber(problem.parameterVariables[k], 0, point[problem.parameterOf[k]]);
        std::vector<double> values;
        values.reserve(plan.times.size() * plan.variables.size());
        PointRecorder recorder(library, instance, variables, plan.variables, values);
        DoseApplier apply(variables);
        recorder.ObserveWithDoses(plan.doses, plan.times, std::ref(apply));
        if (recorder.EndedInError() || values.size() != plan.times.size() * plan.variables.size()) return NAN;
        for (std::size_t i = 0; i < experiment.data.size(); ++i) {
            const Observation& o = experiment.data[i];
            const double predicted = values[plan.timeOf[i] * plan.variables.size() + plan.variableOf[i]];
            if (predictions != nullptr) (*predictions)[e].push_back(predicted);
            total += LogLikelihoodOf(*problem.definition.ErrorOf(o.variable), o, predicted, point.data());
        }
    }
    return total;
}

bool WriteChainFile(const std::string& path, const ChainResult& chain) {
    std::ofstream out(path, std::ios::binary);
    const uint64_t header[3] = {chain.draws.size(), chain.accepted, chain.failedRuns};
    out.write(reinterpret_cast<const char*>(header), sizeof header);
    for (const ChainDraw& draw : chain.draws) {
        out.write(reinterpret_cast<const char*>(&draw.iteration), sizeof draw.iteration);
        out.write(reinterpret_cast<const char*>(draw.values.data()),
                  static_cast<std::streamsize>(draw.values.size() * sizeof(double)));
        out.write(reinterpret_cast<const char*>(&draw.logPrior), sizeof(double));
        out.write(reinterpret_cast<const char*>(&draw.logLikelihood), sizeof(double));
    }
    return static_cast<bool>(out);
}

bool ReadChainFile(const std::string& path, std::size_t d, ChainResult& chain) {
    std::ifstream in(path, std::ios::binary);
    uint64_t header[3] = {};
    if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return false;
    chain.accepted = header[1];
    chain.failedRuns = header[2];
    chain.draws.resize(header[0]);
    for (ChainDraw& draw : chain.draws) {
        draw.values.resize(d);
        in.read(reinterpret_cast<char*>(&draw.iteration), sizeof draw.iteration);
        in.read(reinterpret_cast<char*>(draw.values.data()), static_cast<std::streamsize>(d * sizeof(double)));
        in.read(reinterpret_cast<char*>(&draw.logPrior), sizeof(double));
        in.read(reinterpret_cast<char*>(&draw.logLikelihood), sizeof(double));
    }
    return static_cast<bool>(in);
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
        "  NAME = VALUE                      a fixed setting of every experiment\n"
        "  error VAR normal|lognormal SD [loq LIMIT]\n"
        "                                    the error model of data on VAR; SD a number\n"
        "                                    or a parameter with its own prior (sd of the\n"
        "                                    log for lognormal); values below LIMIT are\n"
        "                                    censored (only 'below LIMIT' counts)\n"
        "  [experiment NAME]                 starts an experiment; then its own\n"
        "  data = FILE.csv                   settings NAME = VALUE, its data and an\n"
        "  doses = FILE.csv                  optional dose-record file (paths relative\n"
        "                                    to the calibration file)\n"
        "Data files: CSV with the header time,variable,value[,sd][,subject]; an sd\n"
        "there overrides the error model's for that row; subjects share the parameters.\n"
        "\n"
        "Writes DIR/chains.csv (chain, iteration, each parameter, log_prior,\n"
        "log_likelihood), DIR/summary.csv (mean, sd, 2.5/50/97.5 % quantiles, split\n"
        "R-hat, effective sample size) and DIR/predictions.csv (posterior median and\n"
        "95 % band of the model at each data point). A run that fails counts as zero\n"
        "likelihood and is reported. Chains depend only on --seed and their number.\n"
        "\n"
        "Exit status: 0 done, 1 the library could not be loaded or a run or output\n"
        "failed, 2 bad command line or calibration file (FILE:LINE: message).",
        "orvo calibrate"};
    std::string file, outDir, libraryPath;
    uint64_t iterations = 5000, burn = 0, thin = 1, chains = 4, jobs = 1, seed = 1;
    bool burnGiven = false;
    app.add_option("FILE", file, "the calibration file")->required();
    app.add_option("--out", outDir, "folder for the outputs")->required();
    app.add_option("--iterations", iterations, "iterations per chain (default 5000)")->check(CLI::Range(1, 100000000));
    app.add_option("--burn", burn, "first iterations of each chain not kept (default: half)")
        ->each([&](const std::string&) { burnGiven = true; });
    app.add_option("--thin", thin, "keep every N-th iteration (default 1)")->check(CLI::Range(1, 1000000));
    app.add_option("--chains", chains, "chains (default 4)")->check(CLI::Range(1, 1000));
    app.add_option("--jobs", jobs, "worker processes (default 1)")->check(CLI::Range(1, 1024));
    app.add_option("--seed", seed, "seed of the chains (default 1)");
    app.add_option("--lib", libraryPath, "model library (default: the shipped one)");
    if (const int parsed = ParseCommand(app, "calibrate", argc, argv); parsed >= 0) return parsed;
    if (!burnGiven) burn = iterations / 2;
    if (burn >= iterations) {
        std::cerr << "orvo calibrate: --burn " << burn << " leaves no iterations of " << iterations << "\n";
        return kExitBadInput;
    }

    Problem problem;
    std::string error;
    {
        std::ifstream in(file);
        if (!in) {
            std::cerr << "orvo calibrate: cannot read " << file << "\n";
            return kExitBadInput;
        }
        const std::string folder = std::filesystem::path(file).parent_path().string();
        if (!ReadCalibration(in, file, folder, problem.definition, error)) {
            std::cerr << error << "\n";
            return kExitBadInput;
        }
        for (Experiment& e : problem.definition.experiments) {
            std::ifstream data(e.dataFile);
            if (!data) {
                std::cerr << e.origin << ": cannot read the data file " << e.dataFile << "\n";
                return kExitBadInput;
            }
            if (!ReadObservations(data, e.dataFile, problem.definition, e, error)) {
                std::cerr << error << "\n";
                return kExitBadInput;
            }
        }
    }
    OrvoLibrary library;
    if (!library.Load(libraryPath.empty() ? OrvoLibrary::DefaultPath() : libraryPath)) {
        std::cerr << "orvo calibrate: " << library.error() << "\n";
        return kExitRunFailed;
    }
    const CalibrationDefinition& def = problem.definition;
    const std::size_t d = def.parameters.size();
    // Starting points and initial proposal scales from the priors' centres and spreads.
    std::vector<double> start(d), scales(d);
    for (std::size_t k = 0; k < d; ++k) {
        const Distribution& p = def.parameters[k].prior;
        start[k] = p.Sample(0.5);
        scales[k] = 0.1 * (p.Sample(0.84) - p.Sample(0.16)) / 2.0;
        if (!(scales[k] > 0.0)) scales[k] = 1e-3 * std::max(1.0, std::fabs(start[k]));
    }
    {
        ModelSession session(library);
        ModelVariables variables(library, session.instance());
        if (!Resolve(variables, problem, error)) {
            std::cerr << error << "\n";
            return kExitBadInput;
        }
    }
    std::error_code ec;
    std::filesystem::create_directories(outDir, ec);
    if (ec) {
        std::cerr << "orvo calibrate: cannot create " << outDir << ": " << ec.message() << "\n";
        return kExitRunFailed;
    }
    const auto chainPath = [&](uint64_t c) { return outDir + "/.chain" + std::to_string(c) + ".bin"; };
    const auto runChain = [&](uint64_t c) {
        ModelSession session(library);
        ModelVariables variables(library, session.instance());
        const LogDensity density = [&](const std::vector<double>& x, double& logPrior, double& logLikelihood) {
            logPrior = 0.0;
            for (std::size_t k = 0; k < d; ++k) logPrior += LogPriorDensity(def.parameters[k].prior, x[k]);
            logLikelihood = std::isfinite(logPrior)
                                ? LogLikelihood(library, session.instance(), variables, problem, x)
                                : -HUGE_VAL;
        };
        const uint64_t step = std::max<uint64_t>(1, iterations / 10);
        const ChainResult result =
            RunChain(density, start, scales, {iterations, burn, thin, seed, c}, [&](uint64_t it) {
                if (it % step == 0 || it == iterations)
                    std::cerr << "orvo calibrate: chain " << c + 1 << ": " << it << "/" << iterations << "\n";
            });
        return WriteChainFile(chainPath(c), result);
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
    std::vector<ChainResult> results(chains);
    for (uint64_t c = 0; c < chains && workersOk; ++c) {
        workersOk = ReadChainFile(chainPath(c), d, results[c]);
        std::filesystem::remove(chainPath(c), ec);
    }
    if (!workersOk) {
        for (uint64_t c = 0; c < chains; ++c) std::filesystem::remove(chainPath(c), ec);
        std::cerr << "orvo calibrate: a chain did not finish\n";
        return kExitRunFailed;
    }

    std::ofstream chainsOut(outDir + "/chains.csv");
    chainsOut << "chain,iteration";
    for (const auto& p : def.parameters) chainsOut << "," << p.name;
    chainsOut << ",log_prior,log_likelihood\n";
    uint64_t failed = 0, accepted = 0;
    for (uint64_t c = 0; c < chains; ++c) {
        failed += results[c].failedRuns;
        accepted += results[c].accepted;
        for (const ChainDraw& draw : results[c].draws) {
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
            for (const ChainDraw& draw : results[c].draws) perChain[c].push_back(draw.values[k]);
        const ParameterSummary s = Summarize(perChain);
        worstRhat = std::max(worstRhat, s.rhat);
        summary << def.parameters[k].name << "," << FormatReal(s.mean) << "," << FormatReal(s.sd) << ","
                << FormatReal(s.q025) << "," << FormatReal(s.q50) << "," << FormatReal(s.q975) << ","
                << FormatReal(s.rhat) << "," << FormatReal(s.ess) << "\n";
    }
    // Posterior predictions: the model at the data points for up to 200 kept draws.
    {
        ModelSession session(library);
        ModelVariables variables(library, session.instance());
        std::vector<const ChainDraw*> draws;
        for (const ChainResult& r : results)
            for (const ChainDraw& draw : r.draws) draws.push_back(&draw);
        const std::size_t use = std::min<std::size_t>(200, draws.size());
        std::vector<std::vector<std::vector<double>>> byDraw;
        for (std::size_t i = 0; i < use; ++i) {
            std::vector<std::vector<double>> predicted(def.experiments.size());
            LogLikelihood(library, session.instance(), variables, problem, draws[i * draws.size() / use]->values,
                          &predicted);
            byDraw.push_back(std::move(predicted));
        }
        std::ofstream out(outDir + "/predictions.csv");
        out << "experiment,time,variable,value,median,q2.5,q97.5\n";
        for (std::size_t e = 0; e < def.experiments.size(); ++e)
            for (std::size_t i = 0; i < def.experiments[e].data.size(); ++i) {
                std::vector<double> v;
                for (const auto& p : byDraw)
                    if (p[e].size() > i) v.push_back(p[e][i]);
                std::sort(v.begin(), v.end());
                const auto q = [&](double f) {
                    return v.empty() ? NAN : v[static_cast<std::size_t>(f * static_cast<double>(v.size() - 1))];
                };
                const Observation& o = def.experiments[e].data[i];
                out << def.experiments[e].name << "," << FormatReal(o.time) << "," << o.variable << ","
                    << FormatReal(o.value) << "," << FormatReal(q(0.5)) << "," << FormatReal(q(0.025)) << ","
                    << FormatReal(q(0.975)) << "\n";
            }
    }
    if (!chainsOut || !summary) {
        std::cerr << "orvo calibrate: cannot write the outputs in " << outDir << "\n";
        return kExitRunFailed;
    }
    std::cerr << "orvo calibrate: " << chains << " chains of " << iterations << " iterations, acceptance "
              << FormatReal(static_cast<double>(accepted) / static_cast<double>(chains * iterations))
              << ", largest R-hat " << FormatReal(worstRhat) << ", failed runs " << failed << "\n";
    return kExitOk;
}
