#include "numerics/CvodeIntegrator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include <cvode/cvode.h>
#include <cvode/cvode_diag.h>
#include <cvode/cvode_ls.h>
#include <nvector/nvector_serial.h>
#include <sunlinsol/sunlinsol_band.h>
#include <sunlinsol/sunlinsol_dense.h>
#include <sunlinsol/sunlinsol_klu.h>
#include <sunmatrix/sunmatrix_band.h>
#include <sunmatrix/sunmatrix_dense.h>
#include <sunmatrix/sunmatrix_sparse.h>

#include "common/ScopeExit.h"

extern "C" {

static int CvodeDerivatives(sunrealtype t, N_Vector y, N_Vector ydot, void* userData) {
    auto* integrator = static_cast<CvodeIntegrator*>(userData);
    if (integrator == nullptr) return -1;
    return integrator->CallDerivFunc(t, N_VGetArrayPointer(y), N_VGetArrayPointer(ydot));
}

static int CvodeJacobian(sunrealtype t, N_Vector y, N_Vector, SUNMatrix J, void* userData, N_Vector, N_Vector,
                         N_Vector) {
    auto* integrator = static_cast<CvodeIntegrator*>(userData);
    if (integrator == nullptr) return -1;
    return integrator->CallJacobian(t, N_VGetArrayPointer(y), J);
}

// The package's diagnostics, laid out as its default handler does.
static void CvodeDiagnostic(int errorCode, const char* module, const char* function, char* msg, void* userData) {
    auto* integrator = static_cast<CvodeIntegrator*>(userData);
    if (integrator == nullptr) return;
    std::string text = "[";
    text.append(module ? module : "CVODE");
    text.append(errorCode == CV_WARNING ? " WARNING]  " : " ERROR]  ");
    text.append(function ? function : "");
    text.append("\n  ");
    text.append(msg ? msg : "");
    integrator->cvwritemsg(text.c_str());
}

}  // extern "C"

CvodeIntegrator::CvodeIntegrator() { algorithm = AlgorithmCvode; }

CvodeIntegrator::~CvodeIntegrator() { ReleaseAll(); }

bool CvodeIntegrator::InitializeMethod() {
    ReleaseAll();
    // CVODE integrates the ODE states; algebraic states are re-solved in every evaluation.
    n_ = static_cast<int32_t>(numOdeStates);
    bandwidthMessageWritten_ = false;
    stateCopy.assign(static_cast<std::size_t>(n_), 0.0);
    if (n_ == 0) return true;
    // The vectors live as long as the integrator: a restart reuses them.
    if (SUNContext_Create(nullptr, &context_) != 0) {
        context_ = nullptr;
        return false;
    }
    y_ = N_VNew_Serial(n_, context_);
    abstol_ = N_VNew_Serial(n_, context_);
    if (y_ == nullptr || abstol_ == nullptr) {
        ReleaseAll();
        return false;
    }
    if (analyticJacobian) {
        const AnalyticJacobian& jacobian = *analyticJacobian;
        sparseStarts_.assign(1, 0);
        sparseRows_.clear();
        sparseSlot_.assign(jacobian.nonZeros, 0);
        for (int32_t j = 0; j < n_; ++j) {
            bool diagonal = false;
            for (int32_t k = jacobian.columnStarts[j]; k < jacobian.columnStarts[j + 1]; ++k) {
                const int32_t row = jacobian.rowIndices[k];
                if (row > j && !diagonal) sparseRows_.push_back(j);
                diagonal = diagonal || row >= j;
                sparseSlot_[static_cast<std::size_t>(k)] = static_cast<sunindextype>(sparseRows_.size());
                sparseRows_.push_back(row);
            }
            if (!diagonal) sparseRows_.push_back(j);
            sparseStarts_.push_back(static_cast<sunindextype>(sparseRows_.size()));
        }
    }
    return true;
}

void CvodeIntegrator::ReleaseSolver() {
    if (solverMemory_) CVodeFree(&solverMemory_);
    solverMemory_ = nullptr;
    if (linearSolver_) SUNLinSolFree(linearSolver_);
    linearSolver_ = nullptr;
    if (matrix_) SUNMatDestroy(matrix_);
    matrix_ = nullptr;
    linearSolver = LinearSolverKind::None;
    upperBandwidth = lowerBandwidth = -1;
}

void CvodeIntegrator::ReleaseAll() {
    ReleaseSolver();
    if (y_) N_VDestroy(y_);
    if (abstol_) N_VDestroy(abstol_);
    y_ = abstol_ = nullptr;
    if (context_) SUNContext_Free(&context_);
    context_ = nullptr;
    std::vector<double>().swap(stateCopy);
    std::vector<sunindextype>().swap(sparseStarts_);
    std::vector<sunindextype>().swap(sparseRows_);
    std::vector<sunindextype>().swap(sparseSlot_);
    n_ = 0;
}

void CvodeIntegrator::Finalize() {
    ReleaseAll();
    Integrator::Finalize();
}

void CvodeIntegrator::cvwritemsg(const char* text) {
    // A model failure is reported by its exception, not by CVODE's echo of it.
    if (pendingException_) return;
    WriteFormatted("%s\n", text ? text : "");
}

int CvodeIntegrator::CallDerivFunc(double t, const double* y, double* ydot) {
    if (!EvaluateForPackage(t, y, static_cast<uint32_t>(n_), false, pendingException_)) return -1;
    std::copy_n(derivatives, n_, ydot);
    return 0;
}

int CvodeIntegrator::CallJacobian(double t, const double* y, SUNMatrix J) {
    if (analyticJacobian == nullptr || !EvaluateForPackage(t, y, static_cast<uint32_t>(n_), true, pendingException_))
        return -1;
    const AnalyticJacobian& jacobian = *analyticJacobian;
    const double* values = AnalyticValues();
    if (SUNMatGetID(J) == SUNMATRIX_SPARSE) {
        // CVODE may have zeroed the index arrays with the values.
        std::copy(sparseStarts_.begin(), sparseStarts_.end(), SUNSparseMatrix_IndexPointers(J));
        std::copy(sparseRows_.begin(), sparseRows_.end(), SUNSparseMatrix_IndexValues(J));
        double* data = SUNSparseMatrix_Data(J);
        std::fill_n(data, sparseRows_.size(), 0.0);
        for (uint32_t k = 0; k < jacobian.nonZeros; ++k) data[sparseSlot_[k]] = values[k];
        return 0;
    }
    // Band: the entries inside the band (the settings promise nothing lies outside).
    SUNMatZero(J);
    const sunindextype upper = SUNBandMatrix_UpperBandwidth(J), lower = SUNBandMatrix_LowerBandwidth(J);
    for (int32_t j = 0; j < n_; ++j) {
        for (int32_t k = jacobian.columnStarts[j]; k < jacobian.columnStarts[j + 1]; ++k) {
            const sunindextype row = jacobian.rowIndices[k];
            if (row - j <= lower && j - row <= upper) SM_ELEMENT_B(J, row, j) = values[k];
        }
    }
    return 0;
}

CvodeIntegrator::SolverChoice CvodeIntegrator::ChooseLinearSolver() const {
    const int32_t upper = settings.GetJacUpperBandwidth();
    const int32_t lower = settings.GetJacLowerBandwidth();
    if (upper < 0 && lower < 0) return {analyticJacobian ? LinearSolverKind::Sparse : LinearSolverKind::Dense, -1, -1};
    if (upper == 0 && lower == 0) return {LinearSolverKind::Diagonal, 0, 0};
    if (upper > 0 && lower > 0) {
        // A band wider than the matrix is the whole matrix.
        return {LinearSolverKind::Band, std::min(upper, n_ - 1), std::min(lower, n_ - 1)};
    }
    return {LinearSolverKind::None, upper, lower};  // inconsistent: dense after a message
}

bool CvodeIntegrator::CreateSolver(const SolverChoice& choice) {
    solverMemory_ = CVodeCreate(CV_BDF, context_);
    if (solverMemory_ == nullptr) return false;
    CVodeSetErrHandlerFn(solverMemory_, &CvodeDiagnostic, this);
    if (CVodeInit(solverMemory_, &CvodeDerivatives, *indVar, y_) != CV_SUCCESS) return false;
    if (CVodeSVtolerances(solverMemory_, maxRelErrors[0], abstol_) != CV_SUCCESS) return false;
    CVodeSetUserData(solverMemory_, this);

    switch (choice.kind) {
        case LinearSolverKind::Diagonal:
            if (CVDiag(solverMemory_) != CV_SUCCESS) return false;
            break;
        case LinearSolverKind::Band:
            matrix_ = SUNBandMatrix(n_, choice.upper, choice.lower, context_);
            if (matrix_ == nullptr) return false;
            linearSolver_ = SUNLinSol_Band(y_, matrix_, context_);
            break;
        case LinearSolverKind::Sparse:
            matrix_ = SUNSparseMatrix(n_, n_, static_cast<sunindextype>(sparseRows_.size()), CSC_MAT, context_);
            if (matrix_ == nullptr) return false;
            linearSolver_ = SUNLinSol_KLU(y_, matrix_, context_);
            break;
        default:
            matrix_ = SUNDenseMatrix(n_, n_, context_);
            if (matrix_ == nullptr) return false;
            linearSolver_ = SUNLinSol_Dense(y_, matrix_, context_);
            break;
    }
    if (matrix_ != nullptr &&
        (linearSolver_ == nullptr || CVodeSetLinearSolver(solverMemory_, linearSolver_, matrix_) != CVLS_SUCCESS))
        return false;
    // Dense keeps CVODE's difference quotients, as a model without a Jacobian does.
    if (analyticJacobian && (choice.kind == LinearSolverKind::Sparse || choice.kind == LinearSolverKind::Band) &&
        CVodeSetJacFn(solverMemory_, &CvodeJacobian) != CVLS_SUCCESS)
        return false;
    linearSolver = choice.kind == LinearSolverKind::None ? LinearSolverKind::Dense : choice.kind;
    upperBandwidth = choice.upper;
    lowerBandwidth = choice.lower;
    return true;
}

bool CvodeIntegrator::StartSolver() {
    std::copy_n(states, n_, N_VGetArrayPointer(y_));
    std::copy_n(maxAbsErrors, n_, N_VGetArrayPointer(abstol_));
    const SolverChoice choice = ChooseLinearSolver();
    const LinearSolverKind kind = choice.kind == LinearSolverKind::None ? LinearSolverKind::Dense : choice.kind;

    // Same linear solver as before: re-initialising is a fresh start without new memory.
    bool ready = solverMemory_ != nullptr && linearSolver == kind && upperBandwidth == choice.upper &&
                 lowerBandwidth == choice.lower &&
                 CVodeReInit(solverMemory_, *indVar, y_) == CV_SUCCESS &&
                 CVodeSVtolerances(solverMemory_, maxRelErrors[0], abstol_) == CV_SUCCESS;
    if (!ready) {
        ReleaseSolver();
        ready = CreateSolver(choice);
    }
    if (!ready) {
        ReleaseSolver();
        WriteMessage("ERROR: CVodeMalloc failed in CVODE.\n");
        settings.SetStopFlag(true);
        return false;
    }
    // Depends on the settings only: once per run, not at every restart.
    if (choice.kind == LinearSolverKind::None && !bandwidthMessageWritten_) {
        WriteMessage("Error: Inconsistent values for UBWITG and LBWITG supplied to CVODE.  Assuming dense matrix.");
        bandwidthMessageWritten_ = true;
    }
    return true;
}

void CvodeIntegrator::Step() {
    // Not initialized, or finalized: nothing to integrate with.
    if (indVar == nullptr || stateCopy.size() < numOdeStates) return;

    // States changed outside the solver, or a right-hand side switched by an
    // event or the host (the solver's request), restart it; otherwise CVODE
    // continues from its history, past tout and interpolated back.
    const bool restart = ConsumeRestart(stateCopy.data());
    if (n_ > 0 && (restart || solverMemory_ == nullptr) && !StartSolver()) return;

    BeginContinuedStep(restart);

    stepSizeChanged = false;
    const double h = stepSize;
    const double tout = *indVar + h;
    if (n_ > 0) {
        double reached = *indVar;
        int flag = CV_SUCCESS;
        {
            // A call abandoned by thread cancellation leaves no history to continue.
            bool returned = false;
            ScopeExit abandoned([this, &returned] {
                if (!returned) ReleaseSolver();
            });
            flag = CVode(solverMemory_, tout, y_, &reached, CV_NORMAL);
            returned = true;
        }
        if (pendingException_) {
            // Nothing to continue from: the next step starts over.
            ReleaseSolver();
            std::exception_ptr failure;
            std::swap(failure, pendingException_);
            std::rethrow_exception(failure);
        }
        if (flag != CV_SUCCESS) settings.SetStopFlag(true);
        // The step CVODE will try next becomes the solver's step.
        double next = h;
        if (CVodeGetCurrentStep(solverMemory_, &next) == CV_SUCCESS && std::isfinite(next) && next > 0.0 &&
            next != h) {
            stepSizeChanged = true;
            stepSize = next;
        }
        std::copy_n(N_VGetArrayPointer(y_), n_, states);
        if (flag == CV_SUCCESS) {
            // What CVODE returned is its own: only a later outside change restarts.
            std::copy_n(states, n_, stateCopy.begin());
        } else {
            // A failed solver is not continued: the next step starts afresh.
            ReleaseSolver();
        }
    }
    *indVar = tout;
}
