// Upper-casing and the UTF-8/UTF-16 conversions of text.h.
#include "platform/posix/text.h"

#include <cstdint>

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
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    while (p < end) {
        unsigned c = *p;
        if (c < 0x80) {
            out += static_cast<char16_t>(c);
            ++p;
            continue;
        }
        int extra = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : -1;
        if (extra < 0) {
            out += u'\uFFFD';
            ++p;
            continue;
        }
        std::uint32_t cp = c & (0x3F >> extra);
        int got = 0;
        for (; got < extra && p + 1 + got < end; ++got) {
            unsigned next = p[1 + got];
            // The second byte narrows the range of valid sequences.
            unsigned low = 0x80, high = 0xBF;
            if (got == 0) {
                if (c == 0xE0) low = 0xA0;
                if (c == 0xED) high = 0x9F;
                if (c == 0xF0) low = 0x90;
                if (c == 0xF4) high = 0x8F;
            }
            if (next < low || next > high) break;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (got < extra) {
            out += u'\uFFFD';
            p += 1 + got;
            continue;
        }
        p += 1 + extra;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

}  // namespace netid::posix
