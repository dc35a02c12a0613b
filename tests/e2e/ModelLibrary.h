#pragma once

// The shared model library as a host sees it: loaded at run time with dlopen
// and reached only through its exported functions.

#include <cstdint>
#include <string>

#include "orvo/orvo.h"

// Every export the end-to-end hosts call.
#define ORVO_E2E_EXPORTS(X)                                                               \
    X(OrvoInitialize) X(OrvoFinalize) X(OrvoCreate) X(OrvoDestroy)                          \
    X(OrvoStart) X(OrvoStartBlocking) X(OrvoStop) X(OrvoPreStep) X(OrvoStep)                \
    X(OrvoRunToTime) X(OrvoSetRelativeError) X(OrvoSetAbsoluteError)                        \
    X(OrvoGetNumberSymbols) X(OrvoGetSymbolIndex) X(OrvoGetSymbolName) X(OrvoGetSymbolType) \
    X(OrvoGetSymbolValue) X(OrvoSetSymbolValue)                                              \
    X(OrvoGetDouble) X(OrvoSetDouble) X(OrvoGetLong) X(OrvoSetLong) X(OrvoGetBool)          \
    X(OrvoAddStatusCallback) X(OrvoAddTickCallbackFunction)                                  \
    X(OrvoAddExecutionStateChangeCallbackFunction)

class ModelLibrary {
public:
    // The process-wide library, loaded on first use from ORVO_LIBRARY (the
    // environment) or else from the path the build compiled in. Exits the
    // process with a message when it cannot be loaded or lacks an export.
    static ModelLibrary& Get();

    // The variable's number; exits with a message for a name the model lacks,
    // so a renamed variable fails loudly rather than reading variable 0.
    uint32_t Index(const char* name) const;

    const std::string& Path() const { return path_; }

#define ORVO_E2E_DECLARE(name) decltype(&::name) name = nullptr;
    ORVO_E2E_EXPORTS(ORVO_E2E_DECLARE)
#undef ORVO_E2E_DECLARE

    ModelLibrary(const ModelLibrary&) = delete;
    ModelLibrary& operator=(const ModelLibrary&) = delete;

private:
    ModelLibrary();

    std::string path_;
    void* handle_ = nullptr;
};
