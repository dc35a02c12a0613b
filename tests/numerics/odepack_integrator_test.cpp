#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/TextException.h"
#include "numerics/OdepackIntegrator.h"

namespace {

// Model storage owned by the tests.
double t;
double y[3];
double dy[3];
double ic[3];
uint8_t stopVariable;
int calls;
int firstEvals;
int failAtCall;
volatile double zero = 0.0;
const Integrator* current;

void Count() {
    ++calls;
    if (current && current->firstDerivEval) ++firstEvals;
}

void Decay(uint32_t, uint32_t) {
    Count();
    dy[0] = -y[0];
}

// Eigenvalues -1 and -1000, eigenvectors (1, 1) and (1, -1).
void Stiff(uint32_t, uint32_t) {
    Count();
    dy[0] = -500.5 * y[0] + 499.5 * y[1];
    dy[1] = 499.5 * y[0] - 500.5 * y[1];
}

void Constant(uint32_t, uint32_t) {
    Count();
    for (double& d : dy) d = 0.0;
}

void FailsLater(uint32_t, uint32_t) {
    Count();
    dy[0] = -y[0];
    if (calls == failAtCall) throw TextException("model fault");
}

void DividesLater(uint32_t, uint32_t) {
    Count();
    dy[0] = calls >= failAtCall ? 1.0 / zero : -y[0];
}

class Odepack : public ::testing::Test {
protected:
    void SetUp() override {
        t = 0;
        for (int i = 0; i < 3; ++i) y[i] = dy[i] = ic[i] = 0;
        stopVariable = 0;
        calls = firstEvals = 0;
        failAtCall = -1;
        current = &integrator;
        integrator.initializationInProgress = false;
        integrator.settings.bind.stopFlag = &stopVariable;
    }
    void TearDown() override { current = nullptr; }
    void Init(uint32_t n, DerivativeFunction f, double rtol = 1e-9, double atol = 1e-12) {
        ASSERT_TRUE(integrator.Initialize(&t, n, y, dy, ic, 0, nullptr, nullptr, nullptr, f));
        for (uint32_t i = 0; i < n; ++i) {
            integrator.SetMaxRelativeError(i, rtol);
            integrator.SetMaxAbsoluteError(i, atol);
        }
    }
    void Steps(int count, double h) {
        for (int i = 0; i < count; ++i) {
            integrator.stepSize = h;
            integrator.Step();
        }
    }
    int32_t StepsTaken() const { return integrator.IWORK[10]; }  // IWORK(11): NST
    OdepackIntegrator integrator;
};

TEST_F(Odepack, DecayIsAccurateAndProposesItsOwnStep) {
    Init(1, Decay);
    y[0] = 1.0;
    Steps(10, 0.1);
    EXPECT_NEAR(t, 1.0, 1e-12);
    EXPECT_NEAR(y[0], std::exp(-1.0), 1e-7);
    EXPECT_EQ(stopVariable, 0);
    EXPECT_EQ(integrator.algorithm, 14);
    // One flagged evaluation per step at its start.
    EXPECT_EQ(firstEvals, 10);
    // DLSODES's next step differs from h: it is proposed to the solver.
    EXPECT_TRUE(integrator.stepSizeChanged);
    EXPECT_EQ(integrator.stepSize, integrator.RWORK[11]);
    EXPECT_TRUE(integrator.TakeMessages().empty());
}

TEST_F(Odepack, StiffSystemMatchesClosedForm) {
    Init(2, Stiff, 1e-8, 1e-10);
    y[0] = 2.0;
    y[1] = 0.0;
    // DLSODES continues from call to call: what it returned is not an outside change.
    for (int32_t step = 0, taken = 0; step < 4; ++step, taken = StepsTaken()) {
        Steps(1, 0.25);
        EXPECT_EQ(integrator.ISTATE, 2);
        EXPECT_GE(StepsTaken(), taken) << "restarted at t = " << t;
    }
    const double slow = std::exp(-1.0), fast = std::exp(-1000.0);
    EXPECT_NEAR(y[0], slow + fast, 1e-6);
    EXPECT_NEAR(y[1], slow - fast, 1e-6);
    // BDF with a Newton corrector needs nowhere near the ~1000 steps an explicit method would.
    EXPECT_LT(calls, 2000);
}

TEST_F(Odepack, InvalidMethodFlagFallsBackOnce) {
    integrator.settings.SetOdepackMethodFlag(221);
    Init(1, Decay);
    y[0] = 1.0;
    Steps(1, 0.5);
    EXPECT_EQ(integrator.TakeMessages(),
              "Error: Invalid value of OMFITG supplied to ODEPACK.  Using default value of 222.\n");
    EXPECT_EQ(integrator.MF, 222);
    EXPECT_NEAR(y[0], std::exp(-0.5), 1e-7);
    // Validated once per object: a later change is not looked at.
    integrator.settings.SetOdepackMethodFlag(5);
    Steps(1, 0.5);
    EXPECT_TRUE(integrator.TakeMessages().empty());
    EXPECT_EQ(integrator.MF, 222);
}

TEST_F(Odepack, AdamsFlagIsUsed) {
    integrator.settings.SetOdepackMethodFlag(210);
    Init(1, Decay);
    y[0] = 1.0;
    Steps(2, 0.5);
    EXPECT_EQ(integrator.MF, 210);
    EXPECT_NEAR(y[0], std::exp(-1.0), 1e-7);
    EXPECT_TRUE(integrator.TakeMessages().empty());
}

TEST_F(Odepack, ImpossibleAccuracyStopsAndStillAdvances) {
    Init(1, Constant);
    y[0] = 1.0;
    Steps(1, 0.5);
    ASSERT_EQ(integrator.ISTATE, 2);

    // Tightened while continuing: DLSODES gives up with ISTATE -2.
    integrator.SetMaxRelativeError(0, 1e-30);
    integrator.SetMaxAbsoluteError(0, 1e-300);
    Steps(1, 1e6);  // far beyond the steps already taken
    EXPECT_EQ(integrator.ISTATE, -2);
    EXPECT_EQ(stopVariable, 1);
    EXPECT_EQ(t, 0.5 + 1e6);
    std::string text = integrator.TakeMessages();
    // The package's own diagnostic arrives first, its placeholders unexpanded.
    EXPECT_NE(text.find("DLSODES- At T (=R1), too much accuracy requested"), std::string::npos) << text;
    const std::string ours = "ERROR: Requested accuracy exceeds machine precision.  Reduce error tolerances.\n";
    ASSERT_GE(text.size(), ours.size());
    EXPECT_EQ(text.substr(text.size() - ours.size()), ours);

    // At a fresh start DLSODES counts the same request as illegal input.
    stopVariable = 0;
    Steps(1, 0.5);
    EXPECT_EQ(integrator.ISTATE, -3);
    EXPECT_EQ(stopVariable, 1);
    EXPECT_EQ(t, 1.0 + 1e6);
    text = integrator.TakeMessages();
    EXPECT_NE(text.find("ERROR: Illegal input to DLSODES detected.\n"), std::string::npos) << text;
}

TEST_F(Odepack, TooManyStepsStopsWithItsMessage) {
    // Functional iteration on a stiff system: the 500-step limit is hit long before t + h.
    integrator.settings.SetOdepackMethodFlag(210);
    Init(2, Stiff, 1e-6, 1e-8);
    y[0] = 2.0;
    Steps(1, 100.0);
    EXPECT_EQ(integrator.ISTATE, -1);
    EXPECT_EQ(stopVariable, 1);
    EXPECT_EQ(t, 100.0);
    const std::string text = integrator.TakeMessages();
    EXPECT_NE(text.find("ERROR: Exceeded max allowed number of integration steps in DLSODES.\n"),
              std::string::npos) << text;

    // The next step starts DLSODES afresh instead of passing the failed state on.
    stopVariable = 0;
    integrator.settings.SetOdepackMethodFlag(222);
    Steps(1, 0.1);
    EXPECT_EQ(integrator.ISTATE, 2);
}

TEST_F(Odepack, ErrorDescriptions) {
    Init(1, Decay);
    for (int32_t status : {-3, -4, -5, -6, -7, -8}) integrator.WriteOdepackErrorDescription(status);
    EXPECT_EQ(integrator.TakeMessages(),
              "ERROR: Illegal input to DLSODES detected.\n"
              "ERROR: Repeated error test failures on a single step (possible singularity, or invalid input to LSODES.\n"
              "ERROR: Repeated convergence test failures on a single step (possible inaccuracy in Jacobian computation.\n"
              "ERROR: Pure relative error control was requested on a variable which now has a value of zero.\n"
              "ERROR: Fatal error in sparse solver.\n"
              "ERROR: Unrecognized error code returned by LSODES.\n");
}

TEST_F(Odepack, ChangedStateOrRequestRestarts) {
    Init(3, Constant);
    y[0] = 1.0;
    y[1] = 2.0;
    y[2] = 3.0;
    Steps(1, 1.0);
    // Unchanged states: DLSODES continues and its step count grows.
    int32_t before = StepsTaken();
    Steps(3, 1.0);
    EXPECT_GT(StepsTaken(), before);

    // A state set between steps (an event, the host) is taken up by a fresh start.
    before = StepsTaken();
    y[1] = 5.0;
    Steps(1, 1.0);
    EXPECT_EQ(y[1], 5.0);
    EXPECT_LT(StepsTaken(), before);

    before = StepsTaken();
    Steps(3, 1.0);
    EXPECT_GT(StepsTaken(), before);
    before = StepsTaken();
    integrator.restartRequested = true;
    Steps(1, 1.0);
    EXPECT_FALSE(integrator.restartRequested);
    EXPECT_LT(StepsTaken(), before);
    EXPECT_NEAR(t, 9.0, 1e-12);
    EXPECT_EQ(y[0], 1.0);
}

TEST_F(Odepack, ModelFaultsLeaveStepAfterDlsodesReturns) {
    Init(1, FailsLater);
    y[0] = 1.0;
    failAtCall = 5;  // inside DLSODES, after the step's first evaluation
    integrator.stepSize = 1.0;
    try {
        integrator.Step();
        FAIL() << "no exception";
    } catch (const TextException& e) {
        EXPECT_STREQ(e.Text(), "model fault");
    }
    EXPECT_EQ(calls, 5);  // DLSODES ran on to its return without calling the model again

    // The next step starts over and the model is called again.
    failAtCall = -1;
    y[0] = 1.0;
    t = 0.0;
    calls = 0;
    Steps(1, 1.0);
    EXPECT_NEAR(y[0], std::exp(-1.0), 1e-7);
    EXPECT_GT(calls, 1);

    OdepackIntegrator other;
    current = &other;
    other.initializationInProgress = false;
    ASSERT_TRUE(other.Initialize(&t, 1, y, dy, ic, 0, nullptr, nullptr, nullptr, DividesLater));
    calls = 0;
    failAtCall = 3;
    other.stepSize = 1.0;
    EXPECT_THROW(
        {
            try {
                other.Step();
            } catch (const TextException& e) {
                EXPECT_STREQ(e.Text(), "floating point error");
                throw;
            }
        },
        TextException);
}

TEST_F(Odepack, StopFlagSetElsewhereSurvivesTheStep) {
    Init(1, Decay);
    y[0] = 1.0;
    stopVariable = 1;  // e.g. the host's stop request arriving during the step
    Steps(1, 0.1);
    EXPECT_EQ(stopVariable, 1);
    EXPECT_NEAR(y[0], std::exp(-0.1), 1e-7);
}

TEST_F(Odepack, WorkArraysAndNoOdeStates) {
    Init(3, Constant);
    EXPECT_EQ(integrator.LRW, 153);
    EXPECT_EQ(integrator.LIW, 33);
    EXPECT_EQ(integrator.RWORK.size(), 153u);
    integrator.Finalize();
    EXPECT_TRUE(integrator.RWORK.empty());
    EXPECT_EQ(integrator.maxAbsErrors, nullptr);

    // Nothing to integrate: time advances, the model is still evaluated once.
    OdepackIntegrator none;
    current = &none;
    none.initializationInProgress = false;
    none.settings.bind.stopFlag = &stopVariable;
    ASSERT_TRUE(none.Initialize(&t, 0, y, dy, ic, 0, nullptr, nullptr, nullptr, Constant));
    none.stepSize = 0.5;
    none.Step();
    EXPECT_EQ(t, 0.5);
    EXPECT_EQ(firstEvals, 1);
    EXPECT_EQ(stopVariable, 0);
    EXPECT_TRUE(none.TakeMessages().empty());
}

// y' = z with the algebraic condition z = t: y = t² / 2.
double z[1], r[1], zic[1];
void Ramp(uint32_t, uint32_t) {
    Count();
    dy[0] = z[0];
    r[0] = z[0] - t;
}

TEST_F(Odepack, AlgebraicStatesAreSolvedAtTheEvaluatedPoint) {
    z[0] = 0.0;
    ASSERT_TRUE(integrator.Initialize(&t, 1, y, dy, ic, 1, z, r, zic, Ramp));
    for (uint32_t i = 0; i < 2; ++i) {
        integrator.SetMaxRelativeError(i, 1e-10);
        integrator.SetMaxAbsoluteError(i, 1e-12);
    }
    Steps(4, 0.25);
    EXPECT_NEAR(y[0], 0.5, 1e-8);
    EXPECT_EQ(stopVariable, 0);
}

// Two problems of different size taking turns, each continuing its own history.
double ya[1], dya[1], yb[3], dyb[3];
void ConstantA(uint32_t, uint32_t) { dya[0] = 0.0; }
void ConstantB(uint32_t, uint32_t) { dyb[0] = dyb[1] = dyb[2] = 0.0; }

TEST_F(Odepack, IntegratorsTakingTurnsKeepTheirOwnHistory) {
    double ta = 0, tb = 0;
    ya[0] = 1.0;
    yb[0] = 2.0;
    yb[1] = 3.0;
    yb[2] = 4.0;
    OdepackIntegrator alone, a, b;
    for (OdepackIntegrator* i : {&alone, &a, &b}) i->initializationInProgress = false;
    double tAlone = 0, yAlone[1] = {1.0}, dyAlone[1];
    ASSERT_TRUE(alone.Initialize(&tAlone, 1, yAlone, dyAlone, ic, 0, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(a.Initialize(&ta, 1, ya, dya, ic, 0, nullptr, nullptr, nullptr, ConstantA));
    ASSERT_TRUE(b.Initialize(&tb, 3, yb, dyb, ic, 0, nullptr, nullptr, nullptr, ConstantB));
    dyAlone[0] = 0.0;
    const auto step = [](OdepackIntegrator& i) {
        i.stepSize = 1.0;
        i.Step();
    };
    step(alone);
    step(alone);
    step(a);
    step(b);
    step(b);
    step(a);
    EXPECT_EQ(a.ISTATE, 2);
    EXPECT_EQ(a.IWORK[10], alone.IWORK[10]);
    EXPECT_EQ(ya[0], 1.0);
    EXPECT_EQ(yb[2], 4.0);
    EXPECT_EQ(ta, 2.0);
    EXPECT_EQ(tb, 2.0);
}

// Two problems with real histories (a decay, a stiff pair) taking turns with
// DLSODES integrate exactly as each does alone: each gets its own common
// blocks back whenever the other called in between.
double yc[1], dyc[1], yd[2], dyd[2];
void DecayC(uint32_t, uint32_t) { dyc[0] = -yc[0]; }
void StiffD(uint32_t, uint32_t) {
    dyd[0] = -500.5 * yd[0] + 499.5 * yd[1];
    dyd[1] = 499.5 * yd[0] - 500.5 * yd[1];
}

TEST_F(Odepack, InterleavedProblemsMatchTheirRunsAlone) {
    constexpr int kSteps = 6;
    struct Trace {
        std::vector<double> values;
        std::vector<int32_t> steps;
    };
    const auto start = [](OdepackIntegrator& i, double* time, uint32_t n, double* states, double* rates,
                          void (*f)(uint32_t, uint32_t)) {
        i.initializationInProgress = false;
        *time = 0.0;
        ASSERT_TRUE(i.Initialize(time, n, states, rates, ic, 0, nullptr, nullptr, nullptr, f));
    };
    const auto step = [](OdepackIntegrator& i, const double* states, uint32_t n, Trace& trace) {
        i.stepSize = 0.05;
        i.Step();
        trace.values.insert(trace.values.end(), states, states + n);
        trace.steps.push_back(i.IWORK[10]);
    };
    const auto reset = [] {
        yc[0] = 1.0;
        yd[0] = 2.0;
        yd[1] = 0.0;
    };
    double tc = 0, td = 0;
    Trace aloneC, aloneD, turnsC, turnsD;
    reset();
    {
        OdepackIntegrator c, d;
        start(c, &tc, 1, yc, dyc, DecayC);
        for (int k = 0; k < kSteps; ++k) step(c, yc, 1, aloneC);
        start(d, &td, 2, yd, dyd, StiffD);
        for (int k = 0; k <= kSteps; ++k) step(d, yd, 2, aloneD);
    }
    EXPECT_GT(aloneD.steps.back(), kSteps + 1);  // the stiff pair takes several DLSODES steps a call

    reset();
    OdepackIntegrator c, d;
    start(c, &tc, 1, yc, dyc, DecayC);
    start(d, &td, 2, yd, dyd, StiffD);
    for (char turn : std::string("CDDCCDCDDCDC")) {
        if (turn == 'C') step(c, yc, 1, turnsC);
        else step(d, yd, 2, turnsD);
    }
    EXPECT_EQ(turnsC.values, aloneC.values);
    EXPECT_EQ(turnsC.steps, aloneC.steps);

    // C, whose history is in the common blocks, starts again from scratch;
    // D then continues its own run as if alone.
    Trace again;
    yc[0] = 1.0;
    start(c, &tc, 1, yc, dyc, DecayC);
    step(c, yc, 1, again);
    EXPECT_EQ(again.values.front(), aloneC.values.front());
    step(d, yd, 2, turnsD);
    EXPECT_EQ(turnsD.values, aloneD.values);
    EXPECT_EQ(turnsD.steps, aloneD.steps);
}

}  // namespace
