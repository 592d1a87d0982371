// SPDX-License-Identifier: LGPL-2.1-or-later
// Code page conversions: MultiByteToWideChar, WideCharToMultiByte, GetACP.
// The ANSI and OEM code pages of this platform are UTF-8; no other code page
// is offered. Sizes, flags, errors and the replacement of ill-formed input are
// Windows' own for CP_UTF8.
#include <cstring>
#include <limits>

#include "platform/posix/base/status.h"
#include "platform/posix/base/utf.h"
#include "platform/posix/windows.h"

namespace {

using netid::posix::utf::kIllFormed;
using netid::posix::utf::kReplacement;

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
    return netid::posix::ContainedOr<int>(0, [&]() -> int {
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
            char32_t ch = netid::posix::utf::DecodeUtf8(text, size, pos);
            if (ch == kIllFormed) {
                illFormed = true;
                ch = kReplacement;
            }
            netid::posix::utf::EncodeUtf16(ch, [&](char16_t unit) { out.Put(static_cast<WCHAR>(unit)); });
        }
        return Finish(out, illFormed, (dwFlags & MB_ERR_INVALID_CHARS) != 0);
    });
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar)
{
    return netid::posix::ContainedOr<int>(0, [&]() -> int {
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
            char32_t ch = netid::posix::utf::DecodeUtf16(lpWideCharStr, size, pos);
            if (ch == kIllFormed) {
                illFormed = true;  // a surrogate without its other half
                ch = kReplacement;
            }
            netid::posix::utf::EncodeUtf8(ch, [&](char byte) { out.Put(static_cast<CHAR>(byte)); });
        }
        return Finish(out, illFormed, (dwFlags & WC_ERR_INVALID_CHARS) != 0);
    });
}
