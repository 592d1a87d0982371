// SPDX-License-Identifier: LGPL-2.1-or-later
// Registry key names as the command line and .reg files write them:
// [\\computer\]ROOT[\sub\key], the root short (HKLM) or long
// (HKEY_LOCAL_MACHINE), in any case.
#ifndef NETID_TOOLS_REGCTL_KEYNAME_H
#define NETID_TOOLS_REGCTL_KEYNAME_H

#include <string>

#include "platform/win32.h"

namespace regctl {

struct KeyName {
    std::string computer;  // empty: the local machine
    HKEY root = nullptr;
    std::string rootName;  // the long name, e.g. HKEY_LOCAL_MACHINE
    std::string path;      // beneath the root, without outer backslashes; may be empty

    // [\\computer\]ROOT[\path], the root by its long name.
    std::string FullName() const;
    // The full name of a sub-key of this key.
    std::string ChildName(const std::string& child) const;
};

// Maps HKLM, HKCU, HKCR, HKU, HKCC and their long names (any case) to the
// root; false for anything else.
bool LookUpRoot(const std::string& name, HKEY& root, std::string& longName);

// Parses a key name. `allowRemote` admits the \\computer\ prefix. False when
// the root is unknown, a path element is empty (two backslashes in a row) or
// the remote form is malformed. One trailing backslash is allowed after a
// path, but not after the root alone ("HKCU\\" is refused, as reg refuses it).
bool ParseKeyName(const std::string& text, bool allowRemote, KeyName& key);

}  // namespace regctl

#endif
