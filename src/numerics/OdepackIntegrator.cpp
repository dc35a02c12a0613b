#include "numerics/OdepackIntegrator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "common/ScopeExit.h"

namespace {

// DLSODES's common blocks are process-wide: one call at a time, and the
// integrator whose history they hold.
std::mutex& SolverMutex() {
    static std::mutex mutex;
    return mutex;
}
OdepackIntegrator* commonOwner = nullptr;  // guarded by SolverMutex

thread_local OdepackIntegrator* activeInstance = nullptr;

// Marks the integrator whose call runs on this thread, for the message hooks.
class ActiveScope {
public:
    explicit ActiveScope(OdepackIntegrator* integrator) : previous_(activeInstance) {
        activeInstance = integrator;
    }
    ~ActiveScope() { activeInstance = previous_; }
    ActiveScope(const ActiveScope&) = delete;
    ActiveScope& operator=(const ActiveScope&) = delete;

private:
    OdepackIntegrator* previous_;
};

bool IsAcceptedMethodFlag(int32_t flag) {
    switch (flag) {
        case 210: case 212: case 213: case 220: case 222: case 223: return true;
        default: return false;
    }
}

// A Fortran CHARACTER argument as text: at most `length` characters, ended by
// a NUL if there is one, without the blank padding.
std::string FortranText(const char* text, std::size_t length) {
    if (text == nullptr) return {};
    const char* end = static_cast<const char*>(std::memchr(text, '\0', length));
    std::size_t n = end ? static_cast<std::size_t>(end - text) : length;
    while (n > 0 && text[n - 1] == ' ') --n;
    return std::string(text, n);
}

// Replaces each "%g" of the package's text by the next value; the text itself
// is never used as a format.
std::string ExpandValues(const std::string& text, const double* values, int count) {
    std::string out;
    int used = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 'g' && used < count) {
            char number[64];
            std::snprintf(number, sizeof number, "%g", values[used++]);
            out.append(number);
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

void DeliverPackageText(const std::string& text) {
    if (OdepackIntegrator* integrator = OdepackIntegrator::ActiveInstance()) integrator->WriteMessage(text.c_str());
}

}  // namespace

extern "C" {

static void OdepackDerivatives(const int32_t* neq, const double* t, double* y, double* ydot, double* rpar,
                               int32_t* /*ipar*/) {
    auto* integrator = reinterpret_cast<OdepackIntegrator*>(rpar);
    if (integrator == nullptr) {
        std::fill_n(ydot, *neq, 0.0);
        return;
    }
    integrator->CallDerivFunc(*neq, *t, y, ydot);
}

// Column J of the model's analytic Jacobian (method flags with MITER = 1).
// DLSODES asks for the columns 1..NEQ in turn at one point and has zeroed
// PDJ: the whole Jacobian is evaluated with the first column.
static void OdepackJacobianColumn(const int32_t* neq, const double* t, const double* y, const int32_t* j,
                                  const int32_t*, const int32_t*, double* pdj, double* rpar, int32_t*) {
    auto* integrator = reinterpret_cast<OdepackIntegrator*>(rpar);
    if (integrator == nullptr || j == nullptr || *j < 1 || *j > *neq) return;
    integrator->CallJacobianColumn(*neq, *t, y, *j - 1, pdj);
}

// ODEPACK's diagnostic routine: the text only, its integer and real values
// are not printed (the text keeps its "(=I1)", "(=R1)" placeholders).
void xerrwd_(const char* msg, const int32_t* nmes, const int32_t*, const int32_t*, const int32_t*,
             const int32_t*, const int32_t*, const int32_t*, const double*, const double*,
             std::size_t msgLength) {
    const std::size_t count = nmes && *nmes > 0 ? std::min<std::size_t>(static_cast<std::size_t>(*nmes), msgLength) : 0;
    DeliverPackageText(FortranText(msg, count));
}

void rprintf_(const char* msg, std::size_t msgLength) { DeliverPackageText(FortranText(msg, msgLength)); }

void rprintfd2_(const char* msg, const double* d1, const double* d2, std::size_t msgLength) {
    const double values[2] = {d1 ? *d1 : 0.0, d2 ? *d2 : 0.0};
    DeliverPackageText(ExpandValues(FortranText(msg, msgLength), values, 2));
}

}  // extern "C"

OdepackIntegrator::OdepackIntegrator() { algorithm = AlgorithmOdepack; }

OdepackIntegrator::~OdepackIntegrator() {
    std::lock_guard<std::mutex> lock(SolverMutex());
    if (commonOwner == this) commonOwner = nullptr;
}

OdepackIntegrator* OdepackIntegrator::ActiveInstance() { return activeInstance; }

bool OdepackIntegrator::InitializeMethod() {
    ReleaseArrays();
    // DLSODES integrates the ODE states; algebraic states are re-solved in every evaluation.
    const int32_t n = static_cast<int32_t>(numOdeStates);
    NEQ = n;
    const bool structure = analyticJacobian && n > 0;
    LIW = structure ? 31 + n + static_cast<int32_t>(analyticJacobian->nonZeros) : n + 30;
    LRW = 3 * n * n + 32 * n + 30;
    RWORK.assign(static_cast<std::size_t>(LRW), 0.0);
    IWORK.assign(static_cast<std::size_t>(LIW), 0);
    IWK_.assign(2 * static_cast<std::size_t>(LRW), 0);
    stateCopy.assign(static_cast<std::size_t>(n), 0.0);
    ISTATE = 1;
    // The model's structure goes to DLSODES as IA and JA (one-based) in IWORK.
    if (structure) {
        const AnalyticJacobian& jacobian = *analyticJacobian;
        for (int32_t j = 0; j <= n; ++j) IWORK[static_cast<std::size_t>(30 + j)] = jacobian.columnStarts[j] + 1;
        for (uint32_t k = 0; k < jacobian.nonZeros; ++k)
            IWORK[static_cast<std::size_t>(31 + n) + k] = jacobian.rowIndices[k] + 1;
    }
    return true;
}

void OdepackIntegrator::ReleaseArrays() {
    std::vector<double>().swap(RWORK);
    std::vector<int32_t>().swap(IWORK);
    std::vector<int32_t>().swap(IWK_);
    std::vector<double>().swap(stateCopy);
    LRW = LIW = NEQ = 0;
}

void OdepackIntegrator::Finalize() {
    ReleaseArrays();
    Integrator::Finalize();
}

void OdepackIntegrator::WriteOdepackErrorDescription(int32_t status) {
    switch (status) {
        case -1: WriteMessage("ERROR: Exceeded max allowed number of integration steps in DLSODES."); break;
        case -2: WriteMessage("ERROR: Requested accuracy exceeds machine precision.  Reduce error tolerances."); break;
        case -3: WriteMessage("ERROR: Illegal input to DLSODES detected."); break;
        case -4:
            WriteMessage("ERROR: Repeated error test failures on a single step (possible singularity, or invalid input to LSODES.");
            break;
        case -5:
            WriteMessage("ERROR: Repeated convergence test failures on a single step (possible inaccuracy in Jacobian computation.");
            break;
        case -6:
            WriteMessage("ERROR: Pure relative error control was requested on a variable which now has a value of zero.");
            break;
        case -7: WriteMessage("ERROR: Fatal error in sparse solver."); break;
        default: WriteMessage("ERROR: Unrecognized error code returned by LSODES."); break;
    }
}

void OdepackIntegrator::CallDerivFunc(int32_t neq, double t, double* y, double* ydot) {
    const int32_t count = std::min(neq, NEQ);
    if (EvaluateForPackage(t, y, static_cast<uint32_t>(count), false, pendingException_))
        std::copy_n(derivatives, count, ydot);
    else
        std::fill_n(ydot, neq, 0.0);  // DLSODES still runs to TOUT: constant states get it there quickly
}

void OdepackIntegrator::CallJacobianColumn(int32_t neq, double t, const double* y, int32_t column, double* pdj) {
    if (pendingException_ || analyticJacobian == nullptr || neq != NEQ) return;
    if (column == 0 && !EvaluateForPackage(t, y, static_cast<uint32_t>(NEQ), true, pendingException_)) return;
    analyticJacobian->ScatterColumn(static_cast<uint32_t>(column), AnalyticValues(), pdj);
}

void OdepackIntegrator::CallSolver(double t, double tout) {
    std::lock_guard<std::mutex> lock(SolverMutex());
    ActiveScope active(this);
    // The common blocks hold the history of the problem that called last; it
    // is put aside only when another problem takes them over. A continuation
    // (only a problem that has called continues) gets its own history back.
    if (commonOwner != this) {
        if (commonOwner) {
            commonOwner->savedDls001_ = dls001_;
            commonOwner->savedDlss01_ = dlss01_;
        }
        if (ISTATE != 1) {
            dls001_ = savedDls001_;
            dlss01_ = savedDlss01_;
        }
        commonOwner = this;
    }
    // A call abandoned by thread cancellation leaves a history half written.
    bool returned = false;
    ScopeExit abandoned([this, &returned] {
        if (returned) return;
        ISTATE = 1;
        if (commonOwner == this) commonOwner = nullptr;
    });
    int32_t ipar = 0;
    dlsodes_(&OdepackDerivatives, &NEQ, states, &t, &tout, &ITOL, maxRelErrors, maxAbsErrors, &ITASK, &ISTATE,
             &IOPT, RWORK.data(), &LRW, IWORK.data(), &LIW, IWK_.data(), &OdepackJacobianColumn, &MF,
             reinterpret_cast<double*>(this), &ipar);
    returned = true;
}

void OdepackIntegrator::Step() {
    // Not initialized, or finalized: nothing to integrate with.
    if (indVar == nullptr || stateCopy.size() < numOdeStates) return;

    // States changed outside the solver, or a right-hand side switched by an
    // event or the host (the solver's request), restart it; otherwise DLSODES
    // continues from its history, past TOUT and interpolated back (ITASK 1).
    const bool restart = ConsumeRestart(stateCopy.data());

    if (methodCheckPending) {
        const int32_t flag = settings.GetOdepackMethodFlag();
        if (IsAcceptedMethodFlag(flag)) {
            MF = flag;
        } else {
            WriteMessage("Error: Invalid value of OMFITG supplied to ODEPACK.  Using default value of 222.");
            MF = 222;
        }
        methodCheckPending = false;
        // With the model's Jacobian and structure, chord iteration uses them
        // (MOSS 0, MITER 1) in place of difference quotients.
        if (analyticJacobian && MF % 10 == 2) MF = MF % 100 - 1;
    }

    BeginContinuedStep(restart);

    stepSizeChanged = false;
    const double h = stepSize;
    const double tout = *indVar + h;
    // A failed call leaves nothing to continue from.
    if (restart || ISTATE < 0) ISTATE = 1;

    if (NEQ > 0) {
        CallSolver(*indVar, tout);
        if (pendingException_) {
            ISTATE = 1;
            std::exception_ptr failure;
            std::swap(failure, pendingException_);
            std::rethrow_exception(failure);
        }
        if (ISTATE < 0) {
            settings.SetStopFlag(true);
            WriteOdepackErrorDescription(ISTATE);
        } else {
            // What DLSODES returned is its own: only a later outside change restarts.
            std::copy_n(states, stateCopy.size(), stateCopy.begin());
        }
        // RWORK(12), the step DLSODES will try next, becomes the solver's step:
        // continuing past TOUT, DLSODES needs no call more often than that.
        if (RWORK[11] != h && std::isfinite(RWORK[11]) && RWORK[11] > 0.0) {
            stepSizeChanged = true;
            stepSize = RWORK[11];
        }
    }
    *indVar = tout;
}
