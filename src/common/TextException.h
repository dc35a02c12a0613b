#pragma once

#include <stdexcept>
#include <string>

// The one exception type that travels inside a run: model faults, floating-point
// faults after a derivative call and the debugger's abandon all carry a text
// that the execution manager's guard reports ("floating point error",
// "unknown exception", "debug stopped").
class TextException : public std::runtime_error {
public:
    explicit TextException(const std::string& text) : std::runtime_error(text) {}
    const char* Text() const noexcept { return what(); }
};
