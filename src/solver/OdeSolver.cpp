#include "solver/OdeSolver.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "common/FormatText.h"
#include "solver/IntegrationMethods.h"
#include "common/ScopeExit.h"

namespace {

constexpr std::size_t kMessageReserve = 4096;

}  // namespace

OdeSolver::OdeSolver() { messageBuffer_.reserve(kMessageReserve); }

OdeSolver::~OdeSolver() {
    ClearEventQueues();
    if (integrator_) integrator_->Finalize();
}

bool OdeSolver::Initialize(IntegrationAlgorithm algorithm, double* indVar, uint32_t numStates,
                           double* states, double* derivatives, double* initialConditions,
                           uint32_t numAlgStates, double* algStates, double* residuals,
                           double* algInitialConditions, uint32_t numDelayStates,
                           double* delayCurrent, double* delayNext, double* delayInitial,
                           DerivativeFunction derivativeFunction) {
    settings.SetStopFlag(false);
    lastInterval_ = -1.0;
    gridScale_ = 1.0;
    stepsPerInterval_ = 10;
    commInterval_ = 0.1;
    scaledInterval_ = 0.0;
    stepTarget_ = 0.0;
    scaledIntervalStart_ = 0.0;
    stepSize_ = 0.01;
    checkpointEachStep_ = false;
    firstInterval_ = true;

    algorithm_ = algorithm;
    indVar_ = indVar;
    numStates_ = numStates;
    states_ = states;
    derivatives_ = derivatives;
    initialConditions_ = initialConditions;
    numAlgStates_ = numAlgStates;
    algStates_ = algStates;
    residuals_ = residuals;
    algInitialConditions_ = algInitialConditions;
    numDelayStates_ = numDelayStates;
    delayCurrent_ = delayCurrent;
    delayNext_ = delayNext;
    delayInitial_ = delayInitial;
    derivativeFunction_ = derivativeFunction;

    // Initialize also drops the records of an earlier run, so a restore can
    // never bring back a state from before this initialization.
    if (!stateStorage_.Initialize()) return false;

    checkPoint_.Initialize(1, &stateStorage_, nullptr, nullptr);
    const auto addBlock = [this](double* block, uint32_t count) {
        if (block) checkPoint_.AddCheckedBlock(block, count * sizeof(double), StateStoragePrimary);
    };
    addBlock(indVar_, 1);
    addBlock(states_, numStates_);
    addBlock(algStates_, numAlgStates_);
    addBlock(delayCurrent_, numDelayStates_);

    delayKeys_.assign(numDelayStates_, 0);

    InitializeIntegrator();
    CopyInitCondsToStates();
    return true;
}

void OdeSolver::Finalize() {
    if (integrator_) integrator_->Finalize();
    integrator_.reset();
    std::vector<int32_t>().swap(delayKeys_);
    checkPoint_.Finalize();
    stateStorage_.Finalize();
}

bool OdeSolver::InitializeIntegrator() { return InstallIntegrator(CreateIntegrator(algorithm_)); }

bool OdeSolver::InstallIntegrator(std::unique_ptr<Integrator> integrator) {
    if (integrator_) integrator_->Finalize();
    integrator_ = std::move(integrator);
    if (!integrator_) return true;
    integrator_->settings.Copy(&settings);
    // A new method starts with the solver's view of the run, not its own defaults.
    integrator_->initializationInProgress = initializationInProgress_;
    integrator_->derivFuncArg1 = derivFuncArg1_;
    integrator_->derivFuncArg2 = derivFuncArg2_;
    // The pattern covers ODE states only: a model with algebraic states keeps the differences.
    integrator_->analyticJacobian =
        analyticJacobian_ && numAlgStates_ == 0 && analyticJacobian_->Describes(numStates_) ? analyticJacobian_
                                                                                          : nullptr;
    return integrator_->Initialize(indVar_, numStates_, states_, derivatives_, initialConditions_,
                                   numAlgStates_, algStates_, residuals_, algInitialConditions_,
                                   derivativeFunction_);
}

bool OdeSolver::IsSupportedAlgorithm(int32_t algorithm) {
    const IntegrationMethod* method = FindIntegrationMethod(algorithm);
    return method && method->supported;
}

bool OdeSolver::IsVariableStep() const {
    const IntegrationMethod* method = FindIntegrationMethod(algorithm_);
    return method && method->stepKind == StepKind::Variable;
}

bool IsFixedStepAlgorithm(int32_t code) {
    const IntegrationMethod* method = FindIntegrationMethod(code);
    return method && method->stepKind == StepKind::Fixed;
}

void OdeSolver::Restart(double h) {
    stepSize_ = h;
    RequestRestart();
}

void OdeSolver::SetInitializationInProgress(bool inProgress) {
    initializationInProgress_ = inProgress;
    if (integrator_) integrator_->initializationInProgress = inProgress;
}

void OdeSolver::SetDerivativeFunction(DerivativeFunction function) {
    derivativeFunction_ = function;
    if (integrator_) integrator_->SetDerivativeFunction(function);
}

void OdeSolver::SetDerivFuncArg1(uint32_t arg) {
    derivFuncArg1_ = arg;
    if (integrator_) integrator_->derivFuncArg1 = arg;
}

void OdeSolver::SetDerivFuncArg2(uint32_t arg) {
    derivFuncArg2_ = arg;
    if (integrator_) integrator_->derivFuncArg2 = arg;
}

// ---- grid and steps ---------------------------------------------------------

double OdeSolver::TimeTolerance(double time) const {
    return timeTolerance_ * std::max(std::fabs(time), commInterval_);
}

bool OdeSolver::CalcIntervalEnd() {
    // The scale search below would never end for such an interval.
    if (!(commInterval_ > 0.0) || !std::isfinite(commInterval_)) return false;
    const double t = indVar_ ? *indVar_ : 0.0;

    if (commInterval_ != lastInterval_ || forceRecalculation_) {
        forceRecalculation_ = false;
        double scale = 1.0;
        for (;;) {
            scaledInterval_ = scale * commInterval_;
            const double x = scaledInterval_;
            if ((std::fabs(x - std::floor(x + 0.5)) <= timeTolerance_ && x > 0.5) ||
                timeTolerance_ * x > 1.0)
                break;
            scale *= 10.0;
        }
        scaledInterval_ = std::floor(scaledInterval_ + 0.5);
        gridScale_ = scale;
        lastInterval_ = commInterval_;
        scaledIntervalStart_ = gridScale_ * t;
    }

    scaledIntervalEnd_ = scaledIntervalStart_ + scaledInterval_;
    intervalEnd_ = scaledIntervalEnd_ / gridScale_;

    double pending = 0.0;
    if (CheckForIndependentVarEvents(&pending) &&
        intervalEnd_ - pending > timeTolerance_ * std::max(std::fabs(pending), commInterval_)) {
        stepTarget_ = pending;  // the same interval end is recomputed after the event
    } else {
        stepTarget_ = intervalEnd_;
        scaledIntervalStart_ = scaledIntervalEnd_;
    }
    return true;
}

void OdeSolver::ReopenInterval() {
    if (scaledIntervalStart_ == scaledIntervalEnd_) scaledIntervalStart_ = scaledIntervalEnd_ - scaledInterval_;
}

void OdeSolver::RetargetAfterEvents() {
    ReopenInterval();
    CalcIntervalEnd();
}

bool OdeSolver::CheckForIndependentVarEvents(double* out) {
    const double t = indVar_ ? *indVar_ : 0.0;
    double earliest = DBL_MAX;
    bool found = false;
    // A sync point within the time tolerance of t has been reached already;
    // heading for it again would add a vanishing step and a duplicate point.
    const double reached = t + TimeTolerance(t);
    for (const double time : syncPoints_) {
        if (time < DBL_MAX && time > reached) {
            earliest = time;
            found = true;
            break;
        }
    }
    for (EventQueue* queue : {&timeEvents_, &intervalEvents_}) {
        for (auto it = queue->GetListStart(); !queue->IsListEnd(it); ++it) {
            found = true;
            earliest = std::min(earliest, static_cast<OdeEvent*>(queue->GetEvent(it))->GetValue());
        }
    }
    if (out) *out = earliest;
    return found;
}

bool OdeSolver::CheckStepLimits() {
    if (std::isnan(maxStepSize_) || maxStepSize_ <= 0.0) {
        WriteFormatted("Maximum step size %g is not positive; the run is stopped.", maxStepSize_);
        return false;
    }
    if (IsFixedStepAlgorithm(algorithm_) && stepsPerInterval_ <= 0) {
        WriteFormatted("Number of steps per communication interval %d is not positive; "
                       "the run is stopped.",
                       stepsPerInterval_);
        return false;
    }
    return true;
}

bool OdeSolver::CalcStepSize() {
    const double t = indVar_ ? *indVar_ : 0.0;
    const double remaining = stepTarget_ - t;

    if (IsFixedStepAlgorithm(algorithm_)) {
        if (!CheckStepLimits()) return false;
        stepSize_ = std::min(commInterval_ / stepsPerInterval_, maxStepSize_);
        if (stepSize_ > remaining) stepSize_ = remaining;
    } else if (IsVariableStep()) {
        if (!CheckStepLimits()) return false;
        double h = std::min(stepSize_, maxStepSize_);
        if (!(h > 0.0)) return false;
        nominalStep_ = h;
        // Equal steps over the remaining distance, the last one landing on the target.
        const double steps = std::floor(remaining / h + 0.999999);
        stepSize_ = steps < 1.0 ? remaining : remaining / steps;
    } else if (algorithm_ == AlgorithmUninitialized) {
        stepSize_ = std::max(minStepSize_, maxStepSize_);
    }
    return stepSize_ > 0.0;
}

bool OdeSolver::IntegratorStep() {
    if (!integrator_) return true;
    const bool variableStep = IsVariableStep();
    if (variableStep || IsFixedStepAlgorithm(algorithm_)) {
        SeedPreviousValues();
        stepStartTime_ = *indVar_;
        stepInProgress_ = true;
        ScopeExit done([this] { stepInProgress_ = false; });
        integrator_->stepSize = stepSize_;
        integrator_->Step();
        if (variableStep)
            stepSize_ = integrator_->stepSizeChanged ? integrator_->stepSize : nominalStep_;
    }

    integrator_->PostStepEvaluation();
    if (numAlgStates_ != 0 && !integrator_->CalculateAlgebraicStates()) settings.SetStopFlag(true);
    return true;
}

bool OdeSolver::Stop() {
    settings.SetStopFlag(true);
    return false;
}

void OdeSolver::RecordStepResults() {
    if (!integrator_) return;
    settings.SetCurrIntegrationOrder(integrator_->order);
    settings.SetCurrActualStepSize(integrator_->stepSize);
}

void OdeSolver::ReportEventsNotAhead() {
    const double t = indVar_ ? *indVar_ : 0.0;
    const double tolerance = TimeTolerance(t);
    const auto report = [&](EventQueue& queue, const char* kind) {
        for (auto it = queue.GetListStart(); !queue.IsListEnd(it); ++it) {
            const auto* event = static_cast<const OdeEvent*>(queue.GetEvent(it));
            if (event->GetValue() - t <= tolerance)
                WriteFormatted("%s event number %u is due at %lf, not after the current time %lf.",
                               kind, event->GetSection(), event->GetValue(), t);
        }
    };
    report(timeEvents_, "Independent variable");
    report(intervalEvents_, "Interval");
}

bool OdeSolver::Step() {
    settings.CommPointReached = false;
    if (integrator_) {
        integrator_->computeJacobValidity = settings.GetComputeJacobValidity();
        integrator_->maxOrder = settings.GetMaxIntegOrder();
        integrator_->jacobNonlinThresh = settings.GetJacobNonlinThresh();
        integrator_->twoSidedMatrixEval = settings.GetTwoSidedMatrixEval();
        integrator_->writeNormalData = settings.GetWriteNormalData();
        integrator_->writeExtraData = settings.GetWriteExtraData();
    }

    // A NaN interval would hang the grid search just as a negative one.
    if (!(commInterval_ > 0.0) || !std::isfinite(commInterval_)) {
        WriteMessage("Communication interval negative or zero.");
        return Stop();
    }
    // Without a method the loop would never advance.
    if (!integrator_ || !indVar_) {
        WriteFormatted("No integrator for integration algorithm %d; the run is stopped.",
                       static_cast<int32_t>(algorithm_));
        return Stop();
    }

    firstInterval_ = false;
    CalcIntervalEnd();
    if (!std::isfinite(intervalEnd_)) {
        WriteFormatted("Communication interval %g cannot be laid on the time grid; the run is stopped.",
                       commInterval_);
        return Stop();
    }

    while (!settings.GetStopFlag()) {
        if (!CalcStepSize()) {
            ReportEventsNotAhead();
            return Stop();
        }
        // A step below the resolution of t would repeat for ever.
        if (*indVar_ + stepSize_ == *indVar_) {
            WriteFormatted("Step size %g does not advance the independent variable from %lf; "
                           "the run is stopped.",
                           stepSize_, *indVar_);
            return Stop();
        }
        if (checkpointEachStep_ && !SaveState()) return Stop();
        if (!IntegratorStep()) return Stop();
        // A state that is no longer a number only gets worse, and a method
        // with error control would creep on at its smallest step: the
        // interval ends here, and the run loop reports the state and its time.
        if (!integrator_->OdeStatesFinite()) break;
        if (!HandleStateEvents()) return Stop();

        const double t = *indVar_;
        const double tolerance = TimeTolerance(t);
        if (stepTarget_ - t > tolerance) {
            if (settings.CommPointReached) {
                // A state event ended the interval early: head for the same
                // grid point again next time instead of skipping it.
                ReopenInterval();
                HandleIndependentVarEvents();
                break;
            }
            continue;
        }
        // Steps that add up to the target (fixed steps of cint/nstp) miss it by
        // rounding; land on it so that grid points and tests such as t >= tstop
        // are exact.
        *indVar_ = stepTarget_;

        HandleIndependentVarEvents();
        if (settings.GetCommIntOnEvent() || intervalEnd_ - t <= tolerance) {
            settings.CommPointReached = true;
            break;
        }
        CalcIntervalEnd();
        if (settings.CommPointReached) {
            HandleIndependentVarEvents();
            break;
        }
    }

    RecordStepResults();
    return true;
}

// ---- states -----------------------------------------------------------------

void OdeSolver::CopyInitCondsToStates() {
    if (delayCurrent_ && delayNext_ && delayInitial_) {
        std::copy_n(delayInitial_, numDelayStates_, delayCurrent_);
        std::copy_n(delayInitial_, numDelayStates_, delayNext_);
    }
    if (integrator_) integrator_->CopyInitCondsToStates();
}

void OdeSolver::CopyStatesToInitConds() {
    if (delayCurrent_ && delayInitial_) std::copy_n(delayCurrent_, numDelayStates_, delayInitial_);
    if (integrator_) integrator_->CopyStatesToInitConds();
}

void OdeSolver::UpdateDelayStates(uint32_t section) {
    if (!delayCurrent_ || !delayNext_) return;
    for (std::size_t i = 0; i < delayKeys_.size() && i < numDelayStates_; ++i) {
        if (static_cast<uint32_t>(delayKeys_[i]) == section) delayCurrent_[i] = delayNext_[i];
    }
}

bool OdeSolver::SaveState() {
    stateStorage_.SetPosition(0);
    if (checkPoint_.Save()) return true;
    WriteMessage("Unable to checkpoint state variables.");
    return false;
}

bool OdeSolver::RestoreState() {
    stateStorage_.SetPosition(0);
    if (!checkPoint_.Restore()) {
        WriteMessage("Unable to restore state variables.");
        return false;
    }
    RequestRestart();
    return true;
}

void OdeSolver::AddSyncPoints(int32_t count, const double* times) {
    if (count <= 0 || !times) return;
    std::vector<double> merged;
    merged.reserve(syncPoints_.size() + static_cast<std::size_t>(count));
    std::size_t i = 0;
    int32_t j = 0;
    while (i < syncPoints_.size() && j < count) {
        if (syncPoints_[i] < times[j]) {
            merged.push_back(syncPoints_[i++]);
        } else if (times[j] < syncPoints_[i]) {
            merged.push_back(times[j++]);
        } else {
            merged.push_back(times[j++]);
            ++i;
        }
    }
    merged.insert(merged.end(), syncPoints_.begin() + static_cast<std::ptrdiff_t>(i), syncPoints_.end());
    merged.insert(merged.end(), times + j, times + count);
    syncPoints_.swap(merged);
}

// ---- messages ---------------------------------------------------------------

void OdeSolver::WriteMessage(const char* text) {
    messageBuffer_.append(text ? text : "");
    messageBuffer_.push_back('\n');
}

void OdeSolver::WriteFormatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendFormattedV(messageBuffer_, format, args);
    va_end(args);
    messageBuffer_.push_back('\n');
}

std::string OdeSolver::TakeMessages() {
    std::string taken;
    taken.reserve(kMessageReserve);
    taken.swap(messageBuffer_);
    return taken;
}

void OdeSolver::DebugDump(const char* label) {
    static const char kRule[] = "==============================================================";
    std::printf("%s\n", kRule);
    std::printf("Beginning of debug dump: [%s]\n", label ? label : "");
    std::printf("\tIntegration Alg: %d\n", static_cast<int32_t>(algorithm_));
    std::printf("\tIndependent Var: %le\n", indVar_ ? *indVar_ : 0.0);
    std::printf("\tNum Integration States: %u\n", numStates_);
    std::printf("\tNum Algebraic States: %u\n", numAlgStates_);
    std::printf("\tNum Delay States: %u\n", numDelayStates_);
    std::printf("\tCommunication Interval: %le\n", commInterval_);
    std::printf("\tNum Steps per Communication Interval: %d\n", stepsPerInterval_);
    std::printf("\tStep Size: %le\n", stepSize_);
    std::printf("\tMin Step Size: %le\n", minStepSize_);
    std::printf("\tMax Step Size: %le\n", maxStepSize_);
    std::printf("End of debug dump...\n");
    std::printf("%s\n", kRule);
    std::fflush(stdout);
}
