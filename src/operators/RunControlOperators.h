#pragma once

// The modelling language's run-control statements: initialise, reset,
// terminate, restart, debugger tick.

#include <cstdint>

extern "C" {

// Initialises the instance for a run and marks it initialized. Further
// arguments are ignored.
void zznits(uint32_t instance, ...);
// The model's initialisation sequence: evaluates the derivative section,
// copies the initial conditions into the states and evaluates again at the
// initial point.
void zzrset(uint32_t instance);
// Writes text once and sets the instance's stop flag.
void zztrmt(uint32_t instance, const char* text);
// Restarts the instance's solver with the given value as its next step.
void zzrstart(uint32_t instance, int32_t ignored, double value);
// One debugger tick of the execution manager.
void zzdebugtick(...);
// Stores value at address; returns the address.
double* zzicst(double* address, double value);

// Accepted and ignored.
void zzhold(...);
void zzsmpl(...);
void zznita(...);
void zzntlg(...);
void zznitd(...);
void zzlnr1(...);
void zzscal(...);
void zzsmo1(...);

}  // extern "C"
