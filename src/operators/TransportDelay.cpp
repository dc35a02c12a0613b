#include "operators/TransportDelay.h"

#include <algorithm>
#include <limits>

TransportDelay::Result TransportDelay::Evaluate(const OperatorContext& context, double x,
                                                double ic, double delay, int32_t n, double dtmin,
                                                double* output, double* time, double* value,
                                                int32_t* head, int32_t* cursor,
                                                uint8_t* updateFlag)
{
    if (delay < 0.0) {
        *cursor = *head;
        return Result::NegativeDelay;
    }
    if (n < 2) return Result::InsufficientArea;
    const double t = context.t;
    if (context.initialising) {
        time[0] = std::numeric_limits<double>::lowest();
        value[0] = ic;
        time[1] = t;
        value[1] = ic;
        *head = 1;
        *cursor = 0;
    }
    // Indices come from model memory: refuse any that would leave the ring.
    int32_t h = *head;
    int32_t c = *cursor;
    if (h < 0 || h >= n || c < 0 || c >= n) return Result::InsufficientArea;

    if (context.stepStart) {
        *updateFlag = 0;
        // A negative spacing would store repeated times and break the interpolation.
        if (t > time[h] + std::max(dtmin, 0.0)) {
            h = (h + 1) % n;
            time[h] = t;
            value[h] = x;
            *head = h;
        }
    } else if (*updateFlag) {
        time[h] = t;
        value[h] = x;
    }

    const double td = t - delay;
    if (time[c] >= td) {
        do {
            c = (c + n - 1) % n;
            if (c == h) {
                *cursor = c;
                return Result::InsufficientArea;
            }
        } while (time[c] >= td);
    }
    int32_t next;
    for (;;) {
        next = (c + 1) % n;
        // Provisional point at the present, for interpolating past the newest
        // sample; the head does not move.
        if (c == h) {
            time[next] = t;
            value[next] = x;
        }
        if (!(td > time[next])) break;
        c = next;
    }
    *cursor = c;
    *output = value[c] + (td - time[c]) * (value[next] - value[c]) / (time[next] - time[c]);
    return Result::Written;
}
