#include "ValueParser.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

bool Parses(uint32_t type, const char* text, TypedValue* out = nullptr) {
    TypedValue value;
    std::string error;
    const bool ok = ParseValue(type, text, value, error);
    if (ok && out) *out = value;
    if (!ok) {
        EXPECT_FALSE(error.empty()) << text;
    }
    return ok;
}

TEST(ParseValue, IntegersKeepToTheirWidth) {
    TypedValue v;
    EXPECT_TRUE(Parses(0, "32767", &v));
    EXPECT_EQ(v.integer, 32767);
    EXPECT_TRUE(Parses(0, "-32768", &v));
    EXPECT_EQ(v.integer, -32768);
    EXPECT_FALSE(Parses(0, "32768"));
    EXPECT_TRUE(Parses(1, "2147483647", &v));
    EXPECT_EQ(v.integer, 2147483647);
    EXPECT_TRUE(Parses(1, "-2147483648", &v));
    EXPECT_FALSE(Parses(1, "2147483648"));
    EXPECT_FALSE(Parses(1, "99999999999999999999999"));
    EXPECT_TRUE(Parses(1, "+14", &v));
    EXPECT_EQ(v.integer, 14);
}

TEST(ParseValue, IntegersRefuseAnythingElse) {
    for (const char* text : {"", "+", "-", "+-1", "++1", "1.5", "1e3", "0x10", "12abc", " 12", "12 ", "abc"})
        EXPECT_FALSE(Parses(1, text)) << "'" << text << "'";
}

TEST(ParseValue, RealsMustBeCompleteFiniteAndInRange) {
    TypedValue v;
    EXPECT_TRUE(Parses(4, "72.3", &v));
    EXPECT_DOUBLE_EQ(v.real, 72.3);
    EXPECT_TRUE(Parses(4, "+1.5e-3", &v));
    EXPECT_DOUBLE_EQ(v.real, 1.5e-3);
    EXPECT_TRUE(Parses(4, ".5", &v));
    EXPECT_TRUE(Parses(4, "-0", &v));
    EXPECT_TRUE(Parses(2, "7", &v));  // code 2 is a double
    for (const char* text : {"", "abc", "1e", "1.2.3", "1,5", "nan", "inf", "-infinity", "1e400", "+-2", "0x1p3"})
        EXPECT_FALSE(Parses(4, text)) << "'" << text << "'";
    EXPECT_TRUE(Parses(3, "3.4e38", &v));
    EXPECT_FALSE(Parses(3, "1e39"));  // fits a double, not a float
}

TEST(ParseValue, LogicalsAndStrings) {
    TypedValue v;
    for (const char* text : {"1", "true", "TRUE", "True"}) {
        EXPECT_TRUE(Parses(5, text, &v)) << text;
        EXPECT_EQ(v.integer, 1);
    }
    for (const char* text : {"0", "false", "FALSE"}) {
        EXPECT_TRUE(Parses(5, text, &v)) << text;
        EXPECT_EQ(v.integer, 0);
    }
    for (const char* text : {"2", "yes", "on", "-1", ""}) EXPECT_FALSE(Parses(5, text)) << text;
    EXPECT_TRUE(Parses(6, "any text, even = and #", &v));
    EXPECT_EQ(v.text, "any text, even = and #");
    EXPECT_FALSE(Parses(7, "1"));
}

TEST(ParseAssignment, SplitsAtTheFirstEqualsAndTrims) {
    Assignment a;
    std::string error;
    ASSERT_TRUE(ParseAssignment("  bw_m = 65.5 ", a, error));
    EXPECT_EQ(a.name, "bw_m");
    EXPECT_EQ(a.value, "65.5");
    ASSERT_TRUE(ParseAssignment("s=a=b", a, error));
    EXPECT_EQ(a.value, "a=b");
    for (const char* text : {"bw_m", "=5", " = 5", "bw_m=", "bw_m=  "}) {
        EXPECT_FALSE(ParseAssignment(text, a, error)) << text;
        EXPECT_FALSE(error.empty());
    }
}

TEST(ReadScenario, SkipsCommentsAndLabelsLines) {
    std::istringstream in("# heading\n\ncint = 24   # hours\r\n  \t\ntstop=48\n");
    std::vector<Assignment> out;
    std::string error;
    ASSERT_TRUE(ReadScenario(in, "s.scenario", out, error)) << error;
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].name, "cint");
    EXPECT_EQ(out[0].value, "24");
    EXPECT_EQ(out[0].origin, "s.scenario:3");
    EXPECT_EQ(out[1].origin, "s.scenario:5");
}

TEST(ReadScenario, ReportsTheBadLine) {
    // (content, what the message says)
    const std::pair<const char*, const char*> cases[] = {
        {"cint = 24\njust words\n", "s.scenario:2: expected NAME=VALUE"},
        {"cint = 24\ntstop = 48\ncint = 12\n", "s.scenario:3: 'cint' is set twice in this file (also s.scenario:1)"},
        {"clf(2) = 1\nCLF[2] = 3\n", "s.scenario:2: 'CLF[2]' is set twice in this file (also s.scenario:1)"},
    };
    for (const auto& [content, message] : cases) {
        std::istringstream in(content);
        std::vector<Assignment> out;
        std::string error;
        EXPECT_FALSE(ReadScenario(in, "s.scenario", out, error)) << content;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
    // Elements of one array are distinct.
    std::istringstream in("clf(2) = 1\nclf(3) = 3\n");
    std::vector<Assignment> out;
    std::string error;
    EXPECT_TRUE(ReadScenario(in, "s.scenario", out, error)) << error;
}

TEST(SplitNameList, TrimsAndRefusesEmptyItems) {
    std::vector<std::string> names;
    std::string error;
    ASSERT_TRUE(SplitNameList(" t, ca_mi ,massb_amount_i", names, error));
    EXPECT_EQ(names, (std::vector<std::string>{"t", "ca_mi", "massb_amount_i"}));
    for (const char* text : {"", "a,,b", "a,", ",a", " , "}) EXPECT_FALSE(SplitNameList(text, names, error)) << text;
}

}  // namespace
