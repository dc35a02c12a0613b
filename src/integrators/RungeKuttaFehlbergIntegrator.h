#pragma once

#include <cstdint>

#include "integrators/Integrator.h"

// Step control shared by the embedded Fehlberg pairs. A pair is described by
// its tableau; each Step takes one accepted step (shrinking and retrying as
// often as needed, k1 evaluated once per step), advances the higher-order
// solution and proposes the next step size.
class RungeKuttaFehlbergIntegrator : public Integrator {
public:
    static constexpr int kMaxStages = 6;

    // y0 + ((h * numerator) / divisor) * (c_1 k_1 + c_2 k_2 + ...), summed in stage order.
    struct Combination {
        double numerator;
        double divisor;
        double coefficients[kMaxStages];
    };
    // A stage after the first: evaluated at t0 + (h * timeNumerator) / timeDivisor.
    struct StageRow {
        double timeNumerator;
        double timeDivisor;
        Combination state;
        const char* message;
    };
    struct Tableau {
        int stages;                          // including k1
        StageRow rows[kMaxStages - 1];       // k2 .. k_stages
        double errorSum[kMaxStages];         // E = |e_1 k_1 + e_2 k_2 + ...|
        Combination solution;                // the accepted, higher-order solution
        double errorDivisor;                 // local error = h * E / errorDivisor
        double exponent;                     // of the shrink and growth factors
        double growthNumerator;
    };

    void Step() override;

protected:
    RungeKuttaFehlbergIntegrator(int32_t algorithmCode, int32_t methodOrder, const Tableau& tableau);

private:
    // Stage j (0-based): k1 and the middle stages live in work vectors 2..,
    // the last one is read from the derivatives.
    const double* Stage(int j) const;
    // Sum of coefficient * stage value of state i over the first `count` stages.
    double Sum(const double* coefficients, int count, uint32_t i) const;
    // States at y0 plus a combination of the first `count` stages.
    void SetStates(const Combination& combination, int count, double h);
    // k2 .. k_last of one attempt with step h from t0.
    void EvaluateStages(double t0, double h);
    // The ODE state with the largest E_i / maxErrors_i (the earlier one on
    // ties); stores every E_i in currentErrors.
    uint32_t LargestErrorState();

    const Tableau& tableau_;
};
