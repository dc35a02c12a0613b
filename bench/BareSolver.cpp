#include "BareSolver.h"

#include <algorithm>
#include <cmath>

#include <cvode/cvode.h>
#include <cvode/cvode_ls.h>
#include <nvector/nvector_serial.h>
#include <sunlinsol/sunlinsol_dense.h>
#include <sunmatrix/sunmatrix_dense.h>

#include "RunCounters.h"
#include "model/PregnancyModel.h"
#include "model/PregnancyModelStorage.h"
#include "numerics/OdepackFortran.h"
#include "orvo/orvo.h"

namespace {

using pregnancy::kStateCount;
using pregnancy::theModelStorage;

double* ModelStates() { return &theModelStorage.real[pregnancy::var::aioral_i]; }
double* ModelDerivatives() { return ModelStates() + kStateCount; }

uint32_t evaluatingInstance = 0;
uint64_t evaluations = 0;
bool everythingEachEvaluation = false;

// The model's derivative section at (t, y), uncounted by the run counters.
void Evaluate(double time, const double* y, double* ydot) {
    ++evaluations;
    std::copy_n(y, kStateCount, ModelStates());
    pregnancy::t = time;
    if (everythingEachEvaluation) pregnancy::ConstantsChanged();
    __real_zzderivative(evaluatingInstance, pregnancy::kDerivativeSection);
    std::copy_n(ModelDerivatives(), kStateCount, ydot);
}

extern "C" void DlsodesRhs(const int32_t*, const double* t, double* y, double* ydot, double*, int32_t*) {
    Evaluate(*t, y, ydot);
}
extern "C" void DlsodesNoJacobian(const int32_t*, const double*, const double*, const int32_t*, const int32_t*,
                                  const int32_t*, double*, double*, int32_t*) {}
extern "C" int CvodeRhs(sunrealtype t, N_Vector y, N_Vector ydot, void*) {
    Evaluate(t, N_VGetArrayPointer(y), N_VGetArrayPointer(ydot));
    return 0;
}

double Setting(uint32_t instance, const char* name) { return OrvoGetDouble(instance, OrvoGetSymbolIndex(name)); }

}  // namespace

extern "C" void __real_dlsodes_(OdepackRhs f, int32_t* neq, double* y, double* t, double* tout, int32_t* itol,
                                double* rtol, double* atol, int32_t* itask, int32_t* istate, int32_t* iopt,
                                double* rwork, int32_t* lrw, int32_t* iwork, int32_t* liw, int32_t* iwk,
                                OdepackJac jac, int32_t* mf, double* rpar, int32_t* ipar);

// CVode itself: the run counters' wrapper times the library's calls only.
extern "C" int __real_CVode(void* memory, sunrealtype tout, N_Vector yout, sunrealtype* tret, int itask);

BareSolverRun::BareSolverRun(uint32_t instance) : instance_(instance) {
    tstop_ = Setting(instance, "tstop");
    cint_ = Setting(instance, "cint");
    lastWeek_ = tstop_ - 168.0;
    start_.assign(ModelStates(), ModelStates() + kStateCount);
    // The runtime's default tolerances: 1e-4 relative and absolute on every state.
    tolerance_.assign(kStateCount, 1e-4);
    rtol_ = 1e-4;
}

BareRunFigures BareSolverRun::Run(BareSolverKind kind, bool asWritten) {
    evaluatingInstance = instance_;
    everythingEachEvaluation = asWritten;
    evaluations = 0;
    pregnancy::pdose = 1;
    pregnancy::lastwk = 0;
    std::vector<double> y(start_);
    reported_.clear();
    reported_.reserve(static_cast<std::size_t>(tstop_ / cint_ + 1.5) * kStateCount);
    BareRunFigures figures;
    const int points = static_cast<int>(std::lround(tstop_ / cint_));

    if (kind == BareSolverKind::Dlsodes) {
        int32_t neq = kStateCount, itol = 4, itask = 1, istate = 1, iopt = 0, mf = 222, ipar = 0;
        int32_t lrw = 3 * neq * neq + 32 * neq + 30, liw = neq + 30;
        std::vector<double> rwork(static_cast<std::size_t>(lrw));
        std::vector<int32_t> iwork(static_cast<std::size_t>(liw)), iwk(2 * static_cast<std::size_t>(lrw));
        std::vector<double> rtol(kStateCount, rtol_), atol(tolerance_);
        double t = 0.0;
        uint64_t steps = 0, jacobians = 0;
        const auto solveTo = [&](double tout) {
            __real_dlsodes_(&DlsodesRhs, &neq, y.data(), &t, &tout, &itol, rtol.data(), atol.data(), &itask,
                            &istate, &iopt, rwork.data(), &lrw, iwork.data(), &liw, iwk.data(),
                            &DlsodesNoJacobian, &mf, nullptr, &ipar);
            return istate > 0;
        };
        bool ok = true;
        for (int k = 1; k <= points && ok; ++k) {
            const double tout = k * cint_;
            // The switch may fall on a communication point (it does in the example).
            if (t < lastWeek_ && tout >= lastWeek_) {
                ok = solveTo(lastWeek_);
                steps += static_cast<uint64_t>(iwork[10]);
                jacobians += static_cast<uint64_t>(iwork[12]);
                pregnancy::lastwk = 1;
                istate = 1;
            }
            if (ok && tout > t) ok = solveTo(tout);
            reported_.insert(reported_.end(), y.begin(), y.end());
        }
        figures.steps = steps + static_cast<uint64_t>(iwork[10]);
        figures.jacobianEvaluations = jacobians + static_cast<uint64_t>(iwork[12]);
        figures.ok = ok;
    } else {
        SUNContext context = nullptr;
        SUNContext_Create(nullptr, &context);
        N_Vector v = N_VMake_Serial(kStateCount, y.data(), context);
        N_Vector abstol = N_VMake_Serial(kStateCount, tolerance_.data(), context);
        void* memory = CVodeCreate(CV_BDF, context);
        CVodeInit(memory, &CvodeRhs, 0.0, v);
        CVodeSVtolerances(memory, rtol_, abstol);
        SUNMatrix matrix = SUNDenseMatrix(kStateCount, kStateCount, context);
        SUNLinearSolver solver = SUNLinSol_Dense(v, matrix, context);
        CVodeSetLinearSolver(memory, solver, matrix);
        double t = 0.0;
        long steps = 0, total = 0, jacobians = 0, totalJacobians = 0;
        bool ok = true;
        for (int k = 1; k <= points && ok; ++k) {
            const double tout = k * cint_;
            if (t < lastWeek_ && tout >= lastWeek_) {
                ok = __real_CVode(memory, lastWeek_, v, &t, CV_NORMAL) >= 0;
                CVodeGetNumSteps(memory, &steps);
                total += steps;
                CVodeGetNumJacEvals(memory, &jacobians);
                totalJacobians += jacobians;
                pregnancy::lastwk = 1;
                CVodeReInit(memory, t, v);
            }
            if (ok && tout > t) ok = __real_CVode(memory, tout, v, &t, CV_NORMAL) >= 0;
            reported_.insert(reported_.end(), y.begin(), y.end());
        }
        CVodeGetNumSteps(memory, &steps);
        figures.steps = static_cast<uint64_t>(total + steps);
        CVodeGetNumJacEvals(memory, &jacobians);
        figures.jacobianEvaluations = static_cast<uint64_t>(totalJacobians + jacobians);
        figures.ok = ok;
        SUNLinSolFree(solver);
        SUNMatDestroy(matrix);
        CVodeFree(&memory);
        N_VDestroy(abstol);
        N_VDestroy(v);
        SUNContext_Free(&context);
    }
    figures.derivativeEvaluations = evaluations;
    return figures;
}
