#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "model/PregnancyModelStorage.h"
#include "model/PregnancyTables.h"
#include "model/PregnancyVariableTable.h"

namespace pregnancy {
namespace {

constexpr uint32_t kTableSize = 16;  // each table: 8 values, then 8 breakpoints

const PregnancyVariableRecord& Record(uint32_t index) { return PregnancyVariables()[index - 1]; }

TEST(PregnancyVariableTable, RecordsAreNumberedOneToN) {
    auto table = PregnancyVariables();
    ASSERT_EQ(table.size(), kVariableCount);
    std::set<std::string> names;
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(table[i].index, i + 1) << table[i].name;
        EXPECT_TRUE(names.insert(table[i].name).second) << "duplicate " << table[i].name;
    }
    EXPECT_STREQ(Record(1).name, "t");
    EXPECT_STREQ(Record(kVariableCount).name, "zzticg");
}

TEST(PregnancyVariableTable, BlocksFollowTheNumberingScheme) {
    for (const auto& r : PregnancyVariables()) {
        uint32_t expected;
        if (r.index == 1) expected = kIndependentVariable;
        else if (r.index <= 43) expected = kState;
        else if (r.index <= 85) expected = kDerivative;
        else if (r.index <= 127) expected = kInitialCondition;
        else if (r.index <= 490) expected = kOther;
        else continue;
        EXPECT_EQ(r.symbolType, expected) << r.name;
    }
    // The runtime addresses the settings by position only.
    const char* settings[kSettingCount] = {
        "cint",   "ialg",   "nstp",   "maxt",      "mint",       "zzierr", "zzstopflag", "zzrnfl",
        "zznist", "zznblk", "zzfrfl", "zzjefl",    "zzndst",     "zzicon", "zzicfl",     "zznavr",
        "zzinstidx", "zzstepstop", "nciout", "cioitg", "cjvitg", "cssitg", "dpsitg", "ecsitg",
        "fdeitg", "mxoitg", "nrwitg", "nxeitg",    "tjnitg",     "tsmitg", "weditg",     "wesitg",
        "wnditg", "wxditg", "cieitg", "ubwitg",    "lbwitg",     "omfitg", "cmd",        "dis",
        "ndbug",  "plt",    "prn",    "malprn",    "rrr",        "save",   "zzticg"};
    for (uint32_t k = 0; k < kSettingCount; ++k) {
        const auto& r = Record(491 + k);
        EXPECT_STREQ(r.name, settings[k]);
        uint32_t expected = k < 6 ? kCommInterval + k : (k < 18 ? kControl : kFurtherSetting);
        if (k == kSettingCount - 1) expected = kIndependentStart;
        EXPECT_EQ(r.symbolType, expected) << r.name;
    }
}

TEST(PregnancyVariableTable, DerivativeAndInitialConditionNamesPairWithTheirState) {
    // State k's derivative z<n> (n odd) is variable k + 42, its initial condition z<n-1> is k + 84.
    for (uint32_t k = 2; k <= 43; ++k) {
        const char* derivative = Record(k + 42).name;
        const char* initial = Record(k + 84).name;
        ASSERT_EQ(derivative[0], 'z');
        ASSERT_EQ(initial[0], 'z');
        long n = std::strtol(derivative + 1, nullptr, 10);
        EXPECT_EQ(n % 2, 1) << derivative;
        EXPECT_EQ(std::strtol(initial + 1, nullptr, 10), n - 1) << Record(k).name;
    }
    EXPECT_STREQ(Record(38).name, "aelim_mp_lastwk");
    EXPECT_STREQ(Record(80).name, "z99927");
    EXPECT_STREQ(Record(122).name, "z99926");
    EXPECT_EQ(var::aelim_mp_lastwk + kStateCount, var::z99927);
    EXPECT_EQ(var::aelim_mp_lastwk + 2 * kStateCount, var::z99926);
}

TEST(PregnancyVariableTable, DataTypesDimensionsAndFlags) {
    std::map<uint32_t, int> types;
    std::map<uint16_t, int> flagPatterns;
    for (const auto& r : PregnancyVariables()) {
        ++types[r.dataType];
        ++flagPatterns[r.flags];
        EXPECT_EQ(r.flags & (F3 | F6 | F7 | F8 | F9 | F10), 0) << r.name;
        bool table = r.flags & F11;
        EXPECT_EQ(r.dim1, table ? kTableSize : 0u) << r.name;
        EXPECT_EQ(r.tableData != nullptr, table) << r.name;
        if (r.index <= 490) {
            EXPECT_EQ(r.dataType, kDouble) << r.name;
        }
    }
    EXPECT_EQ(types[kLong], 22);
    EXPECT_EQ(types[kBool], 19);
    EXPECT_EQ(types[kDouble], 537 - 22 - 19);
    EXPECT_EQ(flagPatterns[F1], 5);
    EXPECT_EQ(flagPatterns[F2], 116);
    EXPECT_EQ(flagPatterns[F2 | F4], 1);
    EXPECT_EQ(flagPatterns[F2 | F11], 2);
    EXPECT_EQ(flagPatterns[F4], 10);
    EXPECT_EQ(flagPatterns[F5], 69);
    EXPECT_EQ(flagPatterns[F4 | F5], 292);
    EXPECT_EQ(flagPatterns[0], 42);
    EXPECT_EQ(Record(var::tstop).flags, F2 | F4);
    EXPECT_TRUE(Record(var::ialg).HasFlag(1));
    EXPECT_EQ(Record(var::ialg).dataType, kLong);
    EXPECT_EQ(Record(var::zzstopflag).dataType, kBool);
    EXPECT_EQ(Record(var::cssitg).dataType, kDouble);
}

TEST(PregnancyModelStorage, RealsAreOneContiguousArrayInIndexOrder) {
    auto* first = static_cast<double*>(VariableAddress(1));
    ASSERT_EQ(first, &t);
    for (uint32_t index = 1; index <= kLastScalarReal; ++index)
        ASSERT_EQ(VariableAddress(index), first + (index - 1)) << Record(index).name;
    EXPECT_EQ(VariableAddress(var::clf_uim_t), first + kLastScalarReal);
    EXPECT_EQ(VariableAddress(var::kdegt3f_mi_t), first + kLastScalarReal + kTableSize);
    EXPECT_EQ(VariableAddress(var::aplasma_mi), &aplasma_mi);
    EXPECT_EQ(VariableAddress(var::z99927), &z99927);
    EXPECT_EQ(VariableAddress(0), nullptr);
    EXPECT_EQ(VariableAddress(kVariableCount + 1), nullptr);
}

TEST(PregnancyModelStorage, SettingsHaveDistinctStorageOfTheirType) {
    EXPECT_EQ(VariableAddress(var::cint), &cint);
    EXPECT_EQ(VariableAddress(var::ialg), &ialg);
    EXPECT_EQ(VariableAddress(var::zzstepstop), &zzstepstop);
    EXPECT_EQ(VariableAddress(var::omfitg), &omfitg);
    EXPECT_EQ(VariableAddress(var::zzticg), &zzticg);
    const auto* begin = reinterpret_cast<const char*>(&theModelStorage.settings);
    const char* end = begin + sizeof(PregnancySettings);
    std::map<const char*, uint32_t> seen;
    for (uint32_t index = var::cint; index <= kVariableCount; ++index) {
        const char* address = static_cast<const char*>(VariableAddress(index));
        uint32_t type = Record(index).dataType;
        size_t size = type == kDouble ? 8 : type == kLong ? 4 : 1;
        ASSERT_GE(address, begin) << Record(index).name;
        ASSERT_LE(address + size, end) << Record(index).name;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(address) % size, 0u) << Record(index).name;
        EXPECT_TRUE(seen.emplace(address, index).second) << Record(index).name;
    }
}

TEST(PregnancyModelStorage, DefaultsMatchTheTable) {
    PregnancyModelSetDefaults();
    EXPECT_EQ(t, 0.0);
    EXPECT_EQ(bw_m, 72.3);
    EXPECT_EQ(tstop, 2400.0);
    EXPECT_EQ(kprodt4f_mi, 4.15e-06);
    EXPECT_EQ(aplasma_mi, 5.5555e33);
    EXPECT_EQ(z99927, 5.5555e33);
    EXPECT_EQ(pdose, 5.5555e33);
    EXPECT_EQ(cint, 1000.0);
    EXPECT_EQ(ialg, 14);
    EXPECT_EQ(nstp, 10);
    EXPECT_EQ(maxt, 1.0e9);
    EXPECT_EQ(mint, 1.0e-9);
    EXPECT_EQ(zznist, 2);
    EXPECT_EQ(zznblk, 1);
    EXPECT_EQ(cioitg, 55555555);
    EXPECT_EQ(cssitg, 5.5555e33);
    EXPECT_EQ(cjvitg, 1);
    EXPECT_EQ(ecsitg, 0);
    EXPECT_EQ(cieitg, 1);
    EXPECT_EQ(tjnitg, 0.2);
    EXPECT_EQ(ubwitg, -1);
    EXPECT_EQ(omfitg, 222);
    EXPECT_EQ(save, 3);
    EXPECT_EQ(zzstopflag, 0);
    EXPECT_EQ(clf_uim_t[0], 0.0633);
    EXPECT_EQ(clf_uim_t[15], 350.0);
    EXPECT_EQ(kdegt3f_mi_t[7], 0.001725);
    EXPECT_EQ(kdegt3f_mi_t[8], 50.0);
    // Constants carry a value; everything the model computes starts unset.
    for (uint32_t index = 2; index <= kLastScalarReal; ++index) {
        bool constant = Record(index).HasFlag(2);
        EXPECT_EQ(theModelStorage.real[index] != kUnsetReal, constant) << Record(index).name;
    }
}

TEST(PregnancyModelStorage, DefaultsRestoreWhatTheHostChanged) {
    bw_m = 60;
    ialg = 5;
    zzstepstop = 1;
    clf_uim_t[3] = 0;
    PregnancyModelSetDefaults();
    EXPECT_EQ(bw_m, 72.3);
    EXPECT_EQ(ialg, 14);
    EXPECT_EQ(zzstepstop, 0);
    EXPECT_EQ(clf_uim_t[3], 0.131);
}

TEST(PregnancyTables, InterpolateAndExtrapolateLinearly) {
    PregnancyModelSetDefaults();
    EXPECT_DOUBLE_EQ(clf_uim_t_table(50), 0.0633);
    EXPECT_DOUBLE_EQ(clf_uim_t_table(350), 0.2955);
    EXPECT_NEAR(clf_uim_t_table(0), 0.0325, 1e-15);
    EXPECT_NEAR(clf_uim_t_table(125), (0.0952 + 0.131) / 2, 1e-15);
    EXPECT_DOUBLE_EQ(kdegt3f_mi_t_table(75), 0.00126);
    EXPECT_NEAR(kdegt3f_mi_t_table(400), 0.00173, 1e-15);
    // The functions read the model's arrays, so the host can change a table.
    clf_uim_t[0] = 0.1;
    EXPECT_DOUBLE_EQ(clf_uim_t_table(50), 0.1);
    PregnancyModelSetDefaults();
}

}  // namespace
}  // namespace pregnancy
