// The population engine at its interface: requests in, setups, records and
// typed refusals out, against the shipped oral_absorption model.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <unistd.h>

#include "LocalSensitivity.h"
#include "ModelSession.h"
#include "PopulationEngine.h"
#include "SobolAnalysis.h"

namespace {

namespace fs = std::filesystem;

// A scratch folder per test, removed afterwards.
class PopulationEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("orvo-engine-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string Write(const std::string& name, const std::string& content) const {
        const fs::path path = folder_ / name;
        std::ofstream(path) << content;
        return path.string();
    }

    static PopulationRequest Request(const std::string& kind, std::vector<std::string> files = {}) {
        PopulationRequest request;
        request.kind = kind;
        request.libraryPath = ORVO_TEST_MODEL_LIBRARY;
        request.scenarioFiles = std::move(files);
        return request;
    }

    // Reads and resolves a request whose inputs are the file's distributions.
    static PopulationSetup Resolve(const PopulationRequest& request) {
        PopulationSetup setup = ReadPopulationInputs(request);
        std::vector<ElementName> inputs;
        std::vector<std::string> origins;
        SampledInputs(setup, inputs, origins);
        ResolvePopulation(request, inputs, origins, setup);
        return setup;
    }

    fs::path folder_;
};

Assignment Set(const std::string& name, const std::string& value) {
    Assignment a;
    a.name = name;
    a.value = value;
    a.origin = "test";
    return a;
}

// Each refusal: its kind, the input it is about and words of its message.
TEST_F(PopulationEngineTest, RefusesBadPopulationsWithTypedErrors) {
    const std::string noDistributions = Write("plain.scenario", "dose = 50\n");
    const std::string sampled = Write("sampled.scenario", "runs = 3\nka ~ uniform(1, 2)\n");
    const std::string table = Write("sets.csv", "ka\n1.1\n1.2\n");
    struct Case {
        std::string what;
        PopulationRequest request;
        PopulationError::Kind kind;
        PopulationInput input;
        std::string words;
    };
    using K = PopulationError::Kind;
    std::vector<Case> cases = {
        {"missing file", Request("batch", {(folder_ / "none.scenario").string()}), K::BadInput,
         PopulationInput::None, "scenario file: cannot open"},
        {"folder as file", Request("batch", {folder_.string()}), K::BadInput, PopulationInput::None, "is a folder"},
        {"sobol without files", Request("sobol"), K::BadInput, PopulationInput::Scenario, "no distribution lines"},
        {"sobol without distributions", Request("sobol", {noDistributions}), K::BadInput, PopulationInput::None,
         noDistributions + ": no distribution lines"},
        {"local with distributions", Request("local", {sampled}), K::BadInput, PopulationInput::None,
         "remove the distribution lines"},
    };
    PopulationRequest both = Request("batch", {sampled});
    both.paramsFile = table;
    both.paramsName = "the table";
    cases.push_back({"distributions and table", both, K::BadInput, PopulationInput::None,
                     "distributions and the table both give the runs"});
    PopulationRequest rows = Request("batch", {noDistributions});
    rows.settings = {Set("runs", "3")};
    rows.paramsFile = table;
    cases.push_back({"runs against rows", rows, K::BadInput, PopulationInput::None, "runs = 3, but '" + table +
                                                                                        "' has 2 rows"});
    PopulationRequest missingTable = Request("batch");
    missingTable.paramsFile = (folder_ / "none.csv").string();
    cases.push_back({"missing table", missingTable, K::BadInput, PopulationInput::Params, "cannot open"});

    const std::string dependent = Write("dependent.scenario", "runs = 3\nka ~ uniform(1, 2)\nke ~ uniform(0.1, ka)\n");
    cases.push_back({"sobol over dependent inputs", Request("sobol", {dependent}), K::BadInput, PopulationInput::None,
                     "dependent.scenario:3: Sobol indices need independent inputs"});
    const std::string unknown = Write("unknown.scenario", "runs = 3\nke ~ uniform(0.1, kb)\n");
    cases.push_back({"reference to nothing sampled", Request("batch", {unknown}), K::BadInput, PopulationInput::None,
                     "unknown.scenario:2: 'kb' is not a sampled variable"});
    PopulationRequest badOutput = Request("batch", {sampled});
    badOutput.outputs = {"conc", "nosuch"};
    cases.push_back({"unknown output", badOutput, K::BadInput, PopulationInput::Outputs, "unknown variable 'nosuch'"});
    PopulationRequest badAt = Request("batch", {sampled});
    badAt.outputs = {"conc"};
    badAt.atTimes = {0.3};
    cases.push_back({"time off the grid", badAt, K::BadInput, PopulationInput::AtTimes, "0.3 is not an output time"});
    PopulationRequest setAndSampled = Request("batch", {sampled});
    setAndSampled.outputs = {"conc"};
    setAndSampled.settings = {Set("ka", "1.5")};
    cases.push_back({"set and sampled", setAndSampled, K::BadInput, PopulationInput::None,
                     "'ka' is also set (test): set it or vary it"});
    // Inputs no run can vary.
    for (const auto& [line, words] : std::vector<std::pair<std::string, std::string>>{
             {"tstop ~ uniform(10, 20)", "cannot vary 'tstop': all runs share the output times"},
             {"conc ~ uniform(1, 2)", "cannot vary 'conc'"},
             {"nosuch ~ uniform(1, 2)", "unknown variable 'nosuch'"}}) {
        // The file is read when the case runs: one file per case.
        const std::string name = "vary-" + std::to_string(cases.size()) + ".scenario";
        PopulationRequest request = Request("batch", {Write(name, line + "\n")});
        request.outputs = {"conc"};
        cases.push_back({line, request, K::BadInput, PopulationInput::None, name + ":1: " + words});
    }
    PopulationRequest noLibrary = Request("batch", {sampled});
    noLibrary.libraryPath = (folder_ / "liborvo_none.so").string();
    cases.push_back({"missing library", noLibrary, K::Failure, PopulationInput::None, "liborvo_none.so"});

    for (const Case& c : cases) {
        try {
            Resolve(c.request);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const PopulationError& e) {
            EXPECT_EQ(e.kind(), c.kind) << c.what;
            EXPECT_EQ(e.input(), c.input) << c.what;
            EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << c.what << ": " << e.what();
            // The caller names the option; the engine never does.
            EXPECT_EQ(std::string(e.what()).find("--"), std::string::npos) << c.what << ": " << e.what();
        }
    }
}

TEST_F(PopulationEngineTest, TheHashCoversEveryInputThatDefinesTheRuns) {
    const std::string file = Write("p.scenario", "runs = 4\nka ~ uniform(1, 2)\n");
    PopulationRequest request = Request("batch", {file});
    request.outputs = {"conc"};
    const std::string hash = Resolve(request).hash;
    EXPECT_EQ(Resolve(request).hash, hash);
    std::set<std::string> hashes = {hash};
    PopulationRequest changed = request;
    changed.settings = {Set("seed", "2")};
    hashes.insert(Resolve(changed).hash);
    changed = request;
    changed.outputs = {"conc", "acentral"};
    hashes.insert(Resolve(changed).hash);
    changed = request;
    changed.atTimes = {12};
    hashes.insert(Resolve(changed).hash);
    changed = request;
    changed.kind = "sobol";
    hashes.insert(Resolve(changed).hash);
    changed = request;
    changed.tolerances.relative = 1e-8;
    hashes.insert(Resolve(changed).hash);
    EXPECT_EQ(hashes.size(), 6u);
}

// Local coefficients divide the runs' error by the step: the model's loose
// tolerances are tightened and said, the user's are kept (and warned about
// when loose), and the runner gives every state the plan's tolerances.
TEST_F(PopulationEngineTest, TolerancesReachTheRunsAndLocalSensitivityChecksThem) {
    const std::string file = Write("p.scenario", "tstop = 6\ncint = 2\n");
    PopulationRequest request = Request("local", {file});
    request.outputs = {"conc"};
    const auto resolve = [&](double relative, double absolute) {
        request.tolerances = {relative, absolute};
        PopulationSetup setup = ReadPopulationInputs(request);
        ResolvePopulation(request, {ElementName{"ke", {}}}, {"a"}, setup);
        return setup;
    };
    PopulationSetup setup = resolve(0, 0);  // the model's 1e-4
    ASSERT_EQ(setup.notes.size(), 1u);
    EXPECT_NE(setup.notes[0].find("the runs use rtol 1e-06, atol 1e-06"), std::string::npos) << setup.notes[0];
    EXPECT_DOUBLE_EQ(setup.plan.tolerances.relative, 1e-6);
    EXPECT_DOUBLE_EQ(setup.plan.tolerances.absolute, 1e-6);
    setup = resolve(1e-9, 1e-10);
    EXPECT_TRUE(setup.notes.empty());
    EXPECT_EQ(setup.plan.tolerances.relative, 1e-9);
    setup = resolve(1e-3, 0);
    ASSERT_EQ(setup.notes.size(), 1u);
    EXPECT_NE(setup.notes[0].find("warning: tolerances rtol 0.001, atol 0.0001 are loose"), std::string::npos)
        << setup.notes[0];
    EXPECT_EQ(setup.plan.tolerances.relative, 1e-3);

    OrvoLibrary library;
    ASSERT_TRUE(library.Load(setup.libraryPath)) << library.error();
    ModelSession session(library);
    const ModelVariables variables(library, session.instance());
    ModelVariable state;
    ASSERT_TRUE(variables.Find("acentral", state));
    const StateTolerances before{library.OrvoGetRelativeError(session.instance(), state.number),
                                 library.OrvoGetAbsoluteError(session.instance(), state.number)};
    setup.plan.tolerances = {2e-7, 3e-9};
    { ModelRunner runner(library, session.instance(), setup.plan); }
    EXPECT_EQ(library.OrvoGetRelativeError(session.instance(), state.number), 2e-7);
    EXPECT_EQ(library.OrvoGetAbsoluteError(session.instance(), state.number), 3e-9);
    SetStateTolerances(library, session.instance(), variables, before);
}

TEST_F(PopulationEngineTest, ResolvesSettingsInputsOutputsAndTimes) {
    // Local sensitivity: named inputs at the scenario's values.
    const std::string file = Write("p.scenario", "tstop = 6\ncint = 2\ndose = 80\n");
    PopulationRequest request = Request("local", {file});
    request.outputs = {"conc", "acentral"};
    request.atTimes = {4, 6};
    PopulationSetup setup = ReadPopulationInputs(request);
    ResolvePopulation(request, {ElementName{"dose", {}}, ElementName{"ke", {}}}, {"a", "b"}, setup);
    EXPECT_EQ(setup.plan.times, (std::vector<double>{0, 2, 4, 6}));
    EXPECT_EQ(setup.atIndices, (std::vector<std::size_t>{2, 3}));
    ASSERT_EQ(setup.plan.outputs.size(), 2u);
    EXPECT_EQ(setup.plan.outputs[0].header, "conc");
    EXPECT_EQ(setup.baseInputs, (std::vector<double>{80, 0.2}));
    EXPECT_EQ(setup.libraryPath, ORVO_TEST_MODEL_LIBRARY);

    // Without outputs: the ones the model's metadata declares for populations.
    request.outputs.clear();
    setup = ReadPopulationInputs(request);
    ResolvePopulation(request, {}, {}, setup);
    std::vector<std::string> headers;
    for (const auto& output : setup.plan.outputs) headers.push_back(output.header);
    EXPECT_EQ(headers, (std::vector<std::string>{"agut", "acentral", "aelim", "conc", "balance"}));
}

// The runner against the closed form of one oral dose.
TEST_F(PopulationEngineTest, RunnerAndWorkersGiveTheClosedForm) {
    const std::string file =
        Write("p.scenario", "tstop = 12\ncint = 3\nnstp = 1000\nruns = 4\nseed = 7\nka ~ uniform(1, 2)\n");
    PopulationRequest request = Request("batch", {file});
    request.outputs = {"acentral"};
    PopulationSetup setup = Resolve(request);
    RunPlan& plan = setup.plan;
    plan.runs = 4;
    plan.inputValues = {1.0, 1.5, 2.0, 2.5};

    OrvoLibrary library;
    ASSERT_TRUE(library.Load(setup.libraryPath)) << library.error();
    std::vector<RunRecord> inProcess;
    {
        ModelSession session(library);
        ModelRunner runner(library, session.instance(), plan);
        // Out of order: a run does not depend on the one before.
        for (const uint32_t run : {3u, 0u, 2u, 1u}) inProcess.push_back(runner.Run(run));
    }
    for (const RunRecord& record : inProcess) {
        ASSERT_EQ(record.status, RunStatus::Ok) << record.message;
        const double ka = plan.InputsOf(record.run)[0];
        for (std::size_t i = 0; i < plan.times.size(); ++i) {
            const double s = plan.times[i] - 1.25;
            const double exact = s < 0 ? 0.0 : 100 * ka / (ka - 0.2) * (std::exp(-0.2 * s) - std::exp(-ka * s));
            EXPECT_NEAR(record.values[i], exact, 1e-6 * 100) << "run " << record.run << " t " << plan.times[i];
        }
    }
    // Told of the start, each run and the end.
    struct Counting : PopulationProgress {
        std::vector<std::size_t> seen;
        void Started(std::size_t runs, unsigned workers) override { seen = {runs, workers}; }
        void RunDone(std::size_t done) override { seen.push_back(done); }
        void Finished(std::size_t done) override { seen.push_back(100 + done); }
    } progress;
    PopulationTable table;
    std::string error;
    ASSERT_TRUE(RunPopulation(setup, 1, 4, 2, progress, table, error)) << error;
    EXPECT_EQ(progress.seen, (std::vector<std::size_t>{3, 2, 1, 2, 3, 103}));
    ASSERT_EQ(table.records.size(), 3u);
    EXPECT_EQ(table.outputs, (std::vector<std::string>{"acentral"}));
    for (const RunRecord& record : table.records) {
        const RunRecord& same = *std::find_if(inProcess.begin(), inProcess.end(),
                                              [&](const RunRecord& r) { return r.run == record.run; });
        EXPECT_EQ(record.values, same.values) << record.run;
        EXPECT_EQ(record.inputs, (std::vector<double>{plan.InputsOf(record.run)[0]}));
    }
}

// Values of integer inputs are checked against their type and rounded, as
// the tables show what the runs were given.
TEST_F(PopulationEngineTest, IntegerInputsAreCheckedAndRounded) {
    PopulationRequest request = Request("batch", {Write("p.scenario", "nstp ~ uniform(100, 200)\nka ~ uniform(1, 2)\n")});
    request.outputs = {"conc"};
    PopulationSetup setup = Resolve(request);
    RunPlan& plan = setup.plan;
    plan.runs = 2;
    plan.inputValues = {150.4, 1.25, 150.6, 1.75};
    std::string error;
    ASSERT_TRUE(CheckInputRanges(plan, error)) << error;
    RoundToInputTypes(plan);
    EXPECT_EQ(plan.inputValues, (std::vector<double>{150, 1.25, 151, 1.75}));
    for (const double bad : {3e9, -3e9, double(NAN), HUGE_VAL}) {
        plan.inputValues = {150, 1.5, bad, 1.5};
        EXPECT_FALSE(CheckInputRanges(plan, error)) << bad;
        EXPECT_NE(error.find("'nstp' = "), std::string::npos) << error;
        EXPECT_NE(error.find("in run 1 is outside the range of its type"), std::string::npos) << error;
    }
}

TEST(MapThroughDistributions, MapsEachColumnThroughItsDistribution) {
    std::vector<SampledVariable> sampled(2);
    std::string error;
    ASSERT_TRUE(ParseDistribution("uniform(2, 4)", sampled[0].distribution, error)) << error;
    ASSERT_TRUE(ParseDistribution("loguniform(1, 100)", sampled[1].distribution, error)) << error;
    const std::vector<double> values = MapThroughDistributions(sampled, {0.5, 0.5, 0.25, 0.0001, 0.75, 0.999});
    const std::vector<double> expected = {3.0, 10.0, 2.5, std::pow(100.0, 0.0001), 3.5, std::pow(100.0, 0.999)};
    ASSERT_EQ(values.size(), expected.size());
    for (std::size_t k = 0; k < values.size(); ++k) EXPECT_NEAR(values[k], expected[k], 1e-12 * expected[k]) << k;
    EXPECT_TRUE(MapThroughDistributions({}, {}).empty());
}

// A parameter that names another sampled variable takes its value run by
// run, whatever the order of the lines; faults are refused naming the line.
TEST(MapThroughDistributions, ParametersMayReferToOtherSampledVariables) {
    const auto sample = [](std::vector<std::pair<std::string, std::string>> lines) {
        std::vector<SampledVariable> sampled;
        for (auto& [name, text] : lines) {
            SampledVariable s;
            s.element.name = name;
            s.origin = "p:" + name;
            std::string error;
            EXPECT_TRUE(ParseDistribution(text, s.distribution, error)) << text << ": " << error;
            sampled.push_back(s);
        }
        return sampled;
    };
    // b ~ normal(a, 0.1) at its median is a; c ~ uniform(0, b) at 0.25 is b / 4.
    const auto sampled = sample({{"c", "uniform(0, b)"}, {"b", "normal(a, 0.1)"}, {"a", "uniform(2, 4)"}});
    const std::vector<double> values = MapThroughDistributions(sampled, {0.25, 0.5, 0.5, 0.5, 0.5, 0.75});
    EXPECT_EQ(values, (std::vector<double>{0.75, 3.0, 3.0, 1.75, 3.5, 3.5}));

    const auto refused = [&](std::vector<std::pair<std::string, std::string>> lines, const std::string& words) {
        try {
            MapThroughDistributions(sample(std::move(lines)), {0.5, 0.5, 0.5, 0.01, 0.5, 0.5});
            ADD_FAILURE() << "accepted, expected: " << words;
        } catch (const PopulationError& e) {
            EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
        }
    };
    refused({{"a", "normal(vmax, 1)"}}, "p:a: 'vmax' is not a sampled variable of this population");
    refused({{"a", "normal(a, 1)"}}, "refers to itself");
    refused({{"a", "normal(b, 1)"}, {"b", "normal(a, 1)"}}, "refer to each other in a circle");
    refused({{"s", "uniform(-1, 1)"}, {"b", "normal(0, s)"}}, "p:b: in run 0, with the values sampled for the "
                                                             "variables it refers to, normal: sd must be > 0");
    Distribution d;
    std::string error;
    EXPECT_FALSE(ParseDistribution("normal(inf, 1)", d, error));  // a number, not a name
    EXPECT_FALSE(ParseDistribution("normal(a b, 1)", d, error));
}

TEST(LocalSensitivity, DesignRaisesAndLowersOneParameterPerRunPair) {
    const std::vector<double> design = LocalDesign({10.0, -4.0}, 0.1);
    EXPECT_EQ(design, (std::vector<double>{10, -4, 11, -4, 9, -4, 10, -4.4, 10, -3.6}));
    EXPECT_EQ(LocalDesign({}, 0.1), std::vector<double>{});
}

TEST(LocalSensitivity, CoefficientIsTheCentralDifferenceOrNone) {
    struct Case {
        double y, raised, lowered, step;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {5.0, 5.5, 4.5, 0.1, 1.0},     // proportional
        {5.0, 4.5, 5.5, 0.1, -1.0},    // inversely
        {2.0, 2.0, 2.0, 0.01, 0.0},    // no effect
        {0.0, 1.0, -1.0, 0.1, std::nullopt},     // y = 0
        {1.0, NAN, 1.0, 0.1, std::nullopt},      // a failed run's value
        {1e-320, 1.0, 0.0, 0.01, std::nullopt},  // overflows
    };
    for (const Case& c : cases) {
        const std::optional<double> got = LocalCoefficient(c.y, c.raised, c.lowered, c.step);
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.y << " " << c.raised;
        if (got) {
            EXPECT_NEAR(*got, *c.expected, 1e-12);
        }
    }
}

TEST(MakePartHeader, ShardsCoverEveryRunOnce) {
    PopulationSetup setup;
    setup.kind = "sobol";
    setup.hash = "abc";
    setup.population.seed = 9;
    for (const std::size_t shards : {1u, 3u, 7u, 12u}) {
        std::vector<int> seen(10, 0);
        for (std::size_t k = 0; k < shards; ++k) {
            const PartHeader header = MakePartHeader(setup, 10, k, shards);
            EXPECT_EQ(header.kind, "sobol");
            EXPECT_EQ(header.hash, "abc");
            EXPECT_EQ(header.seed, 9u);
            EXPECT_EQ(header.totalRuns, 10u);
            for (std::size_t run = header.firstRun; run < header.endRun; ++run) ++seen[run];
        }
        EXPECT_EQ(seen, std::vector<int>(10, 1)) << shards << " shards";
    }
}

TEST_F(PopulationEngineTest, PrepareOutputDirectoryCreatesAndChecks) {
    const std::string nested = (folder_ / "a" / "b").string();
    EXPECT_EQ(PrepareOutputDirectory(nested, ""), nested);
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_EQ(PrepareOutputDirectory("", ""), ".");
    try {
        PrepareOutputDirectory(nested, (folder_ / "no" / "such" / "plot.svg").string());
        ADD_FAILURE() << "a plot into a missing folder was accepted";
    } catch (const PopulationError& e) {
        EXPECT_EQ(e.kind(), PopulationError::Kind::Failure);
        EXPECT_EQ(e.input(), PopulationInput::Plot);
    }
    const std::string file = Write("plain", "x");
    EXPECT_THROW(PrepareOutputDirectory(file, ""), PopulationError);
}

TEST(TimeList, RoundTrips) {
    for (const std::vector<double>& times : {std::vector<double>{}, {0.0}, {0.1, 24, 1e300, -3.5}}) {
        std::vector<double> back = {42};
        ASSERT_TRUE(ParseTimeList(TimeList(times), back)) << TimeList(times);
        EXPECT_EQ(back, times);
    }
    std::vector<double> back;
    EXPECT_FALSE(ParseTimeList("1,,2", back));
    EXPECT_FALSE(ParseTimeList("1,x", back));
}

}  // namespace

namespace {

// A Sobol design over two inputs whose outputs are: y = the first input's
// unit value, c constant, f never finite.
PopulationTable SobolTable(std::size_t baseRuns) {
    const SaltelliLayout layout{baseRuns, 2};
    const std::vector<double> design = SaltelliDesign(11, layout);
    PopulationTable table;
    table.inputs = {"a", "b"};
    table.outputs = {"y", "c", "f"};
    table.times = {0, 24};
    table.atIndices = {1};
    for (std::size_t run = 0; run < layout.Runs(); ++run) {
        RunRecord record;
        record.run = static_cast<uint32_t>(run);
        const double u = design[run * 2];
        record.values = {u, u, 5, 5, NAN, NAN};
        table.records.push_back(record);
    }
    return table;
}

TEST(AnalyseSobol, EstimatesAndTellsWhatIsLeftOut) {
    PopulationTable table = SobolTable(200);
    table.records[3 * 4].status = RunStatus::Error;  // base row 3
    const SobolAnalysis analysis = AnalyseSobol(table, 200, 0, 1);
    ASSERT_EQ(analysis.results.size(), 3u);
    const SobolResult& y = analysis.results[0][0];
    EXPECT_TRUE(analysis.usable[0][0]);
    EXPECT_EQ(y.rowsUsed, 199u);
    EXPECT_NEAR(y.indices[0].first, 1.0, 0.1);
    EXPECT_NEAR(y.indices[0].total, 1.0, 0.1);
    EXPECT_NEAR(y.indices[1].total, 0.0, 1e-12);
    EXPECT_TRUE(analysis.usable[1][0]);
    EXPECT_TRUE(analysis.results[1][0].constantOutput);
    EXPECT_FALSE(analysis.usable[2][0]);
    EXPECT_EQ(analysis.notes, (std::vector<std::string>{
                                  "y at t = 24: 1 of 200 base rows left out (failed runs)",
                                  "warning: c at t = 24 does not vary: its indices are 0",
                                  "c at t = 24: 1 of 200 base rows left out (failed runs)",
                                  "warning: f at t = 24: only 0 of 200 base rows usable (failed runs): its indices "
                                  "are left empty"}));
}

TEST(AnalyseSobol, RefusesRunsThatAreNotTheDesign) {
    PopulationTable table = SobolTable(12);
    table.records.pop_back();
    EXPECT_THROW(AnalyseSobol(table, 12, 0, 1), PopulationError);
    EXPECT_THROW(AnalyseSobol(SobolTable(12), 11, 0, 1), PopulationError);
    // Fewer base rows than the minimum still report when every row is usable.
    const SobolAnalysis small = AnalyseSobol(SobolTable(4), 4, 0, 1);
    EXPECT_TRUE(small.usable[0][0]);
}

}  // namespace
