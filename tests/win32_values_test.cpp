// SPDX-License-Identifier: LGPL-2.1-or-later
// The Win32 calls on values: setting, querying and deleting them, the
// sizes and terminators the A calls deliver and store, and buffers too
// small. Windows' answers are expected; where Wine answers otherwise the
// test names the deviation and expects Wine's answer there.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "support/environment.h"
#include "support/reg_calls.h"
#include "support/scratch_key.h"

namespace {

TEST(Win32Values, QueryValueReportsSizesMoreDataAndMissingValues)
{
    // Sizes, the data and ERROR_MORE_DATA.
    {
        ScratchKey scratch("Sizes");
        HKEY key = scratch.Handle();
        const std::string data("0123456789", 10);
        ASSERT_EQ(ERROR_SUCCESS, SetBytes(key, "ten", REG_BINARY, data));

        struct Case {
            const char* label;
            bool withBuffer;
            DWORD bufferSize;
            LONG expected;
            DWORD sizeAfter;
            bool dataCopied;
        } cases[] = {
            {"size only", false, 0, ERROR_SUCCESS, 10, false},
            {"size only, size ignored", false, 3, ERROR_SUCCESS, 10, false},
            {"too small", true, 9, ERROR_MORE_DATA, 10, false},
            {"exact", true, 10, ERROR_SUCCESS, 10, true},
            {"larger", true, 64, ERROR_SUCCESS, 10, true},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            BYTE buffer[64];
            std::memset(buffer, 0xEE, sizeof buffer);
            DWORD size = c.bufferSize;
            DWORD type = 0;
            EXPECT_EQ(c.expected, RegQueryValueExA(key, "ten", nullptr, &type,
                                                   c.withBuffer ? buffer : nullptr, &size));
            EXPECT_EQ(c.sizeAfter, size);
            EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
            if (c.dataCopied) {
                EXPECT_EQ(data, std::string(reinterpret_cast<char*>(buffer), 10));
                EXPECT_EQ(0xEE, buffer[10]);
            }
        }
    }

    // A missing value, and one variable for the type and the size.
    {
        ScratchKey scratch("ConfQuerySizes");
        DWORD type = 0xDEADBEEF;
        DWORD size = 0xDEADBEEF;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(scratch.Handle(), "absent", nullptr, &type, nullptr, &size));
        EXPECT_EQ(0u, size) << "no buffer: the size is set to 0";
        BYTE buffer[10];
        size = sizeof buffer;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(scratch.Handle(), "absent", nullptr, &type, buffer, &size));
        EXPECT_EQ(sizeof buffer, size) << "with a buffer the size stays";

        const BYTE four[4] = {1, 2, 3, 4};
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "bin", 0, REG_BINARY, four, 4));
        DWORD both = 4;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(scratch.Handle(), "bin", nullptr, &both, buffer, &both));
        EXPECT_EQ(0, std::memcmp(buffer, four, 4));
    }
}

TEST(Win32Values, StringsWrittenThroughTheAnsiCallsComeBackByteForByte)
{
    ScratchKey scratch("Strings");
    HKEY key = scratch.Handle();
    struct Case {
        const char* name;
        DWORD type;
        std::string bytes;
    } cases[] = {
        {"sz", REG_SZ, std::string("text\0", 5)},
        {"empty sz", REG_SZ, std::string("\0", 1)},
        {"multi", REG_MULTI_SZ, std::string("AB\0D\0\0", 6)},
        {"empty multi", REG_MULTI_SZ, std::string("\0", 1)},
        {"binary with NULs", REG_BINARY, std::string("\0\1\0\2", 4)},
        {"empty binary", REG_BINARY, std::string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(ERROR_SUCCESS, SetBytes(key, c.name, c.type, c.bytes));
        char buffer[64];
        DWORD size = sizeof buffer;
        DWORD type = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, c.name, nullptr, &type,
                                                  reinterpret_cast<BYTE*>(buffer), &size));
        EXPECT_EQ(c.type, type);
        EXPECT_EQ(c.bytes, std::string(buffer, size));
    }
}

TEST(Win32Values, SetValueStoresTheTerminatorItsCountLeftOut)
{
    ScratchKey scratch("ConfTerminator");
    struct Case {
        const char* label;
        DWORD type;
        std::string buffer;
        DWORD count;
        std::string stored;
    } cases[] = {
        {"sz, NUL past the count", REG_SZ, std::string("abc\0", 4), 3, std::string("abc\0", 4)},
        {"expand sz, NUL past the count", REG_EXPAND_SZ, std::string("%x%\0", 4), 3, std::string("%x%\0", 4)},
        {"multi sz, NUL past the count", REG_MULTI_SZ, std::string("a\0b\0", 4), 3, std::string("a\0b\0", 4)},
        {"sz, text past the count", REG_SZ, std::string("abcd\0", 5), 3, "abc"},
        {"sz, count takes its NUL", REG_SZ, std::string("ab\0\0", 4), 3, std::string("ab\0", 3)},
        {"binary, NUL past the count", REG_BINARY, std::string("ab\0", 3), 2, "ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(ERROR_SUCCESS, SetBytes(scratch.Handle(), "v", c.type, c.buffer, c.count));
        Delivered got = Query(scratch.Handle(), "v", 64);
        ASSERT_EQ(ERROR_SUCCESS, got.status);
        EXPECT_EQ(c.stored, got.data);
    }
    // Data that fills its allocation exactly: what lies past it is not the
    // caller's (the sanitizer build checks that it is not read), and the
    // text is kept whatever it holds.
    std::vector<BYTE> exact{'x', 'y'};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "exact", 0, REG_SZ, exact.data(), 2));
    Delivered got = Query(scratch.Handle(), "exact", 64);
    ASSERT_EQ(ERROR_SUCCESS, got.status);
    EXPECT_EQ("xy", got.data.substr(0, 2));
    EXPECT_LE(got.size, 3u);
}

TEST(Win32Values, UnterminatedTextIsTerminatedWhenTheBufferHasRoom)
{
    ScratchKey scratch("ConfUnterminated");
    const char* text = "FullString";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "s", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 9));
    for (auto read : {&Query, +[](HKEY key, const char*, DWORD capacity) { return EnumFirst(key, capacity); }}) {
        Delivered exact = read(scratch.Handle(), "s", 9);
        ASSERT_EQ(ERROR_SUCCESS, exact.status);
        EXPECT_EQ("FullStrin", exact.data);
        EXPECT_EQ(kUnwritten, exact.after) << "no room: nothing past the data";
        Delivered roomy = read(scratch.Handle(), "s", 10);
        ASSERT_EQ(ERROR_SUCCESS, roomy.status);
        EXPECT_EQ(9u, roomy.size) << "the size stays the stored one";
        EXPECT_EQ(0, roomy.after);
    }
}

TEST(Win32Values, SetValueWithNullDataNeedsSizeZero)
{
    ScratchKey scratch("NullData");
    HKEY key = scratch.Handle();
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "empty", 0, REG_BINARY, nullptr, 0));
    DWORD size = 99;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "empty", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(ERROR_NOACCESS, RegSetValueExA(key, "bad", 0, REG_BINARY, nullptr, 4));
}

TEST(Win32Values, DeleteValueWithNullNameDeletesTheDefaultValue)
{
    ScratchKey scratch("Default");
    HKEY key = scratch.Handle();
    ASSERT_EQ(ERROR_SUCCESS, SetBytes(key, nullptr, REG_SZ, std::string("d\0", 2)));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "other", 1));
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(2u, size);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "other", nullptr, nullptr, nullptr, &size));
}

TEST(Win32Values, AKeyOfManyValuesFindsEachByNameAfterDeletionsInTheMiddle)
{
    // Enough values that a store may keep an index of their names; deleting
    // from the middle moves every later value up one place.
    ScratchKey scratch("ManyValues");
    HKEY key = scratch.Handle();
    const DWORD kCount = 300;
    for (DWORD i = 0; i < kCount; ++i) {
        ASSERT_EQ(ERROR_SUCCESS, SetDword(key, ("v" + std::to_string(i)).c_str(), i));
    }
    for (DWORD i = 10; i < kCount; i += 3) {
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, ("V" + std::to_string(i)).c_str()));
    }
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "v11", 1011));  // keeps its place
    std::vector<std::string> expected;
    for (DWORD i = 0; i < kCount; ++i) {
        const std::string name = "v" + std::to_string(i);
        DWORD data = 0, size = sizeof data;
        LONG status = RegQueryValueExA(key, name.c_str(), nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(&data), &size);
        if (i >= 10 && (i - 10) % 3 == 0) {
            EXPECT_EQ(ERROR_FILE_NOT_FOUND, status) << name;
            continue;
        }
        ASSERT_EQ(ERROR_SUCCESS, status) << name;
        EXPECT_EQ(i == 11 ? 1011u : i, data) << name;
        expected.push_back(name);
    }
    std::vector<std::string> names = ValueNames(key);
    if (RunningUnderWine()) std::sort(expected.begin(), expected.end());  // Wine sorts by name
    EXPECT_TRUE(names == expected) << names.size() << " values enumerated";
}

}  // namespace
