#pragma once

// Shared by the variable-step method tests: a test-owned model over static
// storage, and a driver loop that steps an integrator the way the solver does
// (remaining distance split into equal steps, proposal adopted when flagged,
// evaluation after every step).

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "integrators/Integrator.h"

namespace driver {

constexpr uint32_t kMaxStates = 8;

// Algebraic states follow the ODE states, residuals follow the derivatives.
struct Model {
    double t = 0.0;
    double x[kMaxStates] = {};      // ODE states, then algebraic states
    double f[kMaxStates] = {};      // derivatives, then residuals
    double init[kMaxStates] = {};
    uint32_t numOde = 0;
    uint32_t numAlg = 0;
    uint8_t stopFlag = 0;
    int evaluations = 0;
    void (*equations)(Model&) = nullptr;

    double* y() { return x; }
    double* dy() { return f; }
    double* z() { return x + numOde; }
    double* residual() { return f + numOde; }
};

inline Model model;

inline void Evaluate(uint32_t, uint32_t) {
    ++model.evaluations;
    model.equations(model);
}

// Resets the model, binds the integrator to it and sets uniform tolerances.
inline void Bind(Integrator& it, void (*equations)(Model&), uint32_t numOde, uint32_t numAlg,
                 std::initializer_list<double> start, double tolerance = 1e-4) {
    model = Model{};
    model.numOde = numOde;
    model.numAlg = numAlg;
    model.equations = equations;
    uint32_t k = 0;
    for (double v : start) model.x[k++] = v;
    it.settings.bind.stopFlag = &model.stopFlag;
    it.Initialize(&model.t, numOde, model.y(), model.dy(), model.init, numAlg, model.z(),
                  model.residual(), model.init + numOde, Evaluate);
    for (uint32_t i = 0; i < numOde + numAlg; ++i) {
        it.SetMaxAbsoluteError(i, tolerance);
        it.SetMaxRelativeError(i, tolerance);
    }
    it.initializationInProgress = false;
    it.CalculateDerivatives();
    model.evaluations = 0;
}

// The post-step work of the solver.
inline void AfterStep(Integrator& it) {
    it.postStepDerivEval = true;
    it.CalculateDerivatives();
    it.postStepDerivEval = false;
    if (it.numAlgStates != 0 && !it.CalculateAlgebraicStates()) it.settings.SetStopFlag(true);
}

struct Run {
    int steps = 0;
    int evaluations = 0;
    int maxOrder = 0;  // highest order seen after a step
};

// Integrates to tEnd from the step size h, as the solver's step loop does.
inline Run RunTo(Integrator& it, double tEnd, double h, int stepLimit = 200000) {
    Run run;
    const int before = model.evaluations;
    while (tEnd - model.t > 1e-12 * std::fmax(1.0, std::fabs(tEnd)) && !model.stopFlag &&
           run.steps < stepLimit) {
        const double remaining = tEnd - model.t;
        const int count = static_cast<int>(remaining / h + 0.999999);
        it.stepSize = count < 1 ? remaining : remaining / count;
        it.Step();
        h = it.stepSizeChanged ? it.stepSize : h;
        AfterStep(it);
        ++run.steps;
        if (it.order > run.maxOrder) run.maxOrder = it.order;
    }
    run.evaluations = model.evaluations - before;
    return run;
}

// Number of lines of the message buffer equal to `line`.
inline int CountLines(const std::string& buffer, const std::string& line) {
    int count = 0;
    std::size_t start = 0;
    while (start < buffer.size()) {
        std::size_t end = buffer.find('\n', start);
        if (end == std::string::npos) end = buffer.size();
        if (buffer.compare(start, end - start, line) == 0) ++count;
        start = end + 1;
    }
    return count;
}

}  // namespace driver
