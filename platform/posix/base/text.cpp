// SPDX-License-Identifier: LGPL-2.1-or-later
// Upper-casing and the UTF-8/UTF-16 conversions of text.h.
#include "platform/posix/base/text.h"

#include <cstdint>

#include "platform/posix/base/utf.h"

namespace netid::posix {
namespace {
#include "upcase_table.inc"
}  // namespace

char16_t UpcaseUnit(char16_t unit)
{
    unsigned page = kUpcaseIndex[unit >> 8];
    return page == 0 ? unit : kUpcasePages[page - 1][unit & 0xFF];
}

std::u16string Upcase(std::u16string_view text)
{
    std::u16string out(text);
    for (char16_t& unit : out) unit = UpcaseUnit(unit);
    return out;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && UpcaseUnit(a[i]) != UpcaseUnit(b[i])) return false;
    }
    return true;
}

bool SameName(std::string_view a, std::string_view b)
{
    return EqualsNoCase(Utf8ToUtf16(a), Utf8ToUtf16(b));
}

std::u16string Utf8ToUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t pos = 0; pos < text.size();) {
        char32_t ch = utf::DecodeUtf8(bytes, text.size(), pos);
        utf::EncodeUtf16(ch == utf::kIllFormed ? utf::kReplacement : ch, [&](char16_t unit) { out += unit; });
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        char32_t ch = utf::DecodeUtf16(text.data(), text.size(), pos);
        utf::EncodeUtf8(ch == utf::kIllFormed ? utf::kReplacement : ch, [&](char byte) { out += byte; });
    }
    return out;
}

}  // namespace netid::posix
