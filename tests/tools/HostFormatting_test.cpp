#include <gtest/gtest.h>

#include <sstream>

#include "CsvWriter.h"
#include "SymbolText.h"

namespace {

TEST(ElementIndices, ColumnMajorWithUnusedDimensionsZero) {
    const uint32_t dims[6] = {3, 4, 0, 0, 0, 0};
    uint32_t idx[6];
    ElementIndices(dims, 7, idx);  // (2-1) + (3-1) * 3
    EXPECT_EQ(idx[0], 2u);
    EXPECT_EQ(idx[1], 3u);
    for (int k = 2; k < 6; ++k) EXPECT_EQ(idx[k], 0u);
    ElementIndices(dims, 11, idx);
    EXPECT_EQ(idx[0], 3u);
    EXPECT_EQ(idx[1], 4u);
    EXPECT_EQ(ElementCount(dims), 12u);
    EXPECT_EQ(FormatDimensions(dims), "3x4");

    const uint32_t scalar[6] = {};
    ElementIndices(scalar, 0, idx);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(idx[k], 0u);
    EXPECT_EQ(ElementCount(scalar), 1u);
    EXPECT_EQ(FormatDimensions(scalar), "scalar");
}

TEST(WhyNotSettable, OnlyConstantsAndSettings) {
    EXPECT_TRUE(WhyNotSettable(5, true).empty());   // model constant
    EXPECT_FALSE(WhyNotSettable(5, false).empty()); // computed variable
    for (uint32_t type : {1u, 6u, 7u, 8u, 9u, 10u, 13u}) EXPECT_TRUE(WhyNotSettable(type, false).empty()) << type;
    for (uint32_t type : {0u, 2u, 3u, 4u, 11u, 12u, 14u}) EXPECT_FALSE(WhyNotSettable(type, true).empty()) << type;
}

TEST(CsvWriter, QuotesOnlyWhatNeedsIt) {
    std::ostringstream out;
    CsvWriter writer(out);
    writer.WriteRow({"t", "a,b", "say \"hi\"", "two\nlines", "1.5e-07"});
    EXPECT_EQ(out.str(), "t,\"a,b\",\"say \"\"hi\"\"\",\"two\nlines\",1.5e-07\n");
    EXPECT_TRUE(writer.Flush());
}

}  // namespace
