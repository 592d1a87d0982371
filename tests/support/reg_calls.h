// SPDX-License-Identifier: LGPL-2.1-or-later
// The Win32 registry calls as their tests use them: making keys, setting
// values of each kind, what a query or an enumeration delivered into a
// buffer, a key's last-write time and whether a key exists.
#ifndef NETID_TESTS_SUPPORT_REG_CALLS_H
#define NETID_TESTS_SUPPORT_REG_CALLS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "support/key_handle.h"

inline LONG Create(HKEY parent, const std::string& path, HKEY* out, DWORD options = 0,
                   DWORD* disposition = nullptr, const char* keyClass = nullptr)
{
    return RegCreateKeyExA(parent, path.c_str(), 0, const_cast<LPSTR>(keyClass), options,
                           KEY_ALL_ACCESS, nullptr, out, disposition);
}

inline LONG SetDword(HKEY key, const char* name, DWORD value)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

// Sets `count` bytes of `bytes` (all of them when no count is given).
inline LONG SetBytes(HKEY key, const char* name, DWORD type, const std::string& bytes, DWORD count)
{
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()), count);
}
inline LONG SetBytes(HKEY key, const char* name, DWORD type, const std::string& bytes)
{
    return SetBytes(key, name, type, bytes, static_cast<DWORD>(bytes.size()));
}

inline LONG SetText(HKEY key, const char* name, const char* text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(std::strlen(text) + 1));
}

// A buffer's bytes before a call writes into it.
constexpr BYTE kUnwritten = 0xBD;

// What a query delivered into a buffer of `capacity` bytes (filled with
// kUnwritten beforehand), with the byte after the data.
struct Delivered {
    LONG status = -1;
    DWORD type = 0;
    DWORD size = 0;
    std::string data;  // `size` bytes when the call succeeded
    BYTE after = 0;    // the buffer's byte just past them
};

inline Delivered Query(HKEY key, const char* name, DWORD capacity)
{
    std::vector<BYTE> buffer(capacity + 1, kUnwritten);
    Delivered out;
    out.size = capacity;
    out.status = RegQueryValueExA(key, name, nullptr, &out.type, buffer.data(), &out.size);
    if (out.status == ERROR_SUCCESS) {
        out.data.assign(reinterpret_cast<char*>(buffer.data()), out.size);
        out.after = buffer[out.size];
    }
    return out;
}

// The same for the first value an enumeration of `key` delivers.
inline Delivered EnumFirst(HKEY key, DWORD capacity)
{
    std::vector<BYTE> buffer(capacity + 1, kUnwritten);
    char name[64];
    DWORD length = sizeof name;
    Delivered out;
    out.size = capacity;
    out.status = RegEnumValueA(key, 0, name, &length, nullptr, &out.type, buffer.data(), &out.size);
    if (out.status == ERROR_SUCCESS) {
        out.data.assign(reinterpret_cast<char*>(buffer.data()), out.size);
        out.after = buffer[out.size];
    }
    return out;
}

// A text value, or "<status>" when it cannot be read.
inline std::string Text(HKEY key, const char* name)
{
    Delivered got = Query(key, name, 64);
    return got.status == ERROR_SUCCESS ? std::string(got.data.c_str()) : "<" + std::to_string(got.status) + ">";
}

inline bool Exists(HKEY root, const std::string& path)
{
    Key key;
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Out()) == ERROR_SUCCESS;
}

inline std::uint64_t AsNumber(const FILETIME& time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

inline std::uint64_t LastWrite(HKEY key)
{
    FILETIME time = {0, 0};
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, nullptr, nullptr,
                                              &time));
    return AsNumber(time);
}

#endif
