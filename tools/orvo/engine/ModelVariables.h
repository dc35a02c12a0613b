#pragma once

// The loaded model's variables as the host sees them: lookup by name, typed
// reads for output, checked writes of user settings.

#include <cstdint>
#include <string>
#include <vector>

#include "NumberText.h"
#include "OrvoLibrary.h"
#include "ValueParser.h"

struct ModelVariable {
    uint32_t number = 0;
    std::string name;  // as the model registered it
    uint32_t symbolType = OrvoSymbolInvalid;
    uint32_t dataType = OrvoDataTypeInvalid;
    uint32_t dims[6] = {};
    bool constant = false;  // attribute flag 2
    uint32_t stringLength = 0;
};

// Error tolerances of the states; 0 leaves the model's own.
struct StateTolerances {
    double relative = 0.0;
    double absolute = 0.0;
    bool Given() const { return relative > 0.0 || absolute > 0.0; }
};

class ModelVariables {
public:
    ModelVariables(const OrvoLibrary& library, uint32_t instance)
        : library_(library), instance_(instance) {}

    // False when the model has no variable of that name (letter case ignored).
    bool Find(const std::string& name, ModelVariable& variable) const;
    // The variable with that number; symbolType is OrvoSymbolInvalid when none.
    ModelVariable At(uint32_t number) const;

    // Parses and writes a user setting: one value, or for an array one
    // comma-separated value per element. False with `error` set when the
    // variable is not settable or the text is no valid value; nothing is
    // written then.
    // With `parsed`, a scalar's value is only parsed into it, not written.
    bool Assign(const ModelVariable& variable, const std::string& text, std::string& error,
                TypedValue* parsed = nullptr) const;
    // The same for one element (`offset` in storage order) of an array.
    bool AssignElement(const ModelVariable& variable, uint32_t offset, const std::string& text,
                       std::string& error) const;

    // Writes a number to element `offset` of a numeric variable: rounded to
    // the nearest integer for the integer types, nonzero as true for bool.
    void WriteNumber(const ModelVariable& variable, uint32_t offset, double value) const;

    // Element `offset` as a number (0 for a string).
    double ReadNumber(const ModelVariable& variable, uint32_t offset = 0) const;
    // Element `offset` as output text: integers plainly, reals in the
    // shortest form that reads back to the same value.
    std::string ReadText(const ModelVariable& variable, uint32_t offset = 0) const;

private:
    void Write(const ModelVariable& variable, uint32_t offset, const TypedValue& value) const;

    const OrvoLibrary& library_;
    uint32_t instance_;
};
