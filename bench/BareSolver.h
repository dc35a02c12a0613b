#pragma once

// The physical baseline of a whole run: DLSODES or CVODE called directly on
// the model's own derivative section, continuously from t = 0 to tstop at the
// run's tolerances, asked for the states at every communication point. The
// model's one right-hand-side switch inside the run (the last-week urine
// collection at tstop - 168 h) restarts the solver there, as any solver must.

#include <cstdint>
#include <vector>

enum class BareSolverKind { Dlsodes, Cvode };

struct BareRunFigures {
    uint64_t derivativeEvaluations = 0;
    uint64_t steps = 0;
    uint64_t jacobianEvaluations = 0;  // difference-quotient Jacobians the solver formed
    bool ok = false;
};

class BareSolverRun {
public:
    // Captures the model's states after a pre-step of the instance (initial
    // section done, perchlorate dosing on), and the scenario's settings.
    explicit BareSolverRun(uint32_t instance);

    // One whole run from the captured start; the states at each
    // communication point go to Reported(). With `asWritten` every evaluation
    // computes the whole derivative section, also what the generated model
    // computes once from the constants: the equations as a hand-written
    // version evaluates them.
    BareRunFigures Run(BareSolverKind kind, bool asWritten = false);
    const std::vector<double>& Reported() const { return reported_; }

private:
    uint32_t instance_;
    double tstop_ = 0.0;
    double cint_ = 0.0;
    double lastWeek_ = 0.0;
    std::vector<double> start_;
    std::vector<double> tolerance_;  // absolute, per state; the relative one is rtol_
    double rtol_ = 1e-4;
    std::vector<double> reported_;
};
