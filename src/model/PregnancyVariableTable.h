#pragma once

// The pregnancy model's variable table: one record per variable, in numbering
// order, as registered with the runtime.

#include <cstdint>
#include <span>

namespace pregnancy {

// Data type codes of the registration interface.
enum DataType : uint32_t {
    kLong = 1,    // 32-bit signed integer
    kDouble = 4,
    kBool = 5,    // one byte
};

// Symbol type codes of the registration interface.
enum SymbolType : uint32_t {
    kIndependentVariable = 0,
    kIndependentStart = 1,
    kState = 2,
    kDerivative = 3,
    kInitialCondition = 4,
    kOther = 5,
    kCommInterval = 6,
    kAlgorithm = 7,
    kStepsPerInterval = 8,
    kMaxStep = 9,
    kMinStep = 10,
    kMinStepViolation = 11,
    kControl = 12,
    kFurtherSetting = 13,
};

// Attribute flags 1..11 as bits 0..10.
enum AttributeFlag : uint16_t {
    F1 = 1u << 0, F2 = 1u << 1, F3 = 1u << 2, F4 = 1u << 3, F5 = 1u << 4, F6 = 1u << 5,
    F7 = 1u << 6, F8 = 1u << 7, F9 = 1u << 8, F10 = 1u << 9, F11 = 1u << 10,
};

// What a variable holds before the model or the host has set it.
constexpr double kUnsetReal = 5.5555e33;
constexpr int32_t kUnsetInteger = 55555555;

struct PregnancyVariableRecord {
    uint32_t index;
    const char* name;
    uint32_t symbolType;
    uint32_t dataType;
    uint32_t dim1;             // 0 for scalars; the other five dimensions are always 0
    uint16_t flags;            // AttributeFlag bits
    double defaultValue;       // converted to the variable's data type
    const double* tableData;   // initial contents of a table array, else null

    bool HasFlag(uint32_t flag) const { return (flags >> (flag - 1)) & 1u; }
};

// The 537 records; record i describes variable i + 1.
std::span<const PregnancyVariableRecord> PregnancyVariables();

}  // namespace pregnancy
