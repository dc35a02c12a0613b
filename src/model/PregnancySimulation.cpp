// The simulation-control section of the pregnancy model.

#include "model/PregnancyModel.h"
#include "model/PregnancyModelStorage.h"
#include "model/PregnancyTables.h"
#include "operators/OrvoSimOperators.h"
#include "runtime/OrvoSimRuntimeAPI.h"
#include "solver/SharedFlag.h"

namespace pregnancy {
namespace {

constexpr uint32_t kDoseStartEvent = 1;
constexpr uint32_t kLastWeekEvent = 2;
constexpr uint32_t kTimeEvent = 0;
constexpr double kHoursPerWeek = 168;

// A switch time before the start (doseon < 0, or tstop below one week) would
// leave an event the solver can never reach, and the run would stop at once;
// such a switch fires at the start instead.
void ScheduleSwitch(uint32_t instance, uint32_t eventId, uint32_t section, double time) {
    OrvoSimScheduleEvent(instance, eventId, section, kTimeEvent, time < t ? t : time, nullptr);
}

void InitialBlock(uint32_t instance) {
    zznits(instance);
    pdose = 0;
    ScheduleSwitch(instance, kDoseStartEvent, kDoseStartSection, doseon);
    lastwk = 0;
    ScheduleSwitch(instance, kLastWeekEvent, kLastWeekSection, tstop - kHoursPerWeek);
    ComputeInitialParameters();
    zzrset(instance);
}

}  // namespace

void ComputeInitialParameters() {
    vmaxnisf_sk_mp = vmaxc_sp / mwclo4;
    rdose_i = pdoseug_i * 1000 / (mwi * 24);
    clf_uim = clf_uim_t_table(pdoseug_i);
    kdegt3f_mi = kdegt3f_mi_t_table(pdoseug_i);
    pdose_p = pdosemg_p * 1000000 / (mwclo4 * 24);
    iodstores_mi = iodstores_mg_mi * 1000000 / mwi;
    iodstores_fi = iodstores_mg_fi * 1000000 / mwi;
}

}  // namespace pregnancy

extern "C" void zzsimulation(uint32_t instance) {
    using namespace pregnancy;
    // A continued run resumes the loop without the initial block.
    if (zzicon == 0) InitialBlock(instance);
    // The host's OrvoStop writes zzstopflag while this loop reads it.
    while (!LoadSharedFlag(&zzstopflag) && !LoadSharedFlag(&zzstepstop)) {
        // NaN in t or tstop compares false: the run goes on until stopped otherwise.
        if (t >= tstop) zztrmt(static_cast<uint32_t>(zzinstidx), " ");
        OrvoSimIntegrate(instance);
    }
}
