#pragma once

// One initialized library and model instance for the duration of a command
// (or of a worker process); always torn down.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "ModelVariables.h"
#include "OrvoLibrary.h"

class ModelSession {
public:
    explicit ModelSession(const OrvoLibrary& library) : library_(library) {
        library_.OrvoInitialize();
        instance_ = library_.OrvoCreate();
    }
    ~ModelSession() {
        if (instance_ != 0) library_.OrvoDestroy(instance_);
        library_.OrvoFinalize();
    }
    ModelSession(const ModelSession&) = delete;
    ModelSession& operator=(const ModelSession&) = delete;
    uint32_t instance() const { return instance_; }

private:
    const OrvoLibrary& library_;
    uint32_t instance_ = 0;
};

// The model ends a normal run once t reaches tstop; ending before it means the
// integration gave up (the reason is in the status messages).
inline bool EndedBeforeStopTime(const ModelVariables& variables, double& time, double& stopTime) {
    ModelVariable stop;
    if (!variables.Find("tstop", stop)) return false;
    time = variables.ReadNumber(variables.At(1));
    stopTime = variables.ReadNumber(stop);
    return std::isfinite(stopTime) && time < stopTime - 1e-9 * std::max(1.0, std::fabs(stopTime));
}
