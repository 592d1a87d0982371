// SPDX-License-Identifier: LGPL-2.1-or-later
// Text as the registry keeps it: names compare case-insensitively by
// upper-casing each UTF-16 unit with Unicode's simple upper-case mapping
// (the table is generated from ICU when the library is built): the one case
// folding of the platform layer. And the conversions between the UTF-8 of
// the A calls and the stored UTF-16.
#ifndef NETID_PLATFORM_POSIX_TEXT_H
#define NETID_PLATFORM_POSIX_TEXT_H

#include <string>
#include <string_view>

namespace netid::posix {

// The upper-case form of one UTF-16 unit.
char16_t UpcaseUnit(char16_t unit);
// The upper-case form of a name, unit by unit: the form names are compared,
// looked up and sorted by.
std::u16string Upcase(std::u16string_view text);
// True when the two names are the same name to the registry.
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);
// The same for names in the A calls' UTF-8 (privilege and machine names).
bool SameName(std::string_view a, std::string_view b);

// UTF-8 to UTF-16: a byte sequence that is not UTF-8 becomes U+FFFD, one
// for each maximal invalid part, as the platform's conversion does.
std::u16string Utf8ToUtf16(std::string_view text);
// UTF-16 to UTF-8: a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// An ASCII or UTF-8 literal as UTF-16.
inline std::u16string U16(std::string_view text) { return Utf8ToUtf16(text); }

}  // namespace netid::posix

#endif
