#pragma once

#include <cstdint>

#include "solver/Event.h"
#include "solver/OdeEventType.h"

// A solver event: a time event (time stamp = due time), an interval event
// (time stamp = registration time, value = next due time) or a report of a
// state-event function (time stamp = time of the report). Servicing runs the
// model's derivative entry with (first argument, section).
class OdeEvent : public Event {
public:
    OdeEvent() = default;
    OdeEvent(double timeStamp, uint32_t id, OdeEventType type, double value, uint32_t firstArgument,
             uint32_t section, bool* serviceFlag);
    OdeEvent(double timeStamp, uint32_t id, OdeEventType type, double value, uint32_t firstArgument,
             uint32_t section, double* interval);
    // Time stamp, id and the solver's members; not the user data, process
    // ids or serial number.
    explicit OdeEvent(const OdeEvent* other);

    OdeEventType GetType() const { return type_; }
    uint32_t GetFirstArgument() const { return firstArgument_; }
    uint32_t GetSection() const { return section_; }
    double GetValue() const { return value_; }
    void SetValue(double value) { value_ = value; }
    bool* GetServiceFlag() const { return serviceFlag_; }
    double* GetInterval() const { return interval_; }
    bool IsTriggered() const { return triggered_; }
    void SetTriggered(bool triggered) { triggered_ = triggered; }

    // Raises the model's service flag, if any.
    void SetServiceFlag(bool raised) const {
        if (serviceFlag_) *serviceFlag_ = raised;
    }

private:
    OdeEventType type_ = TimeEvent;
    uint32_t firstArgument_ = 0;
    uint32_t section_ = 0;
    double value_ = 0.0;
    bool* serviceFlag_ = nullptr;
    double* interval_ = nullptr;
    bool triggered_ = false;
};
