// SPDX-License-Identifier: LGPL-2.1-or-later
// The Win32 calls that list a key: RegEnumKeyEx, RegEnumKey, RegEnumValue
// and RegQueryInfoKey: order, keys of many entries, buffers too small, the
// end of the list, and the facts a key reports. Windows' answers are
// expected; where Wine answers otherwise the test names the deviation and
// expects Wine's answer there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "support/environment.h"
#include "support/key_handle.h"
#include "support/reg_calls.h"
#include "support/scratch_key.h"

namespace {

TEST(Win32Enum, SubKeysEnumerateInUpperCaseOrderValuesInCreationOrder)
{
    ScratchKey scratch("Order");
    HKEY key = scratch.Handle();
    // Upper-cased, '_' (0x5F) sorts after the letters; lower-cased it would
    // sort before them.
    for (const char* name : {"b", "_x", "A1", "a", "C", "Ba"}) {
        Key child;
        ASSERT_EQ(ERROR_SUCCESS, Create(key, name, child.Out()));
    }
    if (RunningUnderWine()) {
        // Wine deviation: Wine orders sub-keys by their lower-cased names.
        EXPECT_EQ((std::vector<std::string>{"_x", "a", "A1", "b", "Ba", "C"}), SubKeyNames(key));
    } else {
        EXPECT_EQ((std::vector<std::string>{"a", "A1", "b", "Ba", "C", "_x"}), SubKeyNames(key));
    }

    for (const char* name : {"zeta", "Alpha", "mid", ""}) {
        ASSERT_EQ(ERROR_SUCCESS, SetDword(key, name, 1));
    }
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "ALPHA", 2));  // keeps its place
    // Wine deviation: Wine enumerates values sorted by name.
    const bool wine = RunningUnderWine();
    const std::vector<std::string> sorted{"", "Alpha", "mid", "zeta"};
    const std::vector<std::string> made{"zeta", "Alpha", "mid", ""};
    EXPECT_EQ(wine ? sorted : made, ValueNames(key));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "zeta"));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "zeta", 3));
    const std::vector<std::string> remade{"Alpha", "mid", "", "zeta"};
    EXPECT_EQ(wine ? sorted : remade, ValueNames(key));
}

TEST(Win32Enum, AKeyOfManySubKeysKeepsThemSortedThroughCreationAndDeletionInAnyOrder)
{
    // More sub-keys than a store may keep in one run of its list, made in a
    // scattered order and deleted in another, so that runs split and empty.
    ScratchKey scratch("ManyKeys");
    HKEY key = scratch.Handle();
    const int kCount = 1500;
    auto name = [](int i) { return "k" + std::to_string((i * 7919) % kCount); };
    for (int i = 0; i < kCount; ++i) {
        Key child;
        ASSERT_EQ(ERROR_SUCCESS, Create(key, name(i), child.Out())) << name(i);
    }
    std::vector<std::string> kept;
    for (int i = 0; i < kCount; ++i) {
        const std::string n = "k" + std::to_string(i);
        if (i % 3 == 0 || (i > 600 && i < 1100)) {
            ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key, n.c_str())) << n;
        } else {
            kept.push_back(n);
        }
    }
    for (const std::string& n : kept) {
        Key child;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(key, n.c_str(), 0, KEY_READ, child.Out())) << n;
    }
    // The names are letters and digits: both orders the platforms use agree.
    std::sort(kept.begin(), kept.end());
    std::vector<std::string> names = SubKeyNames(key);
    EXPECT_TRUE(names == kept) << names.size() << " sub-keys enumerated of " << kept.size();
}

TEST(Win32Enum, EnumerationAnswersMoreDataAndNoMoreItems)
{
    // Sub-keys and values: names and data too small, the end of the list.
    {
        ScratchKey scratch("EnumSizes");
        HKEY key = scratch.Handle();
        Key child;
        ASSERT_EQ(ERROR_SUCCESS, Create(key, "twelve-chars", child.Out(), 0, nullptr, "classtext"));
        ASSERT_EQ(ERROR_SUCCESS, SetBytes(key, "name-of-14ch", REG_BINARY, "abcdef"));

        char name[64];
        char keyClass[64];
        DWORD nameLength = 12;  // no room for the NUL
        DWORD classLength = sizeof keyClass;
        EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExA(key, 0, name, &nameLength, nullptr, keyClass,
                                                 &classLength, nullptr));
        EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyA(key, 0, name, 12));
        nameLength = 13;
        FILETIME time = {0, 0};
        EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyExA(key, 0, name, &nameLength, nullptr, keyClass,
                                               &classLength, &time));
        EXPECT_EQ(12u, nameLength);
        EXPECT_STREQ("twelve-chars", name);
        EXPECT_STREQ("classtext", keyClass);
        EXPECT_EQ(9u, classLength);
        EXPECT_EQ(LastWrite(child.Get()), AsNumber(time));
        nameLength = sizeof name;
        EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExA(key, 1, name, &nameLength, nullptr, nullptr,
                                                     nullptr, nullptr));
        EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(key, 1, name, sizeof name));

        // Values: a name buffer too small, data too small, name and type alone.
        DWORD length = 12;
        EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr,
                                                 nullptr));
        length = sizeof name;
        DWORD type = 0;
        BYTE data[16];
        DWORD size = 3;
        EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(key, 0, name, &length, nullptr, &type, data, &size));
        EXPECT_EQ(6u, size);
        length = sizeof name;
        type = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegEnumValueA(key, 0, name, &length, nullptr, &type, nullptr,
                                               nullptr));
        EXPECT_STREQ("name-of-14ch", name);
        EXPECT_EQ(12u, length);
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
        length = sizeof name;
        size = sizeof data;
        EXPECT_EQ(ERROR_SUCCESS, RegEnumValueA(key, 0, name, &length, nullptr, &type, data, &size));
        EXPECT_EQ("abcdef", std::string(reinterpret_cast<char*>(data), size));
        length = sizeof name;
        EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueA(key, 1, name, &length, nullptr, nullptr,
                                                     nullptr, nullptr));
    }

    // A value's name or data too small: the type and size are told, data that fits is delivered.
    {
        ScratchKey scratch("ConfEnumSmall");
        ASSERT_EQ(ERROR_SUCCESS, SetText(scratch.Handle(), "Test", "foobar"));
        struct Case {
            const char* label;
            DWORD nameLength;
            DWORD dataSize;
        } cases[] = {
            {"name too small", 3, 20},
            {"no room for a name", 0, 20},
            {"data too small", 20, 2},
            {"both too small", 2, 2},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            char name[20] = "xxxxxxxxxx";
            BYTE data[20] = "xxxxxxxxxx";
            DWORD nameLength = c.nameLength;
            DWORD size = c.dataSize;
            DWORD type = 1234;
            EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(scratch.Handle(), 0, name, &nameLength, nullptr, &type, data, &size));
            EXPECT_EQ(c.nameLength, nameLength);
            EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
            EXPECT_EQ(7u, size);
            const bool dataFits = c.dataSize >= 7;
            if (!dataFits) {
                // With the data too small the name stays as it was.
                EXPECT_STREQ("xxxxxxxxxx", name);
            }
            // Data that fits is delivered though the name does not fit.
            EXPECT_STREQ(dataFits ? "foobar" : "xxxxxxxxxx", reinterpret_cast<char*>(data));
        }
    }
}

TEST(Win32Enum, QueryInfoKeyReportsCountsLongestNamesAndClass)
{
    // Counts, longest names and data, the class.
    {
        ScratchKey scratch("Info");
        HKEY key = scratch.Handle();
        Key a;
        Key b;
        ASSERT_EQ(ERROR_SUCCESS, Create(key, "short", a.Out(), 0, nullptr, "c"));
        ASSERT_EQ(ERROR_SUCCESS, Create(key, "much-longer", b.Out(), 0, nullptr, "longer class"));
        ASSERT_EQ(ERROR_SUCCESS, SetBytes(key, "v", REG_BINARY, std::string(300, 'x')));
        ASSERT_EQ(ERROR_SUCCESS, SetBytes(key, "value-name", REG_BINARY, "y"));
        DWORD subKeys = 0, maxSubKey = 0, maxClass = 0, values = 0, maxValueName = 0, maxValue = 0,
              security = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, &maxSubKey,
                                                  &maxClass, &values, &maxValueName, &maxValue,
                                                  &security, nullptr));
        EXPECT_EQ(2u, subKeys);
        EXPECT_EQ(11u, maxSubKey);
        EXPECT_EQ(12u, maxClass);
        EXPECT_EQ(2u, values);
        EXPECT_EQ(10u, maxValueName);
        EXPECT_EQ(300u, maxValue);
        if (RunningUnderWine()) {
            // Wine deviation: Wine reports no security descriptor size (0).
            EXPECT_EQ(0u, security);
        } else {
            EXPECT_GT(security, 0u);
        }

        char keyClass[32];
        DWORD classLength = sizeof keyClass;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(b.Get(), keyClass, &classLength, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr));
        EXPECT_STREQ("longer class", keyClass);
        EXPECT_EQ(12u, classLength);
    }

    // Text measured in UTF-16, the class cut to fit.
    {
        ScratchKey scratch("ConfInfo");
        Key sub;
        char subClass[] = "subkey class";
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), "sub", 0, subClass, 0, KEY_ALL_ACCESS, nullptr,
                                                 sub.Out(), nullptr));
        ASSERT_EQ(ERROR_SUCCESS, SetText(sub.Get(), "", "abcd"));
        ASSERT_EQ(ERROR_SUCCESS, SetBytes(sub.Get(), "bin", REG_BINARY, "123456", 6));
        DWORD maxValue = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(sub.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, &maxValue, nullptr, nullptr));
        EXPECT_EQ(10u, maxValue) << "\"abcd\" and its NUL as UTF-16";

        struct Case {
            const char* label;
            DWORD capacity;
            LONG status;
            DWORD length;
            std::string delivered;  // then kUnwritten
        } cases[] = {
            {"no room at all", 0, ERROR_SUCCESS, 0, ""},
            {"room for the NUL alone", 1, ERROR_MORE_DATA, 0, std::string("\0", 1)},
            {"one short", 12, ERROR_MORE_DATA, 11, std::string("subkey clas\0", 12)},
            {"room for all", 13, ERROR_SUCCESS, 12, std::string("subkey class\0", 13)},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            char buffer[32];
            std::memset(buffer, kUnwritten, sizeof buffer);
            DWORD length = c.capacity;
            EXPECT_EQ(c.status, RegQueryInfoKeyA(sub.Get(), buffer, &length, nullptr, nullptr, nullptr, nullptr,
                                                 nullptr, nullptr, nullptr, nullptr, nullptr));
            if (c.capacity == 0 && RunningUnderWine()) {
                // Wine deviation: Wine reports the whole class's length here.
                EXPECT_EQ(12u, length);
            } else {
                EXPECT_EQ(c.length, length);
            }
            EXPECT_EQ(c.delivered + static_cast<char>(kUnwritten), std::string(buffer, c.delivered.size() + 1));
        }
        DWORD length = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(sub.Get(), nullptr, &length, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(12u, length) << "no buffer: the whole length";
    }
}

}  // namespace
