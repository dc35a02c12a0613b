#pragma once

#include <cstdint>
#include <vector>

#include "integrators/Integrator.h"
#include "numerics/Matrix.h"

// Variable-order, variable-step multi-value method in Nordsieck form: the
// solution is carried as z_j = h^j y^(j) / j!, j = 0..q, predicted with the
// binomial triangle and corrected by functional iteration (Adams-Moulton) or a
// Newton iteration with I - l0 h J (Gear). The error estimate drives step size
// and order. The subclasses select the formula family.
class MultiValueMethodIntegrator : public Integrator {
public:
    static constexpr int kNordsieckVectors = 8;
    static constexpr int kMaxAdamsOrder = 7;
    static constexpr int kMaxGearOrder = 6;

    // Negated Nordsieck l-vectors; AQPT gives the index of l_0 for order q:
    // entry q - 1 (Adams) or 10 + q - 1 (Gear).
    static const double ACOEF[64];
    static const int32_t AQPT[24];
    static const double ERTST[2][10];   // error-test constants by family and order
    static const double ADCOEF[2][10];  // new highest component on an order increase
    static const double BNDT[12];       // corrector convergence bound, entry q - 1
    static const double QFAC[10];       // entry q - 1 is q!
    static const double PRMN[2];        // smallest factor worth a change

    MultiValueMethodIntegrator();
    bool InitializeMethod() override;
    void Finalize() override;
    void Step() override;
    void WriteStatistics() override;

    // Rescales nordsieck into predicted for the current step size and order.
    void ChangeBasis();
    // The predictor on predicted.
    void UpdateNordsieckVector();
    // Zeros every vector of nordsieck and predicted.
    void ClearWorkAreas();
    // Builds I - l0 h J over the ODE block and factorizes it; info is the zero-pivot report.
    void CalculateInverseTransitionMatrix(int32_t& info);
    // Full difference Jacobian with the algebraic states eliminated from the
    // ODE block; info is non-zero for a singular algebraic block.
    void CalculateJacobianGeneralMatrix(int32_t& info);

    int32_t ordersToNextChange = -2;
    double previousStepSize = 1.0;
    int32_t numLuDecompositions = 0;
    Matrix nordsieck;  // 8 vectors of numOdeStates
    std::vector<double> accumulatedCorrection;
    Matrix predicted;  // 8 vectors of numOdeStates
    Matrix fullJacobian;
    Matrix iterationMatrix;  // rows, for the dense linear algebra
    std::vector<int32_t> pivots;
    Matrix algebraicBlock;  // rows
    std::vector<int32_t> algebraicPivots;
    std::vector<double> algebraicWork;
    std::vector<double> relativeCorrections;
    std::vector<int32_t> correctorResets;
    std::vector<double> previousCorrection;

private:
    enum class Choice { Lower, Same, Higher };
    enum class Correction { Converged, Diverged, Stopped };

    bool Gear() const { return algorithm == AlgorithmGear; }
    int Family() const { return Gear() ? 1 : 0; }
    // maxOrder limited to what the coefficient tables hold.
    int32_t OrderLimit() const;
    // Negated l_j of the current order and family.
    double NegatedL(int j) const;
    // Starts again at order 1 from the current point with a fresh Jacobian.
    void Restart();
    // CalculateJacobianGeneralMatrix with its failure report; counts the evaluation.
    void RefreshJacobian();
    // Rescales (and for Gear refactorizes) for the current step size and
    // order; false after a zero pivot.
    bool PrepareAttempt();
    // Up to three corrector iterations; `worst` receives the last state that
    // missed the convergence bound.
    Correction Correct(double h, int32_t failures, uint32_t& worst);
    // Largest |v_i| / maxErrors_i over the ODE states (the later state on ties).
    double LargestRatio(const double* v, uint32_t& state) const;
    // Step factor and order after an error test (same, one lower, one higher).
    double ChooseFactor(double errorRatio, int32_t failures, Choice& choice);
    // Applies the order choice unless the factor is not worth a change.
    double ApplyChoice(double factor, int32_t failures, Choice choice);
    // After repeated failures: abandons the step at order 1 and the minimum
    // step (true), else halves the step and drops the order.
    bool GiveUpOrReduce(double h, uint32_t state, int32_t& failures, double& factor);

    int32_t preparedOrder_ = 0;  // order for which predicted and the iteration matrix were built
};
