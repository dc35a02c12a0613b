#include <gtest/gtest.h>

#include <cstring>

#include "solver/IntegratorSettings.h"

namespace {

// Every getter against the value a fresh object (or a null binding) must give.
void ExpectDefaults(const IntegratorSettings& s) {
    EXPECT_EQ(s.GetCommInterval(), 0.1);
    EXPECT_EQ(s.GetAlgoritm(), 5);
    EXPECT_EQ(s.GetStepsPerCint(), 10);
    EXPECT_EQ(s.GetMaxStepSize(), 1e9);
    EXPECT_EQ(s.GetMinStepSize(), 1e-9);
    EXPECT_FALSE(s.GetMinStepSizeViolation());
    EXPECT_FALSE(s.GetStopFlag());
    EXPECT_EQ(s.GetNumCommIntsPerOuput(), 1);
    EXPECT_EQ(s.GetCurrIntegrationOrder(), 0);
    EXPECT_TRUE(s.GetComputeJacobValidity());
    EXPECT_EQ(s.GetCurrActualStepSize(), 0.0);
    EXPECT_FALSE(s.GetDoublePrecStates());
    EXPECT_FALSE(s.GetErrsBasedOnCurrState());
    EXPECT_FALSE(s.GetForceExtraDerivEval());
    EXPECT_EQ(s.GetMaxIntegOrder(), 6);
    EXPECT_FALSE(s.GetNoExtraEvals());
    EXPECT_EQ(s.GetJacobNonlinThresh(), 0.2);
    EXPECT_FALSE(s.GetTwoSidedMatrixEval());
    EXPECT_TRUE(s.GetWriteEventDescription());
    EXPECT_TRUE(s.GetWriteErrorSummary());
    EXPECT_FALSE(s.GetWriteNormalData());
    EXPECT_FALSE(s.GetWriteExtraData());
    EXPECT_EQ(s.GetNumDebugDumps(), 0);
    EXPECT_EQ(s.GetIndVarInitVal(), 0.0);
    EXPECT_TRUE(s.GetCommIntOnEvent());
    EXPECT_EQ(s.GetJacUpperBandwidth(), -1);
    EXPECT_EQ(s.GetJacLowerBandwidth(), -1);
    EXPECT_EQ(s.GetOdepackMethodFlag(), 222);
}

TEST(IntegratorSettings, FreshObjectAnswersDefaults) {
    IntegratorSettings s;
    ExpectDefaults(s);
    EXPECT_FALSE(s.CommPointReached);
}

TEST(IntegratorSettings, UnboundSettingsReadNeutralValuesAndIgnoreWrites) {
    IntegratorSettings s;
    std::memset(&s.bind, 0, sizeof s.bind);
    s.SetAlgoritm(14);
    s.SetStopFlag(true);
    s.SetJacUpperBandwidth(3);
    s.SetOdepackMethodFlag(10);
    s.SetDefaultValues();  // skips null pointers
    ExpectDefaults(s);
}

TEST(IntegratorSettings, BoundSettingsShareTheModelVariables) {
    IntegratorSettings s;
    uint8_t zzstopflag = 0;
    double cint = 0.5;
    int32_t omfitg = 55555555;
    s.bind.stopFlag = &zzstopflag;
    s.bind.commInterval = &cint;
    s.bind.odepackMethodFlag = &omfitg;
    s.SetStopFlag(true);
    EXPECT_EQ(zzstopflag, 1);
    zzstopflag = 0;
    EXPECT_FALSE(s.GetStopFlag());
    EXPECT_EQ(s.GetCommInterval(), 0.5);

    // Resetting writes settings 1..24 through the bindings, never 25..28.
    s.CommPointReached = true;
    s.SetDefaultValues();
    EXPECT_EQ(cint, 0.1);
    EXPECT_EQ(omfitg, 55555555);
    EXPECT_FALSE(s.CommPointReached);
}

TEST(IntegratorSettings, CopySharesBindingsNotReportFlag) {
    IntegratorSettings solver;
    IntegratorSettings integrator;
    int32_t ialg = 3;
    solver.bind.algorithm = &ialg;
    solver.CommPointReached = true;
    integrator.Copy(&solver);
    EXPECT_EQ(integrator.GetAlgoritm(), 3);
    EXPECT_FALSE(integrator.CommPointReached);
    integrator.SetStopFlag(true);
    EXPECT_TRUE(solver.GetStopFlag());
    solver.SetMaxIntegOrder(2);
    EXPECT_EQ(integrator.GetMaxIntegOrder(), 2);
    integrator.Copy(nullptr);  // ignored
    EXPECT_EQ(integrator.GetAlgoritm(), 3);
}

}  // namespace
