#pragma once

#include <cstdint>
#include <list>

#include "solver/Event.h"

// Events ordered by time stamp, ties by ascending id, equal ones in arrival
// order. The queue holds pointers: the Delete operations destroy what they
// take out, the Remove operations and the destructor only unlink. An event is
// held at most once and never as null.
class EventQueue {
public:
    using EventList = std::list<Event*>;
    using Iterator = EventList::iterator;

    EventQueue() = default;
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;
    virtual ~EventQueue() = default;

    // Null, or an event already queued here, is ignored.
    void AddEvent(Event* event);

    // Walking the queue: callers advance the iterator themselves and take the
    // next position before they unlink the current event.
    Iterator GetListStart() { return events_.begin(); }
    bool IsListEnd(Iterator position) const { return position == events_.end(); }
    Event* GetEvent(Iterator position) const { return IsListEnd(position) ? nullptr : *position; }

    // The first event in queue order with that id, or null.
    Event* GetEvent(uint32_t eventId) const;
    uint32_t GetNumberPendingEvents() const { return static_cast<uint32_t>(events_.size()); }

    void RemoveEvent(uint32_t eventId);
    void DeleteEvent(uint32_t eventId);
    void RemoveEvent(Event* event);
    void DeleteEvent(Event* event);
    void RemoveAllEvents() { events_.clear(); }
    void DeleteAllEvents();

    // The back of the queue: the greatest time stamp (the last of equal ones).
    Event* PeekNextEvent() const { return events_.empty() ? nullptr : events_.back(); }
    void RemoveNextEvent();
    void DeleteNextEvent();

    // Adds every event to `other` (re-ordered there) and empties this queue.
    void MoveTo(EventQueue* other);
    // Adds every event pointer to `other`: both queues then hold the same
    // objects, and only one of them may destroy them.
    void CopyTo(EventQueue* other);

private:
    // Unlinks the first event with that id and returns it, or null.
    Event* Unlink(uint32_t eventId);
    bool Unlink(Event* event);

    EventList events_;
};
