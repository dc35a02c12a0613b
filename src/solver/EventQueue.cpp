#include "solver/EventQueue.h"

#include <algorithm>

void EventQueue::AddEvent(Event* event) {
    if (event == nullptr) return;
    if (std::find(events_.begin(), events_.end(), event) != events_.end()) return;
    double time = event->GetTimeStamp();
    uint32_t id = event->GetEventId();
    auto position = std::find_if(events_.begin(), events_.end(), [&](const Event* queued) {
        return queued->GetTimeStamp() > time ||
               (queued->GetTimeStamp() == time && id < queued->GetEventId());
    });
    events_.insert(position, event);
}

Event* EventQueue::GetEvent(uint32_t eventId) const {
    auto found = std::find_if(events_.begin(), events_.end(),
                              [&](const Event* queued) { return queued->GetEventId() == eventId; });
    return found == events_.end() ? nullptr : *found;
}

Event* EventQueue::Unlink(uint32_t eventId) {
    auto found = std::find_if(events_.begin(), events_.end(),
                              [&](const Event* queued) { return queued->GetEventId() == eventId; });
    if (found == events_.end()) return nullptr;
    Event* event = *found;
    events_.erase(found);
    return event;
}

bool EventQueue::Unlink(Event* event) {
    if (event == nullptr) return false;
    auto found = std::find(events_.begin(), events_.end(), event);
    if (found == events_.end()) return false;
    events_.erase(found);
    return true;
}

void EventQueue::RemoveEvent(uint32_t eventId) { Unlink(eventId); }

void EventQueue::DeleteEvent(uint32_t eventId) { delete Unlink(eventId); }

void EventQueue::RemoveEvent(Event* event) { Unlink(event); }

void EventQueue::DeleteEvent(Event* event) {
    if (Unlink(event)) delete event;
}

void EventQueue::DeleteAllEvents() {
    EventList doomed;
    doomed.swap(events_);
    for (Event* event : doomed) delete event;
}

void EventQueue::RemoveNextEvent() {
    if (!events_.empty()) events_.pop_back();
}

void EventQueue::DeleteNextEvent() {
    if (events_.empty()) return;
    Event* event = events_.back();
    events_.pop_back();
    delete event;
}

void EventQueue::MoveTo(EventQueue* other) {
    if (other == nullptr || other == this) return;
    EventList moving;
    moving.swap(events_);
    for (Event* event : moving) other->AddEvent(event);
}

void EventQueue::CopyTo(EventQueue* other) {
    if (other == nullptr || other == this) return;
    for (Event* event : events_) other->AddEvent(event);
}
