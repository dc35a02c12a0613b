// Registration of the pregnancy model with the runtime, and the binding of a
// new instance's variables to the model's storage.

#include "model/PregnancyModel.h"
#include "model/PregnancyModelStorage.h"
#include "model/PregnancyVariableTable.h"
#include "runtime/OrvoSimRuntimeAPI.h"

namespace {

constexpr uint32_t kDerivativeSectionCount = 1;
constexpr uint32_t kDiscreteSectionCount = 2;
constexpr double kDefaultTolerance = -1.0;  // the runtime substitutes its own default

uint32_t Flag(const pregnancy::PregnancyVariableRecord& record, uint32_t flag) {
    return record.HasFlag(flag) ? 1u : 0u;
}

}  // namespace

extern "C" void OrvoSimMain() {
    using namespace pregnancy;
    OrvoSimSetSystemInfo(kVariableCount, kStateCount, 0, 0, kOtherCount, kDerivativeSectionCount,
                         kDiscreteSectionCount, zzinitialize, zzsimulation, zzderivative, 0);
    for (const PregnancyVariableRecord& r : PregnancyVariables()) {
        OrvoSimSetVariableDescriptor(r.index, r.name, r.dataType, r.symbolType, r.dim1, 0, 0, 0, 0,
                                     0, kDefaultTolerance, kDefaultTolerance);
        OrvoSimSetVariableExtendedInfo(r.index, Flag(r, 1), Flag(r, 2), Flag(r, 3), Flag(r, 4),
                                       Flag(r, 5), Flag(r, 6), Flag(r, 7), Flag(r, 8), Flag(r, 9),
                                       Flag(r, 10), Flag(r, 11), 0, 0);
    }
}

extern "C" int32_t zzinitialize(uint32_t instance) {
    using namespace pregnancy;
    for (uint32_t index = 1; index <= kVariableCount; ++index)
        OrvoSimSetVariablePointer(instance, index, VariableAddress(index));
    zzinstidx = static_cast<int32_t>(instance);
    return 0;
}
