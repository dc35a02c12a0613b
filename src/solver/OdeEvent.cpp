#include "solver/OdeEvent.h"

OdeEvent::OdeEvent(double timeStamp, uint32_t id, OdeEventType type, double value,
                   uint32_t firstArgument, uint32_t section, bool* serviceFlag)
    : Event(timeStamp, id),
      type_(type),
      firstArgument_(firstArgument),
      section_(section),
      value_(value),
      serviceFlag_(serviceFlag) {}

OdeEvent::OdeEvent(double timeStamp, uint32_t id, OdeEventType type, double value,
                   uint32_t firstArgument, uint32_t section, double* interval)
    : Event(timeStamp, id),
      type_(type),
      firstArgument_(firstArgument),
      section_(section),
      value_(value),
      interval_(interval) {}

OdeEvent::OdeEvent(const OdeEvent* other)
    : Event(other->GetTimeStamp(), other->GetEventId()),
      type_(other->type_),
      firstArgument_(other->firstArgument_),
      section_(other->section_),
      value_(other->value_),
      serviceFlag_(other->serviceFlag_),
      interval_(other->interval_),
      triggered_(other->triggered_) {}
