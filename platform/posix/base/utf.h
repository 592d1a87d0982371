// SPDX-License-Identifier: LGPL-2.1-or-later
// The one decoder and encoders of UTF-8 and UTF-16 the platform uses: the
// code page calls and the store's names both build on them. Ill-formed input
// becomes U+FFFD, one for each maximal ill-formed part, as Windows does.
#pragma once

#include <cstddef>

namespace netid::posix::utf {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kIllFormed = 0xFFFFFFFF;

// Decodes the character at text[pos] and moves `pos` past it. An ill-formed
// sequence gives kIllFormed and `pos` moves past its longest well-formed
// beginning (at least one byte).
inline char32_t DecodeUtf8(const unsigned char* text, std::size_t size, std::size_t& pos)
{
    unsigned char lead = text[pos++];
    if (lead < 0x80) return lead;
    int trail;
    unsigned char low = 0x80;  // the range of the second byte
    unsigned char high = 0xBF;
    char32_t value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trail = 2;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trail = 3;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // no overlong forms
        if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
    } else {
        return kIllFormed;  // a continuation byte, C0, C1 or F5 to FF
    }
    for (int i = 0; i < trail; ++i) {
        if (pos >= size) return kIllFormed;
        unsigned char byte = text[pos];
        bool fits = i == 0 ? (byte >= low && byte <= high) : (byte >= 0x80 && byte <= 0xBF);
        if (!fits) return kIllFormed;
        value = (value << 6) | (byte & 0x3F);
        ++pos;
    }
    return value;
}

// Decodes the character at text[pos] and moves `pos` past it; a surrogate
// without its other half gives kIllFormed.
template <typename Unit>
char32_t DecodeUtf16(const Unit* text, std::size_t size, std::size_t& pos)
{
    char32_t ch = static_cast<char16_t>(text[pos++]);
    if (ch >= 0xD800 && ch <= 0xDBFF && pos < size && text[pos] >= 0xDC00 && text[pos] <= 0xDFFF) {
        return 0x10000 + ((ch - 0xD800) << 10) + (static_cast<char16_t>(text[pos++]) - 0xDC00);
    }
    return ch >= 0xD800 && ch <= 0xDFFF ? kIllFormed : ch;
}

// Hands the UTF-16 units of `ch` to `put`.
template <typename Put>
void EncodeUtf16(char32_t ch, Put&& put)
{
    if (ch < 0x10000) {
        put(static_cast<char16_t>(ch));
        return;
    }
    ch -= 0x10000;
    put(static_cast<char16_t>(0xD800 + (ch >> 10)));
    put(static_cast<char16_t>(0xDC00 + (ch & 0x3FF)));
}

// Hands the UTF-8 bytes of `ch` to `put`.
template <typename Put>
void EncodeUtf8(char32_t ch, Put&& put)
{
    if (ch < 0x80) {
        put(static_cast<char>(ch));
    } else if (ch < 0x800) {
        put(static_cast<char>(0xC0 | (ch >> 6)));
        put(static_cast<char>(0x80 | (ch & 0x3F)));
    } else if (ch < 0x10000) {
        put(static_cast<char>(0xE0 | (ch >> 12)));
        put(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
        put(static_cast<char>(0x80 | (ch & 0x3F)));
    } else {
        put(static_cast<char>(0xF0 | (ch >> 18)));
        put(static_cast<char>(0x80 | ((ch >> 12) & 0x3F)));
        put(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
        put(static_cast<char>(0x80 | (ch & 0x3F)));
    }
}

}  // namespace netid::posix::utf
