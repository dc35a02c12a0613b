#pragma once

#include <cstdint>
#include <vector>

#include "integrators/Integrator.h"
#include "numerics/Matrix.h"

// Four-stage, fourth-order Kaps-Rentrop method with an embedded third-order
// error estimate, for stiff systems. One difference Jacobian and one time
// partial per step, one factorization and four solves per attempt. Algebraic
// states are only re-solved before each evaluation.
class RosenbrockIntegrator : public Integrator {
public:
    RosenbrockIntegrator();
    bool InitializeMethod() override;
    void Finalize() override;
    void Step() override;

    // All sized numOdeStates.
    std::vector<double> savedStates;
    std::vector<double> savedDerivatives;
    Matrix jacobian;         // columns: element i of column j is df_i/dy_j
    std::vector<double> timeDerivatives;
    Matrix iterationMatrix;  // rows, for the dense linear algebra
    std::vector<int32_t> pivots;
    std::vector<double> conditionWork;
    std::vector<double> g1, g2, g3, g4;
    std::vector<double> errorEstimate;

private:
    // One attempt with step h from t0; returns the error ratio.
    double Attempt(double t0, double h);
    // Builds 1/(gamma h) I - J and factorizes it.
    void FactorIterationMatrix(double h);
    // Solves the iteration matrix for rhs in place.
    void Solve(std::vector<double>& rhs);
};
