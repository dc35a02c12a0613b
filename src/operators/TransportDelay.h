#pragma once

#include <cstdint>

#include "operators/OperatorContext.h"

// A transport delay over a ring of n time/value samples held by the model:
// head is the newest committed sample, cursor the sample at or just before
// the delayed time (kept between calls so that searches stay short). Before
// the start the history reads as the constant ic.
class TransportDelay {
public:
    enum class Result {
        Written,           // output holds x delayed
        NegativeDelay,     // output untouched, cursor reset to head
        InsufficientArea,  // the ring is too short (or invalid); output untouched
    };

    TransportDelay() = delete;

    static Result Evaluate(const OperatorContext& context, double x, double ic, double delay,
                           int32_t n, double dtmin, double* output, double* time, double* value,
                           int32_t* head, int32_t* cursor, uint8_t* updateFlag);
};
