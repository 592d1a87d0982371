// SPDX-License-Identifier: LGPL-2.1-or-later
// The process token as built from the process's capabilities, and the
// kernel-object handle table behind it.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "platform/posix/security/kernel.h"
#include "support/privileges.h"

namespace {

const DWORD kBackup = 17;
const DWORD kRestore = 18;
const DWORD kChangeNotify = 23;

bool HasEffectiveCapability(int capability)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    return (data[capability / 32].effective & (1u << (capability % 32))) != 0;
}

std::set<DWORD> HeldPrivileges()
{
    std::set<DWORD> held;
    for (const LUID_AND_ATTRIBUTES& entry : TokenPrivilegeList()) {
        held.insert(entry.Luid.LowPart);
    }
    return held;
}

// Runs `body` in a forked child and returns its exit status; the child's
// token is built afresh from the child's own capabilities.
template <typename Body>
int InChild(Body body)
{
    pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

bool DropEffectiveCapabilities(std::initializer_list<int> capabilities)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    for (int capability : capabilities) {
        data[capability / 32].effective &= ~(1u << (capability % 32));
    }
    return syscall(SYS_capset, &header, data) == 0;
}

TOKEN_PRIVILEGES OneEntry(DWORD luid, DWORD attributes)
{
    TOKEN_PRIVILEGES record{};
    record.PrivilegeCount = 1;
    record.Privileges[0].Luid.LowPart = luid;
    record.Privileges[0].Attributes = attributes;
    return record;
}

}  // namespace

// Checked in a fresh child, whose token is built anew: this process's token
// may have been adjusted by other tests.
TEST(KernelToken, PrivilegesHeldFollowTheEffectiveCapabilities)
{
    int status = InChild([] {
        std::set<DWORD> held = HeldPrivileges();
        if ((held.count(kBackup) == 1) != HasEffectiveCapability(CAP_DAC_READ_SEARCH)) return 1;
        if ((held.count(kRestore) == 1) != HasEffectiveCapability(CAP_DAC_OVERRIDE)) return 2;
        if (geteuid() == 0 && HasEffectiveCapability(CAP_SYS_ADMIN) &&
            (held.count(kBackup) == 0 || held.count(kRestore) == 0)) {
            return 3;  // root holds both
        }
        if (held.count(kChangeNotify) == 0) return 4;
        for (const LUID_AND_ATTRIBUTES& entry : TokenPrivilegeList()) {
            DWORD expected = entry.Luid.LowPart == kChangeNotify
                                 ? DWORD(SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT)
                                 : 0;  // every other privilege starts disabled
            if (entry.Attributes != expected) return 5;
        }
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(KernelToken, WithoutCapabilitiesAdjustingReportsNotAllAssigned)
{
    int status = InChild([] {
        if (!DropEffectiveCapabilities({CAP_DAC_READ_SEARCH, CAP_DAC_OVERRIDE})) return 1;
        std::set<DWORD> held = HeldPrivileges();
        if (held.count(kBackup) != 0 || held.count(kRestore) != 0) return 2;
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
            return 3;
        for (DWORD luid : {kBackup, kRestore}) {
            TOKEN_PRIVILEGES record = OneEntry(luid, SE_PRIVILEGE_ENABLED);
            SetLastError(0);
            if (!AdjustTokenPrivileges(token, FALSE, &record, 0, nullptr, nullptr)) return 4;
            if (GetLastError() != ERROR_NOT_ALL_ASSIGNED) return 5;
        }
        // The check the hives rely on agrees.
        if (netid::posix::PrivilegeEnabled("SeBackupPrivilege")) return 6;
        if (netid::posix::PrivilegeEnabled("SeRestorePrivilege")) return 7;
        CloseHandle(token);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(KernelToken, RemovedPrivilegeIsGoneForGood)
{
    int status = InChild([] {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return 1;
        TOKEN_PRIVILEGES remove = OneEntry(kChangeNotify, SE_PRIVILEGE_REMOVED);
        if (!AdjustTokenPrivileges(token, FALSE, &remove, 0, nullptr, nullptr)) return 2;
        if (GetLastError() != ERROR_SUCCESS) return 3;
        if (HeldPrivileges().count(kChangeNotify) != 0) return 4;
        TOKEN_PRIVILEGES enable = OneEntry(kChangeNotify, SE_PRIVILEGE_ENABLED);
        if (!AdjustTokenPrivileges(token, FALSE, &enable, 0, nullptr, nullptr)) return 5;
        if (GetLastError() != ERROR_NOT_ALL_ASSIGNED) return 6;
        if (netid::posix::PrivilegeEnabled("SeChangeNotifyPrivilege")) return 7;
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST(KernelToken, EnabledStateIsSharedByEveryTokenHandle)
{
    HANDLE first = nullptr;
    HANDLE second = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &first));
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &second));
    TOKEN_PRIVILEGES off = OneEntry(kChangeNotify, 0);
    ASSERT_TRUE(AdjustTokenPrivileges(first, FALSE, &off, 0, nullptr, nullptr));
    EXPECT_FALSE(netid::posix::PrivilegeEnabled("SeChangeNotifyPrivilege"));
    TOKEN_PRIVILEGES on = OneEntry(kChangeNotify, SE_PRIVILEGE_ENABLED);
    ASSERT_TRUE(AdjustTokenPrivileges(second, FALSE, &on, 0, nullptr, nullptr));
    EXPECT_TRUE(netid::posix::PrivilegeEnabled("sechangenotifyprivilege"));
    EXPECT_FALSE(netid::posix::PrivilegeEnabled("NoSuchPrivilege"));
    EXPECT_FALSE(netid::posix::PrivilegeEnabled(nullptr));
    CloseHandle(first);
    CloseHandle(second);
}

TEST(KernelHandles, ValuesAreNeverReusedAndKindsAreKeptApart)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    ASSERT_TRUE(CloseHandle(token));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HANDLE again = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &again));
    EXPECT_NE(again, token);
    EXPECT_NE(event, token);
    EXPECT_NE(again, GetCurrentProcess());
    EXPECT_NE(event, INVALID_HANDLE_VALUE);

    // A token is not an event, and an event is not a token.
    EXPECT_FALSE(netid::posix::IsEventObject(again));
    EXPECT_FALSE(netid::posix::SignalEventObject(again));
    EXPECT_FALSE(netid::posix::IsEventObject(token));
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    DWORD size = 0;
    EXPECT_FALSE(GetTokenInformation(event, TokenPrivileges, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));

    EXPECT_TRUE(netid::posix::IsEventObject(event));
    EXPECT_TRUE(netid::posix::SignalEventObject(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(netid::posix::IsEventObject(event));
    EXPECT_FALSE(netid::posix::SignalEventObject(event));
    EXPECT_TRUE(CloseHandle(again));
}

TEST(KernelToken, ArgumentsThePlatformRefuses)
{
    HANDLE token = nullptr;
    // Only this process's token can be opened.
    EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(0x1234), TOKEN_QUERY, &token));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));

    LUID luid{};
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, nullptr, &luid));
    EXPECT_FALSE(LookupPrivilegeValueA("\\\\some-other-machine", SE_BACKUP_NAME, &luid));
    EXPECT_TRUE(LookupPrivilegeValueA("", SE_BACKUP_NAME, &luid));
    char name[64] = {};
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    EXPECT_TRUE(LookupPrivilegeValueA(name, SE_RESTORE_NAME, &luid));
    EXPECT_EQ(luid.LowPart, kRestore);
    EXPECT_TRUE(LookupPrivilegeValueA((std::string("\\\\") + name).c_str(), SE_BACKUP_NAME, &luid));
    EXPECT_EQ(luid.LowPart, kBackup);

    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token));
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(GetTokenInformation(token, TokenPrivileges, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));
    CloseHandle(token);
}
