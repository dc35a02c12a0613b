#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "integrators/EulerIntegrator.h"
#include "common/TextException.h"

namespace {

// Model storage owned by the tests; the derivative functions below read it.
double t;
double y[2];
double dy[2];
double ic[2];
double z[2];
double r[2];
double zic[2];
uint8_t stopVariable;
int calls;
volatile double zero = 0.0;

void Reset() {
    t = 0.0;
    for (int i = 0; i < 2; ++i) y[i] = dy[i] = ic[i] = z[i] = r[i] = zic[i] = 0.0;
    stopVariable = 0;
    calls = 0;
}

// dy0 = 2 y0 + 3 y1, dy1 = -y0 + y1·y1: Jacobian [[2, 3], [-1, 2 y1]].
void Linear(uint32_t, uint32_t) {
    ++calls;
    dy[0] = 2 * y[0] + 3 * y[1];
    dy[1] = -y[0] + y[1] * y[1];
}

// Slope 1 below y0 = 1 and 10 above: a kink the nonlinearity test sees.
void Kinked(uint32_t, uint32_t) {
    ++calls;
    dy[0] = y[0] <= 1.0 ? y[0] : 1.0 + 10.0 * (y[0] - 1.0);
}

// Holds the state at or above 1, so the lower difference point is overwritten.
void Clamping(uint32_t, uint32_t) {
    ++calls;
    dy[0] = 4.0 * y[0];
    if (y[0] < 1.0) y[0] = 1.0;
}

// Row 0 drifts with every call; row 1 is repeatable.
void Drifting(uint32_t, uint32_t) {
    ++calls;
    dy[0] = y[0] + calls * 1e-3;
    dy[1] = y[1];
}

void RequestsStop(uint32_t, uint32_t) {
    ++calls;
    dy[0] = y[0];
    stopVariable = 1;
}

// The host's OrvoStop landing during the evaluations.
IntegratorSettings* hostSettings = nullptr;
void HostStops(uint32_t, uint32_t) {
    dy[0] = y[0];
    if (hostSettings) hostSettings->CountHostStop();
    stopVariable = 1;
}

void ThrowsBelowOne(uint32_t, uint32_t) {
    dy[0] = y[0];
    if (y[0] < 1.0) throw TextException("model fault");
}

void DividesByZero(uint32_t, uint32_t) { dy[0] = 1.0 / zero; }
void ThrowsForeign(uint32_t, uint32_t) { throw std::runtime_error("foreign"); }

// ODE part dy0 = y0 + z0; residuals r0 = 3 z0 - z1 + y0, r1 = z0·z1 - 2.
void Mixed(uint32_t, uint32_t) {
    ++calls;
    dy[0] = y[0] + z[0];
    r[0] = 3 * z[0] - z[1] + y[0];
    r[1] = z[0] * z[1] - 2;
}

// dy0 = t² y0: time partial 2 t y0.
void TimeDependent(uint32_t, uint32_t) {
    ++calls;
    dy[0] = t * t * y[0];
}

class IntegratorBase : public ::testing::Test {
protected:
    void SetUp() override {
        Reset();
        integrator.initializationInProgress = false;
        integrator.settings.bind.stopFlag = &stopVariable;
    }
    void Init(uint32_t odeStates, uint32_t algStates, DerivativeFunction f) {
        ASSERT_TRUE(integrator.Initialize(&t, odeStates, y, dy, ic, algStates, z, r, zic, f));
    }
    void Validity(bool twoSided, bool validity) {
        integrator.twoSidedMatrixEval = twoSided;
        integrator.computeJacobValidity = validity;
    }
    std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        std::string text = integrator.TakeMessages();
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(text.substr(start, end - start));
        return lines;
    }
    EulerIntegrator integrator;
};

TEST_F(IntegratorBase, NoStatesAllocatesNothingAndIgnoresTolerances) {
    Init(0, 0, Linear);
    EXPECT_EQ(integrator.numStates, 0u);
    EXPECT_EQ(integrator.maxAbsErrors, nullptr);
    EXPECT_TRUE(integrator.workVectors[0].empty());
    integrator.SetMaxAbsoluteError(0, 1.0);  // no vector to write into
    integrator.WriteCurrentErrors();
    EXPECT_TRUE(integrator.TakeMessages().empty());
}

TEST_F(IntegratorBase, WorkAreasTolerancesAndInitialConditions) {
    Init(2, 1, Mixed);
    EXPECT_EQ(integrator.numStates, 3u);
    for (auto& w : integrator.workVectors) EXPECT_EQ(w.size(), 3u);
    EXPECT_EQ(integrator.algJacobian.Count(), 1u);
    EXPECT_EQ(integrator.maxRelErrors[2], 1e-4);
    integrator.SetMaxAbsoluteError(3, 5.0);  // out of range: ignored
    integrator.SetMaxAbsoluteError(2, 5.0);
    EXPECT_EQ(integrator.maxAbsErrors[2], 5.0);

    ic[1] = 2; zic[0] = 3;
    integrator.CopyInitCondsToStates();
    EXPECT_EQ(y[1], 2.0);
    EXPECT_EQ(z[0], 3.0);
    y[0] = 7;
    integrator.CopyStatesToInitConds();
    EXPECT_EQ(ic[0], 7.0);

    integrator.Finalize();
    EXPECT_EQ(integrator.maxAbsErrors, nullptr);
    EXPECT_TRUE(integrator.jacobianWork[1].empty());
    EXPECT_TRUE(integrator.algInverse.Empty());
}

TEST_F(IntegratorBase, AllowedErrorsFromStatesAndTolerances) {
    Init(2, 1, Mixed);
    y[0] = 10.0;
    y[1] = -0.5;
    z[0] = 100.0;
    integrator.UpdateMaxErrorVector(false);
    EXPECT_DOUBLE_EQ(integrator.maxErrors[0], 1e-3);
    EXPECT_DOUBLE_EQ(integrator.maxErrors[1], 1e-4);
    EXPECT_EQ(integrator.maxErrors[2], 0.0);
    integrator.SetMaxRelativeError(2, 1e-2);
    integrator.UpdateMaxErrorVector(true);
    EXPECT_DOUBLE_EQ(integrator.maxErrors[2], 1.0);
}

TEST_F(IntegratorBase, DerivativeFaultsBecomeTextExceptions) {
    Init(1, 0, DividesByZero);
    try {
        integrator.CalculateDerivatives();
        FAIL() << "no exception";
    } catch (const TextException& e) {
        EXPECT_STREQ(e.Text(), "floating point error");
    }
    integrator.initializationInProgress = true;  // the model's initial section is not checked
    EXPECT_NO_THROW(integrator.CalculateDerivatives());
    integrator.initializationInProgress = false;

    integrator.SetDerivativeFunction(ThrowsForeign);
    try {
        integrator.CalculateDerivatives();
        FAIL() << "no exception";
    } catch (const TextException& e) {
        EXPECT_STREQ(e.Text(), "unknown exception");
    }
    y[0] = 0.0;
    integrator.SetDerivativeFunction(ThrowsBelowOne);
    try {
        integrator.CalculateDerivatives();
        FAIL() << "no exception";
    } catch (const TextException& e) {
        EXPECT_STREQ(e.Text(), "model fault");
    }
    integrator.SetDerivativeFunction(nullptr);
    EXPECT_NO_THROW(integrator.CalculateDerivatives());
}

TEST_F(IntegratorBase, JacobianDifferencesAndEvaluationCounts) {
    Init(2, 0, Linear);
    y[0] = 1.0;
    y[1] = 3.0;
    integrator.maxErrors = {1e-3, 1e-3};  // increments of 1e-3
    double* columns[2] = {integrator.workVectors[3].data(), integrator.workVectors[4].data()};
    struct Case { bool twoSided, validity; int evaluations; double quadratic; };
    // Central differences are exact for the quadratic term; backward ones are off by d.
    for (const Case& c : {Case{false, false, 4, 5.999}, Case{true, false, 6, 6.0}, Case{false, true, 8, 6.0}}) {
        Validity(c.twoSided, c.validity);
        calls = 0;
        ASSERT_TRUE(integrator.CalculateJacobian(OdeJacobian, columns));
        EXPECT_EQ(calls, c.evaluations);
        EXPECT_NEAR(columns[0][0], 2.0, 1e-9);
        EXPECT_NEAR(columns[0][1], -1.0, 1e-9);
        EXPECT_NEAR(columns[1][0], 3.0, 1e-9);
        EXPECT_NEAR(columns[1][1], c.quadratic, 1e-9);
        EXPECT_EQ(y[0], 1.0);  // restored, derivatives consistent again
        EXPECT_EQ(dy[1], 8.0);
    }
    EXPECT_TRUE(integrator.TakeMessages().empty());
    calls = 0;
    EXPECT_TRUE(integrator.CalculateJacobian(static_cast<JacobianType>(9), columns));
    EXPECT_EQ(calls, 0);
}

TEST_F(IntegratorBase, JacobianReportsNonlinearity) {
    Init(1, 0, Kinked);
    y[0] = 1.0;
    t = 2.5;
    double* columns[1] = {integrator.workVectors[3].data()};
    Validity(false, true);
    integrator.CalculateJacobian(OdeJacobian, columns);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    double measure = 0;
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "Jacobian non-linear measure for row 0 and column 0 is %lf.", &measure), 1);
    EXPECT_NEAR(measure, 4.5 / 11.0, 1e-5);
    EXPECT_EQ(lines[1], "Independent variable value 2.500000.");
    EXPECT_EQ(lines[2], "");
    EXPECT_NEAR(columns[0][0], 5.5, 1e-6);
}

TEST_F(IntegratorBase, JacobianReportsStateChangedByModel) {
    Init(1, 0, Clamping);
    y[0] = 1.0;
    double* columns[1] = {integrator.workVectors[3].data()};
    Validity(true, false);
    integrator.CalculateJacobian(OdeJacobian, columns);
    EXPECT_EQ(Lines(), std::vector<std::string>{"State changed in Jacobian evaluation: 0."});
    EXPECT_NEAR(columns[0][0], 4.0, 1e-6);  // still computed from the perturbed values
    EXPECT_EQ(y[0], 1.0);
}

TEST_F(IntegratorBase, NonRepeatableRowReportedOncePerJacobian) {
    Init(2, 0, Drifting);
    double* columns[2] = {integrator.workVectors[3].data(), integrator.workVectors[4].data()};
    Validity(false, true);
    for (int repeat = 0; repeat < 2; ++repeat) {
        integrator.CalculateJacobian(OdeJacobian, columns);
        const auto lines = Lines();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0], "Derivative function evaluation not repeatable for row number 0.");
        EXPECT_EQ(lines[1], "Independent variable value 0.000000.");
    }
}

TEST_F(IntegratorBase, JacobianDiscardsStopRequestedByModel) {
    Init(1, 0, RequestsStop);
    double* columns[1] = {integrator.workVectors[3].data()};
    integrator.CalculateJacobian(OdeJacobian, columns);
    EXPECT_EQ(stopVariable, 0);
    integrator.settings.SetStopFlag(true);
    integrator.CalculateJacobian(OdeJacobian, columns);
    EXPECT_EQ(stopVariable, 1);

    // A stop the host requested meanwhile is kept, through settings that share
    // the solver's counter.
    IntegratorSettings solverSettings;
    integrator.settings.Copy(&solverSettings);
    integrator.settings.bind.stopFlag = &stopVariable;
    hostSettings = &solverSettings;
    integrator.SetDerivativeFunction(&HostStops);
    stopVariable = 0;
    integrator.CalculateJacobian(OdeJacobian, columns);
    hostSettings = nullptr;
    EXPECT_EQ(stopVariable, 1);
}

TEST_F(IntegratorBase, JacobianRestoresStateWhenModelThrows) {
    Init(1, 0, ThrowsBelowOne);
    y[0] = 1.0;
    double* columns[1] = {integrator.workVectors[3].data()};
    EXPECT_THROW(integrator.CalculateJacobian(OdeJacobian, columns), TextException);
    EXPECT_EQ(y[0], 1.0);
}

TEST_F(IntegratorBase, AlgebraicAndFullJacobiansOverSeparateStorage) {
    Validity(true, false);
    z[0] = 1.0;
    z[1] = 2.0;
    Init(0, 2, Mixed);  // only algebraic states: the full walk starts at them
    std::vector<double> storage[3] = {std::vector<double>(3), std::vector<double>(3), std::vector<double>(3)};
    double* columns[3] = {storage[0].data(), storage[1].data(), storage[2].data()};
    integrator.CalculateJacobian(FullJacobian, columns);
    EXPECT_NEAR(columns[0][0], 3.0, 1e-6);
    EXPECT_NEAR(columns[1][0], -1.0, 1e-6);
    EXPECT_NEAR(columns[0][1], 2.0, 1e-6);
    EXPECT_NEAR(columns[1][1], 1.0, 1e-6);

    Init(1, 2, Mixed);  // states and algebraic states live in different arrays here
    y[0] = 0.5;
    integrator.CalculateJacobian(FullJacobian, columns);
    const double expected[3][3] = {{1, 1, 0}, {1, 3, -1}, {0, 2, 1}};  // [row][column]
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(columns[j][i], expected[i][j], 1e-6) << i << "," << j;
    integrator.CalculateJacobian(AlgebraicJacobian, columns);
    EXPECT_NEAR(columns[1][0], -1.0, 1e-6);
    EXPECT_NEAR(columns[0][1], 2.0, 1e-6);
}

TEST_F(IntegratorBase, TimePartialRestoresTimeAndDerivatives) {
    Init(1, 0, TimeDependent);
    t = 3.0;
    y[0] = 2.0;
    double partial = 0;
    ASSERT_TRUE(integrator.CalculateSecondDerivatives(&partial));
    EXPECT_NEAR(partial, 12.0, 1e-5);
    EXPECT_EQ(t, 3.0);
    EXPECT_EQ(dy[0], 18.0);
}

TEST_F(IntegratorBase, TraceFormats) {
    Init(1, 1, Mixed);
    t = 0.25;
    y[0] = 1.5;
    dy[0] = -2.0;
    z[0] = 3.0;
    r[0] = 1e-7;
    integrator.WriteStates();
    integrator.currentErrors[1] = 0.5;
    integrator.WriteCurrentErrors();
    double column0[2] = {1, 2}, column1[2] = {3, 4};
    double* columns[2] = {column0, column1};
    integrator.WriteMatrix(columns, 2, 2);
    integrator.WriteStatistics();  // Euler: nothing
    const std::vector<std::string> expected = {
        "Ind Var:     0.250000",
        "ODE States: ",
        "  States:     1.500000",
        "  Derivs:    -2.000000",
        "DAE States: ",
        "  States:     3.000000",
        "  Derivs:     0.000000",
        "Current Errors: ",
        "    0.000000,     0.500000",
        "    1.000000     3.000000 ",
        "    2.000000     4.000000 ",
    };
    EXPECT_EQ(Lines(), expected);

    integrator.algorithm = AlgorithmRungeKuttaFehlberg5;
    integrator.errorControlCounts[1] = 12;
    integrator.WriteStatistics();
    EXPECT_EQ(Lines(), (std::vector<std::string>{"Count of times state controlled step size",
                                                 "State:     0,  Error Controlled:     0",
                                                 "State:     1,  Error Controlled:    12"}));
}

TEST_F(IntegratorBase, LongMessagesAreNotTruncated) {
    const std::string text(2000, 'x');
    integrator.WriteFormatted("%s|%d", text.c_str(), 7);
    EXPECT_EQ(integrator.TakeMessages(), text + "|7\n");
    EXPECT_TRUE(integrator.TakeMessages().empty());
}

}  // namespace
