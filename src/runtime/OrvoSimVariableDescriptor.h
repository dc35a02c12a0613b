#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Registered description of one model variable (one per variable number).
struct OrvoSimVariableDescriptor {
    std::string name;
    uint32_t dataType = 0;
    uint32_t symbolType = 0;
    uint32_t dims[6] = {0, 0, 0, 0, 0, 0};
    // The shape the model registered; hosts may record another in dims, but
    // the model's storage and the solver's state layout keep this one.
    uint32_t registeredDims[6] = {0, 0, 0, 0, 0, 0};
    double relativeTolerance = 0.0001;
    double absoluteTolerance = 0.0001;
    uint8_t flags[11] = {};
    uint32_t derivativeVariable = 0;
    uint32_t initialConditionVariable = 0;
    uint32_t discreteSection = 0;
    uint32_t stringLength = 0;
    // Bytes of model storage behind the variable, from the type and shape it
    // was registered with (hosts may later record other types and shapes).
    // kUnknownSize for a string whose element length was not registered.
    size_t storageSize = 0;

    static constexpr size_t kUnknownSize = static_cast<size_t>(-1);
};

// Codes of OrvoSimVariableDescriptor::dataType.
enum OrvoSimDataType : uint32_t {
    DataTypeShort = 0,
    DataTypeLong = 1,
    DataTypeReal = 2,  // treated as double
    DataTypeFloat = 3,
    DataTypeDouble = 4,
    DataTypeBool = 5,
    DataTypeString = 6,
    DataTypeInvalid = 7,
};

// Bytes of one element of a data type: 0 for strings and unknown codes.
inline size_t DataTypeElementSize(uint32_t dataType) {
    switch (dataType) {
        case DataTypeShort: return 2;
        case DataTypeLong: return 4;
        case DataTypeReal: return 8;
        case DataTypeFloat: return 4;
        case DataTypeDouble: return 8;
        case DataTypeBool: return 1;
        default: return 0;
    }
}
