#include "RunCounters.h"

#include <ctime>

#include <cvode/cvode.h>

#include "integrators/Integrator.h"
#include "numerics/OdepackFortran.h"
#include "runtime/OrvoSimRuntime.h"
#include "solver/OdeSolver.h"

namespace {
RunCounters counters;
AnalyticJacobianFunction modelJacobian = nullptr;

void CountedJacobian(uint32_t instance, double* values) {
    ++counters.jacobianEvaluations;
    modelJacobian(instance, values);
}

// The monotonic clock, read without a system call: a thread's processor-time
// clock is a system call, which, made twice per solver call, would weigh on
// the very library runs it measures.
double MonotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}
}  // namespace

void CountJacobianEvaluations() {
    OrvoSimRuntime& runtime = *OrvoSimRuntime::GetInstance();
    AnalyticJacobian jacobian = runtime.GetSystemInfo().jacobian;
    if (jacobian.evaluate == nullptr || jacobian.evaluate == &CountedJacobian) return;
    modelJacobian = jacobian.evaluate;
    jacobian.evaluate = &CountedJacobian;
    runtime.SetJacobian(jacobian);
}

namespace {
bool timeSolverCalls = false;
}  // namespace

void TimeSolverCalls(bool on) { timeSolverCalls = on; }

RunCounters& Counters() { return counters; }
void ResetCounters() { counters = RunCounters{}; }

extern "C" {

void __real_dlsodes_(OdepackRhs f, int32_t* neq, double* y, double* t, double* tout, int32_t* itol,
                     double* rtol, double* atol, int32_t* itask, int32_t* istate, int32_t* iopt,
                     double* rwork, int32_t* lrw, int32_t* iwork, int32_t* liw, int32_t* iwk,
                     OdepackJac jac, int32_t* mf, double* rpar, int32_t* ipar);

int __real_CVode(void* memory, sunrealtype tout, N_Vector yout, sunrealtype* tret, int itask);

void __wrap_zzderivative(uint32_t instance, uint32_t section) {
    if (section >= 500 && section <= 999) {
        ++counters.derivativeEvaluations;
        // The solver evaluates once more after every integrator step.
        if (OdeSolver* solver = OrvoSimRuntime::GetInstance()->GetSolver(instance))
            if (Integrator* integrator = solver->GetIntegrator()) {
                if (integrator->postStepDerivEval) ++counters.integratorSteps;
                if (integrator->firstDerivEval) ++counters.openingEvaluations;
            }
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
    const double start = timeSolverCalls ? MonotonicSeconds() : 0.0;
    __real_dlsodes_(f, neq, y, t, tout, itol, rtol, atol, itask, istate, iopt, rwork, lrw, iwork, liw, iwk,
                    jac, mf, rpar, ipar);
    if (timeSolverCalls) counters.solverSeconds += MonotonicSeconds() - start;
    if (iwork[10] >= stepsBefore) counters.dlsodesSteps += static_cast<uint64_t>(iwork[10] - stepsBefore);
}

int __wrap_CVode(void* memory, sunrealtype tout, N_Vector yout, sunrealtype* tret, int itask) {
    const double start = timeSolverCalls ? MonotonicSeconds() : 0.0;
    const int flag = __real_CVode(memory, tout, yout, tret, itask);
    if (timeSolverCalls) counters.solverSeconds += MonotonicSeconds() - start;
    return flag;
}

}  // extern "C"
