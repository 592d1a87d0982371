// SPDX-License-Identifier: LGPL-2.1-or-later
// The splitter and the field-to-byte conversion over the worked examples.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "app/address_splitter.h"

namespace {

struct SplitCase {
    const char* argument;
    const char* fields[4];
    BYTE bytes[4];
};

const char kTab[] = "\t1";

const SplitCase kSplitCases[] = {
    {"192.168.0.10", {"192", "168", "0", "10"}, {192, 168, 0, 10}},
    {" 192.168.0.10", {"192", "168", "0", "10"}, {192, 168, 0, 10}},
    {" 10 . 1 . 2 . 3", {"10", "1", "2", "3"}, {10, 1, 2, 3}},
    {"255.255.255.255", {"255", "255", "255", "255"}, {255, 255, 255, 255}},
    {"010.001.000.001", {"010", "001", "000", "001"}, {10, 1, 0, 1}},
    {"1.2.3", {"1", "2", "3", ""}, {1, 2, 3, 0}},
    {"12.3", {"12", "3", "", ""}, {12, 3, 0, 0}},
    {"123.", {"123.", "", "", ""}, {123, 0, 0, 0}},
    {"   ", {"", "", "", ""}, {0, 0, 0, 0}},
    {"", {"", "", "", ""}, {0, 0, 0, 0}},
    {"1.2.3.4.5", {"1", "2", "3", "4"}, {1, 2, 3, 4}},
    {"1..2.3", {"1", "", "2", "3"}, {1, 0, 2, 3}},
    {".1.2.3", {"", "1", "2", "3"}, {0, 1, 2, 3}},
    {"1.2.3.4.", {"1", "2", "3", "4."}, {1, 2, 3, 4}},
    {"1.2.3.", {"1", "2", "3.", ""}, {1, 2, 3, 0}},
    {"1.2.3.4 extra", {"1", "2", "3", "4extra"}, {1, 2, 3, 4}},
    {"10.0.0.300", {"10", "0", "0", "300"}, {10, 0, 0, 44}},
    {"10.0.0.256", {"10", "0", "0", "256"}, {10, 0, 0, 0}},
    {"10.0.0.-1", {"10", "0", "0", "-1"}, {10, 0, 0, 255}},
    {"10.0.0.-300", {"10", "0", "0", "-300"}, {10, 0, 0, 212}},
    {"1.999.999.999", {"1", "999", "999", "999"}, {1, 231, 231, 231}},
    {"+1.2.3.4", {"+1", "2", "3", "4"}, {1, 2, 3, 4}},
    {"=1.2.3.4", {"=1", "2", "3", "4"}, {0, 2, 3, 4}},
    {"\t1.2.3.4", {kTab, "2", "3", "4"}, {1, 2, 3, 4}},
    {"1.2.3.4567", {"1", "2", "3", "4567"}, {1, 2, 3, 215}},
    {"1.2.3.45678", {"1", "2", "3", "45678"}, {1, 2, 3, 110}},
    {"abc", {"abc", "", "", ""}, {0, 0, 0, 0}},
    {"1234", {"1234", "", "", ""}, {210, 0, 0, 0}},
    {"12345", {"12345", "12345", "12345", "12345"}, {57, 57, 57, 57}},
    {"1234.5.6.7", {"1234.5.6.7", "1234.5.6.7", "1234.5.6.7", "1234.5.6.7"}, {210, 210, 210, 210}},
    {"0255.1.2.3", {"0255.1.2.3", "0255.1.2.3", "0255.1.2.3", "0255.1.2.3"}, {255, 255, 255, 255}},
    {"00001.2.3.4", {"00001.2.3.4", "00001.2.3.4", "00001.2.3.4", "00001.2.3.4"}, {1, 1, 1, 1}},
    {"1 234.5.6.7", {"1234.5.6.7", "1234.5.6.7", "1234.5.6.7", "1234.5.6.7"}, {210, 210, 210, 210}},
    {"-1.2.3.4", {"-1", "2", "3", "4"}, {255, 2, 3, 4}},
};

class SplitterTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitterTest, FieldsAndBytesMatchTheWorkedExample)
{
    const SplitCase& c = GetParam();
    CString compact("left over");
    CString fields[4] = {"x", "x", "x", "x"};
    const CString argument(c.argument);
    SplitAddressArgument(argument, compact, fields[0], fields[1], fields[2], fields[3]);
    EXPECT_STREQ(c.argument, argument) << "the argument itself is not changed";
    for (int i = 0; i < 4; ++i) {
        EXPECT_STREQ(c.fields[i], fields[i]) << "field " << i + 1;
        EXPECT_EQ(c.bytes[i], ConvertFieldToByte(fields[i])) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, SplitterTest, ::testing::ValuesIn(kSplitCases));

struct IntegerCase {
    const char* text;
    int value;
};

// The runtime conversion: white space, sign, digits; beyond 32 bits it saturates.
const IntegerCase kIntegerCases[] = {
    {"", 0},
    {"42", 42},
    {" \t\n\v\f\r42x", 42},
    {"+7", 7},
    {"-7", -7},
    {"--7", 0},
    {"+-7", 0},
    {"- 7", 0},
    {"0x10", 0},
    {"0017", 17},
    {"2147483647", INT_MAX},
    {"2147483648", INT_MAX},
    {"-2147483648", INT_MIN},
    {"-2147483649", INT_MIN},
    {"99999999999999999999999999999", INT_MAX},
    {"-99999999999999999999999999999", INT_MIN},
    {"000000000000000000000000000012", 12},
};

class LeadingIntegerTest : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(LeadingIntegerTest, ConvertsAsTheRuntimeDoes)
{
    EXPECT_EQ(GetParam().value, ParseLeadingInteger(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(Texts, LeadingIntegerTest, ::testing::ValuesIn(kIntegerCases));

TEST(ConvertFieldToByte, SaturatedRunsGiveTheLowBitsOfTheLimit)
{
    // A whole rest of five characters or more can carry a run beyond 32 bits.
    EXPECT_EQ(0xFF, ConvertFieldToByte("99999999999"));  // INT_MAX & 0xFF
    EXPECT_EQ(0x00, ConvertFieldToByte("-99999999999"));  // INT_MIN & 0xFF
}

}  // namespace
