// SPDX-License-Identifier: LGPL-2.1-or-later
#include "support/privileges.h"

#include <gtest/gtest.h>

#include <cstring>

bool SetPrivilege(const char* name, bool enable)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return false;
    }
    TOKEN_PRIVILEGES record{};
    record.PrivilegeCount = 1;
    LookupPrivilegeValueA(nullptr, name, &record.Privileges[0].Luid);
    record.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    BOOL ok = AdjustTokenPrivileges(token, FALSE, &record, 0, nullptr, nullptr);
    DWORD error = GetLastError();
    CloseHandle(token);
    return ok && error == ERROR_SUCCESS;
}

std::vector<LUID_AND_ATTRIBUTES> TokenPrivilegeList()
{
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size < sizeof(DWORD) ? sizeof(DWORD) : size);
    EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size));
    CloseHandle(token);
    DWORD count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    std::vector<LUID_AND_ATTRIBUTES> list(count);
    if (count != 0) {
        std::memcpy(list.data(), buffer.data() + sizeof(DWORD),
                    count * sizeof(LUID_AND_ATTRIBUTES));
    }
    return list;
}

bool PrivilegeState(const char* name, DWORD* attributes)
{
    LUID luid{};
    if (!LookupPrivilegeValueA(nullptr, name, &luid)) return false;
    for (const LUID_AND_ATTRIBUTES& entry : TokenPrivilegeList()) {
        if (entry.Luid.LowPart == luid.LowPart && entry.Luid.HighPart == luid.HighPart) {
            *attributes = entry.Attributes;
            return true;
        }
    }
    return false;
}

bool PrivilegeIsEnabled(const char* name)
{
    DWORD attributes = 0;
    return PrivilegeState(name, &attributes) && (attributes & SE_PRIVILEGE_ENABLED) != 0;
}
