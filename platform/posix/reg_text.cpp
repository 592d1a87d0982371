// Conversions of the A calls' text (see reg_text.h).
#include "platform/posix/reg_text.h"

#include <cstring>

#include "platform/posix/text.h"

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
    if (text.back() == '\\') {
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

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

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

}  // namespace netid::posix
