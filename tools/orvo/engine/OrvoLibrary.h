#pragma once

// The model library loaded at run time: dlopen plus one resolved pointer per
// export this host calls. The pointers carry the exact types of the public
// header, so a mismatch with it is a compile error.

#include <string>

#include "orvo/orvo.h"

// The exports the host uses, in one list: each X(name) becomes a member
// `name` of type `decltype(&::name)`.
#define ORVO_LIBRARY_EXPORTS(X)                                                            \
    X(OrvoGetVersion) X(OrvoInitialize) X(OrvoFinalize) X(OrvoCreate) X(OrvoDestroy)       \
    X(OrvoStartBlocking) X(OrvoStop) X(OrvoPreStep) X(OrvoRunToTime) X(OrvoCalcDeriv)      \
    X(OrvoGetDouble)                                                                       \
    X(OrvoGetBool) X(OrvoSetBool)                                                          \
    X(OrvoGetNumberSymbols) X(OrvoGetSymbolIndex) X(OrvoGetSymbolInfo)                     \
    X(OrvoGetShortIndexed) X(OrvoSetShortIndexed) X(OrvoGetLongIndexed)                    \
    X(OrvoSetLongIndexed) X(OrvoGetFloatIndexed) X(OrvoSetFloatIndexed)                    \
    X(OrvoGetDoubleIndexed) X(OrvoSetDoubleIndexed) X(OrvoGetBoolIndexed)                  \
    X(OrvoSetBoolIndexed) X(OrvoGetStringIndexed) X(OrvoSetStringIndexed)                  \
    X(OrvoGetRelativeError) X(OrvoGetAbsoluteError)                                       \
    X(OrvoSetRelativeError) X(OrvoSetAbsoluteError)                                       \
    X(OrvoAddStatusCallback) X(OrvoRemoveStatusCallback)                                   \
    X(OrvoAddErrorCallback) X(OrvoRemoveErrorCallback)                                     \
    X(OrvoAddTickCallbackFunction) X(OrvoRemoveTickCallbackFunction)                       \
    X(OrvoAddExecutionStateChangeCallbackFunction)                                         \
    X(OrvoRemoveExecutionStateChangeCallbackFunction)

class OrvoLibrary {
public:
    OrvoLibrary() = default;
    ~OrvoLibrary();
    OrvoLibrary(const OrvoLibrary&) = delete;
    OrvoLibrary& operator=(const OrvoLibrary&) = delete;

    // Loads the library and resolves every export; false with error() set
    // when the file cannot be loaded or an export is missing.
    bool Load(const std::string& path);
    const std::string& error() const { return error_; }

    // The default library: the one named in orvo-default-model in ../lib/orvo/
    // (installed) or ../lib/ (build tree) beside this executable; "" when
    // there is none, which Load refuses with a message saying so.
    static std::string DefaultPath();

#define ORVO_DECLARE_EXPORT(name) decltype(&::name) name = nullptr;
    ORVO_LIBRARY_EXPORTS(ORVO_DECLARE_EXPORT)
#undef ORVO_DECLARE_EXPORT

private:
    void* handle_ = nullptr;
    std::string error_;
};
