// The Win32 registry calls as programs see them: status codes, access masks,
// names, enumeration order, buffer sizes, handles of deleted keys, the
// predefined roots and the computer names a connection accepts. Runs on Linux
// against our store and under Wine against the platform's.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "support/environment.h"
#include "support/key_handle.h"
#include "support/scratch_key.h"
#include "support/wait.h"

namespace {

LONG Create(HKEY parent, const std::string& path, HKEY* out, DWORD options = 0,
            DWORD* disposition = nullptr, const char* keyClass = nullptr)
{
    return RegCreateKeyExA(parent, path.c_str(), 0, const_cast<LPSTR>(keyClass), options,
                           KEY_ALL_ACCESS, nullptr, out, disposition);
}

LONG SetDword(HKEY key, const char* name, DWORD value)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

LONG SetBytes(HKEY key, const char* name, DWORD type, const std::string& bytes)
{
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
}

std::uint64_t AsNumber(const FILETIME& time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::uint64_t LastWrite(HKEY key)
{
    FILETIME time = {0, 0};
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, nullptr, nullptr,
                                              &time));
    return AsNumber(time);
}

// Waits a short while for an event; true when it was signalled.
bool Signalled(HANDLE event, DWORD milliseconds) { return WaitForSingleObject(event, milliseconds) == WAIT_OBJECT_0; }

// ------------------------------------------------------------ access masks
enum class Operation {
    QueryValue,
    SetValue,
    DeleteValue,
    QueryInfo,
    EnumValue,
    EnumKey,
    CreateSubKey,
    Notify,
    GetSecurity,
};

const char* OperationName(Operation op)
{
    switch (op) {
    case Operation::QueryValue: return "QueryValue";
    case Operation::SetValue: return "SetValue";
    case Operation::DeleteValue: return "DeleteValue";
    case Operation::QueryInfo: return "QueryInfo";
    case Operation::EnumValue: return "EnumValue";
    case Operation::EnumKey: return "EnumKey";
    case Operation::CreateSubKey: return "CreateSubKey";
    case Operation::Notify: return "Notify";
    case Operation::GetSecurity: return "GetSecurity";
    }
    return "?";
}

LONG Perform(Operation op, HKEY key)
{
    switch (op) {
    case Operation::QueryValue: {
        DWORD size = 0;
        return RegQueryValueExA(key, "present", nullptr, nullptr, nullptr, &size);
    }
    case Operation::SetValue:
        return SetDword(key, "written", 5);
    case Operation::DeleteValue:
        return RegDeleteValueA(key, "doomed");
    case Operation::QueryInfo: {
        DWORD values = 0;
        return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                &values, nullptr, nullptr, nullptr, nullptr);
    }
    case Operation::EnumValue: {
        char name[64];
        DWORD length = sizeof name;
        return RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
    }
    case Operation::EnumKey: {
        char name[64];
        return RegEnumKeyA(key, 0, name, sizeof name);
    }
    case Operation::CreateSubKey: {
        HKEY sub = nullptr;
        LONG status = RegCreateKeyExA(key, "made", 0, nullptr, 0, KEY_READ, nullptr, &sub,
                                      nullptr);
        if (status == ERROR_SUCCESS) RegCloseKey(sub);
        return status;
    }
    case Operation::Notify: {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        LONG status = RegNotifyChangeKeyValue(key, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE);
        CloseHandle(event);
        return status;
    }
    case Operation::GetSecurity: {
        BYTE buffer[1024];
        DWORD size = sizeof buffer;
        return RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer, &size);
    }
    }
    return -1;
}

struct AccessCase {
    const char* label;
    REGSAM access;
    Operation op;
    LONG expected;
};

const AccessCase kAccessCases[] = {
    {"KEY_QUERY_VALUE", KEY_QUERY_VALUE, Operation::QueryValue, ERROR_SUCCESS},
    {"KEY_QUERY_VALUE", KEY_QUERY_VALUE, Operation::QueryInfo, ERROR_SUCCESS},
    {"KEY_QUERY_VALUE", KEY_QUERY_VALUE, Operation::EnumValue, ERROR_SUCCESS},
    {"KEY_QUERY_VALUE", KEY_QUERY_VALUE, Operation::SetValue, ERROR_ACCESS_DENIED},
    {"KEY_QUERY_VALUE", KEY_QUERY_VALUE, Operation::EnumKey, ERROR_ACCESS_DENIED},
    {"KEY_SET_VALUE", KEY_SET_VALUE, Operation::SetValue, ERROR_SUCCESS},
    {"KEY_SET_VALUE", KEY_SET_VALUE, Operation::DeleteValue, ERROR_SUCCESS},
    {"KEY_SET_VALUE", KEY_SET_VALUE, Operation::QueryValue, ERROR_ACCESS_DENIED},
    {"KEY_WRITE", KEY_WRITE, Operation::SetValue, ERROR_SUCCESS},
    {"KEY_WRITE", KEY_WRITE, Operation::CreateSubKey, ERROR_SUCCESS},
    {"KEY_WRITE", KEY_WRITE, Operation::QueryInfo, ERROR_ACCESS_DENIED},
    {"KEY_WRITE", KEY_WRITE, Operation::QueryValue, ERROR_ACCESS_DENIED},
    {"KEY_WRITE", KEY_WRITE, Operation::GetSecurity, ERROR_SUCCESS},
    {"KEY_READ", KEY_READ, Operation::QueryValue, ERROR_SUCCESS},
    {"KEY_READ", KEY_READ, Operation::EnumKey, ERROR_SUCCESS},
    {"KEY_READ", KEY_READ, Operation::Notify, ERROR_SUCCESS},
    {"KEY_READ", KEY_READ, Operation::GetSecurity, ERROR_SUCCESS},
    {"KEY_READ", KEY_READ, Operation::SetValue, ERROR_ACCESS_DENIED},
    {"KEY_READ", KEY_READ, Operation::DeleteValue, ERROR_ACCESS_DENIED},
    // Creating checks the parent key's descriptor, not the handle's access.
    {"KEY_READ", KEY_READ, Operation::CreateSubKey, ERROR_SUCCESS},
    {"KEY_ENUMERATE_SUB_KEYS", KEY_ENUMERATE_SUB_KEYS, Operation::EnumKey, ERROR_SUCCESS},
    {"KEY_ENUMERATE_SUB_KEYS", KEY_ENUMERATE_SUB_KEYS, Operation::Notify, ERROR_ACCESS_DENIED},
    {"KEY_NOTIFY", KEY_NOTIFY, Operation::Notify, ERROR_SUCCESS},
    {"KEY_NOTIFY", KEY_NOTIFY, Operation::GetSecurity, ERROR_ACCESS_DENIED},
    {"KEY_CREATE_SUB_KEY", KEY_CREATE_SUB_KEY, Operation::CreateSubKey, ERROR_SUCCESS},
    {"KEY_CREATE_SUB_KEY", KEY_CREATE_SUB_KEY, Operation::SetValue, ERROR_ACCESS_DENIED},
    {"GENERIC_READ", GENERIC_READ, Operation::QueryValue, ERROR_SUCCESS},
    {"GENERIC_READ", GENERIC_READ, Operation::EnumKey, ERROR_SUCCESS},
    {"GENERIC_READ", GENERIC_READ, Operation::SetValue, ERROR_ACCESS_DENIED},
    {"GENERIC_WRITE", GENERIC_WRITE, Operation::SetValue, ERROR_SUCCESS},
    {"GENERIC_WRITE", GENERIC_WRITE, Operation::CreateSubKey, ERROR_SUCCESS},
    {"GENERIC_WRITE", GENERIC_WRITE, Operation::QueryValue, ERROR_ACCESS_DENIED},
    {"GENERIC_EXECUTE", GENERIC_EXECUTE, Operation::EnumValue, ERROR_SUCCESS},
    {"GENERIC_EXECUTE", GENERIC_EXECUTE, Operation::SetValue, ERROR_ACCESS_DENIED},
    {"GENERIC_ALL", GENERIC_ALL, Operation::SetValue, ERROR_SUCCESS},
    {"GENERIC_ALL", GENERIC_ALL, Operation::QueryInfo, ERROR_SUCCESS},
    {"MAXIMUM_ALLOWED", MAXIMUM_ALLOWED, Operation::SetValue, ERROR_SUCCESS},
    {"MAXIMUM_ALLOWED", MAXIMUM_ALLOWED, Operation::EnumKey, ERROR_SUCCESS},
    {"READ_CONTROL", READ_CONTROL, Operation::GetSecurity, ERROR_SUCCESS},
    {"READ_CONTROL", READ_CONTROL, Operation::QueryValue, ERROR_ACCESS_DENIED},
};

// Wine deviation: Wine queries a key's facts through a KEY_WRITE handle;
// Windows refuses with ERROR_ACCESS_DENIED.
bool WineGrantsAnyway(const AccessCase& c)
{
    return c.access == KEY_WRITE && c.op == Operation::QueryInfo;
}

TEST(Win32Registry, EveryCallChecksTheAccessItsHandleWasOpenedWith)
{
    for (const AccessCase& c : kAccessCases) {
        SCOPED_TRACE(std::string(c.label) + " " + OperationName(c.op));
        ScratchKey scratch("Access");
        HKEY full = scratch.Handle();
        ASSERT_EQ(ERROR_SUCCESS, SetDword(full, "present", 1));
        ASSERT_EQ(ERROR_SUCCESS, SetDword(full, "doomed", 2));
        Key child;
        ASSERT_EQ(ERROR_SUCCESS, Create(full, "child", child.Out()));
        Key key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, scratch.Path().c_str(), 0,
                                               c.access, key.Out()));
        if (RunningUnderWine() && WineGrantsAnyway(c)) {
            EXPECT_EQ(ERROR_SUCCESS, Perform(c.op, key.Get())) << "Wine deviation";
        } else {
            EXPECT_EQ(c.expected, Perform(c.op, key.Get()));
        }
    }
}

// ------------------------------------------------------------ status codes
TEST(Win32Registry, MissingKeysAndValuesAnswerFileNotFound)
{
    ScratchKey scratch("Missing");
    HKEY key = scratch.Handle();
    Key out;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(key, "absent", 0, KEY_READ, out.Out()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(key, "absent\\deeper", 0, KEY_READ, out.Out()));
    DWORD size = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "absent", nullptr, nullptr, nullptr,
                                                     &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(key, "absent"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(key, "absent"));
    // A key without a default value answers so for the default value too.
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr,
                                                     &size));
}

TEST(Win32Registry, QueryValueReportsSizesAndMoreData)
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

TEST(Win32Registry, StringsWrittenThroughTheAnsiCallsComeBackByteForByte)
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

TEST(Win32Registry, SetValueWithNullDataNeedsSizeZero)
{
    ScratchKey scratch("NullData");
    HKEY key = scratch.Handle();
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "empty", 0, REG_BINARY, nullptr, 0));
    DWORD size = 99;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "empty", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(ERROR_NOACCESS, RegSetValueExA(key, "bad", 0, REG_BINARY, nullptr, 4));
}

TEST(Win32Registry, DeleteValueWithNullNameDeletesTheDefaultValue)
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

// ------------------------------------------------------------ names and order
TEST(Win32Registry, NamesAreCaseInsensitiveAndCasePreserving)
{
    ScratchKey scratch("Case");
    HKEY key = scratch.Handle();
    Key child;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, Create(key, "MixedCase", child.Out(), 0, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    ASSERT_EQ(ERROR_SUCCESS, Create(key, "MIXEDcase", child.Out(), 0, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    Key opened;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(key, "mixedcase", 0, KEY_READ, opened.Out()));
    EXPECT_EQ(std::vector<std::string>{"MixedCase"}, SubKeyNames(key));

    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "ValueName", 1));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "VALUENAME", 2));
    DWORD value = 0;
    DWORD size = sizeof value;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "valuename", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(2u, value);
    EXPECT_EQ(std::vector<std::string>{"ValueName"}, ValueNames(key));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "vALUEnAME"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key, "MIXEDCASE"));
}

TEST(Win32Registry, SubKeysEnumerateInUpperCaseOrderValuesInCreationOrder)
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

TEST(Win32Registry, AKeyOfManySubKeysKeepsThemSortedThroughCreationAndDeletionInAnyOrder)
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

TEST(Win32Registry, AKeyOfManyValuesFindsEachByNameAfterDeletionsInTheMiddle)
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
TEST(Win32Registry, EnumerationAnswersMoreDataAndNoMoreItems)
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

TEST(Win32Registry, QueryInfoKeyReportsCountsLongestNamesAndClass)
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

// ------------------------------------------------------------ creation and deletion
TEST(Win32Registry, CreateMakesEveryMissingLevel)
{
    ScratchKey scratch("Levels");
    HKEY key = scratch.Handle();
    Key deep;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, Create(key, "one\\two\\three", deep.Out(), 0, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    Key middle;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(key, "one\\two", 0, KEY_READ, middle.Out()));
    EXPECT_EQ(std::vector<std::string>{"three"}, SubKeyNames(middle.Get()));
    ASSERT_EQ(ERROR_SUCCESS, Create(key, "ONE\\two\\THREE", deep.Out(), 0, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    // An empty path gives a new handle to the key itself.
    Key same;
    ASSERT_EQ(ERROR_SUCCESS, Create(deep.Get(), "", same.Out(), 0, &disposition));
    if (RunningUnderWine()) {
        // Wine deviation: Wine reports the key itself as newly created.
        EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    } else {
        EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    }
    EXPECT_NE(deep.Get(), same.Get());
    ASSERT_EQ(ERROR_SUCCESS, SetDword(same.Get(), "through-new-handle", 1));
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(deep.Get(), "through-new-handle", nullptr, nullptr,
                                              nullptr, &size));
}

TEST(Win32Registry, DeleteKeyRefusesAKeyWithSubKeys)
{
    ScratchKey scratch("DeleteParent");
    HKEY key = scratch.Handle();
    Key deep;
    ASSERT_EQ(ERROR_SUCCESS, Create(key, "parent\\child", deep.Out()));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(key, "parent"));
    Key parent;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(key, "parent", 0, KEY_READ, parent.Out()));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key, "parent\\child"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key, "parent"));
}

TEST(Win32Registry, HandlesOfADeletedKeyAnswerKeyDeleted)
{
    ScratchKey scratch("Deleted");
    HKEY key = scratch.Handle();
    Key doomed;
    ASSERT_EQ(ERROR_SUCCESS, Create(key, "doomed", doomed.Out()));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(doomed.Get(), "v", 1));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(key, "doomed"));
    DWORD size = 0;
    char name[32];
    DWORD length = sizeof name;
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(doomed.Get(), "v", nullptr, nullptr, nullptr,
                                                  &size));
    EXPECT_EQ(ERROR_KEY_DELETED, SetDword(doomed.Get(), "v", 2));
    EXPECT_EQ(ERROR_KEY_DELETED, RegEnumValueA(doomed.Get(), 0, name, &length, nullptr, nullptr,
                                               nullptr, nullptr));
    EXPECT_EQ(ERROR_KEY_DELETED, RegEnumKeyA(doomed.Get(), 0, name, sizeof name));
    Key child;
    EXPECT_EQ(ERROR_KEY_DELETED, Create(doomed.Get(), "child", child.Out()));
    // A key of the same name created afterwards is another key.
    Key again;
    ASSERT_EQ(ERROR_SUCCESS, Create(key, "doomed", again.Out()));
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(doomed.Get(), "v", nullptr, nullptr, nullptr,
                                                  &size));
    // Closing it still works.
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(doomed.Release()));
}

TEST(Win32Registry, AClosedHandleIsInvalid)
{
    ScratchKey scratch("Closed");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, Create(scratch.Handle(), "child", &key));
    ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    DWORD size = 0;
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, SetDword(nullptr, "v", 1));
}

TEST(Win32Registry, VolatileKeysTakeOnlyVolatileChildren)
{
    ScratchKey scratch("Volatile");
    Key fleeting;
    ASSERT_EQ(ERROR_SUCCESS, Create(scratch.Handle(), "fleeting", fleeting.Out(),
                                    REG_OPTION_VOLATILE));
    Key child;
    EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE, Create(fleeting.Get(), "lasting", child.Out()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(fleeting.Get(), "lasting", 0, KEY_READ,
                                                  child.Out()));
    EXPECT_EQ(ERROR_SUCCESS, Create(fleeting.Get(), "also-fleeting", child.Out(),
                                    REG_OPTION_VOLATILE));
}

TEST(Win32Registry, EveryChangeMovesTheLastWriteTime)
{
    ScratchKey scratch("LastWrite");
    HKEY key = scratch.Handle();
    struct Step {
        const char* label;
        LONG (*change)(HKEY);
    } steps[] = {
        {"set value", [](HKEY k) { return SetDword(k, "v", 1); }},
        {"overwrite value", [](HKEY k) { return SetDword(k, "v", 2); }},
        {"delete value", [](HKEY k) { return RegDeleteValueA(k, "v"); }},
        {"create sub-key",
         [](HKEY k) {
             HKEY sub = nullptr;
             LONG status = Create(k, "sub", &sub);
             RegCloseKey(sub);
             return status;
         }},
        {"delete sub-key", [](HKEY k) { return RegDeleteKeyA(k, "sub"); }},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.label);
        std::uint64_t before = LastWrite(key);
        ASSERT_TRUE(WaitForRegistryClockPast(before));
        ASSERT_EQ(ERROR_SUCCESS, step.change(key));
        EXPECT_GT(LastWrite(key), before);
    }
}

// ------------------------------------------------------------ roots and connections
TEST(Win32Registry, ClosingAPredefinedRootSucceeds)
{
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                      HKEY_PERFORMANCE_DATA, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA}) {
        EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(root));
    }
    // And they stay usable.
    Key software;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ,
                                           software.Out()));
}

TEST(Win32Registry, ClassesRootAndCurrentConfigAreViewsOfTheMachine)
{
    struct Case {
        HKEY root;
        const char* machinePath;
    } cases[] = {
        {HKEY_CLASSES_ROOT, "Software\\Classes"},
        {HKEY_CURRENT_CONFIG, "System\\CurrentControlSet\\Hardware Profiles\\Current"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machinePath);
        std::string name = "NetidTests.view." + std::to_string(GetCurrentProcessId());
        std::string full = std::string(c.machinePath) + "\\" + name;
        Key made;
        ASSERT_EQ(ERROR_SUCCESS, Create(HKEY_LOCAL_MACHINE, full, made.Out()));
        ASSERT_EQ(ERROR_SUCCESS, SetDword(made.Get(), "marker", 77));
        Key seen;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(c.root, name.c_str(), 0, KEY_READ, seen.Out()));
        DWORD value = 0;
        DWORD size = sizeof value;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(seen.Get(), "marker", nullptr, nullptr,
                                                  reinterpret_cast<BYTE*>(&value), &size));
        EXPECT_EQ(77u, value);
        seen.Reset();
        made.Reset();
        EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, full.c_str()));
    }
}

TEST(Win32Registry, TheFreshMachineHasItsSkeleton)
{
    for (const char* path : {"SOFTWARE", "SYSTEM", "Software\\Classes"}) {
        Key key;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.Out()))
            << path;
    }
    Key defaultUser;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_USERS, ".DEFAULT", 0, KEY_READ,
                                           defaultUser.Out()));
    // What programs open beneath the other roots without making it.
    Key clsid;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, clsid.Out()));
    Key configSoftware;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_CONFIG, "Software", 0, KEY_READ, configSoftware.Out()));
    // The user's half of HKEY_CLASSES_ROOT. Wine deviation: a fresh Wine
    // prefix has no HKEY_CURRENT_USER\Software\Classes until something makes it.
    if (!RunningUnderWine()) {
        Key userClasses;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Classes", 0, KEY_READ,
                                               userClasses.Out()));
    }
}

TEST(Win32Registry, ConnectToThisMachineOrToOneThatDoesNotExist)
{
    char own[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH;
    ASSERT_TRUE(GetComputerNameA(own, &size));
    std::string lower(own);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    struct Case {
        std::string label;
        const char* name;
        LONG expected;
    } cases[] = {
        {"null", nullptr, ERROR_SUCCESS},
        {"empty", "", ERROR_SUCCESS},
        {"own name", own, ERROR_SUCCESS},
        {"own name in lower case", lower.c_str(), ERROR_SUCCESS},
        {"own name with backslashes", nullptr, ERROR_SUCCESS},
        {"another machine", "netid-no-such-host-7f3a", ERROR_BAD_NETPATH},
    };
    std::string backslashed = std::string("\\\\") + own;
    cases[4].name = backslashed.c_str();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HKEY remote = nullptr;
        LONG status = RegConnectRegistryA(c.name, HKEY_LOCAL_MACHINE, &remote);
        EXPECT_EQ(c.expected, status);
        if (status == ERROR_SUCCESS) {
            Key software;
            EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(remote, "Software", 0, KEY_READ,
                                                   software.Out()));
            EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(remote));
        }
    }
}

// Wine's limit: Wine reaches no other machine's registry and answers 53 for
// every name that is not its own, without touching the network. (On Linux
// the remote_registry test connects to a real server; Windows connects.)
TEST(Win32Registry, ConnectToAnotherMachineUnderWineIsWinesLimit)
{
    if (!RunningUnderWine()) {
        GTEST_SKIP() << "Wine's limit only; another machine is tested against a real server on Linux";
    }
    for (const char* name : {"\\\\127.0.0.1", "127.0.0.1", "\\\\netid-line3-plc07"}) {
        SCOPED_TRACE(name);
        HKEY remote = nullptr;
        EXPECT_EQ(ERROR_BAD_NETPATH, RegConnectRegistryA(name, HKEY_LOCAL_MACHINE, &remote));
    }
}

// ------------------------------------------------------------ security
TEST(Win32Registry, KeySecurityBufferSizesAndMalformedDescriptors)
{
    ScratchKey scratch("Security");
    HKEY key = scratch.Handle();
    DWORD needed = 0;
    BYTE tiny[4];
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER,
              RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, tiny,
                                &needed));
    ASSERT_GT(needed, static_cast<DWORD>(SECURITY_DESCRIPTOR_MIN_LENGTH));
    std::vector<BYTE> before(needed);
    DWORD size = needed;
    ASSERT_EQ(ERROR_SUCCESS,
              RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                before.data(), &size));
    EXPECT_EQ(needed, size);

    // A descriptor of a revision that does not exist.
    BYTE malformed[64] = {};
    malformed[0] = 9;
    // Wine deviation: Wine answers ERROR_UNKNOWN_REVISION.
    const LONG wineUnknownRevision = 1305;  // ERROR_UNKNOWN_REVISION
    EXPECT_EQ(RunningUnderWine() ? wineUnknownRevision : LONG(ERROR_INVALID_SECURITY_DESCR),
              RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, malformed));
    std::vector<BYTE> after(needed);
    size = needed;
    ASSERT_EQ(ERROR_SUCCESS,
              RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                after.data(), &size));
    EXPECT_EQ(before, after);
    // Writing back what was read is accepted.
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, before.data()));
}

// ------------------------------------------------------------ notification
struct NotifyCase {
    const char* label;
    DWORD filter;
    BOOL subtree;
    void (*change)(HKEY key);
    bool expectSignal;
};

void ChangeValue(HKEY key) { SetDword(key, "v", 1); }
void ChangeValueBelow(HKEY key)
{
    HKEY child = nullptr;
    RegOpenKeyExA(key, "child", 0, KEY_SET_VALUE, &child);
    SetDword(child, "v", 1);
    RegCloseKey(child);
}
void AddSubKey(HKEY key)
{
    HKEY child = nullptr;
    Create(key, "added", &child);
    RegCloseKey(child);
}
void AddSubKeyBelow(HKEY key)
{
    HKEY child = nullptr;
    Create(key, "child\\added", &child);
    RegCloseKey(child);
}

const NotifyCase kNotifyCases[] = {
    {"value set, last-set filter", REG_NOTIFY_CHANGE_LAST_SET, FALSE, ChangeValue, true},
    {"value set, name filter", REG_NOTIFY_CHANGE_NAME, FALSE, ChangeValue, false},
    {"sub-key added, name filter", REG_NOTIFY_CHANGE_NAME, FALSE, AddSubKey, true},
    {"sub-key added, last-set filter", REG_NOTIFY_CHANGE_LAST_SET, FALSE, AddSubKey, false},
    {"value below, key only", REG_NOTIFY_CHANGE_LAST_SET, FALSE, ChangeValueBelow, false},
    {"value below, subtree", REG_NOTIFY_CHANGE_LAST_SET, TRUE, ChangeValueBelow, true},
    {"sub-key below, subtree", REG_NOTIFY_CHANGE_NAME, TRUE, AddSubKeyBelow, true},
};

TEST(Win32Registry, NotificationHonoursFilterAndSubtree)
{
    for (const NotifyCase& c : kNotifyCases) {
        SCOPED_TRACE(c.label);
        ScratchKey scratch("Notify");
        Key child;
        ASSERT_EQ(ERROR_SUCCESS, Create(scratch.Handle(), "child", child.Out()));
        Key watched;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, scratch.Path().c_str(), 0,
                                               KEY_NOTIFY, watched.Out()));
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_EQ(ERROR_SUCCESS,
                  RegNotifyChangeKeyValue(watched.Get(), c.subtree, c.filter, event, TRUE));
        c.change(scratch.Handle());
        // A missing signal is only ever judged after a generous wait.
        EXPECT_EQ(c.expectSignal, Signalled(event, c.expectSignal ? 10000 : 300));
        CloseHandle(event);
    }
}

TEST(Win32Registry, NotificationIsOneShot)
{
    ScratchKey scratch("OneShot");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(scratch.Handle(), FALSE,
                                                     REG_NOTIFY_CHANGE_LAST_SET, event, TRUE));
    ASSERT_EQ(ERROR_SUCCESS, SetDword(scratch.Handle(), "first", 1));
    ASSERT_TRUE(Signalled(event, 10000));
    ResetEvent(event);
    ASSERT_EQ(ERROR_SUCCESS, SetDword(scratch.Handle(), "second", 2));
    EXPECT_FALSE(Signalled(event, 300));
    CloseHandle(event);
}

TEST(Win32Registry, SynchronousNotificationReturnsAfterTheChange)
{
    ScratchKey scratch("Sync");
    std::string path = scratch.Path();
    // The writer changes the value once per poll, the first time after one
    // poll's pause, until the call below has returned: however late the call
    // begins, a change comes after it.
    std::atomic<bool> returned{false};
    std::thread writer([path, &returned] {
        HKEY key = nullptr;
        RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_SET_VALUE, &key);
        DWORD round = 0;
        WaitUntil([&] {
            if (returned) return true;
            if (round > 0) SetDword(key, "later", round);
            ++round;
            return false;
        });
        RegCloseKey(key);
    });
    EXPECT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(scratch.Handle(), FALSE,
                                                     REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE));
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(scratch.Handle(), "later", nullptr, nullptr, nullptr,
                                              &size));
    returned = true;
    writer.join();
}

TEST(Win32Registry, NotificationRefusesBadArguments)
{
    ScratchKey scratch("NotifyArgs");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Wine deviation: Wine accepts an unknown filter bit and answers
    // ERROR_INVALID_HANDLE for an asynchronous wait without an event.
    const bool wine = RunningUnderWine();
    EXPECT_EQ(wine ? LONG(ERROR_SUCCESS) : LONG(ERROR_INVALID_PARAMETER),
              RegNotifyChangeKeyValue(scratch.Handle(), FALSE, 0x100, event, TRUE));
    EXPECT_EQ(wine ? LONG(ERROR_INVALID_HANDLE) : LONG(ERROR_INVALID_PARAMETER),
              RegNotifyChangeKeyValue(scratch.Handle(), FALSE, REG_NOTIFY_CHANGE_NAME, nullptr,
                                      TRUE));
    CloseHandle(event);
}

TEST(Win32Registry, FlushSucceedsOnAnOpenKey)
{
    ScratchKey scratch("Flush");
    ASSERT_EQ(ERROR_SUCCESS, SetDword(scratch.Handle(), "v", 1));
    EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(scratch.Handle()));
    EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(HKEY_CURRENT_USER));
}

}  // namespace
