// SPDX-License-Identifier: LGPL-2.1-or-later
// A CRegistry that lets tests see its members and count the inner calls that
// the class makes to itself.
#ifndef NETID_TESTS_SUPPORT_PROBE_REGISTRY_H
#define NETID_TESTS_SUPPORT_PROBE_REGISTRY_H

#include <string>
#include <vector>

#include "registry/registry.h"

class ProbeRegistry : public CRegistry {
public:
    using CRegistry::m_ftLastWrite;
    using CRegistry::m_hKey;
    using CRegistry::m_hRegistry;
    using CRegistry::m_lStatus;
    using CRegistry::m_nMaxValueLen;
    using CRegistry::m_nSecurityLen;
    using CRegistry::m_nSubKeys;
    using CRegistry::m_nValues;
    using CRegistry::m_strClass;
    using CRegistry::m_strComputer;
    using CRegistry::m_strKeyPath;
    using CRegistry::m_strRootName;

    std::vector<std::string> calls;

    BOOL QueryInfoKey() override
    {
        calls.push_back("QueryInfoKey");
        return CRegistry::QueryInfoKey();
    }
    BOOL QueryValue(LPCSTR name, DWORD& type, LPBYTE data, LPDWORD size) override
    {
        calls.push_back("QueryValue");
        return CRegistry::QueryValue(name, type, data, size);
    }
    BOOL SetValue(LPCSTR name, DWORD type, const BYTE* data, DWORD size) override
    {
        calls.push_back("SetValue");
        return CRegistry::SetValue(name, type, data, size);
    }
    using CRegistry::SetValue;
    BOOL SetDwordValue(LPCSTR name, DWORD value) override
    {
        calls.push_back("SetDwordValue");
        return CRegistry::SetDwordValue(name, value);
    }
    BOOL GetStringValue(LPCSTR name, CString& text) override
    {
        calls.push_back("GetStringValue");
        return CRegistry::GetStringValue(name, text);
    }
    BOOL OpenKey(LPCSTR subKey, REGSAM access) override
    {
        calls.push_back("OpenKey");
        return CRegistry::OpenKey(subKey, access);
    }
};

#endif
