// Host exports: loading, instances, derivative evaluation, run control and
// tolerances. Each forwards to the runtime.
#include "orvo/orvo.h"
#include "runtime/OrvoSimRuntime.h"

namespace {
OrvoSimRuntime& Runtime() { return *OrvoSimRuntime::GetInstance(); }
OrvoSimExecutionManager& Manager() { return Runtime().GetExecutionManager(); }
constexpr int32_t kInterfaceVersion = 0x10000;
}  // namespace

extern "C" {

ORVO_API int32_t OrvoGetVersion(void) { return kInterfaceVersion; }

// A background run still going ends before its instances go away. From
// inside a run, or while another thread runs, these calls are refused.
ORVO_API void OrvoInitialize(void) {
    const RunControlClaim claim = Manager().ClaimRunControl(0, "OrvoInitialize");
    if (!claim) return;
    Manager().EndBackgroundRun();
    Runtime().OrvoSimInitialize();
    OrvoSimMain();
    Runtime().Symbols().IndexNames();
}

ORVO_API void OrvoFinalize(void) {
    const RunControlClaim claim = Manager().ClaimRunControl(0, "OrvoFinalize");
    if (!claim) return;
    Manager().EndBackgroundRun();
    Runtime().OrvoSimDeinitialize();
}

// Refused (0) from inside a run and while a background run is in progress.
ORVO_API uint32_t OrvoCreate(void) {
    const RunControlClaim claim = Manager().ClaimInstanceCreation("OrvoCreate");
    if (!claim) return 0;
    return Runtime().OrvoSimCreateSystemInstance();
}

ORVO_API void OrvoDestroy(uint32_t instance) {
    if (!Runtime().GetSystemInstance(instance)) return;
    const RunControlClaim claim = Manager().ClaimRunControl(instance, "OrvoDestroy");
    if (!claim) return;
    Manager().EndBackgroundRunOf(instance);
    Runtime().OrvoSimDestroySystemInstance(instance);
}

ORVO_API void OrvoCalcDeriv(uint32_t instance, uint32_t sectionCode) {
    Runtime().OrvoSimCalcDeriv(instance, sectionCode);
}

ORVO_API void OrvoStart(uint32_t instance) { Manager().StartInstance(instance, false); }

ORVO_API void OrvoStartBlocking(uint32_t instance) { Manager().StartInstance(instance, true); }

ORVO_API void OrvoContinue(uint32_t instance) { Manager().ContinueInstance(instance, false); }

ORVO_API void OrvoContinueBlocking(uint32_t instance) {
    Manager().ContinueInstance(instance, true);
}

ORVO_API void OrvoPreStep(uint32_t instance) { Manager().PreStepInstance(instance); }

ORVO_API void OrvoStep(uint32_t instance) { Manager().StepInstance(instance); }

ORVO_API void OrvoRunToTime(uint32_t instance, double target) {
    Manager().RunInstanceToTime(instance, target);
}

ORVO_API void OrvoStepIncr(uint32_t instance, double increment) {
    Manager().StepInstanceBy(instance, increment);
}

ORVO_API void OrvoStop(uint32_t instance) { Runtime().OrvoSimStop(instance); }

ORVO_API void OrvoReinitialize(uint32_t instance) { Runtime().OrvoSimReinitialize(instance); }

ORVO_API void OrvoSetRelativeError(uint32_t instance, uint32_t variable, double value) {
    Runtime().OrvoSimSetRelativeErrorTol(instance, variable, value);
}

ORVO_API void OrvoSetAbsoluteError(uint32_t instance, uint32_t variable, double value) {
    Runtime().OrvoSimSetAbsoluteErrorTol(instance, variable, value);
}

ORVO_API double OrvoGetRelativeError(uint32_t, uint32_t variable) {
    return Runtime().OrvoSimGetRelativeErrorTol(variable);
}

ORVO_API double OrvoGetAbsoluteError(uint32_t, uint32_t variable) {
    return Runtime().OrvoSimGetAbsoluteErrorTol(variable);
}

ORVO_API uint32_t OrvoGetNumberDerivativeSections(void) {
    return Runtime().GetSystemInfo().numDerivativeSections;
}

// Section names are not registered by models.
ORVO_API const char* OrvoGetDerivativeSectionName(uint32_t) { return nullptr; }
ORVO_API int32_t OrvoGetDerivativeSectionIndex(const char*) { return 0; }

ORVO_API uint32_t OrvoGetNumberDiscreteSections(void) {
    return Runtime().GetSystemInfo().numDiscreteSections;
}

ORVO_API const char* OrvoGetDiscreteSectionName(uint32_t) { return nullptr; }
ORVO_API int32_t OrvoGetDiscreteSectionIndex(const char*) { return 0; }

ORVO_API void OrvoSetDataBlock(uint32_t instance, int32_t operation, int32_t, int32_t,
                               int32_t count, double** data) {
    Runtime().OrvoSimSetDataBlock(instance, operation, count, data);
}

}  // extern "C"
