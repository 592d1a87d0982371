// SPDX-License-Identifier: LGPL-2.1-or-later
// What the operations of regctl share: reading keys and values through
// CRegistry, the messages of success and failure, and the Yes/No question.
#ifndef NETID_TOOLS_REGCTL_ACCESS_H
#define NETID_TOOLS_REGCTL_ACCESS_H

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "registry/registry.h"
#include "tools/regctl/keyname.h"
#include "tools/regctl/values.h"

namespace regctl {

struct ValueEntry {
    std::string name;
    DWORD type = REG_NONE;
    Bytes data;
};

// CRegistry with its open key's handle in reach, for the calls the class
// does not make itself.
class ToolRegistry : public CRegistry {
public:
    HKEY Handle() const { return m_hKey; }
    HKEY Root() const { return m_hRegistry; }
    // UnLoadKey works on the open key, while the platform unloads a hive
    // only through the root's own handle (HKLM or HKU): the root is made the
    // open key for that one call, and forgotten again so that Close does not
    // close it twice.
    BOOL UnLoadFromRoot(LPCSTR subKey);
};

// Connects to the key's root and opens the key (its path beneath the root)
// with `access`; the status of the failing step, else ERROR_SUCCESS.
LONG OpenKeyName(CRegistry& reg, const KeyName& key, REGSAM access);

// The key beneath `key` named `child`.
KeyName ChildOf(const KeyName& key, const std::string& child);

// The values of the open key in the platform's order, each read whatever
// its size; one value alone.
LONG ReadValueNames(CRegistry& reg, std::vector<std::string>& names);
LONG ReadValue(CRegistry& reg, const std::string& name, ValueEntry& value);
LONG ReadAllValues(CRegistry& reg, std::vector<ValueEntry>& values);
// The names of the open key's sub-keys.
LONG ReadSubKeys(CRegistry& reg, std::vector<std::string>& names);

// The text of a status code as the error line shows it (without "ERROR: ").
std::string StatusMessage(LONG status);

// "ERROR: message" on `err`; status 1.
int Fail(std::ostream& err, const std::string& message);
// The status's message, and where the registry is kept when the store itself
// failed (see platform/store_hint.h); status 1.
int FailStatus(std::ostream& err, LONG status);
// "The operation completed successfully."; status 0.
int Succeed(std::ostream& out);

// Asks `question` + " (Yes/No)?" on `out` and reads the answer from `in`,
// again until it is yes or no (any case, y or n will do). The end of the
// input is no: nobody is there to answer.
bool Confirm(const std::string& question, std::istream& in, std::ostream& out);

}  // namespace regctl

#endif
