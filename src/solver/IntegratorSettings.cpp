#include "solver/IntegratorSettings.h"

// Bound in the body: own_ is declared after bind, so it is not yet
// initialised in the member initialisers.
IntegratorSettings::IntegratorSettings() {
    bind = {&own_.commInterval,
            &own_.algorithm,
            &own_.stepsPerCint,
            &own_.maxStepSize,
            &own_.minStepSize,
            &own_.minStepSizeViolation,
            &own_.stopFlag,
            &own_.numCommIntsPerOutput,
            &own_.currIntegrationOrder,
            &own_.computeJacobValidity,
            &own_.currActualStepSize,
            &own_.doublePrecStates,
            &own_.errsBasedOnCurrState,
            &own_.forceExtraDerivEval,
            &own_.maxIntegOrder,
            &own_.noExtraEvals,
            &own_.jacobNonlinThresh,
            &own_.twoSidedMatrixEval,
            &own_.writeEventDescription,
            &own_.writeErrorSummary,
            &own_.writeNormalData,
            &own_.writeExtraData,
            &own_.numDebugDumps,
            &own_.indVarInitVal,
            &own_.commIntOnEvent,
            &own_.jacUpperBandwidth,
            &own_.jacLowerBandwidth,
            &own_.odepackMethodFlag};
    SetDefaultValues();
}

void IntegratorSettings::SetDefaultValues() {
    SetCommInterval(0.1);
    SetAlgoritm(5);
    SetStepsPerCint(10);
    SetMaxStepSize(1e9);
    SetMinStepSize(1e-9);
    SetMinStepSizeViolation(false);
    SetStopFlag(false);
    SetNumCommIntsPerOuput(1);
    SetCurrIntegrationOrder(0);
    SetComputeJacobValidity(true);
    SetCurrActualStepSize(0.0);
    SetDoublePrecStates(false);
    SetErrsBasedOnCurrState(false);
    SetForceExtraDerivEval(false);
    SetMaxIntegOrder(6);
    SetNoExtraEvals(false);
    SetJacobNonlinThresh(0.2);
    SetTwoSidedMatrixEval(false);
    SetWriteEventDescription(true);
    SetWriteErrorSummary(true);
    SetWriteNormalData(false);
    SetWriteExtraData(false);
    SetNumDebugDumps(0);
    SetIndVarInitVal(0.0);
    CommPointReached = false;
}

void IntegratorSettings::Copy(const IntegratorSettings* other) {
    if (!other) return;
    bind = other->bind;
    hostStops_ = other->hostStops_;
}
