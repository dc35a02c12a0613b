#pragma once

#include <cstdint>
#include <exception>
#include <vector>

#include <sundials/sundials_context.h>
#include <sundials/sundials_linearsolver.h>
#include <sundials/sundials_matrix.h>
#include <sundials/sundials_nvector.h>

#include "integrators/Integrator.h"

// Integration algorithm 15: hands the model's ODEs to CVODE (BDF, Newton
// iteration, serial vectors) with a dense, band or diagonal linear solver
// chosen from the Jacobian bandwidth settings; a model with an analytic
// Jacobian has it used, and KLU's sparse solver in place of the dense one. Each Step integrates to
// t + stepSize in normal mode, continuing from the last call, and adopts the
// step CVODE will try next; a state changed outside the solver, or a restart
// request (an event serviced, a host write), starts CVODE afresh.
//
// The integrator is CVODE's user data for the right-hand side and the error
// handler, so any number of CVODE integrators may exist at once.
class CvodeIntegrator : public Integrator {
public:
    enum class LinearSolverKind { None, Dense, Band, Diagonal, Sparse };

    CvodeIntegrator();
    ~CvodeIntegrator() override;

    bool InitializeMethod() override;
    void Finalize() override;
    void Step() override;

    // CVODE's right-hand side for this integrator: 0, or -1 after a model
    // failure, which is kept and rethrown by Step once CVode has returned;
    // only the forced unwind of a cancelled thread passes through.
    int CallDerivFunc(double t, const double* y, double* ydot);
    // The model's analytic Jacobian at (t, y) into J (sparse or band), with
    // failures as for CallDerivFunc.
    int CallJacobian(double t, const double* y, SUNMatrix J);
    // A diagnostic of the package, as its own message line.
    void cvwritemsg(const char* text);

    // What the current solver memory was built with (for inspection).
    void* SolverMemory() const { return solverMemory_; }
    SUNMatrix JacobianMatrix() const { return matrix_; }
    LinearSolverKind linearSolver = LinearSolverKind::None;
    int32_t upperBandwidth = -1;
    int32_t lowerBandwidth = -1;
    std::vector<double> stateCopy;

private:
    struct SolverChoice {
        LinearSolverKind kind;
        int32_t upper;
        int32_t lower;
    };
    // The linear solver the bandwidth settings ask for.
    SolverChoice ChooseLinearSolver() const;
    // Fresh solver memory at the current point; false (with the message and
    // the stop flag) when CVODE cannot be set up.
    bool StartSolver();
    bool CreateSolver(const SolverChoice& choice);
    void ReleaseSolver();
    void ReleaseAll();

    SUNContext context_ = nullptr;
    void* solverMemory_ = nullptr;
    N_Vector y_ = nullptr;
    N_Vector abstol_ = nullptr;
    SUNMatrix matrix_ = nullptr;
    SUNLinearSolver linearSolver_ = nullptr;
    int32_t n_ = 0;
    std::exception_ptr pendingException_;
    // The sparse matrix's pattern: the model's with the diagonal added (CVODE
    // forms I - gamma J in place), and where each model nonzero lands in it.
    std::vector<sunindextype> sparseStarts_;
    std::vector<sunindextype> sparseRows_;
    std::vector<sunindextype> sparseSlot_;
    bool bandwidthMessageWritten_ = false;
};
