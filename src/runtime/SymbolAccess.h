#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "orvo/orvo.h"
#include "runtime/OrvoSimVariableDescriptor.h"

class OrvoSimRuntime;
struct OrvoSimSystemInstance;

// The symbol table and the typed value access of the host interface. Values
// are read and written at the addresses the model registered; no access
// reaches past the storage a variable was registered with.
class SymbolAccess {
public:
    explicit SymbolAccess(OrvoSimRuntime& runtime) : runtime_(runtime) {}
    SymbolAccess(const SymbolAccess&) = delete;
    SymbolAccess& operator=(const SymbolAccess&) = delete;

    // ---- symbol table -------------------------------------------------------
    uint32_t GetNumberSymbols() const;
    // Case-insensitive; the first variable of that name, or 0.
    uint32_t GetSymbolIndex(const char* name) const;
    // Indexes the names once the model has registered them (GetSymbolIndex
    // then looks up instead of scanning); ForgetNames before they change.
    void IndexNames();
    void ForgetNames() { names_.clear(); }
    bool GetSymbolInfo(uint32_t variable, OrvoSymbolInfo* info) const;
    const char* GetSymbolName(uint32_t variable) const;
    uint32_t GetSymbolDatatype(uint32_t variable) const;
    uint32_t GetSymbolType(uint32_t variable) const;
    void GetSymbolDimensions(uint32_t variable, uint32_t* dims) const;

    // ---- generic values -----------------------------------------------------
    bool GetSymbolValue(uint32_t instance, uint32_t variable, uint32_t* dataType,
                        OrvoSymbolValue* value, uint32_t* dims);
    void SetSymbolValue(uint32_t instance, uint32_t variable, uint32_t dataType,
                        OrvoSymbolValue value, const uint32_t* dims);
    void GetSymbolValueIndexed(uint32_t instance, uint32_t variable, uint32_t* dataType,
                               OrvoSymbolValue* value, const uint32_t* indices);
    void SetSymbolValueIndexed(uint32_t instance, uint32_t variable, uint32_t dataType,
                               const OrvoSymbolValue* value, const uint32_t* indices);

    // ---- typed values: T is int16_t, int32_t, float, double, bool or
    // const char*, with the data type code of TypeCode<T>.
    template <typename T>
    T Get(uint32_t instance, uint32_t variable);
    template <typename T>
    void Set(uint32_t instance, uint32_t variable, T value);
    template <typename T>
    T GetIndexed(uint32_t instance, uint32_t variable, const uint32_t* indices) {
        OrvoSymbolValue value;
        std::memset(&value, 0, sizeof value);
        uint32_t dataType = DataTypeInvalid;
        GetSymbolValueIndexed(instance, variable, &dataType, &value, indices);
        // The bits of a number are no address to hand out.
        if constexpr (std::is_same_v<T, const char*>) {
            if (dataType != DataTypeString) return nullptr;
        }
        return FromValue<T>(value);
    }
    template <typename T>
    void SetIndexed(uint32_t instance, uint32_t variable, T value, const uint32_t* indices) {
        OrvoSymbolValue stored = ToValue(value);
        SetSymbolValueIndexed(instance, variable, TypeCode<T>(), &stored, indices);
    }

    template <typename T>
    static constexpr uint32_t TypeCode();

    // ---- index sets ---------------------------------------------------------
    static bool IsValidIndexSet(const uint32_t* indices, const uint32_t* dims);
    static uint32_t GetNumberDimensions(const uint32_t* dims);
    static uint32_t GetFlatArrayOffset(const uint32_t* indices, const uint32_t* dims);

private:
    // ASCII case folding, as names compare.
    struct FoldedHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const;
    };
    struct FoldedEqual {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const;
    };
    std::unordered_map<std::string, uint32_t, FoldedHash, FoldedEqual> names_;
    // The descriptor and storage address of a variable of an existing
    // instance; false (nothing found) otherwise.
    bool Locate(uint32_t instance, uint32_t variable, OrvoSimVariableDescriptor** descriptor,
                uint8_t** address) const;
    // Storage address of bytes [offset, offset + size) of the variable, or
    // null when they would reach past its registered storage.
    static uint8_t* Span(const OrvoSimVariableDescriptor& descriptor, uint8_t* address,
                         size_t offset, size_t size);
    // Room for a NUL-terminated string at byte offset of the variable.
    static size_t StringCapacity(const OrvoSimVariableDescriptor& descriptor,
                                 const uint8_t* address, size_t offset);
    // Copies text with its NUL when it fits; false otherwise.
    static bool CopyString(const OrvoSimVariableDescriptor& descriptor, uint8_t* address,
                           size_t offset, const char* text);
    void RefuseWrite(uint32_t instance, uint32_t variable);
    void RefuseRead(uint32_t instance, uint32_t variable);
    // A value written by the host may change what the derivatives depend on:
    // the model hears that constants may have changed (it recomputes what it
    // derives from them alone), and the instance's integrator does not
    // continue from its history.
    void NoteWrite(uint32_t instance);
    void RefuseIndexSet(uint32_t instance);

    template <typename T>
    static T FromValue(const OrvoSymbolValue& value);
    template <typename T>
    static OrvoSymbolValue ToValue(T value);

    OrvoSimRuntime& runtime_;
};

template <> constexpr uint32_t SymbolAccess::TypeCode<int16_t>() { return DataTypeShort; }
template <> constexpr uint32_t SymbolAccess::TypeCode<int32_t>() { return DataTypeLong; }
template <> constexpr uint32_t SymbolAccess::TypeCode<float>() { return DataTypeFloat; }
template <> constexpr uint32_t SymbolAccess::TypeCode<double>() { return DataTypeDouble; }
template <> constexpr uint32_t SymbolAccess::TypeCode<bool>() { return DataTypeBool; }
template <> constexpr uint32_t SymbolAccess::TypeCode<const char*>() { return DataTypeString; }

template <typename T>
T SymbolAccess::FromValue(const OrvoSymbolValue& value) {
    if constexpr (std::is_same_v<T, bool>) {
        uint8_t byte;
        std::memcpy(&byte, &value, 1);
        return byte != 0;
    } else if constexpr (std::is_same_v<T, const char*>) {
        return value.stringValue;
    } else {
        T out;
        std::memcpy(&out, &value, sizeof out);
        return out;
    }
}

template <typename T>
OrvoSymbolValue SymbolAccess::ToValue(T value) {
    OrvoSymbolValue out;
    std::memset(&out, 0, sizeof out);
    if constexpr (std::is_same_v<T, bool>) {
        const uint8_t byte = value ? 1 : 0;
        std::memcpy(&out, &byte, 1);
    } else if constexpr (std::is_same_v<T, const char*>) {
        out.stringValue = const_cast<char*>(value);
    } else {
        std::memcpy(&out, &value, sizeof value);
    }
    return out;
}

// Get/Set are defined in SymbolAccess.cpp for the six value types.
extern template int16_t SymbolAccess::Get<int16_t>(uint32_t, uint32_t);
extern template int32_t SymbolAccess::Get<int32_t>(uint32_t, uint32_t);
extern template float SymbolAccess::Get<float>(uint32_t, uint32_t);
extern template double SymbolAccess::Get<double>(uint32_t, uint32_t);
extern template bool SymbolAccess::Get<bool>(uint32_t, uint32_t);
extern template const char* SymbolAccess::Get<const char*>(uint32_t, uint32_t);
extern template void SymbolAccess::Set<int16_t>(uint32_t, uint32_t, int16_t);
extern template void SymbolAccess::Set<int32_t>(uint32_t, uint32_t, int32_t);
extern template void SymbolAccess::Set<float>(uint32_t, uint32_t, float);
extern template void SymbolAccess::Set<double>(uint32_t, uint32_t, double);
extern template void SymbolAccess::Set<bool>(uint32_t, uint32_t, bool);
extern template void SymbolAccess::Set<const char*>(uint32_t, uint32_t, const char*);
