// SPDX-License-Identifier: LGPL-2.1-or-later
// The text of the A calls: on this platform the ANSI code page is UTF-8, and
// the store keeps names and string data as UTF-16, as the platform's own
// registry does. These convert between the two the way the platform
// converts for its A calls: names both ways, paths into their names, and the
// data of REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ (other types pass as they
// are). Sizes the calls report are those of the converted form.
#ifndef NETID_PLATFORM_POSIX_REG_TEXT_H
#define NETID_PLATFORM_POSIX_REG_TEXT_H

#include <string>
#include <vector>

#include "platform/posix/windows.h"

namespace netid::posix {

// A name as the caller gave it (null: the empty name).
std::u16string NameFromA(LPCSTR text);

// Splits a sub-key path into its names. A leading backslash, or an empty name
// inside the path, is a malformed path (161); backslashes at its end are
// allowed.
LONG SplitPath(LPCSTR path, std::vector<std::u16string>& names);

// A name as the A calls give it.
std::string NameToA(std::u16string_view name);
// Copies `text` with its NUL into a caller's buffer of `capacity`
// characters; false when it does not fit.
bool CopyToBuffer(const std::string& text, LPSTR buffer, DWORD capacity);
// The longest start of `text` of at most `bytes` bytes that ends on a whole
// character.
std::string TruncatedA(const std::string& text, std::size_t bytes);

// True for the types whose data the A calls convert.
bool IsStringType(DWORD type);
// The size of string data the A call takes from a caller: `size`, or one
// more when the data does not end in NUL but the byte just past it is NUL
// (the platform stores the terminator the count left out). That byte is
// read only where reading cannot fault, and never where the address
// sanitizer knows the caller does not own it.
DWORD SizeWithTerminator(DWORD type, const BYTE* data, DWORD size);
// What the store keeps of data the A call was given.
std::vector<BYTE> DataFromA(DWORD type, const BYTE* data, DWORD size);
// What the A calls deliver of stored data.
std::vector<BYTE> DataToA(DWORD type, const std::vector<BYTE>& stored);
// Delivers `data` of `type` into a caller's buffer of `capacity` bytes with
// the platform's size rules: 234 when it does not fit, the size needed in
// `*size` either way; string data that does not end in NUL gets one after it
// when the buffer has room (the size reported stays the data's).
LONG DeliverData(DWORD type, const std::vector<BYTE>& data, LPBYTE buffer, DWORD capacity, LPDWORD size);

}  // namespace netid::posix

#endif
