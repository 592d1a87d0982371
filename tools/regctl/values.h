// SPDX-License-Identifier: LGPL-2.1-or-later
// Value types and data: the type names, the data text of `regctl add /d`
// and the data text that `regctl query` prints.
#ifndef NETID_TOOLS_REGCTL_VALUES_H
#define NETID_TOOLS_REGCTL_VALUES_H

#include <string>
#include <vector>

#include "platform/win32.h"
#include "tools/regctl/text.h"

namespace regctl {

// The separator of list elements on the command line when /s gives none:
// the two characters backslash and zero.
extern const char* const kDefaultListSeparator;

// "REG_SZ" and so on; a type without a name prints as "REG_UNKNOWN(0x..)".
std::string TypeName(DWORD type);

// The types `add /t` accepts, by name in any case: REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ, REG_DWORD, REG_DWORD_LITTLE_ENDIAN, REG_DWORD_BIG_ENDIAN,
// REG_QWORD, REG_QWORD_LITTLE_ENDIAN, REG_BINARY, REG_NONE.
bool ParseTypeName(const std::string& name, DWORD& type);

// Builds the data of a value of `type` from the text given with /d, as reg
// builds them (`hasData` false when /d was not given):
// - REG_SZ, REG_EXPAND_SZ: the text and its NUL;
// - REG_MULTI_SZ: split at `separator`, each element with its NUL, then one
//   more NUL; one separator at the end is allowed, an empty element elsewhere
//   is not; the separator alone is the empty list (two NULs);
// - REG_DWORD (also _LITTLE_ENDIAN and, as reg stores it, _BIG_ENDIAN): /d
//   required, decimal or 0x hexadecimal, little-endian;
// - REG_QWORD: decimal (a minus sign gives the two's complement) or 0x
//   hexadecimal; without /d 0;
// - REG_BINARY: hex digits, an odd count getting a 0 in front;
// - REG_NONE: the text as UTF-16LE with its NUL (without /d the empty text).
// False with a message (without "ERROR: ") when the text does not fit.
bool ParseValueData(DWORD type, bool hasData, const std::string& text, const std::string& separator,
                    Bytes& data, std::string& error);

// The data as query prints them: texts up to their NUL, lists joined with
// `separator`, numbers as 0x lower-case hex (REG_DWORD_BIG_ENDIAN read as reg
// stores it, like REG_DWORD), everything else as upper-case hex digits
// without separators.
std::string FormatValueData(DWORD type, const Bytes& data,
                            const std::string& separator = kDefaultListSeparator);

// One line of query output (without its line end):
// four blanks, name or "(Default)", four blanks, type name, four blanks, data.
std::string FormatValueLine(const std::string& name, DWORD type, const Bytes& data,
                            const std::string& separator = kDefaultListSeparator);

// Hex digits, two per byte; `upper` picks the letter case.
std::string HexDigits(const Bytes& data, bool upper);

}  // namespace regctl

#endif
