#pragma once

#include <atomic>
#include <cstdint>

#include "common/SharedFlag.h"

// Run-control settings shared by the model, the host, the solver and the
// integrator. Every setting is held through a pointer that starts at a private
// slot and is re-pointed at the model's settings variable, so all parties read
// and write the same storage. Bool settings are single bytes.
class IntegratorSettings {
public:
    IntegratorSettings();
    virtual ~IntegratorSettings() = default;
    // The default bindings point into this object: copying would alias them.
    IntegratorSettings(const IntegratorSettings&) = delete;
    IntegratorSettings& operator=(const IntegratorSettings&) = delete;

    // Writes the defaults of settings 1 to 24 through their pointers.
    void SetDefaultValues();
    // Shares the other object's bindings (pointers, not values).
    void Copy(const IntegratorSettings* other);

    double GetCommInterval() const { return Read(bind.commInterval, 0.1); }
    void SetCommInterval(double v) { Write(bind.commInterval, v); }
    int32_t GetAlgoritm() const { return Read(bind.algorithm, int32_t{5}); }
    void SetAlgoritm(int32_t v) { Write(bind.algorithm, v); }
    int32_t GetStepsPerCint() const { return Read(bind.stepsPerCint, int32_t{10}); }
    void SetStepsPerCint(int32_t v) { Write(bind.stepsPerCint, v); }
    double GetMaxStepSize() const { return Read(bind.maxStepSize, 1e9); }
    void SetMaxStepSize(double v) { Write(bind.maxStepSize, v); }
    double GetMinStepSize() const { return Read(bind.minStepSize, 1e-9); }
    void SetMinStepSize(double v) { Write(bind.minStepSize, v); }
    bool GetMinStepSizeViolation() const { return ReadFlag(bind.minStepSizeViolation, false); }
    void SetMinStepSizeViolation(bool v) { WriteFlag(bind.minStepSizeViolation, v); }
    bool GetStopFlag() const { return ReadFlag(bind.stopFlag, false); }
    void SetStopFlag(bool v) { WriteFlag(bind.stopFlag, v); }
    int32_t GetNumCommIntsPerOuput() const { return Read(bind.numCommIntsPerOutput, int32_t{1}); }
    void SetNumCommIntsPerOuput(int32_t v) { Write(bind.numCommIntsPerOutput, v); }
    int32_t GetCurrIntegrationOrder() const { return Read(bind.currIntegrationOrder, int32_t{0}); }
    void SetCurrIntegrationOrder(int32_t v) { Write(bind.currIntegrationOrder, v); }
    bool GetComputeJacobValidity() const { return ReadFlag(bind.computeJacobValidity, true); }
    void SetComputeJacobValidity(bool v) { WriteFlag(bind.computeJacobValidity, v); }
    double GetCurrActualStepSize() const { return Read(bind.currActualStepSize, 0.0); }
    void SetCurrActualStepSize(double v) { Write(bind.currActualStepSize, v); }
    bool GetDoublePrecStates() const { return ReadFlag(bind.doublePrecStates, false); }
    void SetDoublePrecStates(bool v) { WriteFlag(bind.doublePrecStates, v); }
    bool GetErrsBasedOnCurrState() const { return ReadFlag(bind.errsBasedOnCurrState, false); }
    void SetErrsBasedOnCurrState(bool v) { WriteFlag(bind.errsBasedOnCurrState, v); }
    bool GetForceExtraDerivEval() const { return ReadFlag(bind.forceExtraDerivEval, false); }
    void SetForceExtraDerivEval(bool v) { WriteFlag(bind.forceExtraDerivEval, v); }
    int32_t GetMaxIntegOrder() const { return Read(bind.maxIntegOrder, int32_t{6}); }
    void SetMaxIntegOrder(int32_t v) { Write(bind.maxIntegOrder, v); }
    bool GetNoExtraEvals() const { return ReadFlag(bind.noExtraEvals, false); }
    void SetNoExtraEvals(bool v) { WriteFlag(bind.noExtraEvals, v); }
    double GetJacobNonlinThresh() const { return Read(bind.jacobNonlinThresh, 0.2); }
    void SetJacobNonlinThresh(double v) { Write(bind.jacobNonlinThresh, v); }
    bool GetTwoSidedMatrixEval() const { return ReadFlag(bind.twoSidedMatrixEval, false); }
    void SetTwoSidedMatrixEval(bool v) { WriteFlag(bind.twoSidedMatrixEval, v); }
    bool GetWriteEventDescription() const { return ReadFlag(bind.writeEventDescription, true); }
    void SetWriteEventDescription(bool v) { WriteFlag(bind.writeEventDescription, v); }
    bool GetWriteErrorSummary() const { return ReadFlag(bind.writeErrorSummary, true); }
    void SetWriteErrorSummary(bool v) { WriteFlag(bind.writeErrorSummary, v); }
    bool GetWriteNormalData() const { return ReadFlag(bind.writeNormalData, false); }
    void SetWriteNormalData(bool v) { WriteFlag(bind.writeNormalData, v); }
    bool GetWriteExtraData() const { return ReadFlag(bind.writeExtraData, false); }
    void SetWriteExtraData(bool v) { WriteFlag(bind.writeExtraData, v); }
    int32_t GetNumDebugDumps() const { return Read(bind.numDebugDumps, int32_t{0}); }
    void SetNumDebugDumps(int32_t v) { Write(bind.numDebugDumps, v); }
    double GetIndVarInitVal() const { return Read(bind.indVarInitVal, 0.0); }
    void SetIndVarInitVal(double v) { Write(bind.indVarInitVal, v); }
    bool GetCommIntOnEvent() const { return ReadFlag(bind.commIntOnEvent, true); }
    void SetCommIntOnEvent(bool v) { WriteFlag(bind.commIntOnEvent, v); }
    int32_t GetJacUpperBandwidth() const { return Read(bind.jacUpperBandwidth, int32_t{-1}); }
    void SetJacUpperBandwidth(int32_t v) { Write(bind.jacUpperBandwidth, v); }
    int32_t GetJacLowerBandwidth() const { return Read(bind.jacLowerBandwidth, int32_t{-1}); }
    void SetJacLowerBandwidth(int32_t v) { Write(bind.jacLowerBandwidth, v); }
    int32_t GetOdepackMethodFlag() const { return Read(bind.odepackMethodFlag, int32_t{222}); }
    void SetOdepackMethodFlag(int32_t v) { Write(bind.odepackMethodFlag, v); }

    // The 28 bindings, in field order. The runtime points them at the model's
    // settings variables; Copy shares them.
    struct Bindings {
        double* commInterval;
        int32_t* algorithm;
        int32_t* stepsPerCint;
        double* maxStepSize;
        double* minStepSize;
        uint8_t* minStepSizeViolation;
        uint8_t* stopFlag;
        int32_t* numCommIntsPerOutput;
        int32_t* currIntegrationOrder;
        uint8_t* computeJacobValidity;
        double* currActualStepSize;
        uint8_t* doublePrecStates;
        uint8_t* errsBasedOnCurrState;
        uint8_t* forceExtraDerivEval;
        int32_t* maxIntegOrder;
        uint8_t* noExtraEvals;
        double* jacobNonlinThresh;
        uint8_t* twoSidedMatrixEval;
        uint8_t* writeEventDescription;
        uint8_t* writeErrorSummary;
        uint8_t* writeNormalData;
        uint8_t* writeExtraData;
        int32_t* numDebugDumps;
        double* indVarInitVal;
        uint8_t* commIntOnEvent;
        int32_t* jacUpperBandwidth;
        int32_t* jacLowerBandwidth;
        int32_t* odepackMethodFlag;
    } bind;

    // Set by OdeSolver::Step when it ends at a communication point to report;
    // not a binding and not shared by Copy.
    bool CommPointReached = false;

    // Stops the host requested (OrvoStop), counted apart from the stop flag so
    // that code setting the flag back after evaluations of its own keeps them.
    // Not a binding; Copy shares the counter.
    void CountHostStop() { hostStops_->fetch_add(1); }
    uint32_t HostStops() const { return hostStops_->load(); }

private:
    std::atomic<uint32_t> ownHostStops_{0};
    std::atomic<uint32_t>* hostStops_ = &ownHostStops_;

    template <typename T>
    static T Read(const T* p, T unbound) { return p ? *p : unbound; }
    template <typename T>
    static void Write(T* p, T v) { if (p) *p = v; }
    // Atomic: the host writes the stop flag while the run polls it.
    static bool ReadFlag(const uint8_t* p, bool unbound) { return p ? LoadSharedFlag(p) != 0 : unbound; }
    static void WriteFlag(uint8_t* p, bool v) { if (p) StoreSharedFlag(p, v ? 1 : 0); }

    struct Storage {
        double commInterval;
        int32_t algorithm;
        int32_t stepsPerCint;
        double maxStepSize;
        double minStepSize;
        uint8_t minStepSizeViolation;
        uint8_t stopFlag;
        int32_t numCommIntsPerOutput;
        int32_t currIntegrationOrder;
        uint8_t computeJacobValidity;
        double currActualStepSize;
        uint8_t doublePrecStates;
        uint8_t errsBasedOnCurrState;
        uint8_t forceExtraDerivEval;
        int32_t maxIntegOrder;
        uint8_t noExtraEvals;
        double jacobNonlinThresh;
        uint8_t twoSidedMatrixEval;
        uint8_t writeEventDescription;
        uint8_t writeErrorSummary;
        uint8_t writeNormalData;
        uint8_t writeExtraData;
        int32_t numDebugDumps;
        double indVarInitVal;
        // Never written by SetDefaultValues; start at the unbound values.
        uint8_t commIntOnEvent = 1;
        int32_t jacUpperBandwidth = -1;
        int32_t jacLowerBandwidth = -1;
        int32_t odepackMethodFlag = 222;
    } own_{};
};
