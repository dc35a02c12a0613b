#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include <cvode/cvode.h>
#include <cvode/cvode_diag.h>
#include <cvode/cvode_ls.h>
#include <sunmatrix/sunmatrix_band.h>

#include "common/TextException.h"
#include "numerics/CvodeIntegrator.h"

namespace {

// Model storage owned by the tests.
double t;
double y[4];
double dy[4];
double ic[4];
uint8_t stopVariable;
int32_t upper, lower;
int calls;
int failAtCall;

// Eigenvalues -1 and -1000 on the first two states; the others decay slowly.
void Stiff(uint32_t, uint32_t) {
    ++calls;
    dy[0] = -500.5 * y[0] + 499.5 * y[1];
    dy[1] = 499.5 * y[0] - 500.5 * y[1];
    dy[2] = -0.5 * y[2];
    dy[3] = -0.25 * y[3];
}

void Constant(uint32_t, uint32_t) {
    ++calls;
    for (double& d : dy) d = 0.0;
}

// y' = y², y(0) = 1: blows up at t = 1.
void BlowsUp(uint32_t, uint32_t) {
    ++calls;
    dy[0] = y[0] * y[0];
}

void FailsLater(uint32_t, uint32_t) {
    ++calls;
    dy[0] = -y[0];
    if (calls == failAtCall) throw TextException("model fault");
}

class Cvode : public ::testing::Test {
protected:
    void SetUp() override {
        t = 0;
        for (int i = 0; i < 4; ++i) y[i] = dy[i] = ic[i] = 0;
        stopVariable = 0;
        upper = lower = -1;
        calls = 0;
        failAtCall = -1;
        Bind(integrator);
    }
    static void Bind(CvodeIntegrator& i) {
        i.initializationInProgress = false;
        i.settings.bind.stopFlag = &stopVariable;
        i.settings.bind.jacUpperBandwidth = &upper;
        i.settings.bind.jacLowerBandwidth = &lower;
    }
    void Init(uint32_t n, DerivativeFunction f, double rtol = 1e-9, double atol = 1e-12) {
        ASSERT_TRUE(integrator.Initialize(&t, n, y, dy, ic, 0, nullptr, nullptr, nullptr, f));
        for (uint32_t i = 0; i < n; ++i) {
            integrator.SetMaxRelativeError(i, rtol);
            integrator.SetMaxAbsoluteError(i, atol);
        }
    }
    // Steps of nominal size h; the integrator may propose its own for the next one.
    void RunTo(double end, double h) {
        while (t < end - 1e-12 && stopVariable == 0) {
            integrator.stepSize = std::min(h, end - t);
            integrator.Step();
            if (integrator.stepSizeChanged) h = integrator.stepSize;
        }
    }
    long StepsTaken() const {
        long steps = -1;
        CVodeGetNumSteps(integrator.SolverMemory(), &steps);
        return steps;
    }
    CvodeIntegrator integrator;
};

TEST_F(Cvode, StiffSystemMatchesClosedForm) {
    Init(4, Stiff, 1e-9, 1e-12);
    y[0] = 2.0;
    y[2] = y[3] = 1.0;
    RunTo(1.0, 0.1);
    EXPECT_NEAR(t, 1.0, 1e-12);
    const double slow = std::exp(-1.0), fast = std::exp(-1000.0);
    EXPECT_NEAR(y[0], slow + fast, 1e-7);
    EXPECT_NEAR(y[1], slow - fast, 1e-7);
    EXPECT_NEAR(y[2], std::exp(-0.5), 1e-7);
    EXPECT_EQ(stopVariable, 0);
    EXPECT_EQ(integrator.algorithm, 15);
    EXPECT_TRUE(integrator.TakeMessages().empty());
}

TEST_F(Cvode, ContinuesAcrossCallsAndAdoptsEveryProposedStep) {
    // The stiff system in steps CVODE proposes, larger or smaller than h: one
    // continuous integration, never restarted between calls.
    Init(4, Stiff);
    y[0] = 2.0;
    y[2] = y[3] = 1.0;
    double h = 1e-3;
    long steps = 0;
    bool grew = false, shrank = false;
    while (t < 1.0 - 1e-12) {
        integrator.stepSize = std::min(h, 1.0 - t);
        const double asked = integrator.stepSize;
        integrator.Step();
        ASSERT_GE(StepsTaken(), steps) << "restarted at t = " << t;
        steps = StepsTaken();
        if (integrator.stepSizeChanged) {
            EXPECT_NE(integrator.stepSize, asked);
            grew |= integrator.stepSize > asked;
            shrank |= integrator.stepSize < asked;
            h = integrator.stepSize;
        } else {
            EXPECT_EQ(integrator.stepSize, asked);
        }
        if (t > 0.5 && !shrank) h = 10.0;  // more than CVODE would take: its proposal is smaller
    }
    EXPECT_TRUE(grew);
    EXPECT_TRUE(shrank);
    EXPECT_NEAR(y[0], std::exp(-1.0) + std::exp(-1000.0), 1e-6);
    EXPECT_NEAR(y[3], std::exp(-0.25), 1e-6);
}

TEST_F(Cvode, BandwidthsChooseTheLinearSolver) {
    using Kind = CvodeIntegrator::LinearSolverKind;
    struct Case {
        int32_t upper, lower;
        Kind kind;
        bool message;
    } cases[] = {{-1, -1, Kind::Dense, false},
                 {0, 0, Kind::Diagonal, false},
                 {2, 3, Kind::Band, false},
                 {2, 0, Kind::Dense, true},
                 {-1, 2, Kind::Dense, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.upper << ", " << c.lower);
        SetUp();
        CvodeIntegrator local;
        Bind(local);
        upper = c.upper;
        lower = c.lower;
        ASSERT_TRUE(local.Initialize(&t, 4, y, dy, ic, 0, nullptr, nullptr, nullptr, Stiff));
        for (uint32_t i = 0; i < 4; ++i) {
            local.SetMaxRelativeError(i, 1e-9);
            local.SetMaxAbsoluteError(i, 1e-12);
        }
        y[0] = 2.0;
        y[2] = y[3] = 1.0;
        local.stepSize = 0.1;
        local.Step();
        EXPECT_EQ(local.linearSolver, c.kind);
        // What CVODE itself was given.
        long realWords = 0, intWords = 0;
        SUNMatrix a = local.JacobianMatrix();
        switch (c.kind) {
            case Kind::Diagonal:
                EXPECT_EQ(a, nullptr);
                EXPECT_EQ(CVDiagGetWorkSpace(local.SolverMemory(), &realWords, &intWords), CVDIAG_SUCCESS);
                break;
            case Kind::Band:
                ASSERT_NE(a, nullptr);
                EXPECT_EQ(SUNMatGetID(a), SUNMATRIX_BAND);
                EXPECT_EQ(SUNBandMatrix_UpperBandwidth(a), 2);
                EXPECT_EQ(SUNBandMatrix_LowerBandwidth(a), 3);
                break;
            default:
                ASSERT_NE(a, nullptr);
                EXPECT_EQ(SUNMatGetID(a), SUNMATRIX_DENSE);
                break;
        }
        const std::string text = local.TakeMessages();
        EXPECT_EQ(text, c.message ? "Error: Inconsistent values for UBWITG and LBWITG supplied to CVODE.  "
                                    "Assuming dense matrix.\n"
                                  : "");
        // Every choice integrates the system.
        EXPECT_NEAR(y[2], std::exp(-0.05), 1e-6);
        EXPECT_EQ(stopVariable, 0);
    }
}

TEST_F(Cvode, OnlyTheFirstRelativeToleranceCounts) {
    auto run = [](double secondRtol, double out[4]) {
        t = 0;
        for (int i = 0; i < 4; ++i) y[i] = 0;
        y[0] = 2.0;
        y[2] = y[3] = 1.0;
        CvodeIntegrator local;
        Bind(local);
        ASSERT_TRUE(local.Initialize(&t, 4, y, dy, ic, 0, nullptr, nullptr, nullptr, Stiff));
        local.SetMaxRelativeError(0, 1e-6);
        for (uint32_t i = 1; i < 4; ++i) local.SetMaxRelativeError(i, secondRtol);
        for (int k = 0; k < 5; ++k) {
            local.stepSize = 0.2;
            local.Step();
        }
        for (int i = 0; i < 4; ++i) out[i] = y[i];
    };
    double tight[4], loose[4];
    run(1e-12, tight);
    run(1e-1, loose);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(tight[i], loose[i]) << i;
}

TEST_F(Cvode, ChangedStateOrRequestRestarts) {
    Init(3, Constant);
    y[0] = 1.0;
    y[1] = 2.0;
    y[2] = 3.0;
    upper = 2;
    lower = 0;  // inconsistent: the message comes once per run
    integrator.stepSize = 1.0;
    integrator.Step();
    EXPECT_FALSE(integrator.TakeMessages().empty());
    // Unchanged states: CVODE continues and its step count grows.
    long before = StepsTaken();
    integrator.stepSize = 10.0;
    integrator.Step();
    EXPECT_GT(StepsTaken(), before);
    EXPECT_TRUE(integrator.TakeMessages().empty());

    before = StepsTaken();
    y[1] = 5.0;  // set between steps by an event or the host
    integrator.stepSize = 1.0;
    integrator.Step();
    EXPECT_EQ(y[1], 5.0);
    EXPECT_LT(StepsTaken(), before);
    EXPECT_TRUE(integrator.TakeMessages().empty());

    integrator.stepSize = 10.0;
    integrator.Step();
    before = StepsTaken();
    integrator.restartRequested = true;
    integrator.stepSize = 1.0;
    integrator.Step();
    EXPECT_FALSE(integrator.restartRequested);
    EXPECT_LT(StepsTaken(), before);
    EXPECT_EQ(y[2], 3.0);
}

TEST_F(Cvode, SetUpFailureStopsWithoutAStep) {
    Init(1, BlowsUp, -1.0);  // a negative relative tolerance is refused
    y[0] = 1.0;
    integrator.stepSize = 0.5;
    integrator.Step();
    EXPECT_EQ(stopVariable, 1);
    EXPECT_EQ(t, 0.0);
    EXPECT_EQ(calls, 0);
    const std::string text = integrator.TakeMessages();
    const std::string ours = "ERROR: CVodeMalloc failed in CVODE.\n\n";
    ASSERT_GE(text.size(), ours.size());
    EXPECT_EQ(text.substr(text.size() - ours.size()), ours);
    // CVODE's own diagnostic arrives first.
    EXPECT_NE(text.find("CVodeSVtolerances"), std::string::npos) << text;
}

TEST_F(Cvode, IntegrationFailureStopsAndAdvances) {
    Init(1, BlowsUp, 1e-8, 1e-10);
    y[0] = 1.0;
    integrator.stepSize = 2.0;
    integrator.Step();
    EXPECT_EQ(stopVariable, 1);
    EXPECT_EQ(t, 2.0);
    EXPECT_FALSE(integrator.TakeMessages().empty());
    EXPECT_EQ(integrator.SolverMemory(), nullptr);  // the next step starts afresh
}

TEST_F(Cvode, ModelFaultsLeaveStepAfterCvodeReturns) {
    Init(1, FailsLater);
    y[0] = 1.0;
    failAtCall = 4;
    integrator.stepSize = 1.0;
    try {
        integrator.Step();
        FAIL() << "no exception";
    } catch (const TextException& e) {
        EXPECT_STREQ(e.Text(), "model fault");
    }
    EXPECT_EQ(calls, 4);
    EXPECT_TRUE(integrator.TakeMessages().empty());

    failAtCall = -1;
    t = 0.0;
    y[0] = 1.0;
    RunTo(1.0, 0.25);
    EXPECT_NEAR(y[0], std::exp(-1.0), 1e-6);
    EXPECT_EQ(stopVariable, 0);
}

TEST_F(Cvode, StopFlagSetElsewhereSurvivesAndNoStatesAdvance) {
    Init(4, Stiff);
    y[2] = 1.0;
    stopVariable = 1;
    integrator.stepSize = 0.1;
    integrator.Step();
    EXPECT_EQ(stopVariable, 1);
    EXPECT_NEAR(y[2], std::exp(-0.05), 1e-6);

    CvodeIntegrator none;
    Bind(none);
    stopVariable = 0;
    ASSERT_TRUE(none.Initialize(&t, 0, y, dy, ic, 0, nullptr, nullptr, nullptr, Constant));
    const double start = t;
    none.stepSize = 0.5;
    none.Step();
    EXPECT_EQ(t, start + 0.5);
    EXPECT_EQ(stopVariable, 0);
    none.Finalize();
    integrator.Finalize();
    EXPECT_EQ(integrator.SolverMemory(), nullptr);
}

}  // namespace
