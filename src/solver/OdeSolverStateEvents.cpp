#include <algorithm>
#include <cfloat>
#include <cmath>

#include "solver/OdeSolver.h"
#include "solver/RootFinding.h"

namespace {

// Location halves the bracket or moves by half the tolerance per pass; far
// more passes than that mean the model's event function is not repeatable.
constexpr int kMaxLocationPasses = 1000;

OdeEvent* FindRecord(EventQueue& queue, uint32_t id) {
    return static_cast<OdeEvent*>(queue.GetEvent(id));
}

}  // namespace

bool OdeSolver::CheckForZeroCrossing(OdeEvent* previous, OdeEvent* current) {
    if (!previous || !current) return false;
    const double p = previous->GetValue();
    const double c = current->GetValue();
    // A NaN product is no crossing; a start exactly on zero never starts one.
    if (!(p * c <= 0.0) || p == 0.0) return false;
    switch (previous->GetType()) {
    case StateEvent: return true;
    case RisingStateEvent: return c > p;
    case FallingStateEvent: return p > c;
    default: return false;
    }
}

bool OdeSolver::CheckForZeroCrossings() {
    if (previousValues_.GetNumberPendingEvents() == 0 || currentValues_.GetNumberPendingEvents() == 0)
        return false;
    for (EventQueue* queue : {&previousValues_, &currentValues_}) {
        for (auto it = queue->GetListStart(); !queue->IsListEnd(it); ++it)
            static_cast<OdeEvent*>(queue->GetEvent(it))->SetTriggered(false);
    }
    bool found = false;
    for (auto it = previousValues_.GetListStart(); !previousValues_.IsListEnd(it); ++it) {
        auto* previous = static_cast<OdeEvent*>(previousValues_.GetEvent(it));
        OdeEvent* current = FindRecord(currentValues_, previous->GetEventId());
        if (!CheckForZeroCrossing(previous, current)) continue;
        previous->SetTriggered(true);
        current->SetTriggered(true);
        found = true;
    }
    return found;
}

int32_t OdeSolver::FindZeroCrossing(OdeEvent* previous, OdeEvent* current, OdeEvent* work,
                                    double* out, double minStep, double tolerance) {
    if (!previous || !current) return 0;
    double a = previous->GetTimeStamp();
    double fa = previous->GetValue();
    const OdeEvent* x = work ? work : previous;
    double xt = x->GetTimeStamp();
    double xv = x->GetValue();
    double ct = current->GetTimeStamp();
    double cv = current->GetValue();
    // b is the earlier of the two, the one from the work store on equal times.
    double b = xt, fb = xv, c = ct, fc = cv;
    if (ct < xt) {
        b = ct;
        fb = cv;
        c = xt;
        fc = xv;
    }
    bool converged = false;
    if (!RootFinding::Brent(a, fa, b, fb, c, fc, minStep, tolerance, converged)) return 0;
    if (out) *out = b;
    return converged ? 2 : 1;
}

int32_t OdeSolver::FindZeroCrossings() {
    const double t = indVar_ ? *indVar_ : 0.0;
    const double tolerance = std::max(minStepSize_, 1e-15 * std::max(std::fabs(t), commInterval_));
    double best = DBL_MAX;
    bool located = false;
    bool narrowing = false;

    for (auto it = previousValues_.GetListStart(); !previousValues_.IsListEnd(it); ++it) {
        auto* previous = static_cast<OdeEvent*>(previousValues_.GetEvent(it));
        if (!previous->IsTriggered()) continue;
        OdeEvent* current = FindRecord(currentValues_, previous->GetEventId());
        OdeEvent* work = FindRecord(workValues_, previous->GetEventId());
        double out = 0.0;
        switch (FindZeroCrossing(previous, current, work, &out, minStepSize_, tolerance)) {
        case 2:
            // A crossing later than one found earlier waits: the earlier one
            // is located and serviced first, the later shows again afterwards.
            if ((narrowing || located) && out > best + (located ? tolerance : 0.0)) break;
            if (located && out < best - tolerance) {
                pendingStateEvents_.clear();
                best = out;
            } else {
                // Crossings within the tolerance are simultaneous: serviced
                // together once all of them have crossed.
                best = located ? std::max(best, out) : out;
            }
            pendingStateEvents_.push_back(current);
            located = true;
            narrowing = false;
            break;
        case 1:
            if (settings.GetWriteEventDescription()) {
                WriteFormatted("State event number %u", current->GetSection());
                WriteFormatted("Window between %lf and %lf, current value = %le.", std::min(out, t),
                               std::max(out, t), current->GetValue());
            }
            if (out < best) {
                best = out;
                narrowing = true;
                pendingStateEvents_.clear();
                located = false;
            }
            break;
        default:
            previous->SetTriggered(false);
            if (current) current->SetTriggered(false);
            if (work) work->SetTriggered(false);
            break;
        }
    }

    if (narrowing) {
        stepTarget_ = best;
        return t >= best ? 2 : 1;
    }
    if (located) {
        stepTarget_ = best;
        return 3;
    }
    return 4;
}

OdeSolver::LoopPosition OdeSolver::GetLoopPosition() const {
    return {stepSize_, stepTarget_, scaledIntervalStart_};
}

void OdeSolver::SetLoopPosition(const LoopPosition& position) {
    stepSize_ = position.stepSize;
    stepTarget_ = position.stepTarget;
    scaledIntervalStart_ = position.scaledIntervalStart;
}

bool OdeSolver::HandleStateEvents() {
    if (!CheckForZeroCrossings()) return true;

    const LoopPosition resume = GetLoopPosition();
    pendingStateEvents_.clear();
    workValues_.DeleteAllEvents();

    // Steps from the current point towards the trial time; a failing step ends the location.
    const auto stepTowardsTrial = [this] {
        if (!CalcStepSize()) return false;
        IntegratorStep();
        return !settings.GetStopFlag();
    };

    for (int pass = 0; pass < kMaxLocationPasses; ++pass) {
        switch (FindZeroCrossings()) {
        case 1:
            // The trial time lies ahead: the current point is crossing-free.
            if (!SaveState()) return Stop();
            if (!stepTowardsTrial()) return Stop();
            break;
        case 2: {
            // The trial time lies behind: back to the checkpoint.
            const bool restored = RestoreState();
            UpdateWorkZeroCrossingEventQueue();
            if (!restored) return Stop();
            if (!stepTowardsTrial()) return Stop();
            break;
        }
        case 3: {
            bool result = true;
            if (stepTarget_ > *indVar_) {
                // The located time is within the tolerance of t; when the last
                // step cannot be taken, only events already crossed at t are serviced.
                if (CalcStepSize())
                    IntegratorStep();
                else
                    result = Stop();
            }
            KeepCrossedPendingEvents();
            const bool serviced = !pendingStateEvents_.empty();
            DispatchPendingStateEvents();
            SetLoopPosition(resume);
            if (serviced) {
                if (settings.GetCommIntOnEvent())
                    settings.CommPointReached = true;
                else
                    RetargetAfterEvents();
            }
            return result;
        }
        default:
            // Every sign change vanished on re-integration: carry on towards
            // the target the step loop had before.
            SetLoopPosition(resume);
            return true;
        }
    }
    WriteFormatted("State event location did not converge near %lf.", *indVar_);
    return Stop();
}

void OdeSolver::KeepCrossedPendingEvents() {
    // A bracket end left from an earlier integration of the step may not lie
    // on the path integrated now: an event whose function has not crossed at
    // this point is dropped, and the step loop finds it again from here.
    std::erase_if(pendingStateEvents_, [this](OdeEvent* current) {
        if (current->GetValue() == 0.0) return false;
        return !CheckForZeroCrossing(FindRecord(previousValues_, current->GetEventId()), current);
    });
}

void OdeSolver::SeedPreviousValues() {
    const double t = *indVar_;
    for (auto it = currentValues_.GetListStart(); !currentValues_.IsListEnd(it); ++it) {
        auto* current = static_cast<OdeEvent*>(currentValues_.GetEvent(it));
        if (current->GetTimeStamp() != t) continue;  // not the end of the last step
        if (auto* previous = FindRecord(previousValues_, current->GetEventId())) {
            previous->SetTimeStamp(t);
            previous->SetValue(current->GetValue());
        } else {
            previousValues_.AddEvent(new OdeEvent(current));
        }
    }
}

void OdeSolver::UpdateWorkZeroCrossingEventQueue() {
    workValues_.DeleteAllEvents();
    for (auto it = currentValues_.GetListStart(); !currentValues_.IsListEnd(it); ++it)
        workValues_.AddEvent(new OdeEvent(static_cast<OdeEvent*>(currentValues_.GetEvent(it))));
}

void OdeSolver::DispatchPendingStateEvents() {
    for (OdeEvent* event : pendingStateEvents_) {
        ServiceEvent(*event);
        if (settings.GetWriteEventDescription())
            WriteFormatted("State event number %u serviced at %lf.", event->GetSection(),
                           indVar_ ? *indVar_ : 0.0);
        event->SetValue(0.0);
    }
    if (!pendingStateEvents_.empty() && integrator_) integrator_->restartRequested = true;
    pendingStateEvents_.clear();
}
