#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "ModelVariables.h"
#include "ModelMetadata.h"
#include "RunRecorder.h"

// What the run was given, for the summary: each setting as the model holds it.
struct AppliedSetting {
    ModelVariable variable;
    std::string origin;  // "--set" or "FILE:LINE"
};

// `run --summary`: the settings, output rows, final time, final values of the
// recorded variables, the mass balances against the dosed amounts and the
// number of status messages.
void PrintRunSummary(std::ostream& out, const ModelVariables& variables, const ModelMetadata& metadata,
                     const std::vector<AppliedSetting>& settings, const RunRecorder& recorder);
