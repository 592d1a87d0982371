// Code page conversions: MultiByteToWideChar, WideCharToMultiByte, GetACP.
// The ANSI and OEM code pages of this platform are UTF-8; no other code page
// is offered. Sizes, flags, errors and the replacement of ill-formed input are
// Windows' own for CP_UTF8.
#include <cstring>
#include <limits>

#include "platform/posix/windows.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kIllFormed = 0xFFFFFFFF;

bool IsUtf8CodePage(UINT codePage)
{
    return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP || codePage == CP_UTF8;
}

int Fail(DWORD error)
{
    SetLastError(error);
    return 0;
}

// Collects the converted units: only counts them when there is no buffer,
// else writes them while they fit. A count beyond what an int can tell is an
// overflow as well.
template <typename Unit>
class Output {
public:
    Output(Unit* buffer, int capacity) : m_buffer(buffer), m_capacity(buffer != nullptr ? capacity : 0) {}

    void Put(Unit unit)
    {
        if (m_buffer != nullptr) {
            if (m_count >= m_capacity) {
                m_overflow = true;
                return;
            }
            m_buffer[m_count] = unit;
        } else if (m_count == std::numeric_limits<int>::max()) {
            m_overflow = true;
            return;
        }
        ++m_count;
    }
    bool Overflow() const { return m_overflow; }
    int Count() const { return m_count; }

private:
    Unit* m_buffer;
    int m_capacity;
    int m_count = 0;
    bool m_overflow = false;
};

bool IsContinuation(unsigned char byte) { return byte >= 0x80 && byte <= 0xBF; }

// Decodes the character at text[pos] and moves `pos` past it. An ill-formed
// sequence gives kIllFormed and `pos` moves past its longest well-formed
// beginning (at least one byte), so that each such part becomes one
// replacement character, as Windows does.
char32_t DecodeUtf8(const unsigned char* text, size_t size, size_t& pos)
{
    unsigned char lead = text[pos++];
    if (lead < 0x80) {
        return lead;
    }
    int trail;
    unsigned char low = 0x80;   // the range of the second byte
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
        if (pos >= size) {
            return kIllFormed;
        }
        unsigned char byte = text[pos];
        bool fits = i == 0 ? (byte >= low && byte <= high) : IsContinuation(byte);
        if (!fits) {
            return kIllFormed;
        }
        value = (value << 6) | (byte & 0x3F);
        ++pos;
    }
    return value;
}

void PutUtf16(Output<WCHAR>& out, char32_t ch)
{
    if (ch < 0x10000) {
        out.Put(static_cast<WCHAR>(ch));
        return;
    }
    ch -= 0x10000;
    out.Put(static_cast<WCHAR>(0xD800 + (ch >> 10)));
    out.Put(static_cast<WCHAR>(0xDC00 + (ch & 0x3FF)));
}

void PutUtf8(Output<CHAR>& out, char32_t ch)
{
    if (ch < 0x80) {
        out.Put(static_cast<CHAR>(ch));
    } else if (ch < 0x800) {
        out.Put(static_cast<CHAR>(0xC0 | (ch >> 6)));
        out.Put(static_cast<CHAR>(0x80 | (ch & 0x3F)));
    } else if (ch < 0x10000) {
        out.Put(static_cast<CHAR>(0xE0 | (ch >> 12)));
        out.Put(static_cast<CHAR>(0x80 | ((ch >> 6) & 0x3F)));
        out.Put(static_cast<CHAR>(0x80 | (ch & 0x3F)));
    } else {
        out.Put(static_cast<CHAR>(0xF0 | (ch >> 18)));
        out.Put(static_cast<CHAR>(0x80 | ((ch >> 12) & 0x3F)));
        out.Put(static_cast<CHAR>(0x80 | ((ch >> 6) & 0x3F)));
        out.Put(static_cast<CHAR>(0x80 | (ch & 0x3F)));
    }
}

size_t WideLength(LPCWCH text)
{
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// The result of a finished conversion: the count, or the error that wins.
// A full buffer is reported before ill-formed input, as Windows does.
template <typename Unit>
int Finish(const Output<Unit>& out, bool illFormed, bool strict)
{
    if (out.Overflow()) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (illFormed && strict) {
        return Fail(ERROR_NO_UNICODE_TRANSLATION);
    }
    return out.Count();
}

}  // namespace

UINT WINAPI GetACP(void) { return CP_UTF8; }

UINT WINAPI GetOEMCP(void) { return CP_UTF8; }

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar)
{
    if (!IsUtf8CodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 || cchWideChar < 0 ||
        (lpWideCharStr == nullptr && cchWideChar != 0) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if ((dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) != 0) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    // A negative size: up to the NUL, which is converted too.
    size_t size = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const unsigned char* text = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    Output<WCHAR> out(cchWideChar != 0 ? lpWideCharStr : nullptr, cchWideChar);
    bool illFormed = false;
    for (size_t pos = 0; pos < size && !out.Overflow();) {
        char32_t ch = DecodeUtf8(text, size, pos);
        if (ch == kIllFormed) {
            illFormed = true;
            ch = kReplacement;
        }
        PutUtf16(out, ch);
    }
    return Finish(out, illFormed, (dwFlags & MB_ERR_INVALID_CHARS) != 0);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar)
{
    // UTF-8 has a form for every character: no default character to use.
    if (!IsUtf8CodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 || cbMultiByte < 0 ||
        (lpMultiByteStr == nullptr && cbMultiByte != 0) || lpDefaultChar != nullptr ||
        lpUsedDefaultChar != nullptr ||
        static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if ((dwFlags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) != 0) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    size_t size = cchWideChar < 0 ? WideLength(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    Output<CHAR> out(cbMultiByte != 0 ? lpMultiByteStr : nullptr, cbMultiByte);
    bool illFormed = false;
    for (size_t pos = 0; pos < size && !out.Overflow();) {
        char32_t ch = lpWideCharStr[pos++];
        if (ch >= 0xD800 && ch <= 0xDBFF && pos < size && lpWideCharStr[pos] >= 0xDC00 &&
            lpWideCharStr[pos] <= 0xDFFF) {
            ch = 0x10000 + ((ch - 0xD800) << 10) + (lpWideCharStr[pos++] - 0xDC00);
        } else if (ch >= 0xD800 && ch <= 0xDFFF) {
            illFormed = true;  // a surrogate without its other half
            ch = kReplacement;
        }
        PutUtf8(out, ch);
    }
    return Finish(out, illFormed, (dwFlags & WC_ERR_INVALID_CHARS) != 0);
}
