// The shared command-line layer: parsing a command's own options and the
// converters with their messages.
#include <gtest/gtest.h>

#include "CommandLine.h"

namespace {

// A command like the population ones: its options, parsed from `args`.
struct Parsed {
    int status = -1;
    std::string stderrText;
    PopulationArguments arguments;
    OptionText step;
    std::string error;
};

Parsed Parse(std::vector<std::string> args) {
    Parsed parsed;
    CLI::App app{"test", "orvo test"};
    AddPopulationOptions(app, parsed.arguments, "FILE: a file");
    AddValue(app, "--step", parsed.step, "relative step");
    args.insert(args.begin(), "test");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    parsed.status = ParseCommand(app, "test", static_cast<int>(argv.size()), argv.data(), [&](std::string& error) {
        return ReadPopulationArguments(parsed.arguments, error);
    });
    ::testing::internal::GetCapturedStdout();
    parsed.stderrText = ::testing::internal::GetCapturedStderr();
    return parsed;
}

TEST(ParseCommand, TakesBothOptionFormsRepeatedInOrder) {
    const Parsed p = Parse({"--scenario", "a.scenario", "--set=cint=24", "--set", "tstop = 48", "--vars", "t,ca_mi",
                            "--vars=ca_fi", "--out=dir", "--lib", "l.so", "--jobs", "3", "--jobs=4", "--at", "24, 48",
                            "--progress", "--run-timeout", "2.5"});
    ASSERT_EQ(p.status, -1) << p.stderrText;
    const PopulationRequest& r = p.arguments.request;
    EXPECT_EQ(r.scenarioFiles, std::vector<std::string>{"a.scenario"});
    ASSERT_EQ(r.settings.size(), 2u);
    EXPECT_EQ(r.settings[1].name, "tstop");
    EXPECT_EQ(r.settings[1].value, "48");
    EXPECT_EQ(r.settings[1].origin, "--set");
    EXPECT_EQ(r.outputs, (std::vector<std::string>{"t", "ca_mi", "ca_fi"}));
    EXPECT_EQ(r.atTimes, (std::vector<double>{24, 48}));
    EXPECT_EQ(r.libraryPath, "l.so");
    EXPECT_EQ(r.runTimeout, 2.5);
    EXPECT_EQ(p.arguments.jobCount, 4u);  // the last one given
    EXPECT_TRUE(p.arguments.progress);
    EXPECT_EQ(OutputDirectoryOf(p.arguments), "dir");
}

// Every refusal exits 2 and names what was wrong.
TEST(ParseCommand, RefusesNamingTheOption) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--set"}, "--set"},                            // missing value
        {{"--set", "novalue"}, "--set"},                 // not NAME=VALUE
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--summary"}, "option --summary does not apply to 'test'"},  // another command's option
        {{"--doses=x"}, "option --doses does not apply"},
        {{"--progress=yes"}, "option --progress takes no value"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--vars", "a,,b"}, "empty"},
        {{"--vars", "ca_mi", "--vars", "CA_MI"}, "--vars: 'CA_MI' is given twice"},
        {{"--jobs", "0"}, "--jobs: expected a number of workers from 1 to 1024"},
        {{"--jobs", "x"}, "--jobs"},
        {{"--at", "24,x"}, "--at: bad time 'x'"},
        {{"--at", "inf"}, "--at: bad time"},
        {{"--run-timeout", "0"}, "--run-timeout: expected seconds"},
        {{"--run-timeout", "nan"}, "--run-timeout"},
    };
    for (const auto& [args, words] : cases) {
        const Parsed p = Parse(args);
        EXPECT_EQ(p.status, 2) << args.front();
        EXPECT_NE(p.stderrText.find(words), std::string::npos) << args.front() << ": " << p.stderrText;
    }
    const Parsed help = Parse({"--help"});
    EXPECT_EQ(help.status, 0);
}

TEST(Converters, CheckRangesAndKeepTheLastValue) {
    std::string error;
    bool sharded = false;
    std::size_t shard = 0, shards = 1;
    EXPECT_TRUE(ReadShard({{"2/5"}}, sharded, shard, shards, error)) << error;
    EXPECT_TRUE(sharded);
    EXPECT_EQ(shard, 2u);
    EXPECT_EQ(shards, 5u);
    for (const char* bad : {"3/3", "1", "a/2", "1/0", "-1/2", "1/99999999999"}) {
        EXPECT_FALSE(ReadShard({{bad}}, sharded, shard, shards, error)) << bad;
        EXPECT_NE(error.find("--shard"), std::string::npos) << bad;
    }
    uint64_t runs = 0;
    EXPECT_TRUE(ReadRuns({{"64"}}, runs, error));
    EXPECT_EQ(runs, 64u);
    EXPECT_FALSE(ReadRuns({{"0"}}, runs, error));
    EXPECT_FALSE(ReadRuns({{"100000001"}}, runs, error));
    std::size_t bootstrap = 100;
    EXPECT_TRUE(ReadBootstrap({{"0"}}, bootstrap, error));
    EXPECT_EQ(bootstrap, 0u);
    EXPECT_FALSE(ReadBootstrap({{std::to_string(kMaxBootstrap + 1)}}, bootstrap, error));
    double step = 0.01;
    EXPECT_TRUE(ReadStep({{"0.2"}}, step, error));
    EXPECT_EQ(step, 0.2);
    for (const char* bad : {"0", "0.5", "0.7", "-0.1", "x"}) {
        EXPECT_FALSE(ReadStep({{bad}}, step, error)) << bad;
        EXPECT_NE(error.find("--step"), std::string::npos);
    }
    // Nothing given keeps the defaults.
    EXPECT_TRUE(ReadStep({}, step, error));
    EXPECT_EQ(step, 0.2);
}

TEST(ReportPopulationError, NamesTheOptionAndGivesTheExitCode) {
    struct Case {
        PopulationError error;
        int status;
        std::string text;
    };
    const Case cases[] = {
        {PopulationError(PopulationError::Kind::BadInput, "no variables to record", PopulationInput::Outputs), 2,
         "orvo: --vars: no variables to record\n"},
        {PopulationError(PopulationError::Kind::BadInput, "30 is not an output time", PopulationInput::AtTimes), 2,
         "orvo: --at 30 is not an output time\n"},
        {PopulationError(PopulationError::Kind::Failure, "cannot write", PopulationInput::Plot), 1,
         "orvo: --plot: cannot write\n"},
        {PopulationError(PopulationError::Kind::BadInput, "cannot open 'x'", PopulationInput::Params), 2,
         "orvo: --params: cannot open 'x'\n"},
        {PopulationError(PopulationError::Kind::Failure, "f.scenario:3: bad", PopulationInput::None), 1,
         "orvo: f.scenario:3: bad\n"},
    };
    for (const Case& c : cases) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(ReportPopulationError(c.error), c.status);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.text);
    }
}

}  // namespace
