#include <cmath>

#include "solver/OdeSolver.h"
#include "common/ScopeExit.h"

bool OdeSolver::AddEvent(uint32_t id, OdeEventType type, double value, uint32_t arg1,
                         uint32_t section, bool* serviceFlag) {
    const double t = indVar_ ? *indVar_ : 0.0;
    if (type == TimeEvent) {
        if (initializationInProgress_) return false;
        timeEvents_.AddEvent(new OdeEvent(value, nextTimeEventNumber_++, TimeEvent, value, arg1,
                                          section, serviceFlag));
        return false;
    }
    if (!IsStateEventType(type)) return false;

    // Reports made while the model initializes only announce that the model
    // has state events: from now on every step starts from a checkpoint.
    if (initializationInProgress_) {
        checkpointEachStep_ = true;
        return false;
    }
    if (!integrator_) return false;
    EventQueue* store = nullptr;
    if (integrator_->firstDerivEval) {
        // A flagged evaluation inside the step does not describe its start.
        if (stepInProgress_ && t != stepStartTime_) return false;
        store = &previousValues_;
    } else if (integrator_->postStepDerivEval)
        store = &currentValues_;
    else
        return false;  // evaluations inside a method's stages do not count

    if (auto* record = static_cast<OdeEvent*>(store->GetEvent(id))) {
        record->SetTimeStamp(t);
        record->SetValue(value);
        return false;
    }
    store->AddEvent(new OdeEvent(t, id, type, value, arg1, section, serviceFlag));
    // Sized here so that locating crossings appends without allocating.
    if (store == &currentValues_) pendingStateEvents_.reserve(currentValues_.GetNumberPendingEvents());
    return false;
}

void OdeSolver::AddIntervalEvent(uint32_t id, uint32_t arg1, uint32_t section, double* interval) {
    if (initializationInProgress_ || !indVar_) return;
    const double t = *indVar_;
    intervalEvents_.AddEvent(new OdeEvent(t, id, IntervalEvent, t, arg1, section, interval));
}

void OdeSolver::ServiceEvent(const OdeEvent& event) {
    event.SetServiceFlag(true);
    ScopeExit lower([&event] { event.SetServiceFlag(false); });
    if (!integrator_) {
        UpdateDelayStates(event.GetSection());
        if (derivativeFunction_) derivativeFunction_(event.GetFirstArgument(), event.GetSection());
        return;
    }
    Integrator& method = *integrator_;
    const uint32_t arg1 = method.derivFuncArg1;
    const uint32_t arg2 = method.derivFuncArg2;
    ScopeExit restore([&method, arg1, arg2] {
        method.derivFuncArg1 = arg1;
        method.derivFuncArg2 = arg2;
    });
    method.derivFuncArg1 = event.GetFirstArgument();
    method.derivFuncArg2 = event.GetSection();
    UpdateDelayStates(event.GetSection());
    method.CalculateDerivatives();
}

bool OdeSolver::HandleIndependentVarEvents() {
    if (!indVar_) return true;
    bool serviced = true;
    bool anyServiced = false;
    while (serviced) {
        serviced = false;

        for (auto it = timeEvents_.GetListStart(); !timeEvents_.IsListEnd(it);) {
            auto* event = static_cast<OdeEvent*>(timeEvents_.GetEvent(it++));
            const double t = *indVar_;
            if (std::fabs(event->GetValue() - t) > TimeTolerance(t)) continue;
            timeEvents_.RemoveEvent(event);
            serviced = anyServiced = true;
            std::unique_ptr<OdeEvent> owned(event);
            ServiceEvent(*event);
            if (settings.GetWriteEventDescription())
                WriteFormatted("Independent variable event number %u serviced at %lf.",
                               event->GetSection(), *indVar_);
        }

        for (auto it = intervalEvents_.GetListStart(); !intervalEvents_.IsListEnd(it);) {
            auto* event = static_cast<OdeEvent*>(intervalEvents_.GetEvent(it++));
            const double t = *indVar_;
            if (std::fabs(event->GetValue() - t) > TimeTolerance(t)) continue;
            serviced = anyServiced = true;
            ServiceEvent(*event);
            if (settings.GetWriteEventDescription())
                WriteFormatted("Interval event number %u serviced at %lf.", event->GetSection(),
                               *indVar_);
            // A period that does not take the next due time beyond the due
            // tolerance would make the event due again at once, for ever:
            // serviced once, then dropped.
            const double* period = event->GetInterval();
            const double now = *indVar_;
            if (!period || !std::isfinite(*period) || !(*period > 0.0)) {
                WriteFormatted("Interval event number %u has no positive interval and is removed.",
                               event->GetSection());
                intervalEvents_.DeleteEvent(event);
            } else if (!(*period + now - now > TimeTolerance(now))) {
                WriteFormatted("Interval event number %u has an interval of %g, too small to advance "
                               "the time from %lf, and is removed.",
                               event->GetSection(), *period, now);
                intervalEvents_.DeleteEvent(event);
            } else {
                event->SetValue(*period + now);
            }
        }
    }
    // The sections may have changed what the derivatives depend on (a dose
    // switched on): evaluate them again, so that methods starting from the
    // stored derivatives, and the values reported at this point, see the
    // model as it is after its events; a method with history starts afresh.
    if (anyServiced && integrator_) {
        integrator_->CalculateDerivatives();
        RequestRestart();
    }
    return true;
}

void OdeSolver::ClearEventQueues() {
    previousValues_.DeleteAllEvents();
    currentValues_.DeleteAllEvents();
    workValues_.DeleteAllEvents();
    pendingStateEvents_.clear();
    timeEvents_.DeleteAllEvents();
    intervalEvents_.DeleteAllEvents();
}
