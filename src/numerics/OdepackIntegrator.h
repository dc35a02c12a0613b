#pragma once

#include <cstdint>
#include <exception>
#include <vector>

#include "integrators/Integrator.h"
#include "numerics/OdepackFortran.h"

// Integration algorithm 14: hands the model's ODEs to ODEPACK's DLSODES
// (Adams or BDF, internally generated sparse Jacobian). Each Step integrates
// from t to t + stepSize, continuing DLSODES's history from the last call,
// and proposes the step DLSODES will try next; a
// state changed outside the solver, or a restart request (an event serviced,
// a host write), starts DLSODES afresh.
//
// The derivative callback finds its integrator through DLSODES's RPAR
// pass-through argument, and diagnostics reach the integrator whose call is
// running, so several ODEPACK integrators may live in one process. DLSODES
// keeps its history in common blocks; each integrator saves them after its
// call and restores them when another integrator has called in between.
class OdepackIntegrator : public Integrator {
public:
    OdepackIntegrator();
    ~OdepackIntegrator() override;

    bool InitializeMethod() override;
    void Finalize() override;
    void Step() override;

    // The message for a negative ISTATE.
    void WriteOdepackErrorDescription(int32_t status);
    // DLSODES's right-hand side for this integrator. A failure of the model is
    // kept and rethrown by Step once DLSODES has returned; only the forced
    // unwind of a cancelled thread passes through.
    void CallDerivFunc(int32_t neq, double t, double* y, double* ydot);

    // The integrator whose DLSODES call runs on this thread, or null.
    static OdepackIntegrator* ActiveInstance();

    // DLSODES call state (names as in its argument list).
    bool methodCheckPending = true;
    int32_t ITOL = 4;
    int32_t ITASK = 1;
    int32_t ISTATE = 1;
    int32_t IOPT = 0;
    int32_t MF = 222;
    std::vector<double> RWORK;
    int32_t LRW = 0;
    std::vector<int32_t> IWORK;
    int32_t LIW = 0;
    int32_t NEQ = 0;
    std::vector<double> stateCopy;

private:
    // Runs DLSODES from t to tout under the process-wide ODEPACK lock.
    void CallSolver(double t, double tout);
    void ReleaseArrays();

    std::vector<int32_t> IWK_;  // 2 x LRW integers, the integer view of the sparse work space
    std::exception_ptr pendingException_;
    OdepackCommonDls001 savedDls001_{};
    OdepackCommonDlss01 savedDlss01_{};
    bool commonSaved_ = false;
};
