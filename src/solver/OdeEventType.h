#pragma once

#include <cstdint>

// What an OdeEvent stands for, and so what its value member holds.
enum OdeEventType : int32_t {
    TimeEvent = 0,           // value: the due time
    IntervalEvent = 1,       // value: the next due time
    StateEvent = 2,          // value: latest event-function value; either direction
    RisingStateEvent = 3,    // crossing with the new value above the previous one
    FallingStateEvent = 4,   // crossing with the new value below the previous one
};

inline bool IsStateEventType(int32_t type) {
    return type == StateEvent || type == RisingStateEvent || type == FallingStateEvent;
}
