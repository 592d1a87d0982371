// SPDX-License-Identifier: LGPL-2.1-or-later
// CString: a counted, NUL-terminated string of 8-bit characters with value
// semantics. Positions start at 0; counts outside the string are clamped.
#ifndef NETID_FRAMEWORK_STRING_H
#define NETID_FRAMEWORK_STRING_H

#include <string>

#include "../platform/win32.h"

class CString {
public:
    CString() = default;
    CString(LPCSTR text);  // NOLINT(google-explicit-constructor): framework convention
    CString(LPCSTR text, int length);
    CString(char ch, int repeat = 1);
    CString(const CString&) = default;
    CString(CString&&) noexcept = default;
    ~CString() = default;

    CString& operator=(const CString&) = default;
    CString& operator=(CString&&) noexcept = default;
    CString& operator=(LPCSTR text);
    CString& operator=(char ch);

    int GetLength() const { return static_cast<int>(m_str.size()); }
    BOOL IsEmpty() const { return m_str.empty() ? TRUE : FALSE; }
    void Empty() { m_str.clear(); }

    // Reading a character; a position outside the string throws std::out_of_range.
    char GetAt(int index) const;
    char operator[](int index) const { return GetAt(index); }
    void SetAt(int index, char ch);

    operator LPCSTR() const { return m_str.c_str(); }  // NOLINT(google-explicit-constructor)

    // -1 when absent. A start beyond the string finds nothing.
    int Find(char ch, int start = 0) const;
    int Find(LPCSTR text, int start = 0) const;
    int ReverseFind(char ch) const;

    // Counts below 0 are taken as 0, counts beyond the length as the length.
    CString Left(int count) const;
    CString Right(int count) const;
    CString Mid(int first) const;
    CString Mid(int first, int count) const;

    // Removes every occurrence of ch; returns how many were removed.
    int Remove(char ch);
    void MakeUpper();
    void MakeLower();

    CString& operator+=(const CString& other);
    CString& operator+=(LPCSTR text);
    CString& operator+=(char ch);

    friend CString operator+(const CString& a, const CString& b);
    friend CString operator+(const CString& a, LPCSTR b);
    friend CString operator+(LPCSTR a, const CString& b);

    int Compare(LPCSTR text) const;
    int CompareNoCase(LPCSTR text) const;

    friend bool operator==(const CString& a, const CString& b) { return a.m_str == b.m_str; }
    friend bool operator==(const CString& a, LPCSTR b) { return a.Compare(b) == 0; }
    friend bool operator==(LPCSTR a, const CString& b) { return b.Compare(a) == 0; }
    friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
    friend bool operator!=(const CString& a, LPCSTR b) { return !(a == b); }
    friend bool operator<(const CString& a, const CString& b) { return a.m_str < b.m_str; }

private:
    std::string m_str;
};

#endif
