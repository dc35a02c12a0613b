#pragma once

// The example scenario's recorded variables and one run of it, shared by the
// reference generator and the tests that compare methods against the reference.

#include <cstdint>
#include <string>
#include <vector>

#include "Trajectory.h"

// The model's default method and tolerances (1e-4 relative and absolute).
constexpr int32_t kDefaultAlgorithm = 14;
constexpr double kDefaultTolerance = 0.0;

// The variables of the reference trajectory, after the time.
const std::vector<std::string>& ExampleScenarioColumns();

// Runs the example scenario (to t = 2400 h, reported daily) with the given
// method and, when `relative` is positive, those tolerances on every state;
// `stepsPerInterval` is nstp (the interval between DLSODES calls is
// cint / nstp, and DLSODES takes at most 500 steps in one call). `messages`
// receives what the run reported.
Trajectory RunExampleScenario(int32_t algorithm, double relative, double absolute, std::string* messages,
                              int32_t stepsPerInterval = 10);
