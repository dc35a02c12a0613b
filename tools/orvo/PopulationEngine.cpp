#include "PopulationEngine.h"

#include <algorithm>
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
#include "ExitCodes.h"
#include "ModelSession.h"
#include "NumberText.h"
#include "Progress.h"
#include "SymbolText.h"
#include "WorkerPool.h"

namespace {

// Recorded when --vars is not given: serum and thyroid concentrations of
// both chemicals in mother and fetus.
const char* const kDefaultOutputs[] = {"ca_mi", "cthyt_mi", "ca_fi", "cthy_fi", "ca_mp", "cthy_mp", "ca_fp", "cthy_fp"};

// FNV-1a, 64 bits: a fingerprint of the inputs, not a security measure.
std::string Fingerprint(const std::string& text) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
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
        text += v.name + " " + std::to_string(v.symbolType) + " " + std::to_string(v.dataType);
        for (const uint32_t d : v.dims) text += " " + std::to_string(d);
        const uint32_t elements = ElementCount(v.dims);
        for (uint32_t k = 0; k < elements && k < 100000; ++k) text += " " + variables.ReadText(v, k);
        text += "\n";
    }
    return text;
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

void Complain(const std::string& message) { std::cerr << "orvo: " << message << "\n"; }

int ReportFailedRuns(const PopulationTable& table, bool excluded) {
    const std::size_t failed = FailedRuns(table);
    if (failed == 0) return kExitOk;
    Complain(std::to_string(failed) + " of " + std::to_string(table.records.size()) + " runs failed" +
             (excluded ? " and are excluded from the summary" : "") + " (see status in runs.csv)");
    const std::size_t lost = static_cast<std::size_t>(std::count_if(
        table.records.begin(), table.records.end(), [](const RunRecord& r) { return r.status == RunStatus::Lost; }));
    if (lost > 0) {
        Complain(std::to_string(lost) + " run(s) lost: their worker process died twice (out of memory or killed?)");
        return kExitRunsLost;
    }
    return kExitSomeRunsFailed;
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

bool ReadPopulationInputs(const Options& options, const std::string& kind, PopulationSetup& setup, std::string& error) {
    setup = PopulationSetup{};
    setup.kind = kind;
    std::string fingerprint = "orvo " + kind + "\n";
    for (const std::string& file : options.scenarios) {
        std::string content;
        if (!ReadWholeFile(file, content, error)) {
            error = "scenario file: " + error;
            return false;
        }
        std::istringstream in(content);
        if (!ReadPopulation(in, file, setup.population, error)) return false;
        fingerprint += "scenario\n" + content + "\n";
    }
    for (const Assignment& a : options.settings) {
        fingerprint += "set " + a.name + "=" + a.value + "\n";
        if (IsPopulationSetting(a.name)) {
            if (!ApplyPopulationSetting(a, setup.population, error)) return false;
        } else {
            setup.population.settings.push_back(a);
        }
    }
    if (kind == "batch" && !options.params.empty()) {
        std::string content;
        if (!ReadWholeFile(options.params, content, error)) {
            error = "--params: " + error;
            return false;
        }
        std::istringstream in(content);
        if (!ReadParameterTable(in, options.params, setup.params, error)) return false;
        setup.haveParams = true;
        fingerprint += "params\n" + content + "\n";
        if (!setup.population.sampled.empty()) {
            error = setup.population.sampled.front().origin + ": distributions and --params '" + options.params +
                    "' both give the runs: use one";
            return false;
        }
        if (setup.population.runs != 0 && setup.population.runs != setup.params.Rows()) {
            error = (setup.population.runsOrigin.empty() ? "" : setup.population.runsOrigin + ": ") +
                    "runs = " + std::to_string(setup.population.runs) + ", but --params '" + options.params + "' has " +
                    std::to_string(setup.params.Rows()) + " rows";
            return false;
        }
    } else if (kind == "local" && !setup.population.sampled.empty()) {
        error = setup.population.sampled.front().origin +
                ": local sensitivity runs at the scenario's values; remove the distribution lines";
        return false;
    } else if (kind == "sobol" && setup.population.sampled.empty()) {
        error = (options.scenarios.empty() ? std::string("--scenario") : options.scenarios.front()) +
                ": no distribution lines (NAME ~ ...) to take Sobol indices over";
        return false;
    }
    fingerprint += "vars";
    for (const std::string& v : options.variables) fingerprint += " " + v;
    fingerprint += "\nat " + TimeList(options.atTimes) + "\nruns " + std::to_string(options.runs) + "\nbootstrap " +
                   std::to_string(options.bootstrap) + "\nstep " + FormatReal(options.step) + "\nparams " +
                   options.params + "\n";
    setup.hash = Fingerprint(fingerprint);
    setup.libraryPath = options.libraryPath.empty() ? OrvoLibrary::DefaultPath() : options.libraryPath;
    setup.runTimeout = options.runTimeout;
    return true;
}

void SampledInputs(const PopulationSetup& setup, std::vector<ElementName>& inputs,
                   std::vector<std::string>& origins) {
    for (const SampledVariable& s : setup.population.sampled) {
        inputs.push_back(s.element);
        origins.push_back(s.origin);
    }
}

int ResolvePopulation(const Options& options, const std::vector<ElementName>& inputs,
                      const std::vector<std::string>& inputOrigins, PopulationSetup& setup, std::string& error) {
    OrvoLibrary library;
    if (!library.Load(setup.libraryPath)) {
        error = library.error();
        return kExitRunFailed;
    }
    ModelSession session(library);
    if (session.instance() == 0) {
        error = "the library could not create a model instance";
        return kExitRunFailed;
    }
    const ModelVariables variables(library, session.instance());
    // Parts of different model builds must not merge: the hash covers the
    // model's variable table and its values before any setting.
    setup.hash = Fingerprint(setup.hash + "\nmodel\n" + ModelDigest(library, variables));
    RunPlan& plan = setup.plan;
    if (!ApplySettings(variables, setup.population.settings, plan, error)) return kExitBadInput;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        ModelElement element;
        if (!ResolveInput(variables, inputs[k], element, error)) {
            error = inputOrigins[k] + ": " + error;
            return kExitBadInput;
        }
        // A value set and also sampled (or taken from --params) is ambiguous;
        // local sensitivity varies the values the settings give.
        for (const Assignment& setting : setup.population.settings)
            if (setup.kind != "local" && strcasecmp(setting.name.c_str(), element.variable.name.c_str()) == 0) {
                error = inputOrigins[k] + ": '" + element.header + "' is also set (" +
                        (setting.origin.empty() ? std::string("--set") : setting.origin) + "): set it or vary it, not both";
                return kExitBadInput;
            }
        for (const ModelElement& other : plan.inputs)
            if (other.header == element.header) {
                error = inputOrigins[k] + ": '" + element.header + "' is given twice";
                return kExitBadInput;
            }
        plan.inputs.push_back(element);
        setup.baseInputs.push_back(variables.ReadNumber(element.variable, element.offset));
    }
    std::vector<std::string> outputs = options.variables;
    if (outputs.empty())
        for (const char* name : kDefaultOutputs) {
            ModelVariable v;
            if (variables.Find(name, v)) outputs.emplace_back(name);
        }
    if (outputs.empty()) {
        error = "--vars: no variables to record";
        return kExitBadInput;
    }
    if (!ResolveOutputs(variables, outputs, plan, error) || !ComputeOutputTimes(variables, plan, error) ||
        !ResolveAtTimes(options.atTimes, plan.times, setup.atIndices, error))
        return kExitBadInput;
    return kExitOk;
}

bool RunPopulation(const PopulationSetup& setup, std::size_t first, std::size_t end, unsigned jobs, bool progress,
                   PopulationTable& table, std::string& error) {
    const RunPlan& plan = setup.plan;
    table = PopulationTable{};
    for (const ModelElement& e : plan.inputs) table.inputs.push_back(e.header);
    for (const ModelElement& e : plan.outputs) table.outputs.push_back(e.header);
    table.times = plan.times;
    table.atIndices = setup.atIndices;
    table.records.resize(end - first);

    if (jobs == 0) jobs = static_cast<unsigned>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    std::vector<uint32_t> runs;
    for (std::size_t k = first; k < end; ++k) runs.push_back(static_cast<uint32_t>(k));
    const unsigned workers = static_cast<unsigned>(std::min<std::size_t>(jobs, std::max<std::size_t>(1, runs.size())));
    ProgressLine line(runs.size(), workers, ProgressLine::Wanted(progress));
    std::size_t done = 0;
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
            table.records[record.run - first] = std::move(record);
            line.Update(++done);
        },
        error, setup.runTimeout);
    if (!ran) return false;
    line.Finish(done);
    return true;
}

PartHeader MakePartHeader(const Options& options, const PopulationSetup& setup, std::size_t total) {
    PartHeader header;
    header.kind = setup.kind;
    header.hash = setup.hash;
    header.seed = setup.population.seed;
    header.shard = options.shard;
    header.shards = options.shards;
    header.totalRuns = total;
    std::tie(header.firstRun, header.endRun) = ShardRange(total, options.shard, options.shards);
    return header;
}

bool PrepareOutputDirectory(const Options& options, std::string& directory) {
    directory = options.outputFile.empty() ? "." : options.outputFile;
    std::string error;
    if (!EnsureDirectory(directory, error) || !CheckWritable(directory, error)) {
        Complain(error);
        return false;
    }
    // The plot may go elsewhere: its folder is checked before the runs too.
    if (!options.plotFile.empty()) {
        const std::size_t slash = options.plotFile.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : options.plotFile.substr(0, slash + (slash == 0));
        if (!CheckWritable(folder, error)) {
            Complain("--plot: " + error);
            return false;
        }
    }
    return true;
}

bool WriteOutput(const std::string& directory, const std::string& name,
                 const std::function<void(std::ostream&)>& write) {
    std::string error;
    if (!WriteFileAtomically(directory + "/" + name, write, error)) {
        Complain(error);
        return false;
    }
    return true;
}
