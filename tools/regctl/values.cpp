// SPDX-License-Identifier: LGPL-2.1-or-later
#include "tools/regctl/values.h"

#include <cstdio>

#include "tools/regctl/text.h"

namespace regctl {

const char* const kDefaultListSeparator = "\\0";
// reg's own text for data that is not a number of the type.
const char* const kBadNumber = "Invalid syntax. Specify valid numeric value for '/d'.";

namespace {

struct TypeEntry {
    DWORD type;
    const char* name;
};

// Names printed by query, one per type.
const TypeEntry kTypeNames[] = {
    {REG_NONE, "REG_NONE"},
    {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},
    {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_RESOURCE_LIST, "REG_RESOURCE_LIST"},
    {REG_FULL_RESOURCE_DESCRIPTOR, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {REG_RESOURCE_REQUIREMENTS_LIST, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {REG_QWORD, "REG_QWORD"},
};

// Names add accepts.
const TypeEntry kAddTypes[] = {
    {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_DWORD, "REG_DWORD"},
    {REG_DWORD_LITTLE_ENDIAN, "REG_DWORD_LITTLE_ENDIAN"},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_QWORD, "REG_QWORD"},
    {REG_QWORD_LITTLE_ENDIAN, "REG_QWORD_LITTLE_ENDIAN"},
    {REG_BINARY, "REG_BINARY"},
    {REG_NONE, "REG_NONE"},
};

int HexValue(char ch)
{
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// Decimal, or hexadecimal after 0x, no sign, no blanks, at most `max`.
bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long& value)
{
    if (text.empty()) {
        return false;
    }
    unsigned long long result = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        for (size_t i = 2; i < text.size(); ++i) {
            int digit = HexValue(text[i]);
            if (digit < 0 || result > (max >> 4)) {
                return false;
            }
            result = (result << 4) | static_cast<unsigned long long>(digit);
        }
    } else {
        for (char ch : text) {
            if (ch < '0' || ch > '9') {
                return false;
            }
            unsigned long long digit = static_cast<unsigned long long>(ch - '0');
            if (result > (max - digit) / 10) {
                return false;
            }
            result = result * 10 + digit;
        }
    }
    value = result;
    return true;
}

// A number as ParseNumber reads it, or a minus sign and a decimal number up
// to 9223372036854775808, stored as its two's complement (as reg stores -1).
bool ParseSignedNumber(const std::string& text, unsigned long long& value)
{
    if (text.empty() || text[0] != '-') {
        return ParseNumber(text, ~0ull, value);
    }
    std::string digits = text.substr(1);
    unsigned long long magnitude = 0;
    if (digits.empty() || digits[0] < '0' || digits[0] > '9' ||
        (digits.size() > 1 && (digits[1] == 'x' || digits[1] == 'X')) ||
        !ParseNumber(digits, 0x8000000000000000ull, magnitude)) {
        return false;
    }
    value = ~magnitude + 1;
    return true;
}

// The text in the ANSI code page as UTF-16; false when it is not valid there.
bool ToWideStrict(const std::string& text, WideText& wide)
{
    wide = AnsiToWide(text);
    std::string back;
    return WideToAnsi(wide, back) && back == text;
}

void AppendLittleEndian(Bytes& data, unsigned long long value, int count)
{
    for (int i = 0; i < count; ++i) {
        data.push_back(static_cast<BYTE>(value >> (8 * i)));
    }
}

void AppendText(Bytes& data, const std::string& text)
{
    data.insert(data.end(), text.begin(), text.end());
    data.push_back(0);
}

// The text before the first NUL, or all the data when there is none.
std::string TextUpToNul(const Bytes& data, size_t from = 0)
{
    std::string text;
    for (size_t i = from; i < data.size() && data[i] != 0; ++i) {
        text += static_cast<char>(data[i]);
    }
    return text;
}

unsigned long long ReadLittleEndian(const Bytes& data)
{
    unsigned long long value = 0;
    for (size_t i = data.size(); i > 0; --i) {
        value = (value << 8) | data[i - 1];
    }
    return value;
}

std::string HexNumber(unsigned long long value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%llx", value);
    return buffer;
}

}  // namespace

std::string TypeName(DWORD type)
{
    for (const TypeEntry& entry : kTypeNames) {
        if (entry.type == type) {
            return entry.name;
        }
    }
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "REG_UNKNOWN(0x%x)", static_cast<unsigned>(type));
    return buffer;
}

bool ParseTypeName(const std::string& name, DWORD& type)
{
    for (const TypeEntry& entry : kAddTypes) {
        if (EqualsNoCase(name, entry.name)) {
            type = entry.type;
            return true;
        }
    }
    return false;
}

bool ParseValueData(DWORD type, bool hasData, const std::string& text, const std::string& separator,
                    Bytes& data, std::string& error)
{
    Bytes result;
    unsigned long long number = 0;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        AppendText(result, text);
        break;
    case REG_NONE: {
        // reg keeps the text as UTF-16 with its NUL, whatever the type says.
        WideText wide;
        if (!text.empty() && !ToWideStrict(text, wide)) {
            error = "Invalid data for REG_NONE: the text is not valid in this system's code page.";
            return false;
        }
        result = WideToBytes(wide);
        result.push_back(0);
        result.push_back(0);
        break;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
        if (!hasData || !ParseNumber(text, 0xFFFFFFFFull, number)) {
            error = kBadNumber;
            return false;
        }
        // reg stores the big-endian type little-endian as well.
        AppendLittleEndian(result, number, 4);
        break;
    case REG_QWORD:
        if (hasData && !ParseSignedNumber(text, number)) {
            error = kBadNumber;
            return false;
        }
        AppendLittleEndian(result, number, 8);
        break;
    case REG_BINARY: {
        // An odd count of digits: the first byte is the first digit alone.
        std::string digits = text.size() % 2 != 0 ? "0" + text : text;
        for (size_t i = 0; i < digits.size(); i += 2) {
            int high = HexValue(digits[i]);
            int low = HexValue(digits[i + 1]);
            if (high < 0 || low < 0) {
                error = "Invalid data for REG_BINARY: \"" + text + "\". Give hex digits, two for each byte.";
                return false;
            }
            result.push_back(static_cast<BYTE>(high * 16 + low));
        }
        break;
    }
    case REG_MULTI_SZ: {
        // The separator alone is the empty list. Otherwise one separator may
        // end the list ("a\0b\0"); an empty element anywhere else is refused:
        // readers stop at the first empty text, so everything after it would
        // be lost silently.
        if (text == separator) {
            result.push_back(0);
            result.push_back(0);
            break;
        }
        std::vector<std::string> items;
        size_t start = 0;
        while (start < text.size()) {
            size_t next = separator.empty() ? std::string::npos : text.find(separator, start);
            items.push_back(text.substr(start, next == std::string::npos ? next : next - start));
            if (next == std::string::npos) {
                break;
            }
            start = next + separator.size();
            if (start == text.size()) {
                break;  // the one separator at the end
            }
        }
        for (const std::string& item : items) {
            if (item.empty()) {
                error = "Invalid data for REG_MULTI_SZ: \"" + text + "\". An element of the list is empty.";
                return false;
            }
            AppendText(result, item);
        }
        result.push_back(0);
        break;
    }
    default:
        error = "Values of type " + TypeName(type) + " cannot be added.";
        return false;
    }
    data.swap(result);
    return true;
}

std::string HexDigits(const Bytes& data, bool upper)
{
    static const char kUpper[] = "0123456789ABCDEF";
    static const char kLower[] = "0123456789abcdef";
    const char* digits = upper ? kUpper : kLower;
    std::string text;
    text.reserve(data.size() * 2);
    for (BYTE b : data) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

std::string FormatValueData(DWORD type, const Bytes& data, const std::string& separator)
{
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return TextUpToNul(data);
    case REG_MULTI_SZ: {
        std::string text;
        size_t pos = 0;
        bool first = true;
        while (pos < data.size() && data[pos] != 0) {
            std::string item = TextUpToNul(data, pos);
            if (!first) {
                text += separator;
            }
            text += item;
            first = false;
            pos += item.size() + 1;
        }
        return text;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
        if (data.size() == 4) {
            return HexNumber(ReadLittleEndian(data));
        }
        break;
    case REG_QWORD:
        if (data.size() == 8) {
            return HexNumber(ReadLittleEndian(data));
        }
        break;
    default:
        break;
    }
    // Binary data, and numbers whose size does not fit their type.
    return HexDigits(data, true);
}

std::string FormatValueLine(const std::string& name, DWORD type, const Bytes& data,
                            const std::string& separator)
{
    return "    " + (name.empty() ? std::string("(Default)") : name) + "    " + TypeName(type) +
           "    " + FormatValueData(type, data, separator);
}

}  // namespace regctl
