// SPDX-License-Identifier: LGPL-2.1-or-later
// A key of its own for each test, under HKEY_CURRENT_USER, removed afterwards.
#ifndef NETID_TESTS_SUPPORT_SCRATCH_KEY_H
#define NETID_TESTS_SUPPORT_SCRATCH_KEY_H

#include <string>

#include "platform/win32.h"

class ScratchKey {
public:
    // Creates HKCU\Software\NetidTests\<name>.<pid> afresh.
    explicit ScratchKey(const std::string& name);
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    // The path beneath HKEY_CURRENT_USER.
    const std::string& Path() const { return m_path; }
    // A path beneath this key.
    std::string Sub(const std::string& relative) const { return m_path + "\\" + relative; }
    // A handle with full access, owned by this object.
    HKEY Handle() const { return m_hKey; }

private:
    std::string m_path;
    HKEY m_hKey = nullptr;
};

#endif
