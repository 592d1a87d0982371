// SPDX-License-Identifier: LGPL-2.1-or-later
// The Win32 calls on hives: loading and unloading them, and the privileges
// they need. Where Wine answers otherwise than Windows the test names the
// deviation.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "support/environment.h"
#include "support/key_handle.h"
#include "support/privileges.h"
#include "support/reg_calls.h"
#include "support/scratch_key.h"

namespace {

TEST(Win32Hives, LoadingAndUnloadingNeedOnlyTheRestorePrivilege)
{
    const bool backup = PrivilegeIsEnabled(SE_BACKUP_NAME);
    const bool restore = PrivilegeIsEnabled(SE_RESTORE_NAME);
    if (!SetPrivilege(SE_BACKUP_NAME, true) || !SetPrivilege(SE_RESTORE_NAME, true)) {
        GTEST_SKIP() << "the process token does not hold the backup and restore privileges";
    }
    namespace fs = std::filesystem;
    const std::string tag = std::to_string(GetCurrentProcessId());
    const fs::path file = fs::temp_directory_path() / ("netid-conf-" + tag + ".hiv");
    std::error_code ec;
    fs::remove(file, ec);
    ScratchKey scratch("ConfLoad");
    ASSERT_EQ(ERROR_SUCCESS, SetText(scratch.Handle(), "marker", "loaded"));
    ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyA(scratch.Handle(), file.string().c_str(), nullptr));

    const std::string name = "NetidConfLoad." + tag;
    ASSERT_TRUE(SetPrivilege(SE_BACKUP_NAME, false));
    ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, false));
    EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, RegLoadKeyA(HKEY_LOCAL_MACHINE, name.c_str(), file.string().c_str()));
    ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, true));
    EXPECT_EQ(ERROR_SUCCESS, RegLoadKeyA(HKEY_LOCAL_MACHINE, name.c_str(), file.string().c_str()));
    {
        Key loaded;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, name.c_str(), 0, KEY_READ, loaded.Out()));
        EXPECT_EQ("loaded", Text(loaded.Get(), "marker"));
    }
    EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyA(HKEY_LOCAL_MACHINE, name.c_str()));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, name));
    // Beneath HKEY_USERS, whose enumeration shows the hive while it is loaded.
    const std::string user = "NetidConfUser." + tag;
    auto listed = [&] {
        const std::vector<std::string> names = SubKeyNames(HKEY_USERS);
        return std::find(names.begin(), names.end(), user) != names.end();
    };
    EXPECT_FALSE(listed());
    ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyA(HKEY_USERS, user.c_str(), file.string().c_str()));
    EXPECT_TRUE(listed());
    EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyA(HKEY_USERS, user.c_str()));
    EXPECT_FALSE(listed());
    if (RunningUnderWine()) {
        // Wine deviation: Wine unloads the default user's hive (and its server
        // fails afterwards), so it is not asked to.
    } else {
        EXPECT_EQ(ERROR_ACCESS_DENIED, RegUnLoadKeyA(HKEY_USERS, ".DEFAULT")) << "the default user's hive stays";
        EXPECT_TRUE(Exists(HKEY_USERS, ".DEFAULT"));
    }
    SetPrivilege(SE_BACKUP_NAME, backup);
    SetPrivilege(SE_RESTORE_NAME, restore);
    fs::remove(file, ec);
}

}  // namespace
