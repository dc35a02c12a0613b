#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "integrators/AdamsBashforth2Integrator.h"
#include "integrators/DasslIntegrator.h"
#include "integrators/EulerIntegrator.h"
#include "integrators/RungeKutta2Integrator.h"
#include "integrators/RungeKutta4Integrator.h"
#include "common/TextException.h"

namespace {

double t;
double y[1];
double dy[1];
double ic[1];
double z[1];
double r[1];
double zic[1];
uint8_t stopVariable;
int calls;
int firstCalls;
const Integrator* current;  // lets the models see the integrator's flags
volatile double zero = 0.0;

void Count() {
    ++calls;
    if (current && current->firstDerivEval) ++firstCalls;
}
void Growth(uint32_t, uint32_t) { Count(); dy[0] = y[0]; }
void Constant(uint32_t, uint32_t) { Count(); dy[0] = 1.0; }
void Residual(uint32_t, uint32_t) { Count(); r[0] = z[0] - 2.0; }
void FaultsAfterStart(uint32_t, uint32_t) { Count(); dy[0] = t > 0.0 ? 1.0 / zero : 1.0; }

enum Kind { Euler, RK2, RK4, AB2 };

std::unique_ptr<Integrator> Make(Kind kind) {
    switch (kind) {
        case Euler: return std::make_unique<EulerIntegrator>();
        case RK2: return std::make_unique<RungeKutta2Integrator>();
        case RK4: return std::make_unique<RungeKutta4Integrator>();
        case AB2: return std::make_unique<AdamsBashforth2Integrator>();
    }
    return nullptr;
}

class FixedStep : public ::testing::Test {
protected:
    Integrator& Start(Kind kind, DerivativeFunction f, uint32_t odeStates = 1, uint32_t algStates = 0) {
        t = 0.0;
        y[0] = 1.0;
        dy[0] = z[0] = r[0] = 0.0;
        stopVariable = 0;
        calls = firstCalls = 0;
        integrator = Make(kind);
        current = integrator.get();
        integrator->settings.bind.stopFlag = &stopVariable;
        integrator->initializationInProgress = false;
        integrator->stepSize = 0.1;
        EXPECT_TRUE(integrator->Initialize(&t, odeStates, y, dy, ic, algStates, z, r, zic, f));
        return *integrator;
    }
    void TearDown() override { current = nullptr; }
    std::unique_ptr<Integrator> integrator;
};

TEST_F(FixedStep, OneStepOfExponentialGrowth) {
    const struct { Kind kind; double expected; int evaluations; } cases[] = {
        {Euler, 1.1, 2}, {RK2, 1.105, 2}, {RK4, 1.0 + 0.1 + 0.005 + 0.1 / 600 + 0.1 / 24000, 4}, {AB2, 1.1, 1}};
    for (const auto& c : cases) {
        Integrator& method = Start(c.kind, Growth);
        method.Step();
        EXPECT_NEAR(y[0], c.expected, 1e-15) << method.algorithm;
        EXPECT_DOUBLE_EQ(t, 0.1);
        EXPECT_EQ(calls, c.evaluations);
        EXPECT_EQ(firstCalls, 1);  // only the evaluation at the step's start
        EXPECT_FALSE(method.firstDerivEval);
        EXPECT_FALSE(method.stepSizeChanged);
    }
}

TEST_F(FixedStep, ConstantSlopeAdvancesExactly) {
    for (Kind kind : {Euler, RK2, RK4, AB2}) {
        Integrator& method = Start(kind, Constant);
        for (int step = 1; step <= 5; ++step) {
            method.Step();
            EXPECT_NEAR(y[0], 1.0 + 0.1 * step, 1e-14) << method.algorithm;
            EXPECT_NEAR(t, 0.1 * step, 1e-14);
        }
    }
}

TEST_F(FixedStep, AdamsBashforthHistoryAndRestarts) {
    auto& method = static_cast<AdamsBashforth2Integrator&>(Start(AB2, Growth));
    method.Step();  // Euler: 1.1
    method.Step();  // 1.1 + 0.05·(3·1.1 − 1)
    EXPECT_NEAR(y[0], 1.215, 1e-14);
    EXPECT_FALSE(method.firstStep);

    y[0] = 2.0;  // changed from outside: one Euler step
    method.Step();
    EXPECT_NEAR(y[0], 2.2, 1e-14);
    method.Step();
    EXPECT_NEAR(y[0], 2.2 + 0.05 * (3 * 2.2 - 2.0), 1e-14);

    const double before = y[0];
    method.restartRequested = true;
    method.Step();
    EXPECT_NEAR(y[0], before * 1.1, 1e-14);
    EXPECT_FALSE(method.restartRequested);

    method.Finalize();
    EXPECT_TRUE(method.previousStates.empty());
    EXPECT_EQ(method.maxAbsErrors, nullptr);
}

TEST_F(FixedStep, TraceMessagesPerStage) {
    Integrator& rk4 = Start(RK4, Growth);
    rk4.writeNormalData = true;
    rk4.Step();
    const std::string text = rk4.TakeMessages();
    std::vector<std::string> stages;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (line.rfind("Ind Var:", 0) != 0 && line.rfind("  ", 0) != 0 && line != "ODE States: ")
            stages.push_back(line);
    }
    EXPECT_EQ(stages, (std::vector<std::string>{"Start of step.", "Second derivative evaluation.",
                                                "Third derivative evaluation.", "Fourth derivative evaluation."}));
    EXPECT_NE(text.find("Start of step.\nInd Var:     0.000000\nODE States: \n  States:     1.000000\n"
                        "  Derivs:     1.000000\n"),
              std::string::npos);

    Integrator& euler = Start(Euler, Growth);
    euler.writeNormalData = true;
    euler.Step();
    const std::string eulerText = euler.TakeMessages();
    EXPECT_NE(eulerText.find("Start of step.\nInd Var:     0.100000\n"), std::string::npos);  // end point
    const std::size_t first = eulerText.find("Start of step.");
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(eulerText.find("Start of step.", first + 1), eulerText.rfind("Start of step."));  // exactly twice
    EXPECT_NE(first, eulerText.rfind("Start of step."));
}

TEST_F(FixedStep, FailedAlgebraicUpdateSetsStopFlagAndStepGoesOn) {
    struct Failing : EulerIntegrator {
        int solves = 0;
        bool CalculateAlgebraicStates() override { ++solves; return false; }
    };
    Failing method;
    t = 0.0;
    y[0] = 1.0;
    stopVariable = 0;
    method.settings.bind.stopFlag = &stopVariable;
    method.initializationInProgress = false;
    method.stepSize = 0.1;
    method.Initialize(&t, 1, y, dy, ic, 1, z, r, zic, Growth);
    method.Step();
    EXPECT_EQ(method.solves, 2);  // before each evaluation
    EXPECT_EQ(stopVariable, 1);
    EXPECT_NEAR(y[0], 1.1, 1e-15);
}

TEST_F(FixedStep, AlgebraicOnlySystemAdvancesTimeOnly) {
    for (Kind kind : {Euler, RK2, RK4, AB2}) {
        Integrator& method = Start(kind, Residual, 0, 1);
        method.Step();
        EXPECT_DOUBLE_EQ(t, 0.1);
        EXPECT_EQ(y[0], 1.0);
        EXPECT_GT(calls, 0);
    }
    Integrator& empty = Start(RK4, Residual, 0, 0);
    empty.Step();
    EXPECT_DOUBLE_EQ(t, 0.1);
}

TEST_F(FixedStep, DivisionByZeroInStageEndsTheStep) {
    Integrator& method = Start(RK4, FaultsAfterStart);
    try {
        method.Step();
        FAIL() << "no exception";
    } catch (const TextException& e) {
        EXPECT_STREQ(e.Text(), "floating point error");
    }
}

TEST_F(FixedStep, PlaceholdersDoNothing) {
    DasslIntegrator dassl;
    t = 0.0;
    y[0] = 1.0;
    ASSERT_TRUE(dassl.Initialize(&t, 1, y, dy, ic, 0, z, r, zic, Growth));
    dassl.Step();
    EXPECT_EQ(t, 0.0);
    EXPECT_EQ(y[0], 1.0);
    RungeKutta4Integrator uninitialized;
    uninitialized.Step();  // before Initialize: nothing to advance, no crash
}

}  // namespace
