// SPDX-License-Identifier: LGPL-2.1-or-later
// Conversions of the A calls' text (see reg_text.h).
#include "platform/posix/calls/reg_text.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/posix/base/text.h"

#if defined(__SANITIZE_ADDRESS__)
#define NETID_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NETID_ASAN 1
#endif
#endif
#ifdef NETID_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace netid::posix {

std::u16string NameFromA(LPCSTR text) { return text == nullptr ? std::u16string() : Utf8ToUtf16(text); }

LONG SplitPath(LPCSTR path, std::vector<std::u16string>& names)
{
    names.clear();
    if (path == nullptr || *path == '\0') {
        return ERROR_SUCCESS;
    }
    if (*path == '\\') {
        return ERROR_BAD_PATHNAME;
    }
    std::string text(path);
    while (text.back() == '\\') {
        text.pop_back();
    }
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\\', start);
        if (end == std::string::npos) end = text.size();
        if (end == start) {
            return ERROR_BAD_PATHNAME;
        }
        names.push_back(Utf8ToUtf16(std::string_view(text).substr(start, end - start)));
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

std::string NameToA(std::u16string_view name) { return Utf16ToUtf8(name); }

bool CopyToBuffer(const std::string& text, LPSTR buffer, DWORD capacity)
{
    if (text.size() >= capacity) {
        return false;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

std::string TruncatedA(const std::string& text, std::size_t bytes)
{
    if (text.size() <= bytes) return text;
    std::size_t end = bytes;
    // Back over the continuation bytes of a character that does not fit.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

namespace {

// True when the byte at `at` (just past a caller's data) is NUL, read only
// where that is safe.
bool NulAt(const BYTE* at)
{
#ifdef NETID_ASAN
    // A byte the sanitizer holds poisoned is not the caller's: it is not read.
    if (__asan_address_is_poisoned(at) != 0) return false;
#endif
    static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    if (reinterpret_cast<std::uintptr_t>(at) % page != 0) {
        // On the page of the data's last byte, which is mapped.
        return *static_cast<const volatile BYTE*>(at) == 0;
    }
    // The first byte of the next page, which may not be mapped: the kernel
    // reads it, answering an error where there is nothing to read.
    BYTE byte = 1;
    iovec local{&byte, 1};
    iovec remote{const_cast<BYTE*>(at), 1};
    return ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0) == 1 && byte == 0;
}

}  // namespace

DWORD SizeWithTerminator(DWORD type, const BYTE* data, DWORD size)
{
    if (!IsStringType(type) || data == nullptr || size == 0 || size == 0xFFFFFFFFu || data[size - 1] == 0) {
        return size;
    }
    return NulAt(data + size) ? size + 1 : size;
}

std::vector<BYTE> DataFromA(DWORD type, const BYTE* data, DWORD size)
{
    if (size == 0) return {};
    if (!IsStringType(type)) return std::vector<BYTE>(data, data + size);
    std::u16string wide = Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
    std::vector<BYTE> out(2 * wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        out[2 * i] = static_cast<BYTE>(wide[i]);
        out[2 * i + 1] = static_cast<BYTE>(wide[i] >> 8);
    }
    return out;
}

std::vector<BYTE> DataToA(DWORD type, const std::vector<BYTE>& stored)
{
    if (!IsStringType(type)) return stored;
    // Whole units only: an odd last byte is no character.
    std::u16string wide(stored.size() / 2, u'\0');
    for (std::size_t i = 0; i < wide.size(); ++i) {
        wide[i] = static_cast<char16_t>(stored[2 * i] | (stored[2 * i + 1] << 8));
    }
    std::string narrow = Utf16ToUtf8(wide);
    return std::vector<BYTE>(narrow.begin(), narrow.end());
}

LONG DeliverData(DWORD type, const std::vector<BYTE>& data, LPBYTE buffer, DWORD capacity, LPDWORD size)
{
    if (size == nullptr) {
        return ERROR_SUCCESS;
    }
    auto needed = static_cast<DWORD>(data.size());
    if (buffer != nullptr) {
        if (capacity < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        if (needed != 0) std::memcpy(buffer, data.data(), needed);
        if (IsStringType(type) && needed != 0 && data.back() != 0 && capacity > needed) buffer[needed] = 0;
    }
    *size = needed;
    return ERROR_SUCCESS;
}

}  // namespace netid::posix
