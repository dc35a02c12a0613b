#include "PopulationEngine.h"

#include "ContentHash.h"
#include "ModelDoses.h"
#include "ModelMetadata.h"

#include <algorithm>
#include <array>
#include <functional>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "AtomicFile.h"
#include "ModelSession.h"
#include "NumberText.h"
#include "SymbolText.h"
#include "WorkerPool.h"

namespace {

// A fingerprint of the inputs, not a security measure.
std::string Fingerprint(const std::string& text) {
    ContentHash hash;
    hash.Add(text);
    return hash.Hex();
}

bool ReadWholeFile(const std::string& path, std::string& content, std::string& error) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        error = "'" + path + "' is a folder, not a file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open '" + path + "'";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error = "cannot read '" + path + "'";
        return false;
    }
    content = text.str();
    DropByteOrderMark(content);
    return true;
}

// Every variable's name, kinds, extents and values, one line each.
std::string ModelDigest(const OrvoLibrary& library, const ModelVariables& variables) {
    std::string text;
    const uint32_t count = library.OrvoGetNumberSymbols();
    for (uint32_t n = 1; n <= count; ++n) {
        const ModelVariable v = variables.At(n);
        // Appended piece by piece: g++ 12 warns falsely (-Wrestrict) on " " + string.
        const auto field = [&text](const std::string& value) { text.append(1, ' ').append(value); };
        text += v.name;
        field(std::to_string(v.symbolType));
        field(std::to_string(v.dataType));
        for (const uint32_t d : v.dims) field(std::to_string(d));
        const uint32_t elements = ElementCount(v.dims);
        for (uint32_t k = 0; k < elements && k < 100000; ++k) field(variables.ReadText(v, k));
        text += "\n";
    }
    return text;
}

// A difference quotient with relative step h divides the runs' error by h:
// local coefficients need tolerances about h x 1e-4 (1e-6 at the default
// step) to be good to about 1 %. Looser model tolerances are tightened to
// that and said; looser ones given by the user are kept and warned about.
constexpr double kLocalToleranceOfStep = 1e-4;

void CheckLocalTolerances(const OrvoLibrary& library, uint32_t instance, const ModelVariables& variables, double step,
                          PopulationSetup& setup) {
    const double needed = step * kLocalToleranceOfStep;
    StateTolerances& chosen = setup.plan.tolerances;
    const StateTolerances model = LoosestStateTolerances(library, instance, variables);
    const auto describe = [](double relative, double absolute) {
        char text[64];
        std::snprintf(text, sizeof text, "rtol %.3g, atol %.3g", relative, absolute);
        return std::string(text);
    };
    if (chosen.Given()) {
        const double relative = chosen.relative > 0.0 ? chosen.relative : model.relative;
        const double absolute = chosen.absolute > 0.0 ? chosen.absolute : model.absolute;
        if (relative > needed || absolute > needed)
            setup.notes.push_back("warning: tolerances " + describe(relative, absolute) + " are loose for the step " +
                                  FormatReal(step) + ": the coefficients may be off by more than 1 % (" +
                                  describe(needed, needed) + " or tighter is safe)");
        return;
    }
    if (model.relative <= needed && model.absolute <= needed) return;
    chosen.relative = std::min(model.relative, needed);
    chosen.absolute = std::min(model.absolute, needed);
    setup.notes.push_back("the model's tolerances (" + describe(model.relative, model.absolute) +
                          ") are loose for the step " + FormatReal(step) + ": the runs use " +
                          describe(chosen.relative, chosen.absolute) + " (give --rtol and --atol to choose)");
}

// A worker: its own library, one instance, the inherited plan.
class PlanTask : public WorkerTask {
public:
    explicit PlanTask(const PopulationSetup& setup) : setup_(setup) {}

    bool Start(std::string& error) override {
        library_ = std::make_unique<OrvoLibrary>();
        if (!library_->Load(setup_.libraryPath)) {
            error = library_->error();
            return false;
        }
        session_ = std::make_unique<ModelSession>(*library_);
        if (session_->instance() == 0) {
            error = "the library could not create a model instance";
            return false;
        }
        runner_ = std::make_unique<ModelRunner>(*library_, session_->instance(), setup_.plan);
        return true;
    }
    RunRecord Run(uint32_t run) override { return runner_->Run(run); }

private:
    const PopulationSetup& setup_;
    std::unique_ptr<OrvoLibrary> library_;
    std::unique_ptr<ModelSession> session_;
    std::unique_ptr<ModelRunner> runner_;
};

}  // namespace

bool CheckWritable(const std::string& directory, std::string& error) {
    std::string probe = directory + "/.orvo-write-check-XXXXXX";
    const int fd = mkstemp(probe.data());
    if (fd < 0) {
        error = "cannot write into '" + directory + "': " + std::strerror(errno);
        return false;
    }
    close(fd);
    unlink(probe.c_str());
    return true;
}

std::string TimeList(const std::vector<double>& times) {
    std::string text;
    for (std::size_t i = 0; i < times.size(); ++i) text.append(i ? "," : "").append(FormatReal(times[i]));
    return text;
}

bool ParseTimeList(const std::string& text, std::vector<double>& times) {
    times.clear();
    if (text.empty()) return true;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        double t = 0.0;
        if (!ReadReal(std::string_view(text).substr(start, comma - start), t)) return false;
        times.push_back(t);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

namespace {

[[noreturn]] void Refuse(const std::string& message, PopulationInput input = PopulationInput::None) {
    throw PopulationError(PopulationError::Kind::BadInput, message, input);
}

// For each sampled variable, the column each of its distribution's
// parameters refers to (npos for a number).
using ReferenceColumns = std::vector<std::array<std::size_t, 3>>;

ReferenceColumns ResolveReferences(const std::vector<SampledVariable>& sampled) {
    ReferenceColumns columns(sampled.size());
    for (std::size_t j = 0; j < sampled.size(); ++j)
        for (std::size_t k = 0; k < 3; ++k) {
            columns[j][k] = std::string::npos;
            const std::string& name = sampled[j].distribution.references[k];
            if (name.empty()) continue;
            for (std::size_t i = 0; i < sampled.size(); ++i)
                if (sampled[i].element.subscripts.empty() && strcasecmp(sampled[i].element.name.c_str(), name.c_str()) == 0)
                    columns[j][k] = i;
            if (columns[j][k] == std::string::npos)
                Refuse(sampled[j].origin + ": '" + Clip(name) +
                       "' is not a sampled variable of this population: a distribution's parameter is a number or "
                       "the name of another sampled variable");
            if (columns[j][k] == j) Refuse(sampled[j].origin + ": the distribution of '" + name + "' refers to itself");
        }
    return columns;
}

// The columns in an order where each comes after those its distribution
// refers to; a cycle is refused.
std::vector<std::size_t> SamplingOrder(const std::vector<SampledVariable>& sampled, const ReferenceColumns& columns) {
    std::vector<std::size_t> order;
    std::vector<int> state(sampled.size(), 0);  // 0 new, 1 visiting, 2 placed
    std::function<void(std::size_t)> visit = [&](std::size_t j) {
        if (state[j] == 2) return;
        if (state[j] == 1) Refuse(sampled[j].origin + ": the distributions refer to each other in a circle");
        state[j] = 1;
        for (const std::size_t c : columns[j])
            if (c != std::string::npos) visit(c);
        state[j] = 2;
        order.push_back(j);
    };
    for (std::size_t j = 0; j < sampled.size(); ++j) visit(j);
    return order;
}

}  // namespace

PopulationSetup ReadPopulationInputs(const PopulationRequest& request) {
    PopulationSetup setup;
    const std::string& kind = request.kind;
    setup.kind = kind;
    std::string error;
    std::string fingerprint = "orvo " + kind + "\n";
    for (const std::string& file : request.scenarioFiles) {
        std::string content;
        if (!ReadWholeFile(file, content, error)) Refuse("scenario file: " + error);
        std::istringstream in(content);
        if (!ReadPopulation(in, file, setup.population, error)) Refuse(error);
        fingerprint += "scenario\n" + content + "\n";
    }
    for (const Assignment& a : request.settings) {
        fingerprint += "set " + a.name + "=" + a.value + "\n";
        if (IsPopulationSetting(a.name)) {
            if (!ApplyPopulationSetting(a, setup.population, error)) Refuse(error);
        } else {
            setup.population.settings.push_back(a);
        }
    }
    if (kind == "batch" && !request.paramsFile.empty()) {
        std::string content;
        if (!ReadWholeFile(request.paramsFile, content, error)) Refuse(error, PopulationInput::Params);
        std::istringstream in(content);
        if (!ReadParameterTable(in, request.paramsFile, setup.params, error)) Refuse(error);
        setup.haveParams = true;
        fingerprint += "params\n" + content + "\n";
        const std::string table = request.paramsName.empty() ? "'" + request.paramsFile + "'" : request.paramsName;
        if (!setup.population.sampled.empty())
            Refuse(setup.population.sampled.front().origin + ": distributions and " + table +
                   " both give the runs: use one");
        if (setup.population.runs != 0 && setup.population.runs != setup.params.Rows())
            Refuse((setup.population.runsOrigin.empty() ? "" : setup.population.runsOrigin + ": ") + "runs = " +
                   std::to_string(setup.population.runs) + ", but " + table + " has " +
                   std::to_string(setup.params.Rows()) + " rows");
    } else if (kind == "local" && !setup.population.sampled.empty()) {
        Refuse(setup.population.sampled.front().origin +
               ": local sensitivity runs at the scenario's values; remove the distribution lines");
    } else if (kind == "local" && !setup.population.designLine.empty()) {
        Refuse(setup.population.designLine +
               " does not apply to local sensitivity: it runs each parameter up and down at the scenario's values");
    } else if (kind == "sobol") {
        for (const SampledVariable& s : setup.population.sampled)
            if (s.distribution.HasReferences())
                Refuse(s.origin + ": Sobol indices need independent inputs; this distribution refers to another "
                                  "sampled variable");
    }
    SamplingOrder(setup.population.sampled, ResolveReferences(setup.population.sampled));  // refuses faults early
    if (kind == "sobol" && setup.population.sampled.empty()) {
        const std::string message = "no distribution lines (NAME ~ ...) to take Sobol indices over";
        if (request.scenarioFiles.empty()) Refuse(message, PopulationInput::Scenario);
        Refuse(request.scenarioFiles.front() + ": " + message);
    }
    // --doses wins over a population file's `doses` line.
    const std::string dosesFile = request.dosesFile.empty() ? setup.population.doses : request.dosesFile;
    if (!dosesFile.empty()) {
        std::string content;
        if (!ReadWholeFile(dosesFile, content, error))
            Refuse(request.dosesFile.empty() ? setup.population.dosesOrigin + ": doses: " + error : error);
        std::istringstream in(content);
        if (!ReadDoseRecords(in, dosesFile, setup.plan.doses, error)) Refuse(error);
        fingerprint += "doses\n" + content + "\n";
    }
    fingerprint += "vars";
    for (const std::string& v : request.outputs) fingerprint += " " + v;
    fingerprint += "\nat " + TimeList(request.atTimes) + "\nruns " + std::to_string(request.runs) + "\nbootstrap " +
                   std::to_string(request.bootstrap) + "\nstep " + FormatReal(request.step) + "\nparams " +
                   request.paramsText + "\n";
    if (request.tolerances.Given())  // absent from the fingerprints of earlier versions' parts
        fingerprint += "tolerances " + FormatReal(request.tolerances.relative) + " " +
                       FormatReal(request.tolerances.absolute) + "\n";
    setup.hash = Fingerprint(fingerprint);
    setup.libraryPath = request.libraryPath;
    setup.runTimeout = request.runTimeout;
    return setup;
}

void SampledInputs(const PopulationSetup& setup, std::vector<ElementName>& inputs,
                   std::vector<std::string>& origins) {
    for (const SampledVariable& s : setup.population.sampled) {
        inputs.push_back(s.element);
        origins.push_back(s.origin);
    }
}

void ResolvePopulation(const PopulationRequest& request, const std::vector<ElementName>& inputs,
                       const std::vector<std::string>& inputOrigins, PopulationSetup& setup) {
    auto loaded = std::make_shared<OrvoLibrary>();
    setup.loaded = loaded;
    OrvoLibrary& library = *loaded;
    if (!library.Load(setup.libraryPath)) throw PopulationError(PopulationError::Kind::Failure, library.error());
    ModelSession session(library);
    if (session.instance() == 0)
        throw PopulationError(PopulationError::Kind::Failure, "the library could not create a model instance");
    const ModelVariables variables(library, session.instance());
    // Parts of different model builds must not merge: the hash covers the
    // model's variable table and its values before any setting.
    setup.hash = Fingerprint(setup.hash + "\nmodel\n" + ModelDigest(library, variables));
    RunPlan& plan = setup.plan;
    std::string error;
    if (!ApplySettings(variables, setup.population.settings, plan, error)) Refuse(error);
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        ModelElement element;
        if (!ResolveInput(variables, inputs[k], element, error)) Refuse(inputOrigins[k] + ": " + error);
        // A value set and also sampled (or taken from the design table) is
        // ambiguous; local sensitivity varies the values the settings give.
        for (const Assignment& setting : setup.population.settings)
            if (setup.kind != "local" && strcasecmp(setting.name.c_str(), element.variable.name.c_str()) == 0)
                Refuse(inputOrigins[k] + ": '" + element.header + "' is also set (" +
                       (setting.origin.empty() ? std::string("a setting") : setting.origin) +
                       "): set it or vary it, not both");
        for (const ModelElement& other : plan.inputs)
            if (other.header == element.header) Refuse(inputOrigins[k] + ": '" + element.header + "' is given twice");
        plan.inputs.push_back(element);
        setup.baseInputs.push_back(variables.ReadNumber(element.variable, element.offset));
    }
    // Without --vars: what the model declares for populations, else every state.
    std::vector<std::string> outputs = request.outputs;
    if (outputs.empty()) {
        std::string ignored;
        for (const std::string& name : ReadModelMetadata(setup.libraryPath, ignored).populationOutputs) {
            ModelVariable v;
            if (variables.Find(name, v)) outputs.push_back(name);
        }
    }
    if (outputs.empty())
        for (uint32_t n = 2;; ++n) {
            const ModelVariable v = variables.At(n);
            if (v.symbolType != OrvoSymbolState) break;
            outputs.push_back(v.name);
        }
    if (outputs.empty()) Refuse("no variables to record", PopulationInput::Outputs);
    if (!ResolveOutputs(variables, outputs, plan, error)) Refuse(error, PopulationInput::Outputs);
    if (!ComputeOutputTimes(variables, plan, error)) Refuse(error);
    // Dose records checked against the model at its settings; each run
    // schedules them again with its own values.
    if (!plan.doses.empty()) {
        DoseSchedule schedule;
        if (!ScheduleDoses(plan.doses, DoseModelOf(variables), plan.times.back(), schedule, error)) Refuse(error);
    }
    if (!ResolveAtTimes(request.atTimes, plan.times, setup.atIndices, error)) Refuse(error, PopulationInput::AtTimes);
    plan.tolerances = request.tolerances;
    if (setup.kind == "local") CheckLocalTolerances(library, session.instance(), variables, request.step, setup);
}

std::vector<double> MapThroughDistributions(const std::vector<SampledVariable>& sampled, std::vector<double> unit) {
    const std::size_t d = sampled.size();
    if (d == 0) return unit;
    const bool independent = std::none_of(sampled.begin(), sampled.end(),
                                          [](const SampledVariable& s) { return s.distribution.HasReferences(); });
    if (independent) {
        for (std::size_t k = 0; k < unit.size(); ++k) unit[k] = sampled[k % d].distribution.Sample(unit[k]);
        return unit;
    }
    const ReferenceColumns columns = ResolveReferences(sampled);
    const std::vector<std::size_t> order = SamplingOrder(sampled, columns);
    for (std::size_t row = 0; (row + 1) * d <= unit.size(); ++row) {
        double* values = unit.data() + row * d;
        for (const std::size_t j : order) {
            if (!sampled[j].distribution.HasReferences()) {
                values[j] = sampled[j].distribution.Sample(values[j]);
                continue;
            }
            // This run's values of the variables the parameters name.
            Distribution distribution = sampled[j].distribution;
            for (std::size_t k = 0; k < 3; ++k)
                if (columns[j][k] != std::string::npos) distribution.p[k] = values[columns[j][k]];
            if (const std::string why = distribution.Check(); !why.empty())
                Refuse(sampled[j].origin + ": in run " + std::to_string(row) + ", with the values sampled for the "
                       "variables it refers to, " + why);
            values[j] = distribution.Sample(values[j]);
        }
    }
    return unit;
}

PopulationColumns ColumnsOf(const PopulationSetup& setup) {
    PopulationColumns columns;
    for (const ModelElement& e : setup.plan.inputs) columns.inputs.push_back(e.header);
    for (const ModelElement& e : setup.plan.outputs) columns.outputs.push_back(e.header);
    columns.times = setup.plan.times;
    columns.atIndices = setup.atIndices;
    return columns;
}

bool RunPopulation(const PopulationSetup& setup, std::size_t first, std::size_t end, unsigned jobs,
                   PopulationProgress& progress, const std::function<void(RunRecord&&)>& onRecord,
                   std::string& error) {
    const RunPlan& plan = setup.plan;
    if (jobs == 0) jobs = static_cast<unsigned>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    std::vector<uint32_t> runs;
    runs.reserve(end - first);
    for (std::size_t k = first; k < end; ++k) runs.push_back(static_cast<uint32_t>(k));
    const unsigned workers = static_cast<unsigned>(std::min<std::size_t>(jobs, std::max<std::size_t>(1, runs.size())));
    progress.Started(runs.size(), workers);
    std::size_t done = 0;
    RunOrder order(first, onRecord);
    PlanTask task(setup);
    std::cout.flush();  // nothing buffered may be written twice by the workers
    std::cerr.flush();
    const bool ran = RunInWorkers(
        runs, workers, task,
        [&](RunRecord&& record) {
            const std::size_t expected = plan.outputs.size() * plan.times.size();
            if (record.values.size() != expected) record.values.assign(expected, NAN);  // a lost worker's run
            const double* inputs = plan.InputsOf(record.run);
            record.inputs.assign(inputs, inputs + plan.inputs.size());
            progress.RunDone(++done);
            order.Add(std::move(record));
        },
        error, setup.runTimeout);
    if (!ran) return false;
    progress.Finished(done);
    return true;
}

bool RunPopulation(const PopulationSetup& setup, std::size_t first, std::size_t end, unsigned jobs,
                   PopulationProgress& progress, PopulationTable& table, std::string& error) {
    table = PopulationTable{};
    static_cast<PopulationColumns&>(table) = ColumnsOf(setup);
    table.records.reserve(end - first);
    return RunPopulation(
        setup, first, end, jobs, progress, [&](RunRecord&& record) { table.records.push_back(std::move(record)); },
        error);
}

PartHeader MakePartHeader(const PopulationSetup& setup, std::size_t total, std::size_t shard, std::size_t shards) {
    PartHeader header;
    header.kind = setup.kind;
    header.hash = setup.hash;
    header.seed = setup.population.seed;
    header.shard = shard;
    header.shards = shards;
    header.totalRuns = total;
    std::tie(header.firstRun, header.endRun) = ShardRange(total, shard, shards);
    return header;
}

void CheckTableTargets(const std::string& directory, const std::vector<std::string>& names) {
    std::string error;
    for (const std::string& name : names)
        if (!CheckFileTarget(directory + "/" + name, error)) throw PopulationError(PopulationError::Kind::Failure, error);
}

std::vector<std::pair<std::string, std::string>> InputFiles(const PopulationRequest& request,
                                                            const std::string& populationDoses) {
    std::vector<std::pair<std::string, std::string>> files = {{request.paramsFile, "the --params file"},
                                                              {request.dosesFile, "the --doses file"}};
    for (const std::string& file : request.scenarioFiles) files.emplace_back(file, "a population file");
    if (!populationDoses.empty()) files.emplace_back(populationDoses, "the population's dose-record file");
    return files;
}

void CheckTablesAreNotInputs(const std::string& out, const std::vector<std::string>& names,
                             const std::vector<std::pair<std::string, std::string>>& inputs) {
    const std::string directory = out.empty() ? "." : out;
    for (const std::string& name : names)
        if (const std::string what = FileItWouldReplace(directory + "/" + name, inputs); !what.empty())
            throw PopulationError(PopulationError::Kind::BadInput,
                                  "--out: '" + directory + "/" + name + "' is " + what + ": " + name +
                                      " would replace it; give the tables a folder of their own");
}

void CheckPlotFileIsItsOwn(const std::string& plotFile, const std::vector<std::pair<std::string, std::string>>& files) {
    if (plotFile.empty()) return;
    if (const std::string what = FileItWouldReplace(plotFile, files); !what.empty())
        throw PopulationError(PopulationError::Kind::BadInput,
                              "'" + plotFile + "' is " + what + ": the plot would replace it; give the plot a file "
                              "of its own",
                              PopulationInput::Plot);
}

std::string PrepareOutputDirectory(const std::string& out, const std::string& plotFile, FolderLock* lock) {
    const std::string directory = out.empty() ? "." : out;
    std::string error;
    if (!EnsureDirectory(directory, error) || !CheckWritable(directory, error) ||
        (lock != nullptr && !lock->Acquire(directory, error)))
        throw PopulationError(PopulationError::Kind::Failure, error);
    // The plot may go elsewhere: its folder is checked before the runs too.
    if (!plotFile.empty()) {
        const std::size_t slash = plotFile.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : plotFile.substr(0, slash + (slash == 0));
        if (!CheckFileTarget(plotFile, error) || !CheckWritable(folder, error))
            throw PopulationError(PopulationError::Kind::Failure, error, PopulationInput::Plot);
    }
    return directory;
}
