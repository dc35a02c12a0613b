#include "integrators/RungeKuttaFehlbergIntegrator.h"

#include <cmath>

namespace {

constexpr double kTiny = 2.2250738585072014e-308;  // floor of the error ratio
constexpr double kShrinkSafety = 0.8;
constexpr double kMinShrink = 0.1;
constexpr double kMaxGrowth = 5.0;

// An exact zero error passes even a zero tolerance.
double RatioToAllowed(double error, double allowed) { return error == 0.0 ? 0.0 : error / allowed; }

}  // namespace

RungeKuttaFehlbergIntegrator::RungeKuttaFehlbergIntegrator(int32_t algorithmCode, int32_t methodOrder,
                                                           const Tableau& tableau)
    : tableau_(tableau) {
    algorithm = algorithmCode;
    order = methodOrder;
}

const double* RungeKuttaFehlbergIntegrator::Stage(int j) const {
    if (j == tableau_.stages - 1) return derivatives;
    return workVectors[1 + j].data();
}

double RungeKuttaFehlbergIntegrator::Sum(const double* coefficients, int count, uint32_t i) const {
    double sum = 0.0;
    for (int j = 0; j < count; ++j)
        if (coefficients[j] != 0.0) sum += coefficients[j] * Stage(j)[i];
    return sum;
}

void RungeKuttaFehlbergIntegrator::SetStates(const Combination& combination, int count, double h) {
    const double scale = (h * combination.numerator) / combination.divisor;
    const double* y0 = workVectors[0].data();
    for (uint32_t i = 0; i < numOdeStates; ++i)
        states[i] = y0[i] + scale * Sum(combination.coefficients, count, i);
}

void RungeKuttaFehlbergIntegrator::EvaluateStages(double t0, double h) {
    const int last = tableau_.stages - 1;
    for (int j = 1; j <= last; ++j) {
        const StageRow& row = tableau_.rows[j - 1];
        SetStates(row.state, j, h);
        *indVar = t0 + (h * row.timeNumerator) / row.timeDivisor;
        StageEvaluation(row.message);
        if (j < last) {
            double* stage = workVectors[1 + j].data();
            for (uint32_t i = 0; i < numOdeStates; ++i) stage[i] = derivatives[i];
        }
    }
}

uint32_t RungeKuttaFehlbergIntegrator::LargestErrorState() {
    // The search starts at state 0 so the choice always names a state.
    uint32_t chosen = 0;
    double largest = 0.0;
    bool nanFound = false;
    for (uint32_t i = 0; i < numOdeStates; ++i) {
        const double e = std::fabs(Sum(tableau_.errorSum, tableau_.stages, i));
        currentErrors[i] = e;
        // The first NaN error is chosen (and then fails the attempt).
        const double ratio = RatioToAllowed(e, maxErrors[i]);
        const bool nan = std::isnan(ratio);
        if (!nanFound && (nan || ratio > largest)) {
            largest = ratio;
            chosen = i;
            nanFound = nan;
        }
    }
    return chosen;
}

void RungeKuttaFehlbergIntegrator::Step() {
    if (!Ready() || workVectors[0].size() < numOdeStates) return;  // not initialized, or finalized
    const double t0 = *indVar;
    const double c = tableau_.errorDivisor;
    const double p = tableau_.exponent;
    double h = stepSize;

    UpdateMaxErrorVector(false);
    BeginStep();
    double* y0 = workVectors[0].data();
    double* k1 = workVectors[1].data();
    for (uint32_t i = 0; i < numOdeStates; ++i) {
        y0[i] = states[i];
        k1[i] = derivatives[i];
    }

    int32_t attempt = 0;
    double ratio = kTiny;
    for (;;) {
        if (attempt > 0 && writeNormalData) {
            WriteStates();
            WriteDerivatives();
        }
        EvaluateStages(t0, h);

        const uint32_t chosen = LargestErrorState();
        ratio = kTiny;
        if (numOdeStates > 0) {
            if (attempt == 0) ++errorControlCounts[chosen];
            ratio = RatioToAllowed(std::fabs(h) * currentErrors[chosen], c * maxErrors[chosen]);
            if (ratio < kTiny) ratio = kTiny;
        }
        if (writeNormalData) {
            for (uint32_t i = 0; i < numOdeStates; ++i)
                currentErrors[i] = h * currentErrors[i] / (maxErrors[i] * c);
            WriteFormatted("Estimated error: numConvFails = %d", attempt);
            WriteCurrentErrors();
            WriteFormatted("State number %u has largest relative error of %lf", chosen, ratio);
        }
        if (ratio <= 1.0) break;

        if (h <= minStepSize) {
            minStepReached = true;
            AlgebraicUpdate();
            CalculateDerivatives();
            settings.SetStopFlag(true);
            WriteFormatted("Cannot satisfy error criterion for state number %u.", chosen);
            return;
        }
        // A NaN error shrinks by the smallest factor, so the minimum step is reached.
        double factor = kShrinkSafety / std::pow(ratio, p);
        if (!(factor > kMinShrink)) factor = kMinShrink;
        const double shrunk = factor * h;
        h = shrunk > minStepSize ? shrunk : minStepSize;
        stepSize = h;
        ++attempt;
    }

    SetStates(tableau_.solution, tableau_.stages, h);
    *indVar = t0 + h;

    const double g = tableau_.growthNumerator / std::pow(ratio, p);
    const double growth = g > kMaxGrowth ? kMaxGrowth : (g > 1.0 ? g : 1.0);
    if (attempt == 0) stepSize = growth * h;
    stepSizeChanged = attempt > 0 || growth != 1.0;
}
