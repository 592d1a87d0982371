// SPDX-License-Identifier: LGPL-2.1-or-later
// A registry key handle for the tests that closes itself, and the names of
// what lies beneath a key in enumeration order.
#ifndef NETID_TESTS_SUPPORT_KEY_HANDLE_H
#define NETID_TESTS_SUPPORT_KEY_HANDLE_H

#include <string>
#include <vector>

#include "platform/win32.h"

class Key {
public:
    Key() = default;
    explicit Key(HKEY key) : m_key(key) {}
    ~Key() { Reset(); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* Out()
    {
        Reset();
        return &m_key;
    }
    HKEY Get() const { return m_key; }
    void Reset()
    {
        if (m_key != nullptr) RegCloseKey(m_key);
        m_key = nullptr;
    }
    HKEY Release()
    {
        HKEY key = m_key;
        m_key = nullptr;
        return key;
    }

private:
    HKEY m_key = nullptr;
};

inline std::vector<std::string> SubKeyNames(HKEY key)
{
    std::vector<std::string> names;
    char name[300];
    for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; ++i) {
        names.push_back(name);
    }
    return names;
}

inline std::vector<std::string> ValueNames(HKEY key)
{
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[300];
        DWORD length = sizeof name;
        if (RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.push_back(name);
    }
    return names;
}

#endif
