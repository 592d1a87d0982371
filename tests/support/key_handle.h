// A registry key handle for the tests that closes itself.
#ifndef NETID_TESTS_SUPPORT_KEY_HANDLE_H
#define NETID_TESTS_SUPPORT_KEY_HANDLE_H

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

#endif
