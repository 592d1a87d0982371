// SPDX-License-Identifier: LGPL-2.1-or-later
#include "tools/regctl/keyname.h"

#include "tools/regctl/text.h"

namespace regctl {

namespace {

struct RootEntry {
    const char* shortName;
    const char* longName;
    HKEY root;
};

const RootEntry kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKU", "HKEY_USERS", HKEY_USERS},
    {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

}  // namespace

std::string KeyName::FullName() const
{
    std::string full;
    if (!computer.empty()) {
        full = "\\\\" + computer + "\\";
    }
    full += rootName;
    if (!path.empty()) {
        full += "\\" + path;
    }
    return full;
}

std::string KeyName::ChildName(const std::string& child) const
{
    return FullName() + "\\" + child;
}

bool LookUpRoot(const std::string& name, HKEY& root, std::string& longName)
{
    for (const RootEntry& entry : kRoots) {
        if (EqualsNoCase(name, entry.shortName) || EqualsNoCase(name, entry.longName)) {
            root = entry.root;
            longName = entry.longName;
            return true;
        }
    }
    return false;
}

bool ParseKeyName(const std::string& text, bool allowRemote, KeyName& key)
{
    std::string rest = text;
    std::string computer;
    if (rest.size() >= 2 && rest[0] == '\\' && rest[1] == '\\') {
        if (!allowRemote) {
            return false;
        }
        size_t end = rest.find('\\', 2);
        if (end == std::string::npos || end == 2) {
            return false;
        }
        computer = rest.substr(2, end - 2);
        rest = rest.substr(end + 1);
    }
    // One backslash may end a key's path, but not a root's name ("HKCU\\").
    if (!rest.empty() && rest.back() == '\\') {
        rest.pop_back();
        if (rest.find('\\') == std::string::npos) {
            return false;
        }
    }
    size_t slash = rest.find('\\');
    std::string rootText = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
    HKEY root = nullptr;
    std::string longName;
    if (!LookUpRoot(rootText, root, longName)) {
        return false;
    }
    if (slash != std::string::npos && path.empty()) {
        return false;  // "HKLM\\": two backslashes at the end
    }
    if (path.find("\\\\") != std::string::npos || (!path.empty() && path.front() == '\\') ||
        (!path.empty() && path.back() == '\\')) {
        return false;
    }
    key.computer = computer;
    key.root = root;
    key.rootName = longName;
    key.path = path;
    return true;
}

}  // namespace regctl
