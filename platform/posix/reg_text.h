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
// inside the path, is a malformed path (161); one trailing backslash is
// allowed.
LONG SplitPath(LPCSTR path, std::vector<std::u16string>& names);

// A name as the A calls give it.
std::string NameToA(std::u16string_view name);
// Copies `text` with its NUL into a caller's buffer of `capacity`
// characters; false when it does not fit.
bool CopyToBuffer(const std::string& text, LPSTR buffer, DWORD capacity);

// True for the types whose data the A calls convert.
bool IsStringType(DWORD type);
// What the store keeps of data the A call was given.
std::vector<BYTE> DataFromA(DWORD type, const BYTE* data, DWORD size);
// What the A calls deliver of stored data.
std::vector<BYTE> DataToA(DWORD type, const std::vector<BYTE>& stored);

}  // namespace netid::posix

#endif
