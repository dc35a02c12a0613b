#include "SymbolText.h"

const char* DataTypeName(uint32_t dataType) {
    static const char* const names[] = {"short", "long", "real", "float", "double", "bool", "string"};
    return dataType < 7 ? names[dataType] : "invalid";
}

const char* SymbolTypeName(uint32_t symbolType) {
    static const char* const names[] = {
        "independent", "start-value", "state",    "derivative", "initial",
        "variable",    "comm-interval", "algorithm", "steps",    "max-step",
        "min-step",    "min-step-flag", "control",  "setting"};
    return symbolType < 14 ? names[symbolType] : "invalid";
}

std::string FormatDimensions(const uint32_t* dims) {
    std::string text;
    for (int k = 0; k < 6 && dims[k] != 0; ++k) {
        if (k > 0) text += 'x';
        text += std::to_string(dims[k]);
    }
    return text.empty() ? "scalar" : text;
}

uint32_t ElementCount(const uint32_t* dims) {
    uint32_t count = 1;
    for (int k = 0; k < 6 && dims[k] != 0; ++k) count *= dims[k];
    return count;
}

void ElementIndices(const uint32_t* dims, uint32_t offset, uint32_t* indices) {
    bool leading = true;  // only the leading non-zero extents address elements
    for (int k = 0; k < 6; ++k) {
        leading = leading && dims[k] != 0;
        if (!leading) {
            indices[k] = 0;
            continue;
        }
        indices[k] = offset % dims[k] + 1;
        offset /= dims[k];
    }
}

std::string WhyNotSettable(uint32_t symbolType, bool constant) {
    switch (symbolType) {
        case 0: return "the independent variable is advanced by the run (set zzticg for the start time)";
        case 2: return "states start from their initial values (set the model's initial-value constants)";
        case 3: return "derivatives are computed by the model";
        case 4: return "initial conditions are computed by the model from its constants";
        case 5: return constant ? "" : "it is computed by the model";
        case 11:
        case 12: return "it is a runtime control variable";
        case 1:
        case 6: case 7: case 8: case 9: case 10:
        case 13: return "";
        default: return "it is not a variable";
    }
}
