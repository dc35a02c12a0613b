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

private:
    const ModelVariables& variables_;
    std::map<uint32_t, double> replaced_;  // infusion -> the value before it
};

// Reads a dose-record file; false with `error` set.
bool ReadDoseFile(const std::string& path, std::vector<DoseRecord>& records, std::string& error);
