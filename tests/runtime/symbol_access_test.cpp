#include <array>
#include <cctype>
#include <string>
#include <cstring>

#include "RuntimeFixture.h"

namespace {

enum : uint32_t { T = 1, X = 2, Vec16 = 5, M34 = 6, LVal = 7, LVec = 8, SVal = 9, SArr = 10,
                  SUnknown = 11, ShortVal = 12 };

TestVariable WithLength(TestVariable v, uint32_t length) {
    v.stringLength = length;
    return v;
}

class SymbolAccessTest : public RuntimeFixture {
protected:
    void SetUp() override {
        TestModelLayout layout;
        layout.states = {Scalar("x")};
        layout.others = {Vector("vec16", 16),
                         Matrix2("m34", 3, 4),
                         Scalar("lval", 1),
                         Vector("lvec", 4, 1),
                         WithLength(Scalar("sval", 6), 8),
                         WithLength(Vector("sarr", 3, 6), 4),
                         Scalar("sunknown", 6),
                         Scalar("shortval", 0)};
        Start(layout);
    }
    double* Doubles(uint32_t v) { return static_cast<double*>(model().Address(v)); }
    const std::string kRefused(uint32_t v) {
        return "Error: Value does not fit the storage of variable " + std::to_string(v) + ".";
    }
    const std::string kReadRefused(uint32_t v) {
        return "Error: Cannot read variable " + std::to_string(v) +
               ": the value lies outside its storage.";
    }
};

TEST_F(SymbolAccessTest, SymbolTableLookupsAndNeutralAnswers) {
    EXPECT_EQ(OrvoGetNumberSymbols(), 12u + NumSettings);
    EXPECT_EQ(OrvoGetSymbolIndex("T"), T);
    EXPECT_EQ(OrvoGetSymbolIndex("VEC16"), Vec16);
    EXPECT_EQ(OrvoGetSymbolIndex("vec1"), 0u);
    EXPECT_EQ(OrvoGetSymbolIndex(nullptr), 0u);
    // Every name, in capitals, finds its variable (settings included).
    for (uint32_t v = 1; v <= OrvoGetNumberSymbols(); ++v) {
        std::string name = OrvoGetSymbolName(v);
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(OrvoGetSymbolIndex(name.c_str()), v) << name;
    }
    EXPECT_STREQ(OrvoGetSymbolName(M34), "m34");
    const uint32_t past = OrvoGetNumberSymbols() + 1;
    for (uint32_t invalid : {0u, past}) {
        EXPECT_EQ(OrvoGetSymbolName(invalid), nullptr);
        EXPECT_EQ(OrvoGetSymbolDatatype(invalid), 7u);
        EXPECT_EQ(OrvoGetSymbolType(invalid), 14u);
        uint32_t dims[6] = {9, 9, 9, 9, 9, 9};
        OrvoGetSymbolDimensions(invalid, 0, dims);
        EXPECT_EQ(dims[0], 9u);
    }

    OrvoSymbolInfo info;
    ASSERT_TRUE(OrvoGetSymbolInfo(M34, &info));
    EXPECT_EQ(info.numDimensions, 2u);
    EXPECT_EQ(info.dimensions[0], 3u);
    EXPECT_EQ(info.dimensions[1], 4u);
    EXPECT_EQ(info.symbolType, 5u);
    EXPECT_EQ(info.derivativeVariable, M34 + 1);
    EXPECT_FALSE(OrvoGetSymbolInfo(M34, nullptr));
    EXPECT_FALSE(OrvoGetSymbolInfo(0, &info));
}

TEST_F(SymbolAccessTest, IndexSetsAndColumnMajorOffsets) {
    OrvoSetDouble1(instance, Vec16, 2.5, 16);
    EXPECT_EQ(Doubles(Vec16)[15], 2.5);
    EXPECT_EQ(OrvoGetDouble1(instance, Vec16, 16), 2.5);
    EXPECT_TRUE(messages.empty());

    // Past the extent, 0 for a used dimension, and an index for an unused one.
    Doubles(Vec16)[0] = 4.0;
    EXPECT_EQ(OrvoGetDouble1(instance, Vec16, 17), 0.0);
    EXPECT_EQ(OrvoGetDouble1(instance, Vec16, 0), 0.0);
    EXPECT_EQ(OrvoGetDouble2(instance, Vec16, 1, 1), 0.0);
    OrvoSetDouble1(instance, Vec16, 9.0, 17);
    EXPECT_EQ(messages, std::vector<std::string>(4, "Error: Invalid array index."));

    // (2, 3) in a 3 x 4 array is element 1 + 2 x 3 = 7.
    OrvoSetDouble2(instance, M34, 7.5, 2, 3);
    EXPECT_EQ(Doubles(M34)[7], 7.5);
    const uint32_t last[6] = {3, 4, 0, 0, 0, 0};
    EXPECT_EQ(SymbolAccess::GetFlatArrayOffset(last, OrvoSimRuntime::GetInstance()
                                                         ->GetDescriptor(M34)
                                                         ->dims),
              11u);
    // A scalar is addressed with all indices 0.
    model().State(0) = 3.0;
    EXPECT_EQ(OrvoGetDouble6(instance, X, 0, 0, 0, 0, 0, 0), 3.0);
}

TEST_F(SymbolAccessTest, PlainTypedAccessRequiresTheExactType) {
    *static_cast<int32_t*>(model().Address(LVal)) = 42;
    EXPECT_EQ(OrvoGetDouble(instance, LVal), 0.0);
    OrvoSetDouble(instance, LVal, 1.0);
    EXPECT_EQ(OrvoGetLong(instance, LVal), 42);
    OrvoSetLong(instance, LVal, -7);
    EXPECT_EQ(OrvoGetLong(instance, LVal), -7);
    EXPECT_EQ(OrvoGetString(instance, LVal), nullptr);

    OrvoSetShort(instance, ShortVal, -5);
    EXPECT_EQ(OrvoGetShort(instance, ShortVal), -5);  // sign-extended
    Doubles(Vec16)[0] = 1.25;
    EXPECT_EQ(OrvoGetDouble(instance, Vec16), 1.25);  // an array's first element

    const uint32_t stop = model().SettingVariable(SettingZzstopflag);
    OrvoSetBool(instance, stop, true);
    EXPECT_EQ(model().Setting<uint8_t>(SettingZzstopflag), 1);
    EXPECT_TRUE(OrvoGetBool(instance, stop));
    EXPECT_TRUE(messages.empty());
}

TEST_F(SymbolAccessTest, IndexedWriteRecordsTheGivenType) {
    OrvoSetLongIndexed(instance, Vec16, 77, std::array<uint32_t, 6>{3, 0, 0, 0, 0, 0}.data());
    EXPECT_EQ(OrvoGetSymbolDatatype(Vec16), 1u);
    EXPECT_EQ(static_cast<int32_t*>(model().Address(Vec16))[2], 77);
    EXPECT_EQ(OrvoGetLong3(instance, Vec16, 3, 0, 0), 77);
    // Now the plain double accessors no longer match.
    EXPECT_EQ(OrvoGetDouble(instance, Vec16), 0.0);
}

TEST_F(SymbolAccessTest, GenericValuesByShape) {
    uint32_t type = 99;
    uint32_t dims[6];
    OrvoSymbolValue value;
    ASSERT_TRUE(OrvoGetSymbolValue(instance, Vec16, &type, &value, dims));
    EXPECT_EQ(type, 4u);
    EXPECT_EQ(dims[0], 16u);
    EXPECT_EQ(value.arrayValue, model().Address(Vec16));

    model().Time() = 0.75;
    ASSERT_TRUE(OrvoGetSymbolValue(instance, T, &type, &value, dims));
    EXPECT_EQ(value.doubleValue, 0.75);
    EXPECT_FALSE(OrvoGetSymbolValue(instance, 0, &type, &value, dims));

    // A whole-array write of the registered shape copies every element.
    double source[16];
    for (int k = 0; k < 16; ++k) source[k] = k;
    OrvoSymbolValue array;
    array.arrayValue = source;
    const uint32_t shape[6] = {16, 0, 0, 0, 0, 0};
    OrvoSetSymbolValue(instance, Vec16, 4, array, shape);
    EXPECT_EQ(std::memcmp(model().Address(Vec16), source, sizeof source), 0);
}

TEST_F(SymbolAccessTest, WritesPastTheStorageAreRefused) {
    double source[32] = {};
    OrvoSymbolValue array;
    array.arrayValue = source;
    const uint32_t enlarged[6] = {32, 0, 0, 0, 0, 0};
    OrvoSetSymbolValue(instance, Vec16, 4, array, enlarged);
    uint32_t dims[6];
    OrvoGetSymbolDimensions(Vec16, 0, dims);
    EXPECT_EQ(dims[0], 16u);  // shape not recorded
    EXPECT_EQ(messages.back(), kRefused(Vec16));

    // A wider type on a 16-byte long[4]: element 2 ends at byte 16, element 3 past it.
    OrvoSetDouble1(instance, LVec, 1.0, 3);
    EXPECT_EQ(OrvoGetSymbolDatatype(LVec), 1u);
    EXPECT_EQ(messages.back(), kRefused(LVec));
    OrvoSetDouble1(instance, LVec, 2.0, 2);
    EXPECT_EQ(OrvoGetSymbolDatatype(LVec), 4u);
    EXPECT_EQ(OrvoGetDouble1(instance, LVec, 2), 2.0);
    messages.clear();
    EXPECT_EQ(OrvoGetDouble1(instance, LVec, 3), 0.0);  // reads are bounded as well
    EXPECT_EQ(messages.back(), kReadRefused(LVec));

    // A double into a 2-byte short.
    OrvoSymbolValue wide;
    wide.doubleValue = 1.0;
    const uint32_t scalar[6] = {};
    OrvoSetSymbolValue(instance, ShortVal, 4, wide, scalar);
    EXPECT_EQ(OrvoGetSymbolDatatype(ShortVal), 0u);
}

TEST_F(SymbolAccessTest, StringsStayInsideTheirElements) {
    OrvoSetString(instance, SVal, "12345678");  // 9 bytes into 8
    EXPECT_EQ(messages.back(), kRefused(SVal));
    OrvoSetString(instance, SVal, "1234567");
    EXPECT_STREQ(OrvoGetString(instance, SVal), "1234567");

    OrvoSetString1(instance, SArr, "abc", 3);
    OrvoSetString1(instance, SArr, "wxyz", 2);  // 5 bytes into a 4-byte element
    EXPECT_EQ(messages.back(), kRefused(SArr));
    OrvoSetString1(instance, SArr, "wxy", 2);
    EXPECT_STREQ(OrvoGetString1(instance, SArr, 2), "wxy");
    EXPECT_STREQ(OrvoGetString1(instance, SArr, 3), "abc");

    // Without a registered length only the characters it holds are known room.
    OrvoSetString(instance, SUnknown, "a");
    EXPECT_EQ(messages.back(), kRefused(SUnknown));
    OrvoSetString(instance, SUnknown, "");
    EXPECT_STREQ(OrvoGetString(instance, SUnknown), "");
}

TEST_F(SymbolAccessTest, StringGettersAnswerNullForOtherDataTypes) {
    const std::array<uint32_t, 6> first = {1, 0, 0, 0, 0, 0};
    Doubles(Vec16)[0] = 1.5;
    *static_cast<int32_t*>(model().Address(LVal)) = 12345;
    for (uint32_t v : {X, Vec16, LVal, LVec, ShortVal}) {
        SCOPED_TRACE(v);
        EXPECT_EQ(OrvoGetString(instance, v), nullptr);
        EXPECT_EQ(OrvoGetStringIndexed(instance, v, first.data()), nullptr);
        EXPECT_EQ(OrvoGetString1(instance, v, 1), nullptr);
        EXPECT_EQ(OrvoGetString2(instance, v, 1, 1), nullptr);
        EXPECT_EQ(OrvoGetString6(instance, v, 1, 1, 1, 1, 1, 1), nullptr);
    }
    OrvoSetString1(instance, SArr, "abc", 1);
    EXPECT_STREQ(OrvoGetString1(instance, SArr, 1), "abc");
    EXPECT_STREQ(OrvoGetStringIndexed(instance, SArr, first.data()), "abc");
}

TEST_F(SymbolAccessTest, NullPointersAndBadInstancesAreRefused) {
    uint32_t type;
    uint32_t dims[6];
    OrvoSymbolValue value;
    EXPECT_FALSE(OrvoGetSymbolValue(instance, T, nullptr, &value, dims));
    EXPECT_FALSE(OrvoGetSymbolValue(instance, T, &type, nullptr, dims));
    EXPECT_FALSE(OrvoGetSymbolValue(instance, T, &type, &value, nullptr));
    OrvoSetSymbolValue(instance, T, 4, value, nullptr);
    OrvoSetSymbolValueIndexed(instance, T, 4, nullptr, std::array<uint32_t, 6>{}.data());
    OrvoGetSymbolValueIndexed(instance, T, &type, nullptr, std::array<uint32_t, 6>{}.data());
    OrvoSetString(instance, SVal, nullptr);
    OrvoSetString1(instance, SArr, nullptr, 1);
    messages.clear();
    EXPECT_EQ(OrvoGetDoubleIndexed(instance, Vec16, nullptr), 0.0);
    OrvoSetDoubleIndexed(instance, Vec16, 1.0, nullptr);
    EXPECT_EQ(messages, std::vector<std::string>(2, "Error: Invalid array index."));

    model().Time() = 5.0;
    for (uint32_t bad : {0u, 2u, 99u, 100u, 0xFFFFFFFFu}) {
        EXPECT_EQ(OrvoGetDouble(bad, T), 0.0);
        OrvoSetDouble(bad, T, 1.0);
        OrvoSetDouble1(bad, Vec16, 1.0, 1);
        EXPECT_FALSE(OrvoGetSymbolValue(bad, T, &type, &value, dims));
    }
    EXPECT_EQ(model().Time(), 5.0);
}

}  // namespace
