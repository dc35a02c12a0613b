#include "integrators/RosenbrockIntegrator.h"

#include <cmath>

#include "numerics/Linpack.h"

namespace {

// Kaps-Rentrop parameter set.
constexpr double kGamma = 0.5;
constexpr double kA21 = 2.0;
constexpr double kA31 = 48.0 / 25.0;
constexpr double kA32 = 6.0 / 25.0;
constexpr double kC21 = -8.0;
constexpr double kC31 = 372.0 / 25.0;
constexpr double kC32 = 12.0 / 5.0;
constexpr double kC41 = -112.0 / 125.0;
constexpr double kC42 = -54.0 / 125.0;
constexpr double kC43 = -2.0 / 5.0;
constexpr double kB1 = 19.0 / 9.0;
constexpr double kB2 = 1.0 / 2.0;
constexpr double kB3 = 25.0 / 108.0;
constexpr double kB4 = 125.0 / 108.0;
constexpr double kE1 = 17.0 / 54.0;
constexpr double kE2 = 7.0 / 36.0;
constexpr double kE3 = 0.0;
constexpr double kE4 = 125.0 / 108.0;
constexpr double kC1X = 1.0 / 2.0;
constexpr double kC2X = -1.5;
constexpr double kC3X = 121.0 / 50.0;
constexpr double kC4X = 29.0 / 250.0;
constexpr double kA2X = 1.0;
constexpr double kA3X = 0.6;

// Step control.
constexpr double kSafety = 0.9;
constexpr double kGrowthLimit = 1.5;
constexpr double kGrowthExponent = -0.25;
constexpr double kShrinkExponent = -1.0 / 3.0;
constexpr double kShrinkLimit = 0.5;
constexpr double kGrowthThreshold = 0.1296;  // (kGrowthLimit / kSafety)^-4
constexpr int kMaxAttempts = 40;

}  // namespace

RosenbrockIntegrator::RosenbrockIntegrator() {
    algorithm = AlgorithmRosenbrock;
    order = 0;
}

bool RosenbrockIntegrator::InitializeMethod() {
    const std::size_t n = numOdeStates;
    savedStates.assign(n, 0.0);
    savedDerivatives.assign(n, 0.0);
    jacobian.Allocate(n, n);
    timeDerivatives.assign(n, 0.0);
    iterationMatrix.Allocate(n, n);
    pivots.assign(n, 0);
    conditionWork.assign(n, 0.0);
    for (auto* g : {&g1, &g2, &g3, &g4}) g->assign(n, 0.0);
    errorEstimate.assign(n, 0.0);
    return true;
}

void RosenbrockIntegrator::Finalize() {
    for (auto* v : {&savedStates, &savedDerivatives, &timeDerivatives, &conditionWork, &g1, &g2, &g3,
                    &g4, &errorEstimate})
        std::vector<double>().swap(*v);
    std::vector<int32_t>().swap(pivots);
    jacobian.Release();
    iterationMatrix.Release();
    Integrator::Finalize();
}

void RosenbrockIntegrator::FactorIterationMatrix(double h) {
    const uint32_t n = numOdeStates;
    const double diagonal = 1.0 / (kGamma * h);
    for (uint32_t i = 0; i < n; ++i) {
        double* row = iterationMatrix[i];
        for (uint32_t j = 0; j < n; ++j) row[j] = -jacobian[j][i];
        row[i] += diagonal;
    }
    // The condition estimate is not acted upon: a singular matrix shows as a
    // failed error test.
    double rcond = 0.0;
    const auto size = static_cast<int32_t>(n);
    Linpack::GaussCond(iterationMatrix.Vectors(), size, size, pivots.data(), rcond, conditionWork.data());
}

void RosenbrockIntegrator::Solve(std::vector<double>& rhs) {
    const auto size = static_cast<int32_t>(numOdeStates);
    Linpack::GaussSolve(iterationMatrix.Vectors(), size, size, pivots.data(), rhs.data(), 0);
}

double RosenbrockIntegrator::Attempt(double t0, double h) {
    const uint32_t n = numOdeStates;
    const double* y0 = savedStates.data();
    const double* f0 = savedDerivatives.data();
    const double* dfdt = timeDerivatives.data();
    const bool linearAlgebra = n > 0;

    if (linearAlgebra) FactorIterationMatrix(h);

    for (uint32_t i = 0; i < n; ++i) g1[i] = f0[i] + (h * kC1X) * dfdt[i];
    if (linearAlgebra) Solve(g1);

    for (uint32_t i = 0; i < n; ++i) states[i] = y0[i] + kA21 * g1[i];
    *indVar = t0 + kA2X * h;
    AlgebraicUpdate();
    CalculateDerivatives();

    for (uint32_t i = 0; i < n; ++i) g2[i] = derivatives[i] + (h * kC2X) * dfdt[i] + kC21 * g1[i] / h;
    if (linearAlgebra) Solve(g2);

    for (uint32_t i = 0; i < n; ++i) states[i] = y0[i] + kA31 * g1[i] + kA32 * g2[i];
    *indVar = t0 + kA3X * h;
    AlgebraicUpdate();
    CalculateDerivatives();

    for (uint32_t i = 0; i < n; ++i)
        g3[i] = derivatives[i] + (h * kC3X) * dfdt[i] + (kC31 * g1[i] + kC32 * g2[i]) / h;
    if (linearAlgebra) Solve(g3);
    for (uint32_t i = 0; i < n; ++i)
        g4[i] = derivatives[i] + (h * kC4X) * dfdt[i] + (kC41 * g1[i] + kC42 * g2[i] + kC43 * g3[i]) / h;
    if (linearAlgebra) Solve(g4);

    double err = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
        states[i] = y0[i] + kB1 * g1[i] + kB2 * g2[i] + kB3 * g3[i] + kB4 * g4[i];
        errorEstimate[i] = kE1 * g1[i] + kE2 * g2[i] + kE3 * g3[i] + kE4 * g4[i];
        // A NaN estimate fails the step; an exact zero passes even a zero tolerance.
        const double ratio = errorEstimate[i] == 0.0 ? 0.0 : std::fabs(errorEstimate[i] / maxErrors[i]);
        if (std::isnan(ratio) || ratio > err) err = ratio;
    }
    *indVar = t0 + h;
    if (*indVar == t0) WriteMessage("Warning: step size not significant in Rosenbrock integrator.");
    return err;
}

void RosenbrockIntegrator::Step() {
    if (!Ready() || savedStates.size() < numOdeStates) return;
    const uint32_t n = numOdeStates;
    const double t0 = *indVar;
    const double entryStepSize = stepSize;
    double h = stepSize;

    UpdateMaxErrorVector(true);
    // The start point is evaluated afresh, flagged as the step's first
    // evaluation: after a restore, an event or an outside change the stored
    // derivatives describe another point, and the start-of-step event values
    // and operator samples must come from the point the step starts at.
    AlgebraicUpdate();
    FirstEvaluation();
    for (uint32_t i = 0; i < n; ++i) {
        savedStates[i] = states[i];
        savedDerivatives[i] = derivatives[i];
    }
    CalculateJacobian(OdeJacobian, jacobian.Vectors());
    CalculateSecondDerivatives(timeDerivatives.data());

    for (int attempt = 0; attempt < kMaxAttempts && !StopRequested(); ++attempt) {
        const double err = Attempt(t0, h);
        if (err <= 1.0) {
            const double proposal =
                err > kGrowthThreshold ? kSafety * h * std::pow(err, kGrowthExponent) : kGrowthLimit * h;
            stepSize = proposal;
            stepSizeChanged = proposal != entryStepSize;
            return;
        }
        const double shrunk = kSafety * h * std::pow(err, kShrinkExponent);
        stepSize = shrunk;
        // A NaN error falls back to the shrink limit.
        const double limit = kShrinkLimit * h;
        if (h > 0.0)
            h = shrunk > limit ? shrunk : limit;
        else
            h = shrunk < limit ? shrunk : limit;
    }
    WriteMessage("Error: exceeded maximum number of iterations in Rosenbrock integrator.");
    settings.SetStopFlag(true);
}
