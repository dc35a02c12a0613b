#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "execution/OrvoSimExecutionManager.h"
#include "integrators/AnalyticJacobian.h"
#include "orvo/orvo.h"
#include "runtime/OrvoSimRuntimeAPI.h"
#include "runtime/OrvoSimSettingsSlot.h"
#include "runtime/OrvoSimSystemInstance.h"
#include "runtime/OrvoSimVariableDescriptor.h"
#include "runtime/SymbolAccess.h"

// What the model registers about itself (all zero until it does).
struct OrvoSimSystemInfo {
    uint32_t numVariables = 0;
    uint32_t numStates = 0;
    uint32_t numAlgebraicStates = 0;
    uint32_t numDelayStates = 0;
    uint32_t numOtherVariables = 0;
    uint32_t numDerivativeSections = 0;
    uint32_t numDiscreteSections = 0;
    OrvoSimInitializationFunction initializationFunction = nullptr;
    OrvoSimSimulationFunction simulationFunction = nullptr;
    OrvoSimSectionFunction sectionFunction = nullptr;
    uint32_t userDataSize = 0;
    AnalyticJacobian jacobian;  // evaluate is null when the model has none
};

// The one object shared by the model and the host: the model's system
// information and descriptor table, the table of system instances and the
// execution manager. Every export and every model-facing call reaches it
// through GetInstance(). Instance numbers are 1..99; every operation refuses
// other numbers and free slots as a free slot.
class OrvoSimRuntime {
public:
    static constexpr uint32_t kInstanceTableSize = 100;

    OrvoSimRuntime();
    virtual ~OrvoSimRuntime();
    OrvoSimRuntime(const OrvoSimRuntime&) = delete;
    OrvoSimRuntime& operator=(const OrvoSimRuntime&) = delete;

    static OrvoSimRuntime* GetInstance();

    // ---- instances ----------------------------------------------------------
    // Empties the instance table, releasing any records quietly.
    void OrvoSimInitialize();
    void OrvoSimDeinitialize();
    uint32_t OrvoSimCreateSystemInstance();
    void OrvoSimInitializeSystemInstance(uint32_t instance);
    void OrvoSimDestroySystemInstance(uint32_t instance);
    void OrvoSimReset(uint32_t instance);
    // The record of an existing instance, or null.
    OrvoSimSystemInstance* GetSystemInstance(uint32_t instance) const;
    // The instance's solver, or null.
    OdeSolver* GetSolver(uint32_t instance) const;

    // ---- registration (the model's calls) ----------------------------------
    void SetSystemInfo(const OrvoSimSystemInfo& info);
    // Used by a run only when it describes that run's ODE states (the
    // solver checks as it installs the integrator).
    void SetJacobian(const AnalyticJacobian& jacobian);
    // Whether runs use the model's analytic Jacobian (on by default);
    // benchmarks and tests compare with the difference quotients.
    static void UseAnalyticJacobian(bool use);
    static bool AnalyticJacobianInUse();
    void SetVariableDescriptor(uint32_t variable, const char* name, uint32_t dataType,
                               uint32_t symbolType, const uint32_t dims[6],
                               double relativeTolerance, double absoluteTolerance);
    void SetVariableExtendedInfo(uint32_t variable, const uint32_t flags[11],
                                 uint32_t discreteSection, uint32_t stringLength);
    void SetVariablePointer(uint32_t instance, uint32_t variable, void* address);
    void* GetUserDataBlock(uint32_t instance) const;
    bool ScheduleEvent(uint32_t instance, uint32_t eventId, uint32_t sectionCode,
                       uint32_t scheduleType, double time, bool* flag);
    void SetIntervalEvent(uint32_t instance, uint32_t eventId, uint32_t sectionCode,
                          double* interval);

    const OrvoSimSystemInfo& GetSystemInfo() const { return info_; }
    // Descriptor of a variable 1..N_var, or null.
    OrvoSimVariableDescriptor* GetDescriptor(uint32_t variable);
    const OrvoSimVariableDescriptor* GetDescriptor(uint32_t variable) const;
    // N1 + N2 + N3.
    uint32_t GetNumAllStates() const;
    // Variable number of settings slot k.
    uint32_t GetSettingsVariable(uint32_t slot) const;
    // Address of settings slot k in the instance, or null when not registered.
    void* GetSetting(const OrvoSimSystemInstance& record, uint32_t slot) const;
    template <typename T>
    T* GetSettingAs(const OrvoSimSystemInstance& record, uint32_t slot) const {
        return static_cast<T*>(GetSetting(record, slot));
    }
    // Writes a byte flag of the settings block when it is registered.
    void SetSettingByte(const OrvoSimSystemInstance& record, uint32_t slot, uint8_t value) const;

    static uint32_t GetFlattenedArraySize(const uint32_t* dims);
    // Sum over variables first .. first+count-1 of their registered sizes: a
    // shape a host records later does not resize instances or their solvers.
    uint32_t GetFlattenedStateArraySize(uint32_t first, uint32_t count) const;
    static bool IsScalarVariable(const OrvoSimVariableDescriptor* descriptor);

    // ---- host-side lifecycle ------------------------------------------------
    void OrvoSimCalcDeriv(uint32_t instance, uint32_t sectionCode);
    void OrvoSimStop(uint32_t instance);
    void OrvoSimReinitialize(uint32_t instance);
    void OrvoSimSetDataBlock(uint32_t instance, int32_t operation, int32_t count, double** data);
    void OrvoSimSetRelativeErrorTol(uint32_t instance, uint32_t variable, double value);
    void OrvoSimSetAbsoluteErrorTol(uint32_t instance, uint32_t variable, double value);
    // -1.0 for an invalid variable.
    double OrvoSimGetRelativeErrorTol(uint32_t variable) const;
    double OrvoSimGetAbsoluteErrorTol(uint32_t variable) const;

    // ---- callbacks ----------------------------------------------------------
    void OrvoSimAddStatusCallback(uint32_t instance, uint32_t userData, OrvoStatusCallback fn);
    void OrvoSimRemoveStatusCallback(uint32_t instance, uint32_t userData);
    void OrvoSimAddErrorCallback(uint32_t instance, uint32_t userData, OrvoErrorCallback fn);
    void OrvoSimRemoveErrorCallback(uint32_t instance, uint32_t userData);
    void OrvoSimAddTickCallbackFunction(uint32_t instance, uint32_t userData, OrvoTickCallback fn);
    void OrvoSimRemoveTickCallbackFunction(uint32_t instance, uint32_t userData);
    void OrvoSimAddDiscreteEventCallback(uint32_t instance, uint32_t userData,
                                         uint32_t sectionCode, OrvoDiscreteEventCallback fn);
    void OrvoSimRemoveDiscreteEventCallback(uint32_t instance, uint32_t userData,
                                            uint32_t sectionCode);
    void OrvoSimAddSymbolWatchCallback(uint32_t instance, uint32_t userData, uint32_t variable,
                                       OrvoSymbolWatchCallback fn);
    void OrvoSimRemoveSymbolWatchCallback(uint32_t instance, uint32_t userData,
                                          uint32_t variable);
    void OrvoSimAddExecStateChangeCallback(uint32_t instance, uint32_t userData,
                                           OrvoExecutionStateCallback fn);
    void OrvoSimRemoveExecStateChangeCallback(uint32_t instance, uint32_t userData);
    // Frees the status, error, tick and execution-state lists.
    void OrvoSimRemoveAllCallbacks(uint32_t instance);

    // ---- invokers -----------------------------------------------------------
    // The single path of every message to the host: all status callbacks.
    void OrvoSimWriteMessage(uint32_t instance, const char* text);
    void OrvoSimWriteFormattedMessage(uint32_t instance, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    void OrvoSimReportStatus(uint32_t instance, const char* text);
    void OrvoSimReportError(uint32_t instance, uint32_t code, const char* text);
    void OrvoSimInvokeTick(uint32_t instance, OrvoTickType tick);
    void OrvoSimInvokeDiscreteEventOccurred(uint32_t instance, uint32_t sectionCode);
    void OrvoSimInvokeSymbolWatch(uint32_t instance);
    void OrvoSimSetExecutionState(uint32_t instance, OrvoExecutionState state);

    // ---- communication interval ---------------------------------------------
    // One communication interval of the model's run loop.
    void OrvoSimCommunicationInterval(uint32_t instance);
    // Hands the solver's and the integrator's messages to the status callbacks.
    void CheckMessageBuffer(uint32_t instance);
    // The integrator's statistics, when wesitg is 1.
    void WriteStatistics(uint32_t instance);

    SymbolAccess& Symbols() { return symbols_; }
    OrvoSimExecutionManager& GetExecutionManager() { return executionManager_; }

private:
    // Releases a record without calling the model or any callback.
    static void ReleaseQuietly(std::unique_ptr<OrvoSimSystemInstance>& slot);
    static double* IndependentVariable(const OrvoSimSystemInstance& record);
    void ComputeStorageSize(OrvoSimVariableDescriptor& descriptor) const;
    // Walks the elements of the ordinary and algebraic states in order, calling
    // apply(element index, variable, descriptor).
    template <typename Apply>
    void ForEachToleranceElement(Apply apply) const;
    void SetErrorTolerance(uint32_t instance, uint32_t variable, double value, bool relative);
    // Invokes the symbol-watch check (used at output points).
    void CheckSymbolWatches(uint32_t instance, OrvoSimSystemInstance& record);
    // The record whose callbacks an invoker calls: null for a free slot and
    // once the library is being unloaded.
    OrvoSimSystemInstance* CallbackTarget(uint32_t instance) const;

    OrvoSimSystemInfo info_;
    std::vector<OrvoSimVariableDescriptor> descriptors_;
    std::unique_ptr<OrvoSimSystemInstance> instances_[kInstanceTableSize];
    OrvoSimExecutionManager executionManager_;
    SymbolAccess symbols_;
    // Set while the library unloads: a run still going ends without calling
    // back into a host that may itself be going away.
    std::atomic<bool> callbacksSilenced_{false};
};
