// Timings of the pregnancy model: one derivative evaluation, and whole runs of
// the example scenario through the exported interface for each algorithm.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "solver/IntegrationMethods.h"
#include "model/PregnancyModel.h"
#include "orvo/orvo.h"
#include "runtime/OrvoSimRuntime.h"
#include "BareSolver.h"
#include "RunCounters.h"

namespace {

constexpr double kWholeScenario = 2400.0;  // h
constexpr double kShortHorizon = 48.0;     // h, for the non-stiff methods

void SetDouble(uint32_t instance, const char* name, double value) {
    OrvoSetDouble(instance, OrvoGetSymbolIndex(name), value);
}
void SetLong(uint32_t instance, const char* name, int32_t value) {
    OrvoSetLong(instance, OrvoGetSymbolIndex(name), value);
}
double GetDouble(uint32_t instance, const char* name) {
    return OrvoGetDouble(instance, OrvoGetSymbolIndex(name));
}

bool IsStiffMethod(int32_t ialg) { return ialg == 2 || ialg == 12 || ialg == 14 || ialg == 15; }

// Steps per communication interval: the model's default, except for the
// fixed-step methods, which need steps of 2.4e-4 h to stay stable on this model.
int32_t StepsPerInterval(int32_t ialg) { return ialg >= 3 && ialg <= 5 ? 100000 : 10; }

// models/pregnancy/scenarios/example.scenario, with the stop time and the
// method given (nstp too: the model's storage outlives instances).
void ApplyExampleScenario(uint32_t instance, double stopTime, int32_t ialg) {
    SetDouble(instance, "pdoseug_i", 200.0);
    SetDouble(instance, "pdosemg_p", 0.007);
    SetDouble(instance, "doseon", 0.0);
    SetDouble(instance, "cint", 24.0);
    SetDouble(instance, "tstop", stopTime);
    SetLong(instance, "ialg", ialg);
    SetLong(instance, "nstp", StepsPerInterval(ialg));
}

// One initialized library and instance per benchmark; notes whether a run
// ended in the error state.
class ModelInstance {
public:
    ModelInstance() {
        OrvoInitialize();
        CountJacobianEvaluations();
        instance_ = OrvoCreate();
        active_ = this;
        OrvoAddExecutionStateChangeCallbackFunction(instance_, 1, &OnState);
        OrvoAddStatusCallback(instance_, 2, &OnStatus);
    }
    ~ModelInstance() {
        OrvoDestroy(instance_);
        OrvoFinalize();
        active_ = nullptr;
    }
    ModelInstance(const ModelInstance&) = delete;
    ModelInstance& operator=(const ModelInstance&) = delete;

    uint32_t id() const { return instance_; }
    bool failed() const { return failed_; }
    const std::string& firstMessage() const { return firstMessage_; }

private:
    static void OnState(uint32_t, uint32_t, OrvoExecutionState, OrvoExecutionState newState) {
        if (newState == OrvoExecutionError && active_) active_->failed_ = true;
    }
    static void OnStatus(uint32_t, uint32_t, const char* text) {
        if (active_ && active_->firstMessage_.empty() && text && text[0] != ' ') active_->firstMessage_ = text;
    }

    static ModelInstance* active_;
    uint32_t instance_ = 0;
    bool failed_ = false;
    std::string firstMessage_;
};
ModelInstance* ModelInstance::active_ = nullptr;

void BM_DerivativeEvaluation(benchmark::State& state) {
    ModelInstance model;
    const uint32_t instance = model.id();
    // A short run leaves every state and parameter at a realistic value.
    ApplyExampleScenario(instance, kShortHorizon, 14);
    OrvoStartBlocking(instance);
    if (!(std::fabs(GetDouble(instance, "aplasma_mi")) < 1e30)) {
        // No run happened: initialize by hand as the model's initial block does.
        pregnancy::InitialSection();
        __real_zzderivative(instance, pregnancy::kDerivativeSection);
        for (uint32_t s = 2; s <= 43; ++s) OrvoSetDouble(instance, s, OrvoGetDouble(instance, s + 84));
        SetDouble(instance, "pdose", 1.0);
    }
    const bool asWritten = state.range(0) != 0;
    for (auto _ : state) {
        if (asWritten) pregnancy::ConstantsChanged();
        __real_zzderivative(instance, pregnancy::kDerivativeSection);
        benchmark::ClobberMemory();
    }
}
// as_written:1 computes what depends on constants alone at every evaluation too.
BENCHMARK(BM_DerivativeEvaluation)->ArgName("as_written")->Arg(0)->Arg(1);

void BM_ExampleRun(benchmark::State& state) {
    const int32_t ialg = static_cast<int32_t>(state.range(0));
    if (CreateIntegrator(ialg) == nullptr) {
        state.SkipWithError("algorithm not available");
        return;
    }
    const double stopTime = IsStiffMethod(ialg) ? kWholeScenario : kShortHorizon;
    ModelInstance model;
    const uint32_t instance = model.id();
    RunCounters total;
    for (auto _ : state) {
        ApplyExampleScenario(instance, stopTime, ialg);
        ResetCounters();
        OrvoStartBlocking(instance);
        const RunCounters& run = Counters();
        total.derivativeEvaluations += run.derivativeEvaluations;
        total.integratorSteps += run.integratorSteps;
        total.openingEvaluations += run.openingEvaluations;
        total.dlsodesStarts += run.dlsodesStarts;
        total.dlsodesSteps += run.dlsodesSteps;
    }
    const double finalTime = GetDouble(instance, "t");
    if (model.failed() || !(finalTime >= stopTime - 1e-9 * stopTime)) {
        char text[256];
        std::snprintf(text, sizeof text, "run ended at t = %g of %g%s%s%s", finalTime, stopTime,
                      model.failed() ? " in the error state" : "", model.firstMessage().empty() ? "" : ": ",
                      model.firstMessage().c_str());
        state.SkipWithError(text);
        return;
    }
    const auto perRun = [](uint64_t count) {
        return benchmark::Counter(static_cast<double>(count), benchmark::Counter::kAvgIterations);
    };
    state.counters["horizon_h"] = stopTime;
    state.counters["deriv_evals"] = perRun(total.derivativeEvaluations);
    state.counters["steps"] = perRun(total.integratorSteps);
    state.counters["opening_evals"] = perRun(total.openingEvaluations);
    if (ialg == 14) {
        state.counters["dlsodes_istate1"] = perRun(total.dlsodesStarts);
        state.counters["dlsodes_steps"] = perRun(total.dlsodesSteps);
    }
}
BENCHMARK(BM_ExampleRun)
    ->ArgName("ialg")
    ->Arg(1)->Arg(2)->Arg(5)->Arg(8)->Arg(9)->Arg(12)->Arg(14)->Arg(15)
    ->Unit(benchmark::kMillisecond);

// Processor time of the whole process: a library run goes on the run thread
// while the host waits, and the shared machine preempts both, so wall time
// would measure the machine's load rather than the run.
double ProcessSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// A library run as set up, in processor seconds; `ok` turns false when it did
// not reach stopTime.
double TimedRun(uint32_t instance, double stopTime, bool& ok) {
    const double start = ProcessSeconds();
    OrvoStartBlocking(instance);
    const double seconds = ProcessSeconds() - start;
    ok = ok && GetDouble(instance, "t") >= stopTime;
    return seconds;
}

// A whole library run of the example scenario through the exports, as a host
// drives it, against the bare solver doing the same integration (BareSolver.h);
// the two alternate within each iteration so that both see the same machine.
// ratio = library time / bare solver time, both in processor time;
// ratio_as_written against the bare solver on the derivative section computed
// whole at every evaluation (nothing kept from the constants), as a
// hand-written version of the equations would. outside_solver_ms is what a
// library run costs apart from the time inside the solver package (reset,
// initial section, events, output points, the adapter's own evaluations),
// from a further run with the solver calls timed (the timed runs are not
// the ones compared);
// setup_ms is a run to tstop = 1e-9 h (reset, initial section, one vanishing
// step, the output points; a stop time of 0 is refused). A model with an
// analytic Jacobian has the library use it; library_differences_ms is the
// library run with the integrators' difference quotients instead, as the bare
// solver has them.
void BM_LibraryVersusBareSolver(benchmark::State& state) {
    const int32_t ialg = static_cast<int32_t>(state.range(0));
    const BareSolverKind kind = ialg == 14 ? BareSolverKind::Dlsodes : BareSolverKind::Cvode;
    ModelInstance model;
    const uint32_t instance = model.id();
    ApplyExampleScenario(instance, kWholeScenario, ialg);
    OrvoPreStep(instance);
    BareSolverRun bare(instance);

    double library = 0.0, baseline = 0.0, asWritten = 0.0, outside = 0.0, setup = 0.0, differences = 0.0;
    RunCounters total;
    BareRunFigures bareTotal;
    bool ok = true;
    const auto libraryRun = [&](double stopTime) {
        ApplyExampleScenario(instance, stopTime, ialg);
        return TimedRun(instance, stopTime, ok);
    };
    for (auto _ : state) {
        setup += libraryRun(1e-9);

        ResetCounters();
        library += libraryRun(kWholeScenario);
        total.derivativeEvaluations += Counters().derivativeEvaluations;
        total.integratorSteps += Counters().integratorSteps;
        total.jacobianEvaluations += Counters().jacobianEvaluations;

        TimeSolverCalls(true);
        ResetCounters();
        outside += libraryRun(kWholeScenario) - Counters().solverSeconds;
        TimeSolverCalls(false);

        OrvoSimRuntime::UseAnalyticJacobian(false);
        differences += libraryRun(kWholeScenario);
        OrvoSimRuntime::UseAnalyticJacobian(true);

        double start = ProcessSeconds();
        const BareRunFigures figures = bare.Run(kind);
        baseline += ProcessSeconds() - start;

        start = ProcessSeconds();
        ok = ok && bare.Run(kind, true).ok;
        asWritten += ProcessSeconds() - start;
        bareTotal.derivativeEvaluations += figures.derivativeEvaluations;
        bareTotal.steps += figures.steps;
        bareTotal.jacobianEvaluations += figures.jacobianEvaluations;
        ok = ok && figures.ok;
    }
    if (!ok || model.failed()) {
        state.SkipWithError(("a run failed: " + model.firstMessage()).c_str());
        return;
    }
    const double runs = static_cast<double>(state.iterations());
    const auto perRun = [runs](double value) { return value / runs; };
    state.counters["ratio"] = library / baseline;
    state.counters["ratio_as_written"] = library / asWritten;
    state.counters["bare_as_written_ms"] = perRun(asWritten) * 1e3;
    state.counters["library_ms"] = perRun(library) * 1e3;
    state.counters["library_differences_ms"] = perRun(differences) * 1e3;
    state.counters["ratio_differences"] = differences / baseline;
    state.counters["bare_ms"] = perRun(baseline) * 1e3;
    state.counters["library_runs_per_s"] = runs / library;
    state.counters["outside_solver_ms"] = perRun(outside) * 1e3;
    state.counters["setup_ms"] = perRun(setup) * 1e3;
    state.counters["library_steps"] = perRun(static_cast<double>(total.integratorSteps));
    state.counters["library_deriv_evals"] = perRun(static_cast<double>(total.derivativeEvaluations));
    state.counters["bare_steps"] = perRun(static_cast<double>(bareTotal.steps));
    state.counters["bare_deriv_evals"] = perRun(static_cast<double>(bareTotal.derivativeEvaluations));
    state.counters["library_jacobians"] = perRun(static_cast<double>(total.jacobianEvaluations));
    state.counters["bare_jacobians"] = perRun(static_cast<double>(bareTotal.jacobianEvaluations));
}
BENCHMARK(BM_LibraryVersusBareSolver)->ArgName("ialg")->Arg(14)->Arg(15)->Unit(benchmark::kMillisecond);

// The sampled parameters of the runs that ended well in a runs.csv of
// `orvo batch` (the columns between "run" and "status"); false if the file
// has no such columns.
bool ReadPopulationRuns(const char* path, std::vector<std::string>& names,
                        std::vector<std::vector<double>>& runs) {
    std::ifstream file(path);
    std::string line;
    if (!std::getline(file, line)) return false;
    std::vector<std::string> header;
    std::stringstream columns(line);
    for (std::string column; std::getline(columns, column, ',') && column != "status";) header.push_back(column);
    if (header.size() < 2 || header[0] != "run") return false;
    names.assign(header.begin() + 1, header.end());
    while (std::getline(file, line)) {
        std::stringstream fields(line);
        std::string field;
        std::vector<double> values;
        bool numbers = true;
        for (std::size_t k = 0; k <= names.size() && std::getline(fields, field, ','); ++k) {
            char* end = nullptr;
            const double value = std::strtod(field.c_str(), &end);
            numbers = numbers && !field.empty() && *end == '\0';
            if (k > 0) values.push_back(value);
        }
        if (numbers && values.size() == names.size() && std::getline(fields, field, ',') && field == "ok")
            runs.push_back(std::move(values));
    }
    return true;
}

// The library run and the bare solver (DLSODES, as in
// BM_LibraryVersusBareSolver) on the runs of a population: each run's sampled
// parameters over the example scenario, from the runs.csv named by the
// environment's ORVO_BENCH_RUNS (scripts/bench_population.sh sets it).
// bare_ms and library_ms are processor time a run, averaged over the runs.
void BM_PopulationRuns(benchmark::State& state) {
    const char* path = std::getenv("ORVO_BENCH_RUNS");
    std::vector<std::string> names;
    std::vector<std::vector<double>> runs;
    if (!path || !ReadPopulationRuns(path, names, runs) || runs.empty()) {
        state.SkipWithError("ORVO_BENCH_RUNS names no runs.csv of orvo batch with runs that ended well");
        return;
    }
    ModelInstance model;
    const uint32_t instance = model.id();
    std::vector<uint32_t> symbols;
    for (const std::string& name : names) {
        symbols.push_back(OrvoGetSymbolIndex(name.c_str()));
        if (symbols.back() == 0) {
            state.SkipWithError(("no variable " + name + " in the model").c_str());
            return;
        }
    }
    double library = 0.0, baseline = 0.0;
    bool ok = true;
    for (auto _ : state) {
        for (const std::vector<double>& run : runs) {
            ApplyExampleScenario(instance, kWholeScenario, 14);
            for (std::size_t k = 0; k < symbols.size(); ++k) OrvoSetDouble(instance, symbols[k], run[k]);
            OrvoPreStep(instance);
            BareSolverRun bare(instance);
            library += TimedRun(instance, kWholeScenario, ok);
            const double start = ProcessSeconds();
            ok = bare.Run(BareSolverKind::Dlsodes).ok && ok;
            baseline += ProcessSeconds() - start;
        }
    }
    if (!ok || model.failed()) {
        state.SkipWithError(("a run failed: " + model.firstMessage()).c_str());
        return;
    }
    const double count = static_cast<double>(state.iterations()) * static_cast<double>(runs.size());
    state.counters["runs"] = static_cast<double>(runs.size());
    state.counters["bare_ms"] = baseline / count * 1e3;
    state.counters["library_ms"] = library / count * 1e3;
    state.counters["ratio"] = library / baseline;
}
BENCHMARK(BM_PopulationRuns)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
