// SPDX-License-Identifier: LGPL-2.1-or-later
#include "support/scratch_key.h"

#include <stdexcept>

#include "registry/registry.h"

namespace {

std::string ProcessTag()
{
    return std::to_string(GetCurrentProcessId());
}

}  // namespace

ScratchKey::ScratchKey(const std::string& name)
    : m_path("Software\\NetidTests\\" + name + "." + ProcessTag())
{
    DeleteKeyTree(HKEY_CURRENT_USER, m_path.c_str());
    DWORD disposition = 0;
    LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &m_hKey,
                                  &disposition);
    if (status != ERROR_SUCCESS) {
        throw std::runtime_error("cannot create scratch key " + m_path + ": " +
                                 std::to_string(status));
    }
}

ScratchKey::~ScratchKey()
{
    RegCloseKey(m_hKey);
    DeleteKeyTree(HKEY_CURRENT_USER, m_path.c_str());
}
