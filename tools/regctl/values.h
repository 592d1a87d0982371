// Value types and data: the type names, the data text of `regctl add /d`
// and the data text that `regctl query` prints.
#ifndef NETID_TOOLS_REGCTL_VALUES_H
#define NETID_TOOLS_REGCTL_VALUES_H

#include <string>
#include <vector>

#include "platform/win32.h"

namespace regctl {

typedef std::vector<BYTE> Bytes;

// The separator of list elements on the command line when /s gives none:
// the two characters backslash and zero.
extern const char* const kDefaultListSeparator;

// "REG_SZ" and so on; a type without a name prints as "REG_UNKNOWN(0x..)".
std::string TypeName(DWORD type);

// The types `add /t` accepts, by name in any case: REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ, REG_DWORD, REG_DWORD_LITTLE_ENDIAN, REG_DWORD_BIG_ENDIAN,
// REG_QWORD, REG_QWORD_LITTLE_ENDIAN, REG_BINARY, REG_NONE.
bool ParseTypeName(const std::string& name, DWORD& type);

// Builds the data of a value of `type` from the text given with /d (`text`
// empty when /d was not given). Strings get their closing NUL; a list is
// split at `separator` and stored as texts each with its NUL, then one more
// NUL. Numbers are decimal or 0x hexadecimal; binary data are pairs of hex
// digits. False with a message (without "ERROR: ") when the text does not fit.
bool ParseValueData(DWORD type, const std::string& text, const std::string& separator,
                    Bytes& data, std::string& error);

// The data as query prints them: texts up to their NUL, lists joined with
// `separator`, numbers as 0x lower-case hex, everything else as upper-case
// hex digits without separators.
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
