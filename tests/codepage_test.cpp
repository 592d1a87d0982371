// SPDX-License-Identifier: LGPL-2.1-or-later
// MultiByteToWideChar and WideCharToMultiByte with UTF-8: the answers
// Windows gives, which our Linux platform layer gives for its ANSI code page.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "support/environment.h"

namespace {

typedef std::vector<WCHAR> Wide;

const DWORD kUntouched = 0xBEEF;

// "™ € Ä ä ß Ω 中 😀" and a NUL, in both forms.
const char kSampleUtf8[] =
    "\xE2\x84\xA2 \xE2\x82\xAC \xC3\x84 \xC3\xA4 \xC3\x9F \xCE\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80";
const Wide kSampleUtf16 = {0x2122, ' ', 0x20AC, ' ', 0xC4, ' ', 0xE4, ' ', 0xDF, ' ',
                           0x3A9,  ' ', 0x4E2D, ' ', 0xD83D, 0xDE00, 0};

struct Converted {
    int result = 0;
    DWORD error = kUntouched;
    Wide wide;
    std::string narrow;
};

Converted ToWide(const std::string& bytes, DWORD flags = 0, int capacity = 64, UINT codePage = CP_UTF8)
{
    Converted c;
    c.wide.assign(64, 0x7F7F);
    SetLastError(kUntouched);
    c.result = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()),
                                   capacity == 0 ? nullptr : c.wide.data(), capacity);
    c.error = GetLastError();
    c.wide.resize(c.result > 0 ? static_cast<size_t>(c.result) : 0);
    return c;
}

Converted ToNarrow(const Wide& units, DWORD flags = 0, int capacity = 64, UINT codePage = CP_UTF8)
{
    Converted c;
    c.narrow.assign(64, '#');
    SetLastError(kUntouched);
    c.result = WideCharToMultiByte(codePage, flags, units.data(), static_cast<int>(units.size()),
                                   capacity == 0 ? nullptr : &c.narrow[0], capacity, nullptr, nullptr);
    c.error = GetLastError();
    c.narrow.resize(c.result > 0 ? static_cast<size_t>(c.result) : 0);
    return c;
}

TEST(CodePage, Utf8AndUtf16RoundTripWithTheSizesWindowsReports)
{
    // Size queries, NUL-terminated (-1: the NUL is counted and converted).
    SetLastError(kUntouched);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kSampleUtf8, -1, nullptr, 0), static_cast<int>(kSampleUtf16.size()));
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kSampleUtf16.data(), -1, nullptr, 0, nullptr, nullptr),
              static_cast<int>(sizeof kSampleUtf8));
    // Any negative size means "up to the NUL".
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kSampleUtf8, -7, nullptr, 0), static_cast<int>(kSampleUtf16.size()));
    EXPECT_EQ(GetLastError(), kUntouched);

    std::string bytes(kSampleUtf8, sizeof kSampleUtf8);
    Converted wide = ToWide(bytes);
    EXPECT_EQ(wide.error, kUntouched);
    EXPECT_EQ(wide.wide, kSampleUtf16);
    Converted back = ToNarrow(kSampleUtf16);
    EXPECT_EQ(back.error, kUntouched);
    EXPECT_EQ(back.narrow, bytes);

    // A counted size converts exactly that much: embedded NULs are text, no
    // NUL is added.
    Converted inner = ToWide(std::string("a\0b", 3));
    EXPECT_EQ(inner.wide, Wide({'a', 0, 'b'}));
    EXPECT_EQ(ToNarrow({'a', 0, 0x20AC}).narrow, std::string("a\0\xE2\x82\xAC", 5));

    // The buffer that just fits, and one unit less.
    EXPECT_EQ(ToWide(bytes, 0, static_cast<int>(kSampleUtf16.size())).wide, kSampleUtf16);
    Converted shortWide = ToWide(bytes, 0, static_cast<int>(kSampleUtf16.size()) - 1);
    EXPECT_EQ(shortWide.result, 0);
    EXPECT_EQ(shortWide.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(ToNarrow(kSampleUtf16, 0, static_cast<int>(bytes.size())).narrow, bytes);
    Converted shortNarrow = ToNarrow(kSampleUtf16, 0, static_cast<int>(bytes.size()) - 1);
    EXPECT_EQ(shortNarrow.result, 0);
    EXPECT_EQ(shortNarrow.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
#ifndef _WIN32
    // Our layer never writes half a surrogate pair: a four-byte character
    // needs room for both units.
    Converted halfPair = ToWide("\xF0\x9F\x98\x80", 0, 1);
    EXPECT_EQ(halfPair.result, 0);
    EXPECT_EQ(halfPair.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
#endif
}

TEST(CodePage, IllFormedUtf8BecomesReplacementCharactersOrFailsWhenAskedTo)
{
    const WCHAR R = 0xFFFD;
    struct Case {
        std::string bytes;
        Wide wide;
        bool wineDiffers;
    };
    const Case cases[] = {
        {"\xC0", {R}, false},                              // never a lead byte
        {"\xC0\xC0\x80", {R, R, R}, false},                // each one replaced
        {"\xE0\xC0", {R, R}, true},                        // a lead without its trail
        {"\xE0\x20\xC0", {R, ' ', R}, false},
        {"\x82\xA0\x82\xA2", {R, R, R, R}, false},         // lone continuation bytes
        {"\xE6\x97", {R}, false},                          // cut short: one for the whole part
        {"a\xE6\x97" "b", {'a', R, 'b'}, false},
        {"\xE0\x80\xAF", {R, R, R}, true},                // overlong form of '/'
        {"\xED\xA0\x80", {R, R, R}, true},                // an encoded surrogate
        {"\xF4\x90\x80\x80", {R, R, R, R}, true},         // beyond U+10FFFF
        {"\xF8\xA3\xA3\xA3\xA3", {R, R, R, R, R}, false},  // five-byte forms are not UTF-8
        {"\xEF\xBF\xBD", {R}, false},                      // U+FFFD itself is well-formed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        Converted lenient = ToWide(c.bytes);
        EXPECT_EQ(lenient.error, kUntouched);
        if (c.wineDiffers && RunningUnderWine()) {
            // Wine deviation: Wine 8 replaces these with fewer replacement
            // characters than Windows, which replaces each ill-formed part.
            EXPECT_FALSE(lenient.wide.empty());
            EXPECT_EQ(lenient.wide, Wide(lenient.wide.size(), R));
        } else {
            EXPECT_EQ(lenient.wide, c.wide);
            EXPECT_EQ(ToWide(c.bytes, 0, 0).result, static_cast<int>(c.wide.size()));
        }

        bool wellFormed = c.bytes == "\xEF\xBF\xBD";
        Converted strict = ToWide(c.bytes, MB_ERR_INVALID_CHARS);
        EXPECT_EQ(strict.result, wellFormed ? 1 : 0);
        EXPECT_EQ(strict.error, wellFormed ? kUntouched : static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
        Converted strictSize = ToWide(c.bytes, MB_ERR_INVALID_CHARS, 0);
        EXPECT_EQ(strictSize.error, wellFormed ? kUntouched : static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    }
    // A buffer too small is what Windows reports first.
    Converted both = ToWide(std::string("\xC0\0", 2), MB_ERR_INVALID_CHARS, 1);
    EXPECT_EQ(both.result, 0);
    EXPECT_EQ(both.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(CodePage, LoneSurrogatesBecomeReplacementCharactersOrFailWhenAskedTo)
{
    const std::string R = "\xEF\xBF\xBD";
    struct Case {
        Wide wide;
        std::string bytes;
    };
    const Case cases[] = {
        {{0xD800}, R},
        {{'a', 0xDC00, 'b'}, "a" + R + "b"},
        {{0xDE00, 0xD83D}, R + R},  // the halves the wrong way round
        {{0xD83D, 'x'}, R + "x"},
        {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        Converted lenient = ToNarrow(c.wide);
        EXPECT_EQ(lenient.narrow, c.bytes);
        EXPECT_EQ(lenient.error, kUntouched);
        bool wellFormed = c.wide.size() == 2 && c.wide[0] == 0xD83D && c.wide[1] == 0xDE00;
        Converted strict = ToNarrow(c.wide, WC_ERR_INVALID_CHARS);
        EXPECT_EQ(strict.result, wellFormed ? 4 : 0);
        EXPECT_EQ(strict.error, wellFormed ? kUntouched : static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    }
}

TEST(CodePage, RefusesBadParametersAndFlags)
{
    char narrow[8] = "abc";
    WCHAR wide[8] = {'a', 'b', 'c', 0};
    BOOL used = FALSE;
    struct Case {
        const char* what;
        std::function<int()> call;
        DWORD error;
        bool wineAccepts = false;
    };
    const Case cases[] = {
        {"empty source", [&] { return MultiByteToWideChar(CP_UTF8, 0, narrow, 0, wide, 8); }, ERROR_INVALID_PARAMETER},
        {"no source", [&] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, wide, 8); }, ERROR_INVALID_PARAMETER},
        {"no buffer, size given", [&] { return MultiByteToWideChar(CP_UTF8, 0, narrow, -1, nullptr, 8); },
         ERROR_INVALID_PARAMETER},
        {"same buffer",
         [&] { return MultiByteToWideChar(CP_UTF8, 0, narrow, 1, reinterpret_cast<LPWSTR>(narrow), 4); },
         ERROR_INVALID_PARAMETER, true},
        {"precomposed", [&] { return MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, narrow, -1, wide, 8); },
         ERROR_INVALID_FLAGS, true},
        {"wide empty", [&] { return WideCharToMultiByte(CP_UTF8, 0, wide, 0, narrow, 8, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"wide no source", [&] { return WideCharToMultiByte(CP_UTF8, 0, nullptr, -1, narrow, 8, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"wide no buffer", [&] { return WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 8, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"default char", [&] { return WideCharToMultiByte(CP_UTF8, 0, wide, -1, narrow, 8, "?", nullptr); },
         ERROR_INVALID_PARAMETER, true},
        {"used default", [&] { return WideCharToMultiByte(CP_UTF8, 0, wide, -1, narrow, 8, nullptr, &used); },
         ERROR_INVALID_PARAMETER, true},
        {"wide flags", [&] { return WideCharToMultiByte(CP_UTF8, 0x400, wide, -1, narrow, 8, nullptr, nullptr); },
         ERROR_INVALID_FLAGS, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.wineAccepts && RunningUnderWine()) {
            continue;  // Wine deviation: Wine converts where Windows refuses these parameters
        }
        SetLastError(kUntouched);
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

TEST(CodePage, TheAnsiCodePageConvertsAsItsNumberSays)
{
    // On Linux the ANSI code page is UTF-8; on Windows it is the system's.
#ifdef _WIN32
    UINT acp = GetACP();
    EXPECT_NE(acp, 0u);
#else
    EXPECT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
    EXPECT_EQ(ToWide("\xE2\x82\xAC", 0, 64, CP_ACP).wide, Wide({0x20AC}));
    EXPECT_EQ(ToNarrow({0x20AC}, 0, 64, CP_ACP).narrow, "\xE2\x82\xAC");
#endif
    // ASCII is the same in every ANSI code page.
    EXPECT_EQ(ToWide("Software", 0, 64, CP_ACP).wide, Wide({'S', 'o', 'f', 't', 'w', 'a', 'r', 'e'}));
}

}  // namespace
