#include "model/PregnancyModelStorage.h"

#include <algorithm>
#include <cstddef>

#include "model/PregnancyVariableTable.h"

namespace pregnancy {

PregnancyModelStorage theModelStorage;

// The layout the runtime depends on: reals 1..490 contiguous in index order.
static_assert(offsetof(PregnancyModelStorage, clf_uim_t) ==
              offsetof(PregnancyModelStorage, real) + (kLastScalarReal + 1) * sizeof(double));
static_assert(offsetof(PregnancyModelStorage, kdegt3f_mi_t) ==
              offsetof(PregnancyModelStorage, clf_uim_t) + kTableSize * sizeof(double));

namespace {

// The settings in variable order (491..537).
void* SettingAddress(uint32_t slot) {
    PregnancySettings& s = theModelStorage.settings;
    void* const addresses[kSettingCount] = {
        &s.cint,
        &s.ialg,
        &s.nstp,
        &s.maxt,
        &s.mint,
        &s.zzierr,
        &s.zzstopflag,
        &s.zzrnfl,
        &s.zznist,
        &s.zznblk,
        &s.zzfrfl,
        &s.zzjefl,
        &s.zzndst,
        &s.zzicon,
        &s.zzicfl,
        &s.zznavr,
        &s.zzinstidx,
        &s.zzstepstop,
        &s.nciout,
        &s.cioitg,
        &s.cjvitg,
        &s.cssitg,
        &s.dpsitg,
        &s.ecsitg,
        &s.fdeitg,
        &s.mxoitg,
        &s.nrwitg,
        &s.nxeitg,
        &s.tjnitg,
        &s.tsmitg,
        &s.weditg,
        &s.wesitg,
        &s.wnditg,
        &s.wxditg,
        &s.cieitg,
        &s.ubwitg,
        &s.lbwitg,
        &s.omfitg,
        &s.cmd,
        &s.dis,
        &s.ndbug,
        &s.plt,
        &s.prn,
        &s.malprn,
        &s.rrr,
        &s.save,
        &s.zzticg,
    };
    return addresses[slot];
}

void WriteDefault(const PregnancyVariableRecord& record) {
    void* address = VariableAddress(record.index);
    if (record.tableData != nullptr) {
        std::copy_n(record.tableData, kTableSize, static_cast<double*>(address));
        return;
    }
    switch (record.dataType) {
        case kLong:
            *static_cast<int32_t*>(address) = static_cast<int32_t>(record.defaultValue);
            break;
        case kBool:
            *static_cast<uint8_t*>(address) = record.defaultValue != 0.0 ? 1 : 0;
            break;
        default:
            *static_cast<double*>(address) = record.defaultValue;
            break;
    }
}

// The defaults are the storage's contents from the moment the library is loaded.
[[maybe_unused]] const bool defaultsApplied = (PregnancyModelSetDefaults(), true);

}  // namespace

void* VariableAddress(uint32_t index) {
    if (index == 0 || index > kVariableCount) return nullptr;
    if (index <= kLastScalarReal) return &theModelStorage.real[index];
    if (index == var::clf_uim_t) return theModelStorage.clf_uim_t;
    if (index == var::kdegt3f_mi_t) return theModelStorage.kdegt3f_mi_t;
    return SettingAddress(index - var::cint);
}

void PregnancyModelSetDefaults() {
    for (const PregnancyVariableRecord& record : PregnancyVariables()) WriteDefault(record);
}

}  // namespace pregnancy
