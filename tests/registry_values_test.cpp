// SPDX-License-Identifier: LGPL-2.1-or-later
// CRegistry's typed values: layouts, round trips, buffer limits, and the
// inner calls that a subclass can replace.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/environment.h"
#include "support/probe_registry.h"
#include "support/scratch_key.h"

namespace {

typedef std::vector<BYTE> Bytes;

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

class ValuesTest : public ::testing::Test {
protected:
    explicit ValuesTest() : scratch(::testing::UnitTest::GetInstance()->current_test_info()->name()) {}

    void SetUp() override
    {
        ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
        ASSERT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_ALL_ACCESS));
        reg.calls.clear();
    }

    void Put(const char* name, DWORD type, const Bytes& data)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), name, 0, type,
                                                data.empty() ? nullptr : data.data(),
                                                static_cast<DWORD>(data.size())));
    }

    // The stored type and data, read straight from the platform.
    bool Stored(const char* name, DWORD& type, Bytes& data)
    {
        DWORD size = 0;
        if (RegQueryValueExA(scratch.Handle(), name, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS) {
            return false;
        }
        data.assign(size + 1, 0);
        if (RegQueryValueExA(scratch.Handle(), name, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS) {
            return false;
        }
        data.resize(size);
        return true;
    }

    ScratchKey scratch;
    ProbeRegistry reg;
};

CStringArray Texts(std::initializer_list<const char*> items)
{
    CStringArray texts;
    for (const char* item : items) {
        texts.SetAtGrow(texts.GetSize(), item);
    }
    return texts;
}

std::vector<std::string> Items(const CStringArray& texts)
{
    std::vector<std::string> out;
    for (int i = 0; i < texts.GetSize(); ++i) {
        out.emplace_back(static_cast<LPCSTR>(texts[i]));
    }
    return out;
}

// ------------------------------------------------------------ setters' layouts

TEST_F(ValuesTest, SettersLayTheirDataOutExactly)
{
    struct Case {
        const char* name;
        DWORD type;
        Bytes data;
    };
    ASSERT_TRUE(reg.SetStringValue("empty text", ""));
    ASSERT_TRUE(reg.SetStringValue("text", "abc"));
    ASSERT_TRUE(reg.SetDwordValue("one", 1));
    ASSERT_TRUE(reg.SetDwordValue("big", 0x12345678));
    ASSERT_TRUE(reg.SetMultiStringValue("no texts", CStringArray()));
    ASSERT_TRUE(reg.SetMultiStringValue("AB D", Texts({"AB", "D"})));
    ASSERT_TRUE(reg.SetMultiStringValue("gap", Texts({"a", "", "b"})));
    const Case cases[] = {
        {"empty text", REG_SZ, Bytes{0}},
        {"text", REG_SZ, B(std::string("abc\0", 4))},
        {"one", REG_DWORD, Bytes{1, 0, 0, 0}},
        {"big", REG_DWORD, Bytes{0x78, 0x56, 0x34, 0x12}},
        {"no texts", REG_MULTI_SZ, Bytes{0}},
        {"AB D", REG_MULTI_SZ, Bytes{0x41, 0x42, 0x00, 0x44, 0x00, 0x00}},
        {"gap", REG_MULTI_SZ, B(std::string("a\0\0b\0\0", 6))},
    };
    for (const Case& c : cases) {
        DWORD type = 0;
        Bytes data;
        ASSERT_TRUE(Stored(c.name, type, data)) << c.name;
        EXPECT_EQ(c.type, type) << c.name;
        EXPECT_EQ(c.data, data) << c.name;
    }
}

TEST_F(ValuesTest, TypedRoundTrips)
{
    CString text;
    ASSERT_TRUE(reg.SetValue("s", CString("hello world")));
    ASSERT_TRUE(reg.GetValue("s", text));
    EXPECT_STREQ("hello world", text);

    DWORD number = 0;
    ASSERT_TRUE(reg.SetValue("d", DWORD(0xDEADBEEF)));
    ASSERT_TRUE(reg.GetValue("d", number));
    EXPECT_EQ(0xDEADBEEFu, number);

    CStringArray texts;
    ASSERT_TRUE(reg.SetValue("m", Texts({"one", "two", "three"})));
    ASSERT_TRUE(reg.GetValue("m", texts));
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three"}), Items(texts));

    CByteArray bytes;
    for (int i = 0; i < 300; ++i) {
        bytes.SetAtGrow(bytes.GetSize(), static_cast<BYTE>(i * 7));
    }
    CByteArray back;
    ASSERT_TRUE(reg.SetValue("b", bytes));
    ASSERT_TRUE(reg.GetValue("b", back));
    ASSERT_EQ(bytes.GetSize(), back.GetSize());
    EXPECT_EQ(0, std::memcmp(bytes.GetData(), back.GetData(), 300));
}

// ------------------------------------------------------------ text reads

TEST_F(ValuesTest, StringReadBoundaries)
{
    Put("2048", REG_SZ, B(std::string(2047, 'x') + '\0'));
    Put("2049", REG_SZ, B(std::string(2048, 'y') + '\0'));
    Put("full", REG_BINARY, B(std::string(2048, 'z')));
    Put("dword", REG_DWORD, Bytes{65, 0, 0, 0});

    CString text("before");
    ASSERT_TRUE(reg.GetStringValue("2048", text));
    EXPECT_EQ(2047, text.GetLength());

    text = "before";
    EXPECT_FALSE(reg.GetStringValue("2049", text));
    EXPECT_EQ(ERROR_MORE_DATA, reg.GetStatus());
    EXPECT_TRUE(text.IsEmpty());

    // All 2048 bytes without a NUL: the whole buffer, nothing beyond it.
    ASSERT_TRUE(reg.GetStringValue("full", text));
    EXPECT_EQ(std::string(2048, 'z'), std::string(text));

    // The stored type is not examined.
    ASSERT_TRUE(reg.GetStringValue("dword", text));
    EXPECT_STREQ("A", text);

    text = "before";
    EXPECT_FALSE(reg.GetStringValue("missing", text));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, reg.GetStatus());
    EXPECT_TRUE(text.IsEmpty());
}

// ------------------------------------------------------------ number reads

TEST_F(ValuesTest, DwordReadOfOtherSizes)
{
    Put("two", REG_BINARY, Bytes{0x11, 0x22});
    Put("eight", REG_BINARY, Bytes(8, 0x33));
    DWORD value = 0xAAAAAAAA;
    ASSERT_TRUE(reg.GetDwordValue("two", value));
    EXPECT_EQ(0xAAAA2211u, value) << "only the first two bytes replaced";
    EXPECT_FALSE(reg.GetDwordValue("eight", value));
    EXPECT_EQ(ERROR_MORE_DATA, reg.GetStatus());
}

// ------------------------------------------------------------ byte and list reads

TEST_F(ValuesTest, BinaryReadsEmptyAndKeepsTheArrayOnFailure)
{
    Put("empty", REG_BINARY, Bytes{});
    CByteArray bytes;
    bytes.SetAtGrow(0, 9);
    ASSERT_TRUE(reg.GetBinaryValue("empty", bytes));
    EXPECT_EQ(0, bytes.GetSize());

    bytes.SetAtGrow(0, 9);
    EXPECT_FALSE(reg.GetBinaryValue("missing", bytes));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, reg.GetStatus());
    ASSERT_EQ(1, bytes.GetSize());
    EXPECT_EQ(9, bytes[0]);
}

TEST_F(ValuesTest, MultiStringLayouts)
{
    struct Case {
        const char* name;
        Bytes data;
        std::vector<std::string> texts;
    };
    const Case cases[] = {
        {"a b", B(std::string("a\0b\0\0", 5)), {"a", "b"}},
        {"a gap b", B(std::string("a\0\0b\0\0", 6)), {"a"}},
        {"nul first", B(std::string("\0a\0\0", 4)), {}},
        {"no data", Bytes{}, {}},
        // Left open by the layout: a last piece without its NUL is one more
        // text, and the read stays within the bytes received.
        {"no closing nul", B(std::string("a\0bc", 4)), {"a", "bc"}},
        {"plain text", B(std::string("abc\0", 4)), {"abc"}},
        {"no nul at all", B("abc"), {"abc"}},
    };
    // A longer value first, so the read buffer holds stale bytes past each shorter one.
    Put("long", REG_BINARY, Bytes(64, 'q'));
    for (const Case& c : cases) {
        Put(c.name, REG_MULTI_SZ, c.data);
    }
    for (const Case& c : cases) {
        CStringArray texts;
        texts.SetAtGrow(0, "stale");
        ASSERT_TRUE(reg.GetMultiStringValue(c.name, texts)) << c.name;
        EXPECT_EQ(c.texts, Items(texts)) << c.name;
    }

    CStringArray kept = Texts({"x", "y"});
    EXPECT_FALSE(reg.GetMultiStringValue("missing", kept));
    EXPECT_EQ((std::vector<std::string>{"x", "y"}), Items(kept));
}

TEST_F(ValuesTest, ListWithAnEmptyTextReadsBackUpToIt)
{
    ASSERT_TRUE(reg.SetMultiStringValue("gap", Texts({"first", "", "third"})));
    CStringArray texts;
    ASSERT_TRUE(reg.GetMultiStringValue("gap", texts));
    EXPECT_EQ((std::vector<std::string>{"first"}), Items(texts));
}

TEST_F(ValuesTest, ByteAndListReadsRefreshTheKeyFacts)
{
    Put("v", REG_BINARY, Bytes{1});
    EXPECT_EQ(0u, reg.GetValueCount()) << "the count from the open, before the write";
    CByteArray bytes;
    ASSERT_TRUE(reg.GetBinaryValue("v", bytes));
    EXPECT_EQ(1u, reg.GetValueCount());
    EXPECT_EQ((std::vector<std::string>{"QueryInfoKey", "QueryValue"}), reg.calls);
}

// ------------------------------------------------------------ the raw query

TEST_F(ValuesTest, QueryValueKeepsTheTypeOnFailure)
{
    Put("v", REG_DWORD, Bytes{1, 0, 0, 0});
    DWORD type = 12345;
    DWORD size = 0;
    EXPECT_FALSE(reg.QueryValue("missing", type, nullptr, &size));
    EXPECT_EQ(12345u, type);
    ASSERT_TRUE(reg.QueryValue("v", type, nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(4u, size);
}

// ------------------------------------------------------------ delete and enumerate

TEST_F(ValuesTest, DeleteValueHandsTheNullNameToThePlatform)
{
    EXPECT_FALSE(reg.DeleteValue(nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, reg.GetStatus());
    Put("", REG_SZ, B(std::string("default\0", 8)));
    Put("named", REG_SZ, Bytes{0});
    EXPECT_TRUE(reg.DeleteValue(nullptr));
    DWORD type = 0;
    Bytes data;
    EXPECT_FALSE(Stored("", type, data));
    EXPECT_TRUE(Stored("named", type, data));
    EXPECT_TRUE(reg.DeleteValue("NAMED")) << "names are case-insensitive";
    EXPECT_FALSE(Stored("named", type, data));
}

TEST_F(ValuesTest, EnumValueNamesTypesAndTheEnd)
{
    Put("zeta", REG_DWORD, Bytes{1, 0, 0, 0});
    Put("Alpha", REG_SZ, Bytes{0});
    std::vector<std::string> names;
    CString name;
    DWORD type = 0;
    for (DWORD i = 0; reg.EnumValue(i, name, type, nullptr, nullptr); ++i) {
        names.emplace_back(name);
        EXPECT_EQ(names.back() == "zeta" ? DWORD(REG_DWORD) : DWORD(REG_SZ), type);
    }
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, reg.GetStatus());
    // The last name enumerated stays after the end (Wine's last is "zeta").
    const bool wine = RunningUnderWine();
    EXPECT_STREQ(wine ? "zeta" : "Alpha", name) << "the last name stays after the end";
    EXPECT_EQ(wine ? DWORD(REG_DWORD) : DWORD(REG_SZ), type);
    if (wine) {
        // Wine deviation: Wine enumerates values sorted by name.
        EXPECT_EQ((std::vector<std::string>{"Alpha", "zeta"}), names);
    } else {
        EXPECT_EQ((std::vector<std::string>{"zeta", "Alpha"}), names) << "creation order";
    }
}

TEST_F(ValuesTest, EnumValueWithDataAndLongNames)
{
    Put("short", REG_BINARY, Bytes{1, 2, 3});
    Put(std::string(2048, 'n').c_str(), REG_DWORD, Bytes{1, 0, 0, 0});
    CString name;
    DWORD type = 0;
    BYTE data[8] = {};
    DWORD size = sizeof data;
    // Wine deviation: Wine enumerates values sorted by name, the long one first.
    const DWORD shortIndex = RunningUnderWine() ? 1 : 0;
    ASSERT_TRUE(reg.EnumValue(shortIndex, name, type, data, &size));
    EXPECT_STREQ("short", name);
    EXPECT_EQ(3u, size);
    EXPECT_EQ(3, data[2]);
    name = "kept";
    EXPECT_FALSE(reg.EnumValue(1 - shortIndex, name, type, nullptr, nullptr));
    EXPECT_EQ(ERROR_MORE_DATA, reg.GetStatus());
    EXPECT_STREQ("kept", name);
}

// ------------------------------------------------------------ null names and inner calls

TEST_F(ValuesTest, NullNamesAreRefusedBeforeAnythingElse)
{
    CString text("kept");
    CStringArray texts = Texts({"kept"});
    CByteArray bytes;
    bytes.SetAtGrow(0, 1);
    DWORD value = 7;
    DWORD type = 3;
    const std::vector<std::pair<const char*, BOOL>> results = {
        {"QueryValue", reg.QueryValue(nullptr, type, nullptr, nullptr)},
        {"GetBinaryValue", reg.GetBinaryValue(nullptr, bytes)},
        {"GetDwordValue", reg.GetDwordValue(nullptr, value)},
        {"GetStringValue", reg.GetStringValue(nullptr, text)},
        {"GetMultiStringValue", reg.GetMultiStringValue(nullptr, texts)},
        {"GetValue texts", reg.GetValue(nullptr, texts)},
        {"GetValue text", reg.GetValue(nullptr, text)},
        {"GetValue dword", reg.GetValue(nullptr, value)},
        {"GetValue bytes", reg.GetValue(nullptr, bytes)},
        {"SetDwordValue", reg.SetDwordValue(nullptr, 1)},
        {"SetStringValue", reg.SetStringValue(nullptr, text)},
        {"SetMultiStringValue", reg.SetMultiStringValue(nullptr, texts)},
        {"SetValue text", reg.SetValue(nullptr, text)},
        {"SetValue texts", reg.SetValue(nullptr, texts)},
        {"SetValue dword", reg.SetValue(nullptr, DWORD(1))},
        {"SetValue bytes", reg.SetValue(nullptr, bytes)},
    };
    for (const auto& r : results) {
        EXPECT_FALSE(r.second) << r.first;
    }
    EXPECT_EQ(ERROR_INVALID_PARAMETER, reg.GetStatus());
    // Only the calls the test made itself are logged: no refused call went
    // on to an inner one.
    EXPECT_EQ((std::vector<std::string>{"QueryValue", "GetStringValue", "SetDwordValue"}),
              reg.calls);
    EXPECT_STREQ("kept", text);
    EXPECT_EQ(7u, value);
    EXPECT_EQ(3u, type);
    EXPECT_EQ(1, bytes.GetSize());
    EXPECT_EQ(1, texts.GetSize());
}

TEST_F(ValuesTest, EveryTypedCallGoesThroughTheReplaceableInnerCall)
{
    CString text;
    CStringArray texts;
    CByteArray bytes;
    DWORD value = 0;
    ASSERT_TRUE(reg.SetValue("s", CString("x")));
    ASSERT_TRUE(reg.SetValue("m", Texts({"x"})));
    ASSERT_TRUE(reg.SetValue("d", DWORD(3)));
    ASSERT_TRUE(reg.SetValue("b", bytes));
    EXPECT_EQ((std::vector<std::string>{"SetValue", "SetValue", "SetDwordValue", "SetValue",
                                        "SetValue"}),
              reg.calls);
    reg.calls.clear();
    ASSERT_TRUE(reg.GetValue("s", text));
    ASSERT_TRUE(reg.GetValue("m", texts));
    ASSERT_TRUE(reg.GetValue("d", value));
    ASSERT_TRUE(reg.GetValue("b", bytes));
    EXPECT_EQ((std::vector<std::string>{"GetStringValue", "QueryValue", "QueryInfoKey",
                                        "QueryValue", "QueryValue", "QueryInfoKey",
                                        "QueryValue"}),
              reg.calls);
}

}  // namespace
