// SPDX-License-Identifier: LGPL-2.1-or-later
#include "framework/string.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

namespace {

int Clamp(int count, int length) { return std::min(std::max(count, 0), length); }

}  // namespace

CString::CString(LPCSTR text) : m_str(text != nullptr ? text : "") {}

CString::CString(LPCSTR text, int length)
{
    if (text != nullptr && length > 0) {
        m_str.assign(text, static_cast<size_t>(length));
    }
}

CString::CString(char ch, int repeat) : m_str(static_cast<size_t>(std::max(repeat, 0)), ch) {}

CString& CString::operator=(LPCSTR text)
{
    m_str = text != nullptr ? text : "";
    return *this;
}

CString& CString::operator=(char ch)
{
    m_str.assign(1, ch);
    return *this;
}

char CString::GetAt(int index) const
{
    if (index < 0 || index >= GetLength()) {
        throw std::out_of_range("CString position out of range");
    }
    return m_str[static_cast<size_t>(index)];
}

void CString::SetAt(int index, char ch)
{
    if (index < 0 || index >= GetLength()) {
        throw std::out_of_range("CString position out of range");
    }
    m_str[static_cast<size_t>(index)] = ch;
}

int CString::Find(char ch, int start) const
{
    if (start < 0 || start >= GetLength()) {
        return -1;
    }
    size_t pos = m_str.find(ch, static_cast<size_t>(start));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::Find(LPCSTR text, int start) const
{
    if (text == nullptr || start < 0 || start > GetLength()) {
        return -1;
    }
    size_t pos = m_str.find(text, static_cast<size_t>(start));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::ReverseFind(char ch) const
{
    size_t pos = m_str.rfind(ch);
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

CString CString::Left(int count) const
{
    return CString(m_str.data(), Clamp(count, GetLength()));
}

CString CString::Right(int count) const
{
    int n = Clamp(count, GetLength());
    return CString(m_str.data() + (GetLength() - n), n);
}

CString CString::Mid(int first) const { return Mid(first, GetLength()); }

CString CString::Mid(int first, int count) const
{
    int from = Clamp(first, GetLength());
    int n = Clamp(count, GetLength() - from);
    return CString(m_str.data() + from, n);
}

int CString::Remove(char ch)
{
    size_t before = m_str.size();
    m_str.erase(std::remove(m_str.begin(), m_str.end(), ch), m_str.end());
    return static_cast<int>(before - m_str.size());
}

void CString::MakeUpper()
{
    for (char& c : m_str) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
}

void CString::MakeLower()
{
    for (char& c : m_str) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
}

CString& CString::operator+=(const CString& other)
{
    m_str += other.m_str;
    return *this;
}

CString& CString::operator+=(LPCSTR text)
{
    if (text != nullptr) {
        m_str += text;
    }
    return *this;
}

CString& CString::operator+=(char ch)
{
    m_str += ch;
    return *this;
}

CString operator+(const CString& a, const CString& b)
{
    CString r(a);
    r += b;
    return r;
}

CString operator+(const CString& a, LPCSTR b)
{
    CString r(a);
    r += b;
    return r;
}

CString operator+(LPCSTR a, const CString& b)
{
    CString r(a);
    r += b;
    return r;
}

int CString::Compare(LPCSTR text) const { return std::strcmp(m_str.c_str(), text ? text : ""); }

int CString::CompareNoCase(LPCSTR text) const
{
    const unsigned char* a = reinterpret_cast<const unsigned char*>(m_str.c_str());
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text ? text : "");
    for (;; ++a, ++b) {
        int ca = std::tolower(*a);
        int cb = std::tolower(*b);
        if (ca != cb || ca == 0) {
            return ca - cb;
        }
    }
}
