// SPDX-License-Identifier: LGPL-2.1-or-later
// Text helpers shared by the parts of the tool: letter case, and the
// conversions between the platform's ANSI code page (the code page of the A
// calls: UTF-8 on Linux, the system's on Windows), UTF-8 and UTF-16.
#ifndef NETID_TOOLS_REGCTL_TEXT_H
#define NETID_TOOLS_REGCTL_TEXT_H

#include <string>
#include <vector>

#include "platform/win32.h"

namespace regctl {

typedef std::vector<BYTE> Bytes;
typedef std::basic_string<WCHAR> WideText;

// ASCII case-insensitive comparison and case mapping.
bool EqualsNoCase(const std::string& a, const std::string& b);
std::string ToUpper(std::string text);
std::string ToLower(std::string text);

// Text in the ANSI code page as UTF-16. Bytes that are not valid there (8-bit
// text written before the A calls spoke UTF-8) are taken one character per
// byte, as Latin-1.
WideText AnsiToWide(const std::string& text);
// UTF-16 in the ANSI code page; false when a character has no form there
// (or, for UTF-8, when a surrogate has lost its other half).
bool WideToAnsi(const WideText& text, std::string& out);

// UTF-8 as UTF-16; false when the bytes are not UTF-8.
bool Utf8ToWide(const std::string& text, WideText& out);
// UTF-16 as UTF-8; false for a surrogate without its other half.
bool WideToUtf8(const WideText& text, std::string& out);

// UTF-16LE bytes and units; an odd last byte is dropped by WideFromBytes.
Bytes WideToBytes(const WideText& text);
WideText WideFromBytes(const Bytes& bytes);

}  // namespace regctl

#endif
