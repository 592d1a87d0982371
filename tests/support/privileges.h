// SPDX-License-Identifier: LGPL-2.1-or-later
// The process token's privileges, as the tests read and change them.
#ifndef NETID_TESTS_SUPPORT_PRIVILEGES_H
#define NETID_TESTS_SUPPORT_PRIVILEGES_H

#include <vector>

#include "platform/win32.h"

// Enables or disables the named privilege; true when the platform reports
// that it was assigned (the token holds it).
bool SetPrivilege(const char* name, bool enable);

// Every privilege the process token holds, with its attributes.
std::vector<LUID_AND_ATTRIBUTES> TokenPrivilegeList();

// The attributes of a privilege in the process token; false when the token
// does not hold it.
bool PrivilegeState(const char* name, DWORD* attributes);

// True when the token holds the privilege and it is enabled.
bool PrivilegeIsEnabled(const char* name);

#endif
