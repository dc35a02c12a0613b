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

}  // namespace
