#pragma once

// One initialized library and model instance for the duration of a command
// (or of a worker process); always torn down.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "ModelVariables.h"
#include "NumberText.h"
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

// Calls f(variable) for every state of the model.
template <typename F>
void ForEachState(const OrvoLibrary& library, const ModelVariables& variables, F f) {
    const uint32_t count = library.OrvoGetNumberSymbols();
    for (uint32_t n = 1; n <= count; ++n) {
        const ModelVariable v = variables.At(n);
        if (v.symbolType == OrvoSymbolState) f(v);
    }
}

// Gives every state the tolerances that are given. They live in the
// variable table, so they hold for every later run in this process.
inline void SetStateTolerances(const OrvoLibrary& library, uint32_t instance, const ModelVariables& variables,
                               const StateTolerances& tolerances) {
    ForEachState(library, variables, [&](const ModelVariable& v) {
        if (tolerances.relative > 0.0) library.OrvoSetRelativeError(instance, v.number, tolerances.relative);
        if (tolerances.absolute > 0.0) library.OrvoSetAbsoluteError(instance, v.number, tolerances.absolute);
    });
}

// The loosest tolerances among the states (0 without states).
inline StateTolerances LoosestStateTolerances(const OrvoLibrary& library, uint32_t instance,
                                              const ModelVariables& variables) {
    StateTolerances loosest;
    ForEachState(library, variables, [&](const ModelVariable& v) {
        loosest.relative = std::max(loosest.relative, library.OrvoGetRelativeError(instance, v.number));
        loosest.absolute = std::max(loosest.absolute, library.OrvoGetAbsoluteError(instance, v.number));
    });
    return loosest;
}

// What makes the current settings unable to give a meaningful run, or empty:
// an integration method the library does not have (it would warn and run RK4
// instead), and start, interval or stop times that are not finite or do not
// follow one another. Checked before every run.
inline std::string RunSettingsFault(const ModelVariables& variables) {
    ModelVariable v;
    if (variables.Find("ialg", v)) {
        const double ialg = variables.ReadNumber(v);
        static constexpr int kSupported[] = {1, 2, 3, 4, 5, 8, 9, 12, 13, 14, 15};
        if (std::find(std::begin(kSupported), std::end(kSupported), ialg) == std::end(kSupported))
            return "ialg = " + FormatReal(ialg) +
                   " is not an integration method of this library (1-5, 8, 9, 12-15)";
    }
    double start = 0.0;
    if (variables.Find("zzticg", v)) {
        start = variables.ReadNumber(v);
        if (!std::isfinite(start)) return "the start time zzticg = " + FormatReal(start) + " is not finite";
    }
    if (variables.Find("cint", v)) {
        const double cint = variables.ReadNumber(v);
        if (!(cint > 0.0) || !std::isfinite(cint))
            return "the communication interval cint = " + FormatReal(cint) + " is not a positive number";
    }
    if (variables.Find("tstop", v)) {
        const double stop = variables.ReadNumber(v);
        if (!std::isfinite(stop) || !(stop > start))
            return "the stop time tstop = " + FormatReal(stop) + " is not a finite time after the start (" +
                   FormatReal(start) + ")";
    }
    return {};
}
