// SPDX-License-Identifier: LGPL-2.1-or-later
#include "tools/regctl/text.h"

namespace regctl {

namespace {

char UpperAscii(char ch) { return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch; }
char LowerAscii(char ch) { return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch; }

// MultiByteToWideChar of the whole text, strictly; false on ill-formed input.
bool ToWide(UINT codePage, const std::string& text, WideText& out)
{
    out.clear();
    if (text.empty()) {
        return true;
    }
    int size = static_cast<int>(text.size());
    int needed = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (needed <= 0) {
        return false;
    }
    out.resize(static_cast<size_t>(needed));
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, &out[0], needed) == needed;
}

// WideCharToMultiByte of the whole text; false when something would be lost:
// UTF-8 refuses lone surrogates, other code pages report a default character.
bool FromWide(UINT codePage, const WideText& text, std::string& out)
{
    out.clear();
    if (text.empty()) {
        return true;
    }
    bool utf8 = codePage == CP_UTF8 || (codePage == CP_ACP && GetACP() == CP_UTF8);
    DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : 0;
    BOOL usedDefault = FALSE;
    BOOL* used = utf8 ? nullptr : &usedDefault;
    int size = static_cast<int>(text.size());
    int needed = WideCharToMultiByte(codePage, flags, text.data(), size, nullptr, 0, nullptr, used);
    if (needed <= 0 || usedDefault) {
        return false;
    }
    out.resize(static_cast<size_t>(needed));
    return WideCharToMultiByte(codePage, flags, text.data(), size, &out[0], needed, nullptr, used) == needed &&
           !usedDefault;
}

}  // namespace

bool EqualsNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (UpperAscii(a[i]) != UpperAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::string ToUpper(std::string text)
{
    for (char& ch : text) {
        ch = UpperAscii(ch);
    }
    return text;
}

std::string ToLower(std::string text)
{
    for (char& ch : text) {
        ch = LowerAscii(ch);
    }
    return text;
}

WideText AnsiToWide(const std::string& text)
{
    WideText wide;
    if (ToWide(CP_ACP, text, wide)) {
        return wide;
    }
    wide.clear();
    for (char ch : text) {
        wide += static_cast<WCHAR>(static_cast<unsigned char>(ch));
    }
    return wide;
}

bool WideToAnsi(const WideText& text, std::string& out) { return FromWide(CP_ACP, text, out); }

bool Utf8ToWide(const std::string& text, WideText& out) { return ToWide(CP_UTF8, text, out); }

bool WideToUtf8(const WideText& text, std::string& out) { return FromWide(CP_UTF8, text, out); }

Bytes WideToBytes(const WideText& text)
{
    Bytes bytes;
    bytes.reserve(text.size() * 2);
    for (WCHAR unit : text) {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>((unit >> 8) & 0xFF));
    }
    return bytes;
}

WideText WideFromBytes(const Bytes& bytes)
{
    WideText text;
    text.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        text += static_cast<WCHAR>(bytes[i] | (bytes[i + 1] << 8));
    }
    return text;
}

}  // namespace regctl
