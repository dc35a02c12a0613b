#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "integrators/AnalyticJacobian.h"
#include "numerics/Matrix.h"
#include "solver/IntegrationAlgorithm.h"
#include "solver/IntegratorSettings.h"

// The model's derivative section entry: (system instance, section code).
using DerivativeFunction = void (*)(uint32_t, uint32_t);

enum JacobianType : int32_t {
    OdeJacobian = 1,        // ODE states -> derivatives
    AlgebraicJacobian = 2,  // algebraic states -> residuals
    FullJacobian = 3,       // both, contiguous in model storage
};

// Abstract base of every integration algorithm. It views the model's state
// vectors (it never owns them), calls the derivative section, keeps the
// per-state tolerances and allowed errors, the work vectors, the difference
// Jacobians, the traces and the message buffer. A concrete method adds Step
// and, where it keeps history, its own Initialize/Finalize.
//
// Members are public: the solver and the runtime read and write them directly
// (step size, flags, derivative-call arguments), as the methods do.
class Integrator {
public:
    Integrator();
    virtual ~Integrator();
    Integrator(const Integrator&) = delete;
    Integrator& operator=(const Integrator&) = delete;

    virtual bool Initialize(double* indVar, uint32_t numOdeStates, double* states,
                            double* derivatives, double* initialConditions,
                            uint32_t numAlgStates, double* algStates, double* residuals,
                            double* algInitialConditions, DerivativeFunction derivativeFunction);
    virtual void Finalize();
    virtual void Step() = 0;
    virtual void CalculateDerivatives();
    virtual bool CalculateAlgebraicStates();
    // columns: n column vectors of n; element i of column j is dF_i/dx_j.
    virtual bool CalculateJacobian(JacobianType type, double** columns);
    // Backward difference in time of the ODE derivatives, states held fixed.
    virtual bool CalculateSecondDerivatives(double* output);
    virtual void WriteMessage(const char* text);
    virtual void WriteStates();
    virtual void WriteDerivatives();
    virtual void WriteCurrentErrors();
    virtual void WriteMatrix(double** columns, uint32_t rows, uint32_t cols);
    virtual void WriteStatistics();
    virtual void UpdateMaxErrorVector(bool includeAlgebraic);

    void SetDerivativeFunction(DerivativeFunction function) { derivativeFunction = function; }
    void CopyInitCondsToStates();
    void CopyStatesToInitConds();
    void SetMaxAbsoluteErrors(const double* values);
    void SetMaxRelativeErrors(const double* values);
    // An index outside the state vectors (or before Initialize) is ignored.
    void SetMaxAbsoluteError(uint32_t index, double value);
    void SetMaxRelativeError(uint32_t index, double value);

    // The solver's evaluation after a step, with postStepDerivEval set.
    void PostStepEvaluation();
    // Magnitude beyond which a state has run away (a method outside its
    // stability limit): the run ends as for a non-finite state.
    static constexpr double kStateMagnitudeLimit = 1e100;
    // Every ODE state is a finite number within kStateMagnitudeLimit.
    bool OdeStatesFinite() const;

    // printf-style WriteMessage.
    void WriteFormatted(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Takes the accumulated messages, leaving the buffer empty.
    std::string TakeMessages();

    IntegratorSettings settings;
    double* indVar = nullptr;
    uint32_t numStates = 0;
    uint32_t numOdeStates = 0;
    double* states = nullptr;
    double* derivatives = nullptr;
    double* initialConditions = nullptr;
    uint32_t numAlgStates = 0;
    double* algStates = nullptr;
    double* residuals = nullptr;
    double* algInitialConditions = nullptr;
    DerivativeFunction derivativeFunction = nullptr;
    uint32_t derivFuncArg1 = 0;
    uint32_t derivFuncArg2 = 0;
    double stepChangeScale = 0.1;
    double stepSize = 0.01;
    double minStepSize = 1e-10;
    double maxStepSize = 1e10;
    double* maxAbsErrors = nullptr;  // into absErrorStore
    double* maxRelErrors = nullptr;  // into relErrorStore
    bool initializationInProgress = true;
    bool minStepReached = false;
    bool writeNormalData = false;
    bool writeExtraData = false;
    bool firstDerivEval = false;
    bool postStepDerivEval = false;
    bool restartRequested = false;
    // Set by an operator with memory that reads firstDerivEval: from then on
    // every step opens with its own flagged evaluation.
    mutable bool stepStartRead = false;
    std::vector<double> workVectors[7];
    std::vector<double> currentErrors;
    std::vector<double> maxErrors;
    std::vector<int32_t> errorControlCounts;
    bool stepSizeChanged = false;
    int32_t algorithm = AlgorithmUserDefined;
    int32_t order = 0;
    int32_t maxOrder = 6;
    bool computeJacobValidity = true;
    std::vector<double> jacobianWork[3];  // lower, base, upper values
    bool twoSidedMatrixEval = true;
    double jacobNonlinThresh = 0.2;
    std::vector<uint8_t> rowReported;
    int32_t numJacobianEvals = 0;
    // Set by the solver before Initialize when the model supplies one that
    // describes the ODE states and there are no algebraic states.
    const AnalyticJacobian* analyticJacobian = nullptr;

    // Algebraic solver work areas.
    Matrix algJacobian;            // m columns of m
    Matrix algInverse;             // m rows of m
    std::vector<double> algColumnScale;
    std::vector<double> algRowScale;
    std::vector<int32_t> algPivots;
    std::vector<double> algWork[6];  // scaled state/residual (current, best), step, residual change

    std::string messageBuffer;

protected:
    // Called at the end of Initialize, once the base work areas exist: a
    // method with history or a solver package of its own allocates it here.
    virtual bool InitializeMethod() { return true; }

    // For methods with history: true when something other than the method
    // changed an ODE state since `lastStates` was recorded (a NaN counts as a
    // change; `lastStates` is brought up to date) or a restart was requested
    // (the request is consumed).
    bool ConsumeRestart(double* lastStates);

    // Helpers shared by the one-step methods.
    bool StopRequested() const { return settings.GetStopFlag(); }
    // False before Initialize has bound the independent variable: Step then does nothing.
    bool Ready() const { return indVar != nullptr; }
    // Re-solves the algebraic states when there are any; a failure sets the stop flag.
    void AlgebraicUpdate();
    // Evaluates the derivatives at the step's starting point with firstDerivEval set.
    void FirstEvaluation();
    // "text" then WriteStates and WriteDerivatives, when writeNormalData is set.
    void TraceStage(const char* text);
    // Opening of every one-step method: algebraic update, first evaluation,
    // "Start of step." trace.
    void BeginStep();
    // A later stage at the point already set: algebraic update, evaluation, trace.
    void StageEvaluation(const char* trace);
    // For a solver package calling back into the model: sets t and the
    // first `count` ODE states from y, then evaluates the derivatives (with
    // the algebraic states solved there) or, with `jacobian`, the analytic
    // Jacobian into AnalyticValues(). A failure of the model must not unwind through the
    // package's frames: it is kept in `failure` (and nothing more is
    // evaluated while it is set) and false returned; only the forced unwind
    // of a cancelled thread passes through.
    bool EvaluateForPackage(double t, const double* y, uint32_t count, bool jacobian, std::exception_ptr& failure);
    // The analytic Jacobian's nonzeros (pattern order) as last evaluated.
    const double* AnalyticValues() const { return analyticValues_.data(); }
    // BeginStep for a method that never reads the derivatives at its start
    // (a solver package that evaluates for itself). The evaluation is then
    // kept only for what it does besides: it is skipped when it would repeat
    // the solver's post-step evaluation at the same point with nothing changed
    // since (no `restart`, no evaluation in between, no operator with memory,
    // no algebraic states).
    void BeginContinuedStep(bool restart);

private:
    void AllocateWorkAreas();
    // Frees every work area; the pointers into the model's storage stay.
    void ReleaseWorkAreas();
    // Appends values formatted "%12.6lf" and separated by ", " to lineBuffer_.
    void AppendValues(const double* values, uint32_t count);
    void WriteStateGroup(const char* title, const double* values, const double* derivs,
                         uint32_t count);
    // Variable / function k of a Jacobian walk: ODE entries, then algebraic ones
    // (the two arrays need not be adjacent in storage).
    double& JacobianVariable(JacobianType type, uint32_t k);
    double JacobianFunction(JacobianType type, uint32_t k) const;

    std::vector<double> absErrorStore_;
    std::vector<double> relErrorStore_;
    // The derivative section, or with `jacobianValues` the analytic Jacobian,
    // with the floating-point fault check and the model's exceptions mapped.
    void CallModel(double* jacobianValues);
    // The model's analytic Jacobian at the current point into analyticValues_,
    // non-finite columns by differences; the derivatives are evaluated there
    // as by CalculateDerivatives. Requires analyticJacobian.
    void EvaluateAnalyticJacobian();

    std::vector<double> analyticValues_;   // analyticJacobian->nonZeros
    std::vector<double> timePartialBase_;  // derivatives at t, for CalculateSecondDerivatives
    std::string lineBuffer_;               // one trace line under construction
    uint64_t evaluations_ = 0;             // calls of CalculateDerivatives
    uint64_t postStepMark_ = 0;            // evaluations_ after the last post-step evaluation
    double postStepTime_ = 0.0;            // where it was made
};
