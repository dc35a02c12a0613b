#pragma once

// Dose records against a loaded model: what the model's variables allow as
// targets, and how each change is written through the exported interface.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "DoseRecords.h"
#include "ModelVariables.h"

// The model side of ScheduleDoses for these variables.
DoseModel DoseModelOf(const ModelVariables& variables);

// Applies dose events to the model's variables; remembers the value an
// infusion replaced until its restore.
class DoseApplier {
public:
    explicit DoseApplier(const ModelVariables& variables) : variables_(variables) {}
    void operator()(const DoseEvent& event);
    // Sets every constant the events changed back to its value before the
    // first change, so that the next run on the instance starts from it (an
    // infusion may end after the last output time, a record may set a value).
    void RestoreConstants();

private:
    const ModelVariables& variables_;
    std::map<uint32_t, double> replaced_;  // infusion -> the value before it
    std::map<uint32_t, std::pair<ModelVariable, double>> original_;  // constant -> its value before the run's doses
};

// Reads a dose-record file; false with `error` set.
bool ReadDoseFile(const std::string& path, std::vector<DoseRecord>& records, std::string& error);
