// The model as a host sees it: registered with the runtime, bound to an
// instance and run through the exported interface.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "model/PregnancyModelStorage.h"
#include "model/PregnancyVariableTable.h"
#include "orvo/orvo.h"

namespace pregnancy {
namespace {

std::map<uint32_t, int> g_discreteEvents;
std::vector<std::string> g_messages;
std::vector<double> g_tickTimes;
bool g_endedInError = false;

void OnDiscreteEvent(uint32_t, uint32_t, uint32_t sectionCode) { ++g_discreteEvents[sectionCode]; }
void OnStatus(uint32_t, uint32_t, const char* text) { g_messages.emplace_back(text); }
void OnTick(uint32_t, uint32_t, OrvoTickType) { g_tickTimes.push_back(t); }
void OnState(uint32_t, uint32_t, OrvoExecutionState, OrvoExecutionState state) {
    g_endedInError = g_endedInError || state == OrvoExecutionError;
}

class PregnancyRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        PregnancyModelSetDefaults();
        g_discreteEvents.clear();
        g_messages.clear();
        g_tickTimes.clear();
        g_endedInError = false;
        OrvoInitialize();
        instance_ = OrvoCreate();
        ASSERT_NE(instance_, 0u);
        OrvoAddStatusCallback(instance_, 0, OnStatus);
        OrvoAddTickCallbackFunction(instance_, 0, OnTick);
        OrvoAddExecutionStateChangeCallbackFunction(instance_, 0, OnState);
        OrvoAddDiscreteEventCallbackFunction(instance_, 0, 1000, OnDiscreteEvent);
        OrvoAddDiscreteEventCallbackFunction(instance_, 0, 1001, OnDiscreteEvent);
    }
    void TearDown() override {
        OrvoFinalize();
        PregnancyModelSetDefaults();
    }
    double Get(uint32_t variable) const { return OrvoGetDouble(instance_, variable); }
    std::string Messages() const {
        std::string all;
        for (const auto& m : g_messages) all += m;
        return all;
    }

    uint32_t instance_ = 0;
};

TEST_F(PregnancyRunTest, RegistrationDescribesEveryVariable) {
    ASSERT_EQ(OrvoGetNumberSymbols(), kVariableCount);
    EXPECT_EQ(OrvoGetNumberDiscreteSections(), 2u);
    for (const PregnancyVariableRecord& r : PregnancyVariables()) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(OrvoGetSymbolIndex(r.name), r.index);
        EXPECT_EQ(OrvoGetSymbolType(r.index), r.symbolType);
        EXPECT_EQ(OrvoGetSymbolDatatype(r.index), r.dataType);
        OrvoSymbolInfo info{};
        ASSERT_TRUE(OrvoGetSymbolInfo(r.index, &info));
        EXPECT_STREQ(info.name, r.name);
        for (uint32_t flag = 1; flag <= 11; ++flag)
            EXPECT_EQ(info.flags[flag - 1], r.HasFlag(flag) ? 1 : 0) << "flag " << flag;
        ASSERT_NE(info.dimensions, nullptr);
        EXPECT_EQ(info.dimensions[0], r.dim1);
        for (int d = 1; d < 6; ++d) EXPECT_EQ(info.dimensions[d], 0u);
        if (r.symbolType == kState) {
            EXPECT_EQ(info.derivativeVariable, r.index + kStateCount);
            EXPECT_EQ(info.initialConditionVariable, r.index + 2 * kStateCount);
            EXPECT_EQ(OrvoGetRelativeError(instance_, r.index), 0.0001);
            EXPECT_EQ(OrvoGetAbsoluteError(instance_, r.index), 0.0001);
        }
    }
    EXPECT_EQ(OrvoGetSymbolType(0), 14u);
    EXPECT_EQ(OrvoGetSymbolType(kVariableCount + 1), 14u);
}

TEST_F(PregnancyRunTest, InstancesShareTheModelStorage) {
    EXPECT_EQ(OrvoGetLong(instance_, var::zzinstidx), static_cast<int32_t>(instance_));
    EXPECT_EQ(Get(var::bw_m), 72.3);
    EXPECT_EQ(Get(var::aplasma_mi), 5.5555e33);
    EXPECT_EQ(OrvoGetLong(instance_, var::ialg), 14);
    EXPECT_EQ(OrvoGetLong(instance_, var::cioitg), 55555555);
    EXPECT_TRUE(OrvoGetBool(instance_, var::cjvitg));
    const uint32_t firstBreakpoint[6] = {9, 0, 0, 0, 0, 0};
    EXPECT_EQ(OrvoGetDoubleIndexed(instance_, var::clf_uim_t, firstBreakpoint), 50.0);

    OrvoSetDouble(instance_, var::bw_m, 65);
    OrvoSetBool(instance_, var::zzstepstop, true);
    EXPECT_EQ(bw_m, 65.0);
    EXPECT_EQ(zzstepstop, 1);
    uint32_t second = OrvoCreate();
    ASSERT_NE(second, 0u);
    EXPECT_EQ(OrvoGetDouble(second, var::bw_m), 65.0);
    EXPECT_EQ(zzinstidx, static_cast<int32_t>(second));
}

TEST_F(PregnancyRunTest, UndosedRunStaysEmptyAndFiresBothSections) {
    OrvoStartBlocking(instance_);
    EXPECT_GE(t, tstop);
    for (uint32_t k = 0; k < kStateCount; ++k)
        EXPECT_EQ(theModelStorage.real[var::aioral_i + k], 0.0)
            << PregnancyVariables()[var::aioral_i - 1 + k].name;
    EXPECT_EQ(massb_amount_i, 0.0);
    EXPECT_EQ(massb_amount_p, 0.0);
    EXPECT_EQ(pdose, 1.0);
    EXPECT_EQ(lastwk, 1.0);
    EXPECT_EQ(g_discreteEvents[1000], 1);
    EXPECT_EQ(g_discreteEvents[1001], 1);
    EXPECT_EQ(zzstopflag, 1);
    EXPECT_EQ(ialg, 14) << Messages();
}

TEST_F(PregnancyRunTest, DosedRunKeepsTheMassBalances) {
    tstop = 336;   // two weeks: the last-week switch fires at 168
    doseon = 24;
    cint = 24;
    pdoseug_i = 150;
    pdosemg_p = 0.1;
    OrvoStartBlocking(instance_);
    ASSERT_GE(t, tstop) << Messages();
    EXPECT_EQ(ialg, 14) << Messages();

    // Constant dose rates integrate exactly; perchlorate from doseon on.
    EXPECT_NEAR(aioral_i, rdose_i * t, 1e-9 * aioral_i);
    EXPECT_NEAR(aioral_p, pdose_p * bw_m * (t - doseon), 1e-6 * aioral_p);
    // Iodide: nothing created or lost, including the hormones' iodine.
    EXPECT_NEAR(massb_amount_i, 0.0, 1e-6 * aioral_i);
    // Perchlorate: the balance leaves out the bound forms and the skin.
    double bound = abind_mp + arbc_mp + askb_mp + ask_mp;
    EXPECT_GT(bound, 0.0);
    EXPECT_NEAR(massb_amount_p, bound, 1e-4 * aioral_p);
    // Urinary perchlorate of the last week only.
    EXPECT_GT(aelim_mp_lastwk, 0.0);
    EXPECT_LT(aelim_mp_lastwk, aelim_mp);
    EXPECT_GT(athyt_free_mi, -1e-12);
    EXPECT_EQ(athyt_free_mi, 0.0);
    EXPECT_GT(athy_mi, 0.0);
    EXPECT_GT(at4_mi, 0.0);
    EXPECT_GT(aplasma_fp, 0.0);
    EXPECT_EQ(g_discreteEvents[1000], 1);
    EXPECT_EQ(g_discreteEvents[1001], 1);
}

TEST_F(PregnancyRunTest, ARestartResetsTheDosingSwitches) {
    tstop = 200;
    cint = 100;
    OrvoStartBlocking(instance_);
    ASSERT_EQ(pdose, 1.0) << Messages();
    // Dosing starts after the stop time this time: the switch stays off.
    doseon = 500;
    pdosemg_p = 0.1;
    OrvoStartBlocking(instance_);
    EXPECT_GE(t, tstop);
    EXPECT_EQ(pdose, 0.0);
    EXPECT_EQ(aioral_p, 0.0);
    EXPECT_EQ(lastwk, 1.0);
}

TEST_F(PregnancyRunTest, AContinuedRunSkipsTheInitialBlock) {
    tstop = 200;
    cint = 100;
    pdoseug_i = 150;
    OrvoStartBlocking(instance_);
    ASSERT_GE(t, 200.0) << Messages();
    double reached = t;
    // Parameters changed now only take effect through a fresh initial block.
    pdoseug_i = 300;
    tstop = 400;
    OrvoContinueBlocking(instance_);
    EXPECT_GE(t, 400.0);
    EXPECT_GT(t, reached);
    EXPECT_DOUBLE_EQ(rdose_i, 150.0 * 1000 / (126.9 * 24));
    EXPECT_NEAR(aioral_i, rdose_i * t, 1e-9 * aioral_i);  // no reset of the states
    EXPECT_EQ(g_discreteEvents[1000], 1);
}

TEST_F(PregnancyRunTest, SwitchesDueBeforeTheStartFireAtTheStart) {
    tstop = 48;  // shorter than the last week
    doseon = -10;
    cint = 12;
    pdosemg_p = 0.1;
    OrvoStartBlocking(instance_);
    ASSERT_GE(t, 48.0) << Messages();
    EXPECT_EQ(pdose, 1.0);
    EXPECT_EQ(lastwk, 1.0);
    EXPECT_NEAR(aioral_p, pdose_p * bw_m * t, 1e-6 * aioral_p);
    EXPECT_NEAR(aelim_mp_lastwk, aelim_mp, 1e-9 * aelim_mp);
    EXPECT_GT(aelim_mp, 0.0);
}

// The stop time need not lie on the communication grid: the last interval is
// cut short and the run ends exactly there, with every method.
TEST_F(PregnancyRunTest, ARunEndsExactlyAtItsStopTime) {
    struct Case {
        double cint, tstop;
        int32_t ialg, nstp;
    };
    const Case cases[] = {
        {1000, 250, 14, 10},   {1000, 2400, 14, 10}, {24, 2410, 14, 10}, {24, 2400, 14, 10},
        {1, 2.5, 2, 100},      {1000, 250, 15, 10},  {0.5, 3.3, 1, 10},  {7, 7.000001, 9, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "cint " << c.cint << ", tstop " << c.tstop << ", ialg "
                                        << c.ialg);
        PregnancyModelSetDefaults();
        g_tickTimes.clear();
        g_messages.clear();
        cint = c.cint;
        tstop = c.tstop;
        ialg = c.ialg;
        nstp = c.nstp;
        pdoseug_i = 200;
        pdosemg_p = 0.007;
        OrvoStartBlocking(instance_);
        ASSERT_FALSE(g_endedInError) << Messages();
        EXPECT_EQ(t, c.tstop) << Messages();
        ASSERT_FALSE(g_tickTimes.empty());
        EXPECT_EQ(g_tickTimes.back(), c.tstop);
        for (std::size_t k = 1; k < g_tickTimes.size(); ++k)
            EXPECT_LT(g_tickTimes[k - 1], g_tickTimes[k]) << "output point " << k;
        EXPECT_GT(aioral_i, 0.0);
    }
}

// A host that moves the stop time while the run is paused gets the new one:
// later or earlier than the scheduled one, already passed (the run ends where
// it stands), or NaN (the run ends in error at once instead of never).
TEST_F(PregnancyRunTest, AStopTimeMovedDuringAPauseIsTheOneReached) {
    struct Case {
        double moved, end;
        bool error;
    };
    const double nan = std::nan("");
    const Case cases[] = {{450, 450, false}, {330, 330, false}, {130, 130, false},
                          {50, 100, false},  {nan, 100, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "moved to " << c.moved);
        PregnancyModelSetDefaults();
        g_endedInError = false;
        g_messages.clear();
        cint = 100;
        tstop = 400;
        OrvoPreStep(instance_);
        OrvoStep(instance_);
        ASSERT_EQ(t, 100.0) << Messages();
        tstop = c.moved;
        OrvoContinueBlocking(instance_);
        EXPECT_EQ(t, c.end) << Messages();
        EXPECT_EQ(g_endedInError, c.error) << Messages();
        if (c.error) {
            EXPECT_NE(Messages().find("the stop time 'tstop' is NaN"), std::string::npos)
                << Messages();
        }
    }
}

// Inputs the model cannot mean end the run in error before it starts, with a
// message naming the constant, its value and its bounds; NaN meets no bound.
// The edges of each bound still run.
TEST_F(PregnancyRunTest, ConstantsOutsideTheirBoundsEndTheRunInError) {
    const double nan = std::nan(""), inf = HUGE_VAL;
    struct Case {
        double* constant;
        double value;
        const char* message;  // empty: the run goes through
    };
    const Case cases[] = {
        {&pdosemg_p, -0.007, "constant 'pdosemg_p' is -0.007, outside its bounds >= 0, finite"},
        {&pdosemg_p, inf, "constant 'pdosemg_p' is inf, outside its bounds >= 0, finite"},
        {&pdoseug_i, -200, "constant 'pdoseug_i' is -200, outside its bounds >= 0, finite"},
        {&pdoseug_i, nan, "constant 'pdoseug_i' is nan, outside its bounds >= 0, finite"},
        {&iodstores_mg_fi, -1e-300, "constant 'iodstores_mg_fi' is -1e-300, outside its bounds"},
        {&tstop, 0, "constant 'tstop' is 0, outside its bounds > 0, finite"},
        {&tstop, -48, "constant 'tstop' is -48, outside its bounds > 0, finite"},
        {&tstop, nan, "constant 'tstop' is nan, outside its bounds > 0, finite"},
        {&tstop, inf, "constant 'tstop' is inf, outside its bounds > 0, finite"},
        {&doseon, nan, "constant 'doseon' is nan, outside its bounds finite"},
        {&doseon, -inf, "constant 'doseon' is -inf, outside its bounds finite"},
        {&pdosemg_p, 0, ""},
        {&pdoseug_i, 0, ""},
        {&doseon, -1e300, ""},
        {&tstop, 1e-6, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        PregnancyModelSetDefaults();
        g_endedInError = false;
        g_messages.clear();
        cint = 24;
        tstop = 48;
        *c.constant = c.value;
        OrvoStartBlocking(instance_);
        const bool refused = *c.message != '\0';
        EXPECT_EQ(g_endedInError, refused) << Messages();
        if (refused) {
            EXPECT_NE(Messages().find(c.message), std::string::npos) << Messages();
            EXPECT_EQ(t, 0.0);
            EXPECT_EQ(aioral_i, kUnsetReal);  // the initial section and conditions never ran
        } else {
            EXPECT_EQ(t, tstop) << Messages();
        }
    }
}

}  // namespace
}  // namespace pregnancy
