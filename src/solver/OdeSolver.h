#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "integrators/Integrator.h"
#include "solver/EventQueue.h"
#include "solver/IntegrationAlgorithm.h"
#include "solver/IntegratorSettings.h"
#include "solver/OdeEvent.h"
#include "solver/OdeEventType.h"
#include "storage/CheckPoint.h"
#include "storage/StateStorageMemory.h"

// Advances one system instance from communication point to communication
// point. It views the model's storage (time, integration, algebraic and delay
// states), owns the integrator, the event queues, a checkpoint of the state and
// a message buffer. Step lays the communication points on an exact decimal
// grid, cuts intervals at pending time events and sync points, lets the
// integrator take each step, locates state events and services time and
// interval events when their time is reached.
class OdeSolver {
public:
    OdeSolver();
    virtual ~OdeSolver();
    OdeSolver(const OdeSolver&) = delete;
    OdeSolver& operator=(const OdeSolver&) = delete;

    // ---- set-up -------------------------------------------------------------
    virtual bool Initialize(IntegrationAlgorithm algorithm, double* indVar,
                            uint32_t numStates, double* states, double* derivatives,
                            double* initialConditions, uint32_t numAlgStates, double* algStates,
                            double* residuals, double* algInitialConditions,
                            uint32_t numDelayStates, double* delayCurrent, double* delayNext,
                            double* delayInitial, DerivativeFunction derivativeFunction);
    virtual void Finalize();
    bool Terminate() { return true; }

    // Replaces the integrator by the one for the current algorithm code.
    bool InitializeIntegrator();
    // Replaces the integrator by the given one (null leaves none), binds its
    // settings to the solver's and initializes it over the model's arrays.
    bool InstallIntegrator(std::unique_ptr<Integrator> integrator);
    Integrator* GetIntegrator() const { return integrator_.get(); }

    static bool IsSupportedAlgorithm(int32_t algorithm);
    void SetIntegrationAlgorithm(IntegrationAlgorithm algorithm) { algorithm_ = algorithm; }
    IntegrationAlgorithm GetIntegrationAlgorithm() const { return algorithm_; }

    // ---- run control --------------------------------------------------------
    // One communication interval; false (with the stop flag set) on failure.
    bool Step();
    // Next step size h; makes an integrator with history start afresh.
    void Restart(double h);
    // The right-hand side or the states changed outside the integrator (an
    // event serviced, a host write): a method with history starts afresh at
    // its next step instead of continuing from a history that no longer holds.
    void RequestRestart() {
        if (integrator_) integrator_->restartRequested = true;
    }

    void SetInitializationInProgress(bool inProgress);
    bool GetInitializationInProgress() const { return initializationInProgress_; }
    void SetDerivativeFunction(DerivativeFunction function);
    // The model's analytic Jacobian for the methods that use one, or null;
    // taken by the next Initialize (it must outlive the solver's use).
    void SetAnalyticJacobian(const AnalyticJacobian* jacobian) { analyticJacobian_ = jacobian; }
    void SetDerivFuncArg1(uint32_t arg);
    void SetDerivFuncArg2(uint32_t arg);
    uint32_t GetDerivFuncArg1() const { return derivFuncArg1_; }
    uint32_t GetDerivFuncArg2() const { return derivFuncArg2_; }

    // Refreshed by the runtime from cint, nstp, maxt and mint before each Step.
    void SetCommInterval(double interval) { commInterval_ = interval; }
    double GetCommInterval() const { return commInterval_; }
    void SetStepsPerCint(int32_t steps) { stepsPerInterval_ = steps; }
    int32_t GetStepsPerCint() const { return stepsPerInterval_; }
    void SetMaxStepSize(double h) { maxStepSize_ = h; }
    double GetMaxStepSize() const { return maxStepSize_; }
    void SetMinStepSize(double h) { minStepSize_ = h; }
    double GetMinStepSize() const { return minStepSize_; }
    void SetNominalStepSize(double h) { nominalStep_ = h; }
    double GetNominalStepSize() const { return nominalStep_; }
    void SetStepSize(double h) { stepSize_ = h; }
    double GetStepSize() const { return stepSize_; }
    // Recompute the interval grid from the current time at the next interval.
    void SetForceRecalculation(bool force) { forceRecalculation_ = force; }
    bool GetForceRecalculation() const { return forceRecalculation_; }
    // True from Initialize until the first Step.
    bool GetFirstInterval() const { return firstInterval_; }

    // Grid and step-loop state, read by the runtime and by diagnostics.
    double GetGridScale() const { return gridScale_; }
    double GetScaledInterval() const { return scaledInterval_; }
    double GetScaledIntervalStart() const { return scaledIntervalStart_; }
    double GetIntervalEnd() const { return intervalEnd_; }
    double GetStepTarget() const { return stepTarget_; }
    double GetTimeTolerance() const { return timeTolerance_; }
    bool GetCheckpointEachStep() const { return checkpointEachStep_; }

    // ---- grid and steps -----------------------------------------------------
    bool CalcIntervalEnd();
    // Earliest pending sync point, time or interval event; false if none.
    bool CheckForIndependentVarEvents(double* out);
    bool CalcStepSize();
    bool IntegratorStep();

    // ---- states -------------------------------------------------------------
    void CopyInitCondsToStates();
    void CopyStatesToInitConds();
    // current := next for every delay state keyed to the section.
    void UpdateDelayStates(uint32_t section);
    // One discrete-section number per delay state; null without delay states.
    int32_t* GetDelayKeys() { return delayKeys_.empty() ? nullptr : delayKeys_.data(); }
    uint32_t GetNumDelayStates() const { return numDelayStates_; }
    bool SaveState();
    bool RestoreState();

    // ---- sync points --------------------------------------------------------
    void AddSyncPoints(int32_t count, const double* times);
    void ClearSyncPoints() { syncPoints_.clear(); }
    const std::vector<double>& GetSyncPoints() const { return syncPoints_; }

    // ---- time and interval events ------------------------------------------
    // Time event (type 0) or state-event report (types 2 to 4); always false.
    bool AddEvent(uint32_t id, OdeEventType type, double value, uint32_t arg1, uint32_t section,
                  bool* serviceFlag);
    void AddIntervalEvent(uint32_t id, uint32_t arg1, uint32_t section, double* interval);
    bool HandleIndependentVarEvents();
    void ClearEventQueues();
    EventQueue& TimeEvents() { return timeEvents_; }
    EventQueue& IntervalEvents() { return intervalEvents_; }

    // ---- state events -------------------------------------------------------
    bool CheckForZeroCrossing(OdeEvent* previous, OdeEvent* current);
    bool CheckForZeroCrossings();
    // 0: no sign change in the bracket; 1: next trial time in out; 2: located at out.
    int32_t FindZeroCrossing(OdeEvent* previous, OdeEvent* current, OdeEvent* work, double* out,
                             double minStep, double tolerance);
    // 1: trial time ahead; 2: trial time behind (restore); 3: located; 4: none left.
    int32_t FindZeroCrossings();
    bool HandleStateEvents();
    void DispatchPendingStateEvents();
    void UpdateWorkZeroCrossingEventQueue();
    EventQueue& PreviousValues() { return previousValues_; }
    EventQueue& CurrentValues() { return currentValues_; }
    EventQueue& WorkValues() { return workValues_; }
    const std::vector<OdeEvent*>& PendingStateEvents() const { return pendingStateEvents_; }

    // ---- messages -----------------------------------------------------------
    // Appends the text and a line feed to the message buffer.
    void WriteMessage(const char* text);
    void WriteFormatted(const char* format, ...) __attribute__((format(printf, 2, 3)));
    const std::string& GetMessageBuffer() const { return messageBuffer_; }
    // Takes the accumulated messages, leaving the buffer empty.
    std::string TakeMessages();
    void ClearMessages() { messageBuffer_.clear(); }
    // Solver summary on standard output.
    void DebugDump(const char* label);

    // Bound to the model's settings variables by the runtime.
    IntegratorSettings settings;

private:
    // Where the step loop was heading before a state event was located.
    struct LoopPosition {
        double stepSize;
        double stepTarget;
        double scaledIntervalStart;
    };

    bool IsVariableStep() const;
    // Runs the model's section for the event: service flag raised, the
    // event's derivative arguments, its delay states updated first.
    void ServiceEvent(const OdeEvent& event);
    // Relative time tolerance scaled by max(|time|, communication interval).
    double TimeTolerance(double time) const;
    // False, with a message, for limits that would step backwards or forever.
    bool CheckStepLimits();
    // Names every queued time or interval event that is not ahead of t.
    void ReportEventsNotAhead();
    // Undoes the advance of the grid made when the interval end became the
    // step target, so that the same grid point is the next one again.
    void ReopenInterval();
    // After events serviced inside the interval: the step target again from
    // the interval end and the pending time events, which the sections may
    // have changed.
    void RetargetAfterEvents();
    // Drops the located events whose function has not crossed at the current
    // point as integrated now.
    void KeepCrossedPendingEvents();
    // Start-of-step event-function values from the end of the last step, for
    // methods whose flagged first evaluation is not at the step's start.
    void SeedPreviousValues();
    void RecordStepResults();
    LoopPosition GetLoopPosition() const;
    void SetLoopPosition(const LoopPosition& position);
    // Sets the stop flag; false.
    bool Stop();

    IntegrationAlgorithm algorithm_ = AlgorithmUninitialized;
    double* indVar_ = nullptr;
    uint32_t numStates_ = 0;
    double* states_ = nullptr;
    double* derivatives_ = nullptr;
    double* initialConditions_ = nullptr;
    uint32_t numAlgStates_ = 0;
    double* algStates_ = nullptr;
    double* residuals_ = nullptr;
    double* algInitialConditions_ = nullptr;
    uint32_t numDelayStates_ = 0;
    double* delayCurrent_ = nullptr;
    double* delayNext_ = nullptr;
    double* delayInitial_ = nullptr;
    std::vector<int32_t> delayKeys_;
    DerivativeFunction derivativeFunction_ = nullptr;
    const AnalyticJacobian* analyticJacobian_ = nullptr;
    double stepSize_ = 0.01;
    double minStepSize_ = 1e-10;
    double maxStepSize_ = 1e10;
    uint32_t derivFuncArg1_ = 0;
    uint32_t derivFuncArg2_ = 0;
    bool initializationInProgress_ = false;
    double commInterval_ = 0.1;
    double scaledInterval_ = 0.0;
    double lastInterval_ = -1.0;
    double gridScale_ = 1.0;
    // Signed so that a non-positive nstp from the model can be refused.
    int32_t stepsPerInterval_ = 10;
    bool firstInterval_ = true;
    double stepTarget_ = 0.0;
    double scaledIntervalStart_ = 0.0;
    double scaledIntervalEnd_ = 0.0;
    double intervalEnd_ = 0.0;
    double nominalStep_ = 0.01;
    double timeTolerance_ = 1e-15;
    std::unique_ptr<Integrator> integrator_;
    bool checkpointEachStep_ = false;
    EventQueue intervalEvents_;
    EventQueue timeEvents_;
    uint32_t nextTimeEventNumber_ = 1;
    EventQueue previousValues_;
    EventQueue currentValues_;
    EventQueue workValues_;
    std::vector<OdeEvent*> pendingStateEvents_;  // records of currentValues_
    CheckPoint checkPoint_;
    StateStorageMemory stateStorage_;
    bool forceRecalculation_ = false;
    bool stepInProgress_ = false;  // inside the integrator's Step
    double stepStartTime_ = 0.0;
    std::string messageBuffer_;
    std::vector<double> syncPoints_;
};
