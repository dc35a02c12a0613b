#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>

#include "model/PregnancyModel.h"
#include "model/PregnancyModelStorage.h"
#include "model/PregnancyVariableTable.h"

namespace pregnancy {
namespace {

double* States() { return &theModelStorage.real[var::aioral_i]; }
double* Derivatives() { return &theModelStorage.real[var::z99999]; }
double* InitialConditions() { return &theModelStorage.real[var::z99998]; }

// What the initial block does before the run, without the runtime: the dosing
// switches off, the parameters, then evaluate, copy initial conditions, evaluate.
class PregnancyDerivativeTest : public ::testing::Test {
protected:
    void SetUp() override { PregnancyModelSetDefaults(); }
    void TearDown() override { PregnancyModelSetDefaults(); }

    static void Initialize() {
        pdose = 0;
        lastwk = 0;
        InitialSection();
        zzderivative(1, kDerivativeSection);
        for (uint32_t k = 0; k < kStateCount; ++k) States()[k] = InitialConditions()[k];
        zzderivative(1, kDerivativeSection);
    }
    static void ExpectAllRealsFinite() {
        for (uint32_t index = 1; index <= kLastScalarReal; ++index)
            EXPECT_TRUE(std::isfinite(theModelStorage.real[index]))
                << PregnancyVariables()[index - 1].name << " = " << theModelStorage.real[index];
    }
};

TEST_F(PregnancyDerivativeTest, UndosedModelRestsAtZero) {
    Initialize();
    for (uint32_t k = 0; k < kStateCount; ++k) {
        EXPECT_EQ(States()[k], 0.0) << PregnancyVariables()[var::aioral_i - 1 + k].name;
        EXPECT_EQ(Derivatives()[k], 0.0) << PregnancyVariables()[var::z99999 - 1 + k].name;
    }
    ExpectAllRealsFinite();
    EXPECT_EQ(massb_amount_i, 0.0);
    EXPECT_EQ(massb_amount_p, 0.0);
    EXPECT_NEAR(clf_uim, 0.0325, 1e-15);  // the tables at a zero dose
    EXPECT_NEAR(massb_flow_mi, 0.0, 1e-9);
    EXPECT_NEAR(massb_flow_f, 0.0, 1e-12);
    EXPECT_NEAR(massb_flow_mp, 0.0, 1e-9);
}

TEST_F(PregnancyDerivativeTest, InitialConditionsComeFromTheConstants) {
    aplasma_mi0 = 3;
    arob_fi0 = 7;
    Initialize();
    EXPECT_EQ(aplasma_mi, 3.0);
    EXPECT_EQ(z99996, 3.0);
    EXPECT_EQ(arob_fi, 7.0);
    EXPECT_EQ(z99954, 7.0);
    EXPECT_EQ(aioral_i, 0.0);
    ExpectAllRealsFinite();
}

TEST_F(PregnancyDerivativeTest, IodideDoseEntersOralAndMaternalPlasma) {
    pdoseug_i = 150;
    Initialize();
    double rate = 150.0 * 1000 / (126.9 * 24);
    EXPECT_DOUBLE_EQ(rdose_i, rate);
    EXPECT_DOUBLE_EQ(z99999, rate);  // aioral_i accumulates the dose
    EXPECT_DOUBLE_EQ(z99997, rate);  // all other iodide compartments are still empty
    EXPECT_DOUBLE_EQ(clf_uim, 0.131);  // the dose sits on a breakpoint of both tables
    EXPECT_DOUBLE_EQ(kdegt3f_mi, 0.0016);
    EXPECT_EQ(z99993, 0.0);
}

TEST_F(PregnancyDerivativeTest, PerchlorateDoseWaitsForTheDosingSwitch) {
    pdosemg_p = 2;
    Initialize();
    EXPECT_DOUBLE_EQ(pdose_p, 2.0 * 1000000 / (99.45 * 24));
    EXPECT_EQ(z99953, 0.0);
    EXPECT_EQ(z99951, 0.0);
    pdose = 1;  // what the dose-start section sets
    zzderivative(1, kDerivativeSection);
    double rate = pdose_p * bw_m;
    EXPECT_DOUBLE_EQ(z99953, rate);
    EXPECT_DOUBLE_EQ(z99951, rate);
}

TEST_F(PregnancyDerivativeTest, LastWeekCollectionFollowsItsSwitch) {
    Initialize();
    aplasma_mp = 50;
    zzderivative(1, kDerivativeSection);
    EXPECT_GT(raelim_mp, 0.0);
    EXPECT_DOUBLE_EQ(z99929, raelim_mp);
    EXPECT_EQ(z99927, 0.0);
    lastwk = 1;
    zzderivative(1, kDerivativeSection);
    EXPECT_DOUBLE_EQ(z99927, raelim_mp);
}

TEST_F(PregnancyDerivativeTest, FlowExchangeMovesAmountsWithoutLoss) {
    Initialize();
    // Iodide in the rapidly perfused tissue only: it returns to plasma by venous flow.
    arp_mi = 4;
    zzderivative(1, kDerivativeSection);
    EXPECT_LT(z99995, 0.0);
    EXPECT_NEAR(z99995 + z99997, 0.0, 1e-10);
    // Perchlorate in fetal plasma only: it leaves to the fetal tissues and placenta.
    arp_mi = 0;
    aplasma_fp = 2;
    zzderivative(1, kDerivativeSection);
    EXPECT_LT(z99925, 0.0);
    EXPECT_NEAR(z99925 + z99923 + z99921 + z99919 + z99917 + z99931, 0.0, 1e-10);
    ExpectAllRealsFinite();
}

// Loads every state with a different amount, for the balance checks.
void FillStates() {
    for (uint32_t k = 0; k < kStateCount; ++k) States()[k] = 1.0 + 0.37 * k;
}

TEST_F(PregnancyDerivativeTest, IodideIsConservedAcrossCompartmentsAndHormones) {
    pdoseug_i = 150;
    Initialize();
    FillStates();
    zzderivative(1, kDerivativeSection);
    double balance = massb_amount_i;
    // Every amount in the total is linear in the states, so a unit Euler step
    // changes the balance only if the rates create or lose iodine.
    for (uint32_t k = 0; k < kStateCount; ++k) States()[k] += Derivatives()[k];
    zzderivative(1, kDerivativeSection);
    EXPECT_NE(aioral_i, 1.0);
    EXPECT_NEAR(massb_amount_i, balance, 1e-6);
}

TEST_F(PregnancyDerivativeTest, PerchlorateRatesAddUpToTheDose) {
    pdosemg_p = 0.1;
    Initialize();
    pdose = 1;
    FillStates();
    zzderivative(1, kDerivativeSection);
    // All perchlorate compartments, bound forms and urine; not the uptake
    // counter anisthy_fp nor the last-week collection.
    double total = z99951 + z99949 + z99947 + z99945 + z99943 + z99941 + z99939 + z99937 +
                   z99935 + z99933 + z99931 + z99929 + z99925 + z99923 + z99919 + z99917;
    EXPECT_GT(z99953, 0.0);
    EXPECT_NEAR(total, z99953, 1e-9 * z99953);
    ExpectAllRealsFinite();
}

TEST_F(PregnancyDerivativeTest, FreeThyroidIodideNeverChanges) {
    Initialize();
    aplasma_mi = 10;
    athyb_mi = 1;
    athyb_fi = 1;
    athyt_free_mi = 2;
    zzderivative(1, kDerivativeSection);
    EXPECT_GT(rnisthy_mi, 0.0);
    EXPECT_EQ(z99989, 0.0);
    EXPECT_EQ(z99963, 0.0);
    EXPECT_DOUBLE_EQ(rbind_mi, rnisthy_mi + rpathy_mi);
}

TEST_F(PregnancyDerivativeTest, SymporterUptakeIsInhibitedByTheOtherAnion) {
    Initialize();
    athyb_mi = 1;
    zzderivative(1, kDerivativeSection);
    double alone = rnisthy_mi;
    athyb_mp = 100;
    zzderivative(1, kDerivativeSection);
    double cb = athyb_mi / vthyb_m;
    double expected = vmaxnis_thy_mi * cb / (cb + kmnis_i * (1 + cthyb_mp / kmnis_p));
    EXPECT_LT(rnisthy_mi, alone);
    EXPECT_NEAR(rnisthy_mi, expected, 1e-12 * expected);
}

TEST_F(PregnancyDerivativeTest, OtherSectionCodesChangeNothing) {
    Initialize();
    double before[std::size(theModelStorage.real)];
    std::copy(std::begin(theModelStorage.real), std::end(theModelStorage.real), before);
    aplasma_mi = 1;  // would change rates if a code evaluated the section
    for (uint32_t code : {0u, 1u, 2u, 501u, 999u, 1002u}) zzderivative(1, code);
    aplasma_mi = 0;
    for (uint32_t index = 1; index <= kLastScalarReal; ++index)
        EXPECT_EQ(theModelStorage.real[index], before[index]) << index;
}

}  // namespace
}  // namespace pregnancy
