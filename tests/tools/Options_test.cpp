#include "Options.h"

#include <gtest/gtest.h>

namespace {

bool Parse(std::vector<const char*> args, Options& options, std::string& error) {
    args.insert(args.begin(), "orvo");
    return ParseCommandLine(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(ParseCommandLine, TakesBothOptionFormsInOrder) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"run", "--scenario", "a.scenario", "--set=cint=24", "--set", "tstop = 48",
                       "--vars", "t,ca_mi", "--vars=ca_fi", "--out=x.csv", "--summary", "--lib", "l.so"},
                      o, error))
        << error;
    EXPECT_EQ(o.command, "run");
    EXPECT_EQ(o.scenarios, std::vector<std::string>{"a.scenario"});
    ASSERT_EQ(o.settings.size(), 2u);
    EXPECT_EQ(o.settings[0].name, "cint");
    EXPECT_EQ(o.settings[0].value, "24");
    EXPECT_EQ(o.settings[1].name, "tstop");
    EXPECT_EQ(o.settings[1].value, "48");
    EXPECT_EQ(o.variables, (std::vector<std::string>{"t", "ca_mi", "ca_fi"}));
    EXPECT_EQ(o.outputFile, "x.csv");
    EXPECT_EQ(o.libraryPath, "l.so");
    EXPECT_TRUE(o.summary);
}

TEST(ParseCommandLine, RefusesWhatItCannotUse) {
    const std::vector<std::vector<const char*>> bad = {
        {},                            // no command
        {"walk"},                      // unknown command
        {"run", "list"},               // two commands
        {"run", "--set"},              // missing argument
        {"run", "--set", "novalue"},   // not NAME=VALUE
        {"run", "--frobnicate"},       // unknown option
        {"run", "--summary=yes"},      // flag with a value
        {"run", "--vars", "a,,b"},     // empty name
        {"list", "--set", "cint=1"},   // run-only option
        {"list", "--summary"},
        {"batch", "--shard", "3/3"},   // shards count from 0
        {"batch", "--shard", "1"},
        {"batch", "--jobs", "0"},
        {"batch", "--at", "24,x"},
        {"batch", "--summary"},        // run-only option
        {"sensitivity"},               // no method
        {"sensitivity", "global"},
        {"sensitivity", "local", "--step", "0.7"},
        {"merge", "--scenario", "a"},
    };
    for (const auto& args : bad) {
        Options o;
        std::string error;
        EXPECT_FALSE(Parse(args, o, error)) << (args.empty() ? "(none)" : args.back());
        EXPECT_FALSE(error.empty());
    }
}

TEST(ParseCommandLine, HelpNeedsNoCommandAndListTakesTheLibrary) {
    Options o;
    std::string error;
    EXPECT_TRUE(Parse({"--help"}, o, error));
    EXPECT_TRUE(o.help);
    EXPECT_TRUE(Parse({"list", "--lib=x.so"}, o, error));
    EXPECT_EQ(o.libraryPath, "x.so");
}

TEST(ParseCommandLine, TakesThePopulationCommands) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse({"batch", "--scenario", "p.scenario", "--jobs=3", "--shard", "2/5", "--at", "24, 48",
                       "--params", "sets.csv", "--plot", "b.svg", "--progress", "--out", "dir"},
                      o, error))
        << error;
    EXPECT_EQ(o.jobs, 3u);
    EXPECT_TRUE(o.sharded);
    EXPECT_EQ(o.shard, 2u);
    EXPECT_EQ(o.shards, 5u);
    EXPECT_EQ(o.atTimes, (std::vector<double>{24, 48}));
    EXPECT_TRUE(o.progress);
    ASSERT_TRUE(Parse({"merge", "a.csv", "b.csv", "--out", "d"}, o, error)) << error;
    EXPECT_EQ(o.parts, (std::vector<std::string>{"a.csv", "b.csv"}));
    ASSERT_TRUE(Parse({"sensitivity", "sobol", "--runs", "64", "--bootstrap", "0"}, o, error)) << error;
    EXPECT_EQ(o.method, "sobol");
    EXPECT_EQ(o.runs, 64u);
    EXPECT_EQ(o.bootstrap, 0u);
}

}  // namespace
