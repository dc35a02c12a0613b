#include "ModelVariables.h"

#include <charconv>
#include <algorithm>
#include <cmath>

#include "SymbolText.h"

bool ModelVariables::Find(const std::string& name, ModelVariable& variable) const {
    const uint32_t number = library_.OrvoGetSymbolIndex(name.c_str());
    if (number == 0) return false;
    variable = At(number);
    return variable.symbolType != OrvoSymbolInvalid;
}

ModelVariable ModelVariables::At(uint32_t number) const {
    ModelVariable variable;
    OrvoSymbolInfo info{};
    if (!library_.OrvoGetSymbolInfo(number, &info)) return variable;
    variable.number = number;
    variable.name = info.name ? info.name : "";
    variable.symbolType = info.symbolType;
    variable.dataType = info.dataType;
    if (info.dimensions)
        for (int k = 0; k < 6; ++k) variable.dims[k] = info.dimensions[k];
    variable.constant = info.flags[1] != 0;
    variable.stringLength = info.stringLength;
    return variable;
}

bool ModelVariables::AssignElement(const ModelVariable& variable, uint32_t offset, const std::string& text,
                                   std::string& error) const {
    if (offset >= ElementCount(variable.dims)) {
        error = "'" + variable.name + "' has no element " + std::to_string(offset + 1);
        return false;
    }
    // One value, checked as for a scalar of the variable's type; the others
    // keep theirs.
    ModelVariable scalar = variable;
    std::fill(std::begin(scalar.dims), std::end(scalar.dims), 0u);
    scalar.dims[0] = 1;
    TypedValue value;
    if (!Assign(scalar, text, error, &value)) return false;
    Write(variable, offset, value);
    return true;
}

bool ModelVariables::Assign(const ModelVariable& variable, const std::string& text, std::string& error,
                            TypedValue* parsed) const {
    const std::string reason = WhyNotSettable(variable.symbolType, variable.constant);
    if (!reason.empty()) {
        error = "cannot set '" + variable.name + "': " + reason;
        return false;
    }
    const uint32_t count = ElementCount(variable.dims);
    std::vector<std::string> items;
    if (count == 1) {
        items.push_back(text);
    } else if (!SplitNameList(text, items, error) || items.size() != count) {
        error = "'" + variable.name + "' is an array of " + std::to_string(count) +
                " elements: give " + std::to_string(count) + " comma-separated values";
        return false;
    }
    std::vector<TypedValue> values(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::string why;
        if (!ParseValue(variable.dataType, items[i], values[i], why)) {
            error = "bad value '" + Clip(items[i]) + "' for '" + variable.name + "' (" +
                    DataTypeName(variable.dataType) + "): " + why;
            return false;
        }
        if (variable.dataType == OrvoDataTypeString && variable.stringLength != 0 &&
            values[i].text.size() >= variable.stringLength) {
            error = "bad value for '" + variable.name + "': longer than " +
                    std::to_string(variable.stringLength - 1) + " characters";
            return false;
        }
    }
    if (parsed != nullptr) {
        *parsed = values.front();  // parsed for the caller to write
        return true;
    }
    for (uint32_t offset = 0; offset < values.size(); ++offset) Write(variable, offset, values[offset]);
    return true;
}

void ModelVariables::Write(const ModelVariable& variable, uint32_t offset, const TypedValue& value) const {
    uint32_t indices[6];
    ElementIndices(variable.dims, offset, indices);
    const uint32_t n = variable.number;
    switch (variable.dataType) {
        case OrvoDataTypeShort:
            library_.OrvoSetShortIndexed(instance_, n, static_cast<int16_t>(value.integer), indices);
            break;
        case OrvoDataTypeLong: library_.OrvoSetLongIndexed(instance_, n, value.integer, indices); break;
        case OrvoDataTypeFloat:
            library_.OrvoSetFloatIndexed(instance_, n, static_cast<float>(value.real), indices);
            break;
        case OrvoDataTypeReal:
        case OrvoDataTypeDouble: library_.OrvoSetDoubleIndexed(instance_, n, value.real, indices); break;
        case OrvoDataTypeBool: library_.OrvoSetBoolIndexed(instance_, n, value.integer != 0, indices); break;
        case OrvoDataTypeString: library_.OrvoSetStringIndexed(instance_, n, value.text.c_str(), indices); break;
        default: break;
    }
}

void ModelVariables::WriteNumber(const ModelVariable& variable, uint32_t offset, double value) const {
    TypedValue typed;
    typed.dataType = variable.dataType;
    typed.real = value;
    typed.integer = static_cast<int32_t>(std::lround(std::clamp(value, -2147483648.0, 2147483647.0)));
    if (variable.dataType == OrvoDataTypeBool) typed.integer = value != 0.0;
    Write(variable, offset, typed);
}

double ModelVariables::ReadNumber(const ModelVariable& variable, uint32_t offset) const {
    uint32_t indices[6];
    ElementIndices(variable.dims, offset, indices);
    const uint32_t n = variable.number;
    switch (variable.dataType) {
        case OrvoDataTypeShort: return library_.OrvoGetShortIndexed(instance_, n, indices);
        case OrvoDataTypeLong: return library_.OrvoGetLongIndexed(instance_, n, indices);
        case OrvoDataTypeFloat: return library_.OrvoGetFloatIndexed(instance_, n, indices);
        case OrvoDataTypeReal:
        case OrvoDataTypeDouble: return library_.OrvoGetDoubleIndexed(instance_, n, indices);
        case OrvoDataTypeBool: return library_.OrvoGetBoolIndexed(instance_, n, indices) ? 1.0 : 0.0;
        default: return 0.0;
    }
}

std::string ModelVariables::ReadText(const ModelVariable& variable, uint32_t offset) const {
    switch (variable.dataType) {
        case OrvoDataTypeShort:
        case OrvoDataTypeLong:
        case OrvoDataTypeBool:
            return std::to_string(static_cast<int64_t>(ReadNumber(variable, offset)));
        case OrvoDataTypeFloat: return FormatReal(static_cast<float>(ReadNumber(variable, offset)));
        case OrvoDataTypeReal:
        case OrvoDataTypeDouble: return FormatReal(ReadNumber(variable, offset));
        case OrvoDataTypeString: {
            uint32_t indices[6];
            ElementIndices(variable.dims, offset, indices);
            const char* text = library_.OrvoGetStringIndexed(instance_, variable.number, indices);
            return text ? text : "";
        }
        default: return "";
    }
}
