#pragma once

// Entry points of the pregnancy model, registered with the runtime as function
// pointers by OrvoSimMain.

#include <cstdint>

extern "C" {

// Binds every variable of a new instance to the model's (shared) storage.
int32_t zzinitialize(uint32_t instance);
// The simulation-control section: initial block, then one pass per
// communication interval until the run stops.
void zzsimulation(uint32_t instance);
// The section function: 500 the derivative section, 1000 and 1001 the two
// dosing switches; every other code is ignored.
void zzderivative(uint32_t instance, uint32_t section);

}  // extern "C"

namespace pregnancy {

constexpr uint32_t kDerivativeSection = 500;
constexpr uint32_t kDoseStartSection = 1000;  // perchlorate dosing starts at doseon
constexpr uint32_t kLastWeekSection = 1001;   // urinary collection starts at tstop - 168

// The initial block's parameter assignments (dose rates, skin uptake, table
// lookups, iodine stores), done once per fresh run.
void ComputeInitialParameters();

}  // namespace pregnancy
