#pragma once

// Counts what a run costs: derivative-section evaluations, integrator steps,
// analytic Jacobian evaluations, DLSODES calls (fresh starts with ISTATE = 1,
// and its internal steps), and the time spent inside DLSODES and CVode. The
// counts come from link-time wrappers of the model's section entry, DLSODES
// and CVode (-Wl,--wrap in bench/CMakeLists.txt) and from a counting
// Jacobian registered in place of the model's, so nothing in the library is
// instrumented.

#include <cstdint>

struct RunCounters {
    uint64_t derivativeEvaluations = 0;  // section codes 500..999
    uint64_t integratorSteps = 0;        // one per integrator Step (its post-step evaluation)
    uint64_t openingEvaluations = 0;     // flagged evaluations at a step's start
    uint64_t jacobianEvaluations = 0;    // of the model's analytic Jacobian
    uint64_t dlsodesCalls = 0;
    uint64_t dlsodesStarts = 0;          // calls with ISTATE = 1
    uint64_t dlsodesSteps = 0;           // DLSODES's own steps (IWORK(11))
    double solverSeconds = 0.0;          // inside DLSODES or CVode calls, while TimeSolverCalls is on
};

// The counts since the last reset; single-threaded use (blocking runs).
RunCounters& Counters();
void ResetCounters();
// Times the solver calls into solverSeconds (off by default: two clock reads
// a call weigh on the runs measured).
void TimeSolverCalls(bool on);
// After the model registered (OrvoInitialize): its Jacobian is counted.
void CountJacobianEvaluations();

extern "C" {
// The model's section entry itself, bypassing the counting wrapper.
void __real_zzderivative(uint32_t instance, uint32_t section);
}
