#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "solver/Event.h"
#include "solver/EventQueue.h"

namespace {

// Counts destructions so tests can tell Delete from Remove.
class TrackedEvent : public Event {
public:
    TrackedEvent(double time, uint32_t id, int* destroyed) : Event(time, id), destroyed_(destroyed) {}
    ~TrackedEvent() override { ++*destroyed_; }

private:
    int* destroyed_;
};

std::vector<std::pair<double, uint32_t>> Contents(EventQueue& queue) {
    std::vector<std::pair<double, uint32_t>> out;
    for (auto it = queue.GetListStart(); !queue.IsListEnd(it); ++it) {
        Event* e = queue.GetEvent(it);
        out.emplace_back(e->GetTimeStamp(), e->GetEventId());
    }
    return out;
}

using Order = std::vector<std::pair<double, uint32_t>>;

TEST(EventQueue, OrdersByTimeThenIdAndKeepsArrivalOrderForEqualKeys) {
    Event a(2.0, 5);
    Event b(1.0, 7);
    Event c(2.0, 3);
    EventQueue queue;
    queue.AddEvent(&a);
    queue.AddEvent(&b);
    queue.AddEvent(&c);
    queue.AddEvent(nullptr);
    EXPECT_EQ(Contents(queue), (Order{{1.0, 7}, {2.0, 3}, {2.0, 5}}));
    EXPECT_EQ(queue.GetNumberPendingEvents(), 3u);

    // Ids compare unsigned; an event equal in both keys goes after the others.
    Event big(2.0, 0xFFFFFFFFu);
    Event twin(2.0, 5);
    queue.AddEvent(&big);
    queue.AddEvent(&twin);
    EXPECT_EQ(Contents(queue), (Order{{1.0, 7}, {2.0, 3}, {2.0, 5}, {2.0, 5}, {2.0, 0xFFFFFFFFu}}));
    EXPECT_EQ(queue.GetEvent(5u), &a);
    queue.RemoveEvent(5u);
    EXPECT_EQ(queue.GetEvent(5u), &twin);

    // The same object is queued only once.
    queue.AddEvent(&b);
    EXPECT_EQ(queue.GetNumberPendingEvents(), 4u);
    EXPECT_EQ(queue.GetEvent(99u), nullptr);
    EXPECT_EQ(queue.GetEvent(queue.GetListStart()), &b);
    queue.RemoveAllEvents();
    EXPECT_EQ(queue.GetEvent(queue.GetListStart()), nullptr);
}

TEST(EventQueue, NextEventIsTheBackOfTheQueue) {
    EventQueue queue;
    EXPECT_EQ(queue.PeekNextEvent(), nullptr);
    queue.RemoveNextEvent();
    queue.DeleteNextEvent();

    int destroyed = 0;
    auto* e1 = new TrackedEvent(1.0, 1, &destroyed);
    auto* e3 = new TrackedEvent(3.0, 2, &destroyed);
    auto* e3b = new TrackedEvent(3.0, 2, &destroyed);
    auto* e2 = new TrackedEvent(2.0, 3, &destroyed);
    for (Event* e : {static_cast<Event*>(e1), static_cast<Event*>(e3), static_cast<Event*>(e3b),
                     static_cast<Event*>(e2)})
        queue.AddEvent(e);
    EXPECT_EQ(queue.PeekNextEvent(), e3b);
    queue.RemoveNextEvent();
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(queue.PeekNextEvent(), e3);
    queue.DeleteNextEvent();
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(queue.PeekNextEvent(), e2);
    queue.DeleteAllEvents();
    EXPECT_EQ(destroyed, 3);
    delete e3b;
}

TEST(EventQueue, DeleteDestroysWhileRemoveAndDestructorOnlyUnlink) {
    int destroyed = 0;
    auto* a = new TrackedEvent(1.0, 1, &destroyed);
    auto* b = new TrackedEvent(2.0, 2, &destroyed);
    auto* c = new TrackedEvent(3.0, 3, &destroyed);
    TrackedEvent outsider(4.0, 4, &destroyed);
    {
        EventQueue queue;
        queue.AddEvent(a);
        queue.AddEvent(b);
        queue.AddEvent(c);

        queue.DeleteEvent(&outsider);  // not queued: left alone
        queue.DeleteEvent(nullptr);
        queue.DeleteEvent(42u);
        EXPECT_EQ(destroyed, 0);

        queue.RemoveEvent(a);
        queue.DeleteEvent(2u);
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(queue.GetNumberPendingEvents(), 1u);
    }
    EXPECT_EQ(destroyed, 1);  // the destructor left c alive
    delete a;
    delete c;
    EXPECT_EQ(destroyed, 3);
}

TEST(EventQueue, WalkersMayUnlinkTheCurrentEventAfterAdvancing) {
    int destroyed = 0;
    EventQueue queue;
    for (uint32_t id = 1; id <= 5; ++id) queue.AddEvent(new TrackedEvent(id, id, &destroyed));
    for (auto it = queue.GetListStart(); !queue.IsListEnd(it);) {
        Event* e = queue.GetEvent(it);
        ++it;
        if (e->GetEventId() % 2 == 0) queue.DeleteEvent(e);
    }
    EXPECT_EQ(Contents(queue), (Order{{1.0, 1}, {3.0, 3}, {5.0, 5}}));
    queue.DeleteAllEvents();
    EXPECT_EQ(destroyed, 5);
}

TEST(EventQueue, MoveToReordersIntoTheOtherQueueAndCopyToShares) {
    int destroyed = 0;
    EventQueue source;
    EventQueue target;
    target.AddEvent(new TrackedEvent(1.5, 1, &destroyed));
    source.AddEvent(new TrackedEvent(1.0, 1, &destroyed));
    source.AddEvent(new TrackedEvent(2.0, 1, &destroyed));
    source.MoveTo(&target);
    EXPECT_EQ(source.GetNumberPendingEvents(), 0u);
    EXPECT_EQ(Contents(target), (Order{{1.0, 1}, {1.5, 1}, {2.0, 1}}));
    source.MoveTo(nullptr);
    target.MoveTo(&target);
    EXPECT_EQ(target.GetNumberPendingEvents(), 3u);

    EventQueue copy;
    target.CopyTo(&copy);
    EXPECT_EQ(Contents(copy), Contents(target));
    for (auto it = copy.GetListStart(), jt = target.GetListStart(); !copy.IsListEnd(it); ++it, ++jt)
        EXPECT_EQ(copy.GetEvent(it), target.GetEvent(jt));
    // Only one of the two may destroy the shared events.
    copy.RemoveAllEvents();
    target.DeleteAllEvents();
    EXPECT_EQ(destroyed, 3);
}

TEST(Event, CopyHasOwnUserDataAndNoTargets) {
    const char bytes[] = {'a', 'b', '\0', 'c'};
    Event original(2.5, 9, bytes, sizeof bytes);
    original.SetSerialNumber(11);
    original.SetSourceProcessId(3);
    original.SetTargetProcessIdSet({1, 2, 3});

    Event copy(original);
    uint32_t size = 0;
    const char* data = copy.GetUserData(size);
    uint32_t originalSize = 0;
    const char* originalData = original.GetUserData(originalSize);
    ASSERT_EQ(size, sizeof bytes);
    ASSERT_NE(data, nullptr);
    EXPECT_NE(data, originalData);
    EXPECT_EQ(std::memcmp(data, bytes, sizeof bytes), 0);
    EXPECT_EQ(copy.GetTimeStamp(), 2.5);
    EXPECT_EQ(copy.GetEventId(), 9u);
    EXPECT_EQ(copy.GetSerialNumber(), 11u);
    EXPECT_EQ(copy.GetSourceProcessId(), 3u);
    EXPECT_TRUE(copy.GetTargetProcessIdSet().empty());
    EXPECT_EQ(original.GetTargetProcessIdSet(), (std::set<uint32_t>{1, 2, 3}));

    Event assigned;
    assigned.SetTargetProcessIdSet({7});
    assigned = original;
    EXPECT_EQ(assigned.GetUserData(size), std::as_const(assigned).GetUserData(size));
    EXPECT_NE(assigned.GetUserData(size), originalData);
    EXPECT_TRUE(assigned.GetTargetProcessIdSet().empty());

    // Replacing the data with a part of itself, and clearing it.
    char* own = original.GetUserData(size);
    original.SetUserData(own + 1, 2);
    data = original.GetUserData(size);
    ASSERT_EQ(size, 2u);
    EXPECT_EQ(data[0], 'b');
    original.SetUserData(nullptr, 5);
    EXPECT_EQ(original.GetUserData(size), nullptr);
    EXPECT_EQ(size, 0u);

    Event plain;
    EXPECT_EQ(plain.GetTimeStamp(), 0.0);
    EXPECT_EQ(plain.GetEventId(), 0u);
    EXPECT_EQ(plain.GetSerialNumber(), 0u);
    EXPECT_EQ(plain.GetUserData(size), nullptr);
}

}  // namespace
