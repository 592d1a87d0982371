// SPDX-License-Identifier: LGPL-2.1-or-later
// netid::RegKey (<netid/registry.hpp>) on the platform's registry calls:
// typed values and their type checks, keys that move and close once, the
// enumeration ranges past their first buffer sizes, deleting a deep tree,
// the errors' status and text, security, notification and hive files.
#include <gtest/gtest.h>

#include <netid/registry.hpp>

#include <filesystem>
#include <string>
#include <vector>

#include "support/environment.h"
#include "support/privileges.h"
#include "support/scratch_key.h"

namespace {

using netid::RegistryError;
using netid::RegKey;
using netid::RegValue;

TEST(ModernRegistry, TypedValuesRoundTripAndWrongTypesAreRefused)
{
    ScratchKey scratch("ModernValues");
    RegKey key = RegKey::Open(HKEY_CURRENT_USER, scratch.Path(), KEY_READ | KEY_WRITE);
    key.SetString("Text", "hello");
    key.SetExpandString("Path", "%HOME%\\x");
    key.SetMultiString("List", {"a", "bc"});
    key.SetMultiString("Empty", {});
    key.SetDword("Dword", 0x12345678u);
    key.SetQword("Qword", 0x1122334455667788ull);
    key.SetBinary("Bytes", {0, 1, 254, 255});
    key.SetString("", "default");
    EXPECT_EQ(key.GetString("Text"), "hello");
    EXPECT_EQ(key.GetExpandString("Path"), "%HOME%\\x");
    EXPECT_EQ(key.GetString("Path"), "%HOME%\\x");  // REG_EXPAND_SZ is text too
    EXPECT_EQ(key.GetMultiString("List"), (std::vector<std::string>{"a", "bc"}));
    EXPECT_TRUE(key.GetMultiString("Empty").empty());
    EXPECT_EQ(key.GetValue("Empty").data, (std::vector<std::uint8_t>{0, 0}));
    EXPECT_EQ(key.GetDword("Dword"), 0x12345678u);
    EXPECT_EQ(key.GetValue("Dword").data, (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(key.GetQword("Qword"), 0x1122334455667788ull);
    EXPECT_EQ(key.GetBinary("Bytes"), (std::vector<std::uint8_t>{0, 1, 254, 255}));
    EXPECT_EQ(key.GetString(""), "default");

    // Text stored without its NUL, and a list without its final NUL, read whole.
    key.SetValue("Bare", REG_SZ, {'a', 'b'});
    EXPECT_EQ(key.GetString("Bare"), "ab");
    key.SetValue("BareList", REG_MULTI_SZ, {'x', 0, 'y'});
    EXPECT_EQ(key.GetMultiString("BareList"), (std::vector<std::string>{"x", "y"}));

    // The wrong type, the wrong size, no such value: each with its status.
    auto wrongType = key.TryGetDword("Text");
    ASSERT_FALSE(wrongType);
    EXPECT_EQ(wrongType.error(), ERROR_UNSUPPORTED_TYPE);
    key.SetValue("Short", REG_DWORD, {1, 2, 3});
    EXPECT_EQ(key.TryGetDword("Short").error(), ERROR_INVALID_DATA);
    EXPECT_EQ(key.TryGetString("Missing").error(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.TryGetString("Missing").value_or("fallback"), "fallback");
    EXPECT_THROW(key.SetMultiString("Bad", {"a", ""}), RegistryError);
    try {
        key.GetBinary("Text");
        ADD_FAILURE() << "reading text as binary did not throw";
    } catch (const RegistryError& error) {
        EXPECT_EQ(error.Status(), ERROR_UNSUPPORTED_TYPE);
        EXPECT_EQ(error.code().category(), netid::registry_category());
    }
    key.DeleteValue("Text");
    EXPECT_EQ(key.TryDeleteValue("Text").error(), ERROR_FILE_NOT_FOUND);
}

TEST(ModernRegistry, ErrorsCarryTheStatusAndTheSystemsText)
{
    auto missing = RegKey::TryOpen(HKEY_CURRENT_USER, "Software\\NetidTests\\NoSuchKey\\Below");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), ERROR_FILE_NOT_FOUND);
    try {
        RegKey::Open(HKEY_CURRENT_USER, "Software\\NetidTests\\NoSuchKey\\Below");
        ADD_FAILURE() << "opening a missing key did not throw";
    } catch (const RegistryError& error) {
        EXPECT_EQ(error.Status(), ERROR_FILE_NOT_FOUND);
        std::string what = error.what();
        EXPECT_NE(what.find("RegOpenKeyEx"), std::string::npos) << what;
        // The system's own text, not a made-up "Error 2.".
        EXPECT_NE(what.find(netid::StatusMessage(ERROR_FILE_NOT_FOUND)), std::string::npos) << what;
    }
    for (LONG status : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS,
                        ERROR_BADDB, ERROR_KEY_DELETED, ERROR_PRIVILEGE_NOT_HELD, ERROR_UNSUPPORTED_TYPE}) {
        std::string text = netid::StatusMessage(status);
        EXPECT_EQ(text.rfind("Error ", 0), std::string::npos) << status << ": " << text;
        EXPECT_NE(text.back(), '\n') << status;
    }
    EXPECT_EQ(missing.message(), netid::StatusMessage(ERROR_FILE_NOT_FOUND));
}

TEST(ModernRegistry, KeysMoveAndEnumerateBeyondTheFirstBufferSizes)
{
    ScratchKey scratch("ModernEnum");
    RegKey key = RegKey::Open(HKEY_CURRENT_USER, scratch.Path(), KEY_READ | KEY_WRITE);
    const std::string longName(300, 'n');                 // past the first 256 characters
    const std::vector<std::uint8_t> bigData(5000, 0xAB);  // past the first 256 bytes
    bool created = false;
    RegKey child = key.CreateSubKey("b");
    RegKey::Create(key.Get(), "a", KEY_READ, REG_OPTION_NON_VOLATILE, &created);
    EXPECT_TRUE(created);
    RegKey::Create(key.Get(), "a", KEY_READ, REG_OPTION_NON_VOLATILE, &created);
    EXPECT_FALSE(created);
    key.SetBinary(longName, bigData);
    key.SetDword("small", 7);

    RegKey moved = std::move(child);
    EXPECT_FALSE(child.IsValid());
    ASSERT_TRUE(moved.IsValid());
    moved.SetString("inside", "x");
    moved = RegKey();  // closes it
    EXPECT_FALSE(moved);

    std::vector<std::string> names;
    for (const std::string& name : key.SubKeys()) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
    std::vector<RegValue> values(key.Values().begin(), key.Values().end());
    ASSERT_EQ(values.size(), 2u);
    const RegValue& big = values[0].name == longName ? values[0] : values[1];
    EXPECT_EQ(big.name, longName);
    EXPECT_EQ(big.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(big.data, bigData);
    netid::RegKeyInfo info = key.QueryInfo();
    EXPECT_EQ(info.subKeys, 2u);
    EXPECT_EQ(info.values, 2u);

    // A handle that is not a key: enumeration throws, it does not end quietly.
    RegKey closed(reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x7fff0)));
    EXPECT_THROW(for (const std::string& name : closed.SubKeys()) (void)name, RegistryError);
    closed.Release();
}

TEST(ModernRegistry, DeleteTreeRemovesADeepAndWideTree)
{
    ScratchKey scratch("ModernTree");
    RegKey key = RegKey::Open(HKEY_CURRENT_USER, scratch.Path(), KEY_READ | KEY_WRITE);
    std::string path = "top";
    for (int depth = 0; depth < 40; ++depth) {
        RegKey level = key.CreateSubKey(path);
        level.SetDword("depth", static_cast<std::uint32_t>(depth));
        for (int i = 0; i < 3; ++i) level.CreateSubKey("leaf" + std::to_string(i)).SetString("", "x");
        path += "\\d";
    }
    key.CreateSubKey("kept");
    key.DeleteTree("top");
    EXPECT_EQ(key.TryOpenSubKey("top").error(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(key.TryOpenSubKey("kept"));
    EXPECT_EQ(key.TryDeleteTree("top").error(), ERROR_FILE_NOT_FOUND);
}

TEST(ModernRegistry, SecurityAndChangeNotification)
{
    ScratchKey scratch("ModernNotify");
    RegKey key = RegKey::Open(HKEY_CURRENT_USER, scratch.Path(), KEY_ALL_ACCESS);
    std::vector<std::uint8_t> descriptor = key.GetSecurity(DACL_SECURITY_INFORMATION);
    ASSERT_FALSE(descriptor.empty());
    EXPECT_TRUE(IsValidSecurityDescriptor(descriptor.data()));
    key.SetSecurity(DACL_SECURITY_INFORMATION, descriptor);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    key.NotifyChange(event, REG_NOTIFY_CHANGE_LAST_SET);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    key.SetDword("changed", 1);
    EXPECT_EQ(WaitForSingleObject(event, 60000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(event);
}

TEST(ModernRegistry, SaveAndRestoreAHiveFile)
{
    DWORD attributes = 0;
    if (!PrivilegeState(SE_BACKUP_NAME, &attributes) || !PrivilegeState(SE_RESTORE_NAME, &attributes)) {
        GTEST_SKIP() << "the process token holds neither backup nor restore privilege";
    }
    ScratchKey scratch("ModernHive");
    RegKey key = RegKey::Open(HKEY_CURRENT_USER, scratch.Path(), KEY_ALL_ACCESS);
    RegKey source = key.CreateSubKey("source");
    source.SetString("kept", "value");
    source.CreateSubKey("child").SetDword("n", 5);
    std::error_code ec;
    std::filesystem::path file = std::filesystem::temp_directory_path(ec) /
                                 ("netid-modern-" + std::to_string(GetCurrentProcessId()) + ".hiv");
    std::filesystem::remove(file, ec);
    source.Save(file.string());
    RegKey target = key.CreateSubKey("target", KEY_ALL_ACCESS);
    target.Restore(file.string(), REG_FORCE_RESTORE);
    std::filesystem::remove(file, ec);
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine's RegRestoreKey succeeds without restoring anything: only the calls were checked";
    }
    EXPECT_EQ(target.GetString("kept"), "value");
    EXPECT_EQ(target.OpenSubKey("child").GetDword("n"), 5u);
}

}  // namespace
