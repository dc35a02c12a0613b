#include "RunCounters.h"

#include "integrators/Integrator.h"
#include "numerics/OdepackFortran.h"
#include "runtime/OrvoSimRuntime.h"
#include "solver/OdeSolver.h"

namespace {
RunCounters counters;
}  // namespace

RunCounters& Counters() { return counters; }
void ResetCounters() { counters = RunCounters{}; }

extern "C" {

void __real_dlsodes_(OdepackRhs f, int32_t* neq, double* y, double* t, double* tout, int32_t* itol,
                     double* rtol, double* atol, int32_t* itask, int32_t* istate, int32_t* iopt,
                     double* rwork, int32_t* lrw, int32_t* iwork, int32_t* liw, int32_t* iwk,
                     OdepackJac jac, int32_t* mf, double* rpar, int32_t* ipar);

void __wrap_zzderivative(uint32_t instance, uint32_t section) {
    if (section >= 500 && section <= 999) {
        ++counters.derivativeEvaluations;
        // The solver evaluates once more after every integrator step.
        if (OdeSolver* solver = OrvoSimRuntime::GetInstance()->GetSolver(instance))
            if (Integrator* integrator = solver->GetIntegrator(); integrator && integrator->postStepDerivEval)
                ++counters.integratorSteps;
    }
    __real_zzderivative(instance, section);
}

void __wrap_dlsodes_(OdepackRhs f, int32_t* neq, double* y, double* t, double* tout, int32_t* itol,
                     double* rtol, double* atol, int32_t* itask, int32_t* istate, int32_t* iopt,
                     double* rwork, int32_t* lrw, int32_t* iwork, int32_t* liw, int32_t* iwk,
                     OdepackJac jac, int32_t* mf, double* rpar, int32_t* ipar) {
    ++counters.dlsodesCalls;
    // IWORK(11) counts steps since the last fresh start.
    const bool fresh = *istate == 1;
    const int32_t stepsBefore = fresh ? 0 : iwork[10];
    if (fresh) ++counters.dlsodesStarts;
    __real_dlsodes_(f, neq, y, t, tout, itol, rtol, atol, itask, istate, iopt, rwork, lrw, iwork, liw, iwk,
                    jac, mf, rpar, ipar);
    if (iwork[10] >= stepsBefore) counters.dlsodesSteps += static_cast<uint64_t>(iwork[10] - stepsBefore);
}

}  // extern "C"
