// SPDX-License-Identifier: LGPL-2.1-or-later
// The framework types, where their exact rules matter to the tool and the class.
#include <gtest/gtest.h>

#include <stdexcept>

#include "framework/afx.h"
#include "registry/registry.h"

namespace {

struct CutCase {
    const char* text;
    int count;
    const char* left;
    const char* right;
};

const CutCase kCutCases[] = {
    {"abcd", -5, "", ""},   {"abcd", -1, "", ""},       {"abcd", 0, "", ""},
    {"abcd", 1, "a", "d"},  {"abcd", 3, "abc", "bcd"},  {"abcd", 4, "abcd", "abcd"},
    {"abcd", 9, "abcd", "abcd"}, {"", -1, "", ""},      {"", 2, "", ""},
};

class CStringCutTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(CStringCutTest, LeftAndRightClampTheirCount)
{
    const CutCase& c = GetParam();
    CString text(c.text);
    EXPECT_STREQ(c.left, text.Left(c.count));
    EXPECT_STREQ(c.right, text.Right(c.count));
}

INSTANTIATE_TEST_SUITE_P(Counts, CStringCutTest, ::testing::ValuesIn(kCutCases));

TEST(CString, FindCharacterAndText)
{
    CString line("C:\\SHIP\\setnetid.exe IP 1.2.3.4");
    EXPECT_EQ(5, line.Find("IP"));
    EXPECT_EQ(21, line.Find("IP", 6));
    EXPECT_EQ(-1, line.Find("ip"));
    EXPECT_EQ(2, line.Find('\\'));
    EXPECT_EQ(-1, line.Find('#'));
    EXPECT_EQ(-1, CString().Find('a'));
    EXPECT_EQ(0, CString("abc").Find(""));
}

TEST(CString, RemoveTakesEveryOccurrence)
{
    CString text(" 1 2  3 ");
    EXPECT_EQ(5, text.Remove(' '));
    EXPECT_STREQ("123", text);
    EXPECT_EQ(3, text.GetLength());
    EXPECT_EQ(0, text.Remove(' '));
}

TEST(CString, ValueSemanticsAndNullText)
{
    CString a("abc");
    CString b(a);
    b.SetAt(0, 'x');
    EXPECT_STREQ("abc", a);
    EXPECT_STREQ("xbc", b);
    a = static_cast<LPCSTR>(nullptr);
    EXPECT_TRUE(a.IsEmpty());
    b.Empty();
    EXPECT_EQ(0, b.GetLength());
    EXPECT_THROW(b.GetAt(0), std::out_of_range);
    EXPECT_EQ('b', CString("abc")[1]);
}

TEST(CByteArray, SetSizeKeepsGrowthStepWithMinusOne)
{
    CByteArray bytes;
    bytes.SetSize(0, 16);
    EXPECT_EQ(16, bytes.GetGrowBy());
    bytes.SetAtGrow(bytes.GetSize(), 7);
    bytes.SetAtGrow(bytes.GetSize(), 9);
    ASSERT_EQ(2, bytes.GetSize());
    EXPECT_EQ(9, bytes[1]);
    bytes.SetSize(0, -1);
    EXPECT_EQ(0, bytes.GetSize());
    EXPECT_EQ(16, bytes.GetGrowBy());
    EXPECT_EQ(nullptr, bytes.GetData());
    bytes.SetAtGrow(3, 1);  // grows through the gap, filling with zeros
    ASSERT_EQ(4, bytes.GetSize());
    EXPECT_EQ(0, bytes.GetData()[0]);
    EXPECT_THROW(bytes.SetAtGrow(-1, 0), std::out_of_range);
    EXPECT_THROW(bytes.SetSize(-1), std::out_of_range);
}

TEST(CStringArray, AppendsTextAndCopiesElements)
{
    CStringArray texts;
    texts.SetAtGrow(texts.GetSize(), "one");
    texts.SetAtGrow(texts.GetSize(), CString("two"));
    ASSERT_EQ(2, texts.GetSize());
    CString copy = texts[0];
    copy = "changed";
    EXPECT_STREQ("one", texts[0]);
    texts.SetSize(0, -1);
    EXPECT_EQ(0, texts.GetSize());
}

TEST(RuntimeClass, RegistryIsKnownByNameAndBase)
{
    CRegistry registry;
    const CRuntimeClass* rc = registry.GetRuntimeClass();
    EXPECT_STREQ("CRegistry", rc->m_lpszClassName);
    EXPECT_EQ(RUNTIME_CLASS(CObject), rc->m_pBaseClass);
    EXPECT_EQ(0xFFFFu, rc->m_wSchema);
    EXPECT_EQ(nullptr, rc->CreateObject());
    EXPECT_TRUE(registry.IsKindOf(RUNTIME_CLASS(CObject)));
    EXPECT_FALSE(registry.IsKindOf(RUNTIME_CLASS(CByteArray)));
}

}  // namespace
