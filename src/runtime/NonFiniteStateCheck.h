#pragma once

#include <cstdint>
#include <string>

class OrvoSimRuntime;

// Ends a run whose states or derivatives have become NaN or infinite, or
// whose states are beyond Integrator::kStateMagnitudeLimit: throws
// a TextException naming the first such variable and the time, so that the
// run ends in the error state rather than reporting numbers as results.
// Called after every communication interval; scans the state blocks without
// allocating, and builds the message only on failure.
void ThrowOnNonFiniteState(const OrvoSimRuntime& runtime, uint32_t instance);
// The text of that exception, or empty when every value is finite.
std::string NonFiniteStateDescription(const OrvoSimRuntime& runtime, uint32_t instance);
