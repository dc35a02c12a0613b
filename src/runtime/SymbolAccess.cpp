#include "runtime/SymbolAccess.h"

#include <algorithm>

#include "runtime/OrvoSimRuntime.h"
#include "runtime/SectionCodes.h"

static_assert(sizeof(OrvoSymbolValue) == 8, "the value union is eight bytes");

namespace {

constexpr const char* kInvalidIndexMessage = "Error: Invalid array index.";

unsigned char FoldCase(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Product of every non-zero extent: the element count of a whole-array write.
size_t CountOfNonZeroExtents(const uint32_t* dims) {
    size_t count = 1;
    for (int k = 0; k < 6; ++k) {
        if (dims[k] != 0) count *= dims[k];
    }
    return count;
}

// Capacity of the variable's storage: the registered size, or for a string of
// unregistered element length the characters it holds now.
size_t Capacity(const OrvoSimVariableDescriptor& descriptor, const uint8_t* address) {
    if (descriptor.storageSize != OrvoSimVariableDescriptor::kUnknownSize) {
        return descriptor.storageSize;
    }
    return std::strlen(reinterpret_cast<const char*>(address)) + 1;
}

}  // namespace

// ---- symbol table -------------------------------------------------------------

uint32_t SymbolAccess::GetNumberSymbols() const { return runtime_.GetSystemInfo().numVariables; }

std::size_t SymbolAccess::FoldedHash::operator()(std::string_view name) const {
    std::size_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char c : name) hash = (hash ^ FoldCase(static_cast<unsigned char>(c))) * 1099511628211ull;
    return hash;
}

bool SymbolAccess::FoldedEqual::operator()(std::string_view a, std::string_view b) const {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k)
        if (FoldCase(static_cast<unsigned char>(a[k])) != FoldCase(static_cast<unsigned char>(b[k]))) return false;
    return true;
}

void SymbolAccess::IndexNames() {
    names_.clear();
    const uint32_t count = GetNumberSymbols();
    names_.reserve(count);
    for (uint32_t variable = 1; variable <= count; ++variable) {
        const OrvoSimVariableDescriptor* descriptor = runtime_.GetDescriptor(variable);
        if (descriptor) names_.emplace(descriptor->name, variable);  // the first of equal names stays
    }
}

uint32_t SymbolAccess::GetSymbolIndex(const char* name) const {
    if (!name) return 0;
    if (!names_.empty()) {
        const auto found = names_.find(std::string_view(name));
        return found == names_.end() ? 0 : found->second;
    }
    const uint32_t count = GetNumberSymbols();
    for (uint32_t variable = 1; variable <= count; ++variable) {
        if (FoldedEqual{}(runtime_.GetDescriptor(variable)->name, name)) {
            return variable;
        }
    }
    return 0;
}

bool SymbolAccess::GetSymbolInfo(uint32_t variable, OrvoSymbolInfo* info) const {
    const OrvoSimVariableDescriptor* descriptor = runtime_.GetDescriptor(variable);
    if (!info || !descriptor) return false;
    info->symbolType = descriptor->symbolType;
    info->dataType = descriptor->dataType;
    info->name = descriptor->name.c_str();
    info->numDimensions = GetNumberDimensions(descriptor->dims);
    info->dimensions = descriptor->dims;
    std::memcpy(info->flags, descriptor->flags, sizeof info->flags);
    info->derivativeVariable = descriptor->derivativeVariable;
    info->initialConditionVariable = descriptor->initialConditionVariable;
    info->stringLength = descriptor->stringLength;
    return true;
}

const char* SymbolAccess::GetSymbolName(uint32_t variable) const {
    const OrvoSimVariableDescriptor* descriptor = runtime_.GetDescriptor(variable);
    return descriptor ? descriptor->name.c_str() : nullptr;
}

uint32_t SymbolAccess::GetSymbolDatatype(uint32_t variable) const {
    const OrvoSimVariableDescriptor* descriptor = runtime_.GetDescriptor(variable);
    return descriptor ? descriptor->dataType : DataTypeInvalid;
}

uint32_t SymbolAccess::GetSymbolType(uint32_t variable) const {
    const OrvoSimVariableDescriptor* descriptor = runtime_.GetDescriptor(variable);
    return descriptor ? descriptor->symbolType : static_cast<uint32_t>(OrvoSymbolInvalid);
}

void SymbolAccess::GetSymbolDimensions(uint32_t variable, uint32_t* dims) const {
    const OrvoSimVariableDescriptor* descriptor = runtime_.GetDescriptor(variable);
    if (descriptor && dims) std::memcpy(dims, descriptor->dims, sizeof descriptor->dims);
}

// ---- index sets ---------------------------------------------------------------

bool SymbolAccess::IsValidIndexSet(const uint32_t* indices, const uint32_t* dims) {
    for (int k = 0; k < 6; ++k) {
        const bool unused = dims[k] == 0 && indices[k] == 0;
        const bool inRange = indices[k] >= 1 && indices[k] <= dims[k];
        if (!unused && !inRange) return false;
    }
    return true;
}

uint32_t SymbolAccess::GetNumberDimensions(const uint32_t* dims) {
    uint32_t count = 0;
    while (count < 6 && dims[count] != 0) ++count;
    return count;
}

uint32_t SymbolAccess::GetFlatArrayOffset(const uint32_t* indices, const uint32_t* dims) {
    const uint32_t count = GetNumberDimensions(dims);
    uint32_t offset = 0;
    uint32_t stride = 1;
    for (uint32_t k = 0; k < count; ++k) {
        offset += (indices[k] - 1) * stride;
        stride *= dims[k];
    }
    return offset;
}

// ---- storage ------------------------------------------------------------------

bool SymbolAccess::Locate(uint32_t instance, uint32_t variable,
                          OrvoSimVariableDescriptor** descriptor, uint8_t** address) const {
    OrvoSimSystemInstance* record = runtime_.GetSystemInstance(instance);
    OrvoSimVariableDescriptor* found = runtime_.GetDescriptor(variable);
    if (!record || !found || variable >= record->variables.size()) return false;
    uint8_t* storage = static_cast<uint8_t*>(record->variables[variable]);
    if (!storage) return false;
    *descriptor = found;
    *address = storage;
    return true;
}

uint8_t* SymbolAccess::Span(const OrvoSimVariableDescriptor& descriptor, uint8_t* address,
                            size_t offset, size_t size) {
    const size_t capacity = Capacity(descriptor, address);
    if (offset > capacity || size > capacity - offset) return nullptr;
    return address + offset;
}

size_t SymbolAccess::StringCapacity(const OrvoSimVariableDescriptor& descriptor,
                                    const uint8_t* address, size_t offset) {
    const size_t capacity = Capacity(descriptor, address);
    if (offset >= capacity) return 0;
    size_t room = capacity - offset;
    // An element of a string array must not run into the next one.
    if (descriptor.stringLength > 0) room = std::min<size_t>(room, descriptor.stringLength);
    return room;
}

bool SymbolAccess::CopyString(const OrvoSimVariableDescriptor& descriptor, uint8_t* address,
                              size_t offset, const char* text) {
    const size_t length = std::strlen(text) + 1;
    if (length > StringCapacity(descriptor, address, offset)) return false;
    // The host may pass characters of this very variable.
    std::memmove(address + offset, text, length);
    return true;
}

void SymbolAccess::RefuseWrite(uint32_t instance, uint32_t variable) {
    runtime_.OrvoSimWriteFormattedMessage(
        instance, "Error: Value does not fit the storage of variable %u.", variable);
}

void SymbolAccess::RefuseRead(uint32_t instance, uint32_t variable) {
    runtime_.OrvoSimWriteFormattedMessage(
        instance, "Error: Cannot read variable %u: the value lies outside its storage.", variable);
}

void SymbolAccess::NoteWrite(uint32_t instance) {
    if (const OrvoSimSectionFunction section = runtime_.GetSystemInfo().sectionFunction)
        section(instance, kConstantsChangedSection);
    OrvoSimSystemInstance* record = runtime_.GetSystemInstance(instance);
    if (record && record->solver) record->solver->RequestRestart();
}

void SymbolAccess::RefuseIndexSet(uint32_t instance) {
    runtime_.OrvoSimWriteMessage(instance, kInvalidIndexMessage);
}

// ---- generic values -----------------------------------------------------------

bool SymbolAccess::GetSymbolValue(uint32_t instance, uint32_t variable, uint32_t* dataType,
                                  OrvoSymbolValue* value, uint32_t* dims) {
    OrvoSimVariableDescriptor* descriptor;
    uint8_t* address;
    if (!dataType || !value || !dims || !Locate(instance, variable, &descriptor, &address)) {
        return false;
    }
    const uint32_t type = descriptor->dataType;
    const bool array = descriptor->dims[0] != 0;
    const size_t size = DataTypeElementSize(type);
    if (!array && type != DataTypeString && size > 0 && !Span(*descriptor, address, 0, size)) {
        RefuseRead(instance, variable);
        return false;
    }
    *dataType = type;
    std::memcpy(dims, descriptor->dims, sizeof descriptor->dims);
    if (array || type == DataTypeString) {
        value->arrayValue = address;
    } else if (size > 0) {
        std::memcpy(value, address, size);
    }
    return true;
}

void SymbolAccess::SetSymbolValue(uint32_t instance, uint32_t variable, uint32_t dataType,
                                  OrvoSymbolValue value, const uint32_t* dims) {
    OrvoSimVariableDescriptor* descriptor;
    uint8_t* address;
    if (!dims || !Locate(instance, variable, &descriptor, &address)) return;
    const bool array = dims[0] != 0;
    size_t bytes = 0;
    if (dataType == DataTypeString && !array) {
        if (!value.stringValue) return;
        if (std::strlen(value.stringValue) + 1 > StringCapacity(*descriptor, address, 0)) {
            RefuseWrite(instance, variable);
            return;
        }
    } else if (dataType <= DataTypeString) {
        const size_t element =
            dataType == DataTypeString ? descriptor->stringLength : DataTypeElementSize(dataType);
        bytes = array ? CountOfNonZeroExtents(dims) * element : element;
        if (array && bytes > 0 && !value.arrayValue) return;
        if (!Span(*descriptor, address, 0, bytes)) {
            RefuseWrite(instance, variable);
            return;
        }
    }
    // The caller's type and shape replace the registered ones.
    descriptor->dataType = dataType;
    std::memcpy(descriptor->dims, dims, sizeof descriptor->dims);
    if (dataType == DataTypeString && !array) {
        CopyString(*descriptor, address, 0, value.stringValue);
    } else if (array) {
        if (bytes > 0) std::memmove(address, value.arrayValue, bytes);
    } else if (bytes > 0) {
        std::memcpy(address, &value, bytes);
    }
    NoteWrite(instance);
}

void SymbolAccess::GetSymbolValueIndexed(uint32_t instance, uint32_t variable,
                                         uint32_t* dataType, OrvoSymbolValue* value,
                                         const uint32_t* indices) {
    OrvoSimVariableDescriptor* descriptor;
    uint8_t* address;
    if (!dataType || !value || !Locate(instance, variable, &descriptor, &address)) return;
    const uint32_t type = descriptor->dataType;
    *dataType = type;
    if (!indices || !IsValidIndexSet(indices, descriptor->dims)) {
        RefuseIndexSet(instance);
        return;
    }
    const size_t offset = GetFlatArrayOffset(indices, descriptor->dims);
    if (type == DataTypeString) {
        const size_t at = offset * descriptor->stringLength;
        if (StringCapacity(*descriptor, address, at) == 0) {
            RefuseRead(instance, variable);
            return;
        }
        value->stringValue = reinterpret_cast<char*>(address + at);
        return;
    }
    const size_t size = DataTypeElementSize(type);
    if (size == 0) return;
    const uint8_t* element = Span(*descriptor, address, offset * size, size);
    if (!element) {
        RefuseRead(instance, variable);
        return;
    }
    std::memcpy(value, element, size);
}

void SymbolAccess::SetSymbolValueIndexed(uint32_t instance, uint32_t variable, uint32_t dataType,
                                         const OrvoSymbolValue* value,
                                         const uint32_t* indices) {
    OrvoSimVariableDescriptor* descriptor;
    uint8_t* address;
    if (!value || !Locate(instance, variable, &descriptor, &address)) return;
    if (!indices || !IsValidIndexSet(indices, descriptor->dims)) {
        descriptor->dataType = dataType;
        RefuseIndexSet(instance);
        return;
    }
    const size_t offset = GetFlatArrayOffset(indices, descriptor->dims);
    if (dataType == DataTypeString) {
        if (!value->stringValue) return;
        if (!CopyString(*descriptor, address, offset * descriptor->stringLength,
                        value->stringValue)) {
            RefuseWrite(instance, variable);
            return;
        }
        descriptor->dataType = dataType;
        NoteWrite(instance);
        return;
    }
    const size_t size = DataTypeElementSize(dataType);
    uint8_t* element = size > 0 ? Span(*descriptor, address, offset * size, size) : nullptr;
    if (size > 0 && !element) {
        RefuseWrite(instance, variable);
        return;
    }
    descriptor->dataType = dataType;
    if (element) {
        std::memcpy(element, value, size);
        NoteWrite(instance);
    }
}

// ---- typed values -------------------------------------------------------------

template <typename T>
T SymbolAccess::Get(uint32_t instance, uint32_t variable) {
    OrvoSimVariableDescriptor* descriptor;
    uint8_t* address;
    if (!Locate(instance, variable, &descriptor, &address) ||
        descriptor->dataType != TypeCode<T>()) {
        return T{};
    }
    if constexpr (std::is_same_v<T, const char*>) {
        return reinterpret_cast<const char*>(address);
    } else {
        const size_t size = DataTypeElementSize(TypeCode<T>());
        const uint8_t* element = Span(*descriptor, address, 0, size);
        if (!element) return T{};
        OrvoSymbolValue value;
        std::memset(&value, 0, sizeof value);
        std::memcpy(&value, element, size);
        return FromValue<T>(value);
    }
}

template <typename T>
void SymbolAccess::Set(uint32_t instance, uint32_t variable, T value) {
    OrvoSimVariableDescriptor* descriptor;
    uint8_t* address;
    if (!Locate(instance, variable, &descriptor, &address) ||
        descriptor->dataType != TypeCode<T>()) {
        return;
    }
    bool written;
    if constexpr (std::is_same_v<T, const char*>) {
        if (!value) return;
        written = CopyString(*descriptor, address, 0, value);
    } else {
        const size_t size = DataTypeElementSize(TypeCode<T>());
        uint8_t* element = Span(*descriptor, address, 0, size);
        written = element != nullptr;
        if (element) {
            const OrvoSymbolValue stored = ToValue(value);
            std::memcpy(element, &stored, size);
        }
    }
    if (written) {
        NoteWrite(instance);
    } else {
        RefuseWrite(instance, variable);
    }
}

template int16_t SymbolAccess::Get<int16_t>(uint32_t, uint32_t);
template int32_t SymbolAccess::Get<int32_t>(uint32_t, uint32_t);
template float SymbolAccess::Get<float>(uint32_t, uint32_t);
template double SymbolAccess::Get<double>(uint32_t, uint32_t);
template bool SymbolAccess::Get<bool>(uint32_t, uint32_t);
template const char* SymbolAccess::Get<const char*>(uint32_t, uint32_t);
template void SymbolAccess::Set<int16_t>(uint32_t, uint32_t, int16_t);
template void SymbolAccess::Set<int32_t>(uint32_t, uint32_t, int32_t);
template void SymbolAccess::Set<float>(uint32_t, uint32_t, float);
template void SymbolAccess::Set<double>(uint32_t, uint32_t, double);
template void SymbolAccess::Set<bool>(uint32_t, uint32_t, bool);
template void SymbolAccess::Set<const char*>(uint32_t, uint32_t, const char*);
