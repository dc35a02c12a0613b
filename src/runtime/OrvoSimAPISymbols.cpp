// Host exports: the symbol table and the generic and typed value access.
// Each forwards to the runtime's symbol access.
#include <array>

#include "orvo/orvo.h"
#include "runtime/OrvoSimRuntime.h"

namespace {

SymbolAccess& Symbols() { return OrvoSimRuntime::GetInstance()->Symbols(); }

// Index set of the numbered exports: the given indices, 0 for the rest.
std::array<uint32_t, 6> IndexSet(uint32_t i1, uint32_t i2 = 0, uint32_t i3 = 0, uint32_t i4 = 0,
                                 uint32_t i5 = 0, uint32_t i6 = 0) {
    return {i1, i2, i3, i4, i5, i6};
}

}  // namespace

extern "C" {

ORVO_API uint32_t OrvoGetNumberSymbols(void) { return Symbols().GetNumberSymbols(); }

ORVO_API uint32_t OrvoGetSymbolIndex(const char* name) { return Symbols().GetSymbolIndex(name); }

ORVO_API bool OrvoGetSymbolInfo(uint32_t variable, OrvoSymbolInfo* info) {
    return Symbols().GetSymbolInfo(variable, info);
}

ORVO_API const char* OrvoGetSymbolName(uint32_t variable) {
    return Symbols().GetSymbolName(variable);
}

ORVO_API uint32_t OrvoGetSymbolDatatype(uint32_t variable) {
    return Symbols().GetSymbolDatatype(variable);
}

ORVO_API uint32_t OrvoGetSymbolType(uint32_t variable) { return Symbols().GetSymbolType(variable); }

ORVO_API void OrvoGetSymbolDimensions(uint32_t variable, uint32_t, uint32_t* dims) {
    Symbols().GetSymbolDimensions(variable, dims);
}

ORVO_API int32_t OrvoGetSymbolInitialValue(uint32_t, uint32_t) { return 1; }

ORVO_API bool OrvoGetSymbolValue(uint32_t instance, uint32_t variable, uint32_t* dataType,
                                 OrvoSymbolValue* value, uint32_t* dims) {
    return Symbols().GetSymbolValue(instance, variable, dataType, value, dims);
}

ORVO_API void OrvoSetSymbolValue(uint32_t instance, uint32_t variable, uint32_t dataType,
                                 OrvoSymbolValue value, const uint32_t* dims) {
    Symbols().SetSymbolValue(instance, variable, dataType, value, dims);
}

ORVO_API void OrvoGetSymbolValueIndexed(uint32_t instance, uint32_t variable, uint32_t* dataType,
                                        OrvoSymbolValue* value, const uint32_t* indices) {
    Symbols().GetSymbolValueIndexed(instance, variable, dataType, value, indices);
}

ORVO_API void OrvoSetSymbolValueIndexed(uint32_t instance, uint32_t variable, uint32_t dataType,
                                        const OrvoSymbolValue* value, const uint32_t* indices) {
    Symbols().SetSymbolValueIndexed(instance, variable, dataType, value, indices);
}

// The sixteen exports of one typed family.
#define ORVO_TYPED_FAMILY(Name, GetType, SetType, Type)                                         \
    ORVO_API GetType OrvoGet##Name(uint32_t instance, uint32_t variable) {                      \
        return Symbols().Get<Type>(instance, variable);                                         \
    }                                                                                           \
    ORVO_API void OrvoSet##Name(uint32_t instance, uint32_t variable, SetType value) {          \
        Symbols().Set<Type>(instance, variable, value);                                         \
    }                                                                                           \
    ORVO_API GetType OrvoGet##Name##Indexed(uint32_t instance, uint32_t variable,               \
                                            const uint32_t* indices) {                          \
        return Symbols().GetIndexed<Type>(instance, variable, indices);                         \
    }                                                                                           \
    ORVO_API void OrvoSet##Name##Indexed(uint32_t instance, uint32_t variable, SetType value,   \
                                         const uint32_t* indices) {                             \
        Symbols().SetIndexed<Type>(instance, variable, value, indices);                         \
    }                                                                                           \
    ORVO_API GetType OrvoGet##Name##1(uint32_t instance, uint32_t variable, uint32_t i1) {      \
        return Symbols().GetIndexed<Type>(instance, variable, IndexSet(i1).data());             \
    }                                                                                           \
    ORVO_API GetType OrvoGet##Name##2(uint32_t instance, uint32_t variable, uint32_t i1,        \
                                      uint32_t i2) {                                            \
        return Symbols().GetIndexed<Type>(instance, variable, IndexSet(i1, i2).data());         \
    }                                                                                           \
    ORVO_API GetType OrvoGet##Name##3(uint32_t instance, uint32_t variable, uint32_t i1,        \
                                      uint32_t i2, uint32_t i3) {                               \
        return Symbols().GetIndexed<Type>(instance, variable, IndexSet(i1, i2, i3).data());     \
    }                                                                                           \
    ORVO_API GetType OrvoGet##Name##4(uint32_t instance, uint32_t variable, uint32_t i1,        \
                                      uint32_t i2, uint32_t i3, uint32_t i4) {                  \
        return Symbols().GetIndexed<Type>(instance, variable, IndexSet(i1, i2, i3, i4).data()); \
    }                                                                                           \
    ORVO_API GetType OrvoGet##Name##5(uint32_t instance, uint32_t variable, uint32_t i1,        \
                                      uint32_t i2, uint32_t i3, uint32_t i4, uint32_t i5) {     \
        return Symbols().GetIndexed<Type>(instance, variable,                                   \
                                          IndexSet(i1, i2, i3, i4, i5).data());                 \
    }                                                                                           \
    ORVO_API GetType OrvoGet##Name##6(uint32_t instance, uint32_t variable, uint32_t i1,        \
                                      uint32_t i2, uint32_t i3, uint32_t i4, uint32_t i5,       \
                                      uint32_t i6) {                                            \
        return Symbols().GetIndexed<Type>(instance, variable,                                   \
                                          IndexSet(i1, i2, i3, i4, i5, i6).data());             \
    }                                                                                           \
    ORVO_API void OrvoSet##Name##1(uint32_t instance, uint32_t variable, SetType value,         \
                                   uint32_t i1) {                                               \
        Symbols().SetIndexed<Type>(instance, variable, value, IndexSet(i1).data());             \
    }                                                                                           \
    ORVO_API void OrvoSet##Name##2(uint32_t instance, uint32_t variable, SetType value,         \
                                   uint32_t i1, uint32_t i2) {                                  \
        Symbols().SetIndexed<Type>(instance, variable, value, IndexSet(i1, i2).data());         \
    }                                                                                           \
    ORVO_API void OrvoSet##Name##3(uint32_t instance, uint32_t variable, SetType value,         \
                                   uint32_t i1, uint32_t i2, uint32_t i3) {                     \
        Symbols().SetIndexed<Type>(instance, variable, value, IndexSet(i1, i2, i3).data());     \
    }                                                                                           \
    ORVO_API void OrvoSet##Name##4(uint32_t instance, uint32_t variable, SetType value,         \
                                   uint32_t i1, uint32_t i2, uint32_t i3, uint32_t i4) {        \
        Symbols().SetIndexed<Type>(instance, variable, value,                                   \
                                   IndexSet(i1, i2, i3, i4).data());                            \
    }                                                                                           \
    ORVO_API void OrvoSet##Name##5(uint32_t instance, uint32_t variable, SetType value,         \
                                   uint32_t i1, uint32_t i2, uint32_t i3, uint32_t i4,          \
                                   uint32_t i5) {                                               \
        Symbols().SetIndexed<Type>(instance, variable, value,                                   \
                                   IndexSet(i1, i2, i3, i4, i5).data());                        \
    }                                                                                           \
    ORVO_API void OrvoSet##Name##6(uint32_t instance, uint32_t variable, SetType value,         \
                                   uint32_t i1, uint32_t i2, uint32_t i3, uint32_t i4,          \
                                   uint32_t i5, uint32_t i6) {                                  \
        Symbols().SetIndexed<Type>(instance, variable, value,                                   \
                                   IndexSet(i1, i2, i3, i4, i5, i6).data());                    \
    }

ORVO_TYPED_FAMILY(Short, int32_t, int16_t, int16_t)
ORVO_TYPED_FAMILY(Long, int32_t, int32_t, int32_t)
ORVO_TYPED_FAMILY(Float, float, float, float)
ORVO_TYPED_FAMILY(Double, double, double, double)
ORVO_TYPED_FAMILY(Bool, bool, bool, bool)
ORVO_TYPED_FAMILY(String, const char*, const char*, const char*)

#undef ORVO_TYPED_FAMILY

}  // extern "C"
