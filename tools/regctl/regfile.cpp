// SPDX-License-Identifier: LGPL-2.1-or-later
#include "tools/regctl/regfile.h"

#include <cstdio>

#include "tools/regctl/text.h"

namespace regctl {

const char* const kRegFileHeader = "Windows Registry Editor Version 5.00";

namespace {

const char* const kRegedit4Header = "REGEDIT4";
const char* const kLineEnd = "\r\n";
// After a comma, a hex line that has reached this column is continued, so
// that no line, its backslash included, is longer than 80 characters.
const size_t kHexWrapColumn = 77;

bool IsBlank(char ch) { return ch == ' ' || ch == '\t'; }

std::string TrimLeft(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    return text.substr(i);
}

std::string TrimRight(const std::string& text)
{
    size_t n = text.size();
    while (n > 0 && (IsBlank(text[n - 1]) || text[n - 1] == '\r')) --n;
    return text.substr(0, n);
}

std::string LineError(int line, const std::string& message)
{
    return "Line " + std::to_string(line) + ": " + message;
}

int HexValue(char ch)
{
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

bool StartsWithNoCase(const std::string& text, size_t pos, const std::string& prefix)
{
    return text.size() - pos >= prefix.size() &&
           EqualsNoCase(text.substr(pos, prefix.size()), prefix);
}

// Reads a quoted text starting at text[pos] == '"'; pos ends after the
// closing quote. Escapes: \\ \" \n \r; any other backslash is kept.
bool ParseQuoted(const std::string& text, size_t& pos, std::string& out)
{
    out.clear();
    ++pos;
    while (pos < text.size()) {
        char ch = text[pos];
        if (ch == '"') {
            ++pos;
            return true;
        }
        if (ch == '\\' && pos + 1 < text.size()) {
            char next = text[pos + 1];
            if (next == '\\' || next == '"') {
                out += next;
                pos += 2;
                continue;
            }
            if (next == 'n' || next == 'r') {
                out += next == 'n' ? '\n' : '\r';
                pos += 2;
                continue;
            }
        }
        out += ch;
        ++pos;
    }
    return false;
}

std::string Quote(const std::string& text)
{
    std::string out = "\"";
    for (char ch : text) {
        switch (ch) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += ch; break;
        }
    }
    return out + "\"";
}

// Comma-separated pairs of hex digits; blanks around them and one comma at
// the end are allowed.
bool ParseHexList(const std::string& text, Bytes& data)
{
    data.clear();
    std::string rest = TrimRight(TrimLeft(text));
    if (rest.empty()) {
        return true;
    }
    size_t pos = 0;
    while (true) {
        size_t comma = rest.find(',', pos);
        std::string item = TrimRight(TrimLeft(rest.substr(pos, comma == std::string::npos ? comma : comma - pos)));
        if (item.empty() && comma == std::string::npos && !data.empty()) {
            return true;  // the comma before was the last thing on the line
        }
        if (item.empty() || item.size() > 2) {
            return false;
        }
        int value = 0;
        for (char ch : item) {
            int digit = HexValue(ch);
            if (digit < 0) {
                return false;
            }
            value = value * 16 + digit;
        }
        data.push_back(static_cast<BYTE>(value));
        if (comma == std::string::npos) {
            return true;
        }
        pos = comma + 1;
    }
}

bool IsTextType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// The file's UTF-8 in the ANSI code page; false when a character has no
// form there.
bool Utf8ToAnsi(const std::string& text, std::string& out)
{
    WideText wide;
    return Utf8ToWide(text, wide) && WideToAnsi(wide, out);
}

std::string AnsiToUtf8(const std::string& text)
{
    std::string out;
    WideToUtf8(AnsiToWide(text), out);  // never fails: no lone surrogates come from the ANSI side
    return out;
}

const char* const kNotInCodePage = "holds a character this system's code page cannot represent";

// A text value that a quoted string carries exactly: one NUL, at the end,
// and no line break.
bool IsPlainString(const Bytes& data)
{
    if (data.empty() || data.back() != 0) {
        return false;
    }
    for (size_t i = 0; i + 1 < data.size(); ++i) {
        if (data[i] == 0 || data[i] == '\n' || data[i] == '\r') {
            return false;
        }
    }
    return true;
}

struct ValueData {
    bool remove = false;
    DWORD type = REG_NONE;
    Bytes data;
};

// The text after '=' of a value line. `unicode` says whether hex texts are
// UTF-16LE (version 5 files) or 8-bit (REGEDIT4).
bool ParseData(const std::string& text, bool unicode, ValueData& value, std::string& error)
{
    std::string data = TrimRight(TrimLeft(text));
    if (data == "-") {
        value.remove = true;
        return true;
    }
    if (!data.empty() && data[0] == '"') {
        size_t pos = 0;
        std::string str;
        if (!ParseQuoted(data, pos, str)) {
            error = "the string has no closing quote";
            return false;
        }
        if (!TrimLeft(data.substr(pos)).empty()) {
            error = "unexpected text after the string";
            return false;
        }
        std::string ansi;
        if (!Utf8ToAnsi(str, ansi)) {
            error = std::string("the string ") + kNotInCodePage;
            return false;
        }
        value.type = REG_SZ;
        value.data.assign(ansi.begin(), ansi.end());
        value.data.push_back(0);
        return true;
    }
    if (StartsWithNoCase(data, 0, "dword:")) {
        std::string digits = data.substr(6);
        if (digits.empty() || digits.size() > 8) {
            error = "dword: needs one to eight hex digits";
            return false;
        }
        unsigned long number = 0;
        for (char ch : digits) {
            int digit = HexValue(ch);
            if (digit < 0) {
                error = "dword: needs one to eight hex digits";
                return false;
            }
            number = number * 16 + static_cast<unsigned long>(digit);
        }
        value.type = REG_DWORD;
        value.data.clear();
        for (int i = 0; i < 4; ++i) {
            value.data.push_back(static_cast<BYTE>(number >> (8 * i)));
        }
        return true;
    }
    if (StartsWithNoCase(data, 0, "hex")) {
        size_t pos = 3;
        DWORD type = REG_BINARY;
        if (pos < data.size() && data[pos] == '(') {
            size_t close = data.find(')', pos);
            if (close == std::string::npos || close == pos + 1 || close - pos - 1 > 8) {
                error = "malformed hex(type)";
                return false;
            }
            unsigned long number = 0;
            for (size_t i = pos + 1; i < close; ++i) {
                int digit = HexValue(data[i]);
                if (digit < 0) {
                    error = "malformed hex(type)";
                    return false;
                }
                number = number * 16 + static_cast<unsigned long>(digit);
            }
            type = static_cast<DWORD>(number);
            pos = close + 1;
        }
        if (pos >= data.size() || data[pos] != ':') {
            error = "expected ':' after hex";
            return false;
        }
        Bytes bytes;
        if (!ParseHexList(data.substr(pos + 1), bytes)) {
            error = "malformed hex data";
            return false;
        }
        if (unicode && IsTextType(type)) {
            std::string ansi;
            if (bytes.size() % 2 != 0) {
                error = "the text of this value is not UTF-16: it has an odd number of bytes";
                return false;
            }
            if (!WideToAnsi(WideFromBytes(bytes), ansi)) {
                error = std::string("the text of this value ") + kNotInCodePage;
                return false;
            }
            bytes.assign(ansi.begin(), ansi.end());
        }
        value.type = type;
        value.data.swap(bytes);
        return true;
    }
    error = "unrecognised value data";
    return false;
}

}  // namespace

bool DecodeRegFile(const std::string& raw, std::string& text, std::string& error)
{
    if (raw.size() >= 2 && static_cast<BYTE>(raw[0]) == 0xFF && static_cast<BYTE>(raw[1]) == 0xFE) {
        if (raw.size() % 2 != 0) {
            error = "The file is UTF-16 but has an odd number of bytes.";
            return false;
        }
        if (!WideToUtf8(WideFromBytes(Bytes(raw.begin() + 2, raw.end())), text)) {
            error = "The file is UTF-16 but holds a surrogate without its other half.";
            return false;
        }
        return true;
    }
    std::string bytes = raw;
    if (bytes.size() >= 3 && static_cast<BYTE>(bytes[0]) == 0xEF && static_cast<BYTE>(bytes[1]) == 0xBB &&
        static_cast<BYTE>(bytes[2]) == 0xBF) {
        bytes = bytes.substr(3);
    }
    WideText wide;
    if (Utf8ToWide(bytes, wide)) {
        text = bytes;
        return true;
    }
    // 8-bit text of another kind: one character per byte.
    wide.clear();
    for (char ch : bytes) {
        wide += static_cast<WCHAR>(static_cast<unsigned char>(ch));
    }
    WideToUtf8(wide, text);
    return true;
}

bool EncodeRegFile(const std::string& text, std::string& raw)
{
    WideText wide;
    if (!Utf8ToWide(text, wide)) {
        return false;
    }
    Bytes bytes = WideToBytes(wide);
    raw = "\xFF\xFE";
    raw.append(bytes.begin(), bytes.end());
    return true;
}

bool ParseRegFile(const std::string& text, std::vector<RegFileOp>& ops, std::string& error)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }

    std::vector<RegFileOp> result;
    size_t index = 0;
    // The header: the first line that is not blank.
    while (index < lines.size() && TrimRight(TrimLeft(lines[index])).empty()) ++index;
    if (index == lines.size()) {
        error = "The file is empty; it is not a registry script.";
        return false;
    }
    std::string header = TrimRight(TrimLeft(lines[index]));
    bool unicode;
    if (header == kRegFileHeader) {
        unicode = true;
    } else if (header == kRegedit4Header) {
        unicode = false;
    } else {
        error = "The file is not a registry script: the first line must be \"" +
                std::string(kRegFileHeader) + "\" or \"" + kRegedit4Header + "\".";
        return false;
    }
    ++index;

    enum { kNoKey, kKey, kDeletedKey } state = kNoKey;
    KeyName current;
    for (; index < lines.size(); ++index) {
        int lineNumber = static_cast<int>(index) + 1;
        std::string line = TrimRight(TrimLeft(lines[index]));
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            size_t close = line.rfind(']');
            if (close == std::string::npos) {
                error = LineError(lineNumber, "the key name has no closing ']'");
                return false;
            }
            std::string name = line.substr(1, close - 1);
            bool remove = !name.empty() && name[0] == '-';
            if (remove) {
                name = name.substr(1);
            }
            KeyName key;
            std::string ansiName;
            if (!Utf8ToAnsi(name, ansiName)) {
                error = LineError(lineNumber, std::string("the key name ") + kNotInCodePage);
                return false;
            }
            name = ansiName;
            if (!ParseKeyName(name, false, key)) {
                error = LineError(lineNumber, "invalid key name \"" + name + "\"");
                return false;
            }
            if (remove && key.path.empty()) {
                error = LineError(lineNumber, "a root key cannot be deleted");
                return false;
            }
            RegFileOp op;
            op.kind = remove ? RegFileOp::kDeleteKey : RegFileOp::kCreateKey;
            op.key = key;
            op.line = lineNumber;
            result.push_back(op);
            current = key;
            state = remove ? kDeletedKey : kKey;
            continue;
        }

        // A value: @=data or "name"=data.
        std::string name;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (line[0] == '"') {
            if (!ParseQuoted(line, pos, name)) {
                error = LineError(lineNumber, "the value name has no closing quote");
                return false;
            }
        } else {
            error = LineError(lineNumber, "expected a [key], a \"name\"= or @= line");
            return false;
        }
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        if (pos >= line.size() || line[pos] != '=') {
            error = LineError(lineNumber, "expected '=' after the value name");
            return false;
        }
        std::string data = TrimLeft(line.substr(pos + 1));
        if (StartsWithNoCase(data, 0, "hex")) {
            // Hex data go on over lines that end in a backslash.
            while (!data.empty() && data.back() == '\\' && index + 1 < lines.size()) {
                data.pop_back();
                ++index;
                data += TrimRight(TrimLeft(lines[index]));
            }
        }
        ValueData value;
        std::string why;
        if (!ParseData(data, unicode, value, why)) {
            error = LineError(lineNumber, why);
            return false;
        }
        if (state == kNoKey) {
            error = LineError(lineNumber, "a value before the first [key]");
            return false;
        }
        if (state == kDeletedKey) {
            continue;  // values of a key being deleted are ignored
        }
        RegFileOp op;
        op.kind = value.remove ? RegFileOp::kDeleteValue : RegFileOp::kSetValue;
        op.key = current;
        if (!Utf8ToAnsi(name, op.valueName)) {
            error = LineError(lineNumber, std::string("the value name ") + kNotInCodePage);
            return false;
        }
        op.type = value.type;
        op.data.swap(value.data);
        op.line = lineNumber;
        result.push_back(op);
    }
    ops.swap(result);
    return true;
}

std::string FormatRegFileKey(const std::string& fullName) { return "[" + AnsiToUtf8(fullName) + "]" + kLineEnd; }

std::string FormatRegFileValue(const std::string& name, DWORD type, const Bytes& data)
{
    std::string line = (name.empty() ? std::string("@") : Quote(AnsiToUtf8(name))) + "=";
    if (type == REG_SZ && IsPlainString(data)) {
        return line + Quote(AnsiToUtf8(std::string(data.begin(), data.end() - 1))) + kLineEnd;
    }
    if (type == REG_DWORD && data.size() == 4) {
        char buffer[16];
        unsigned long value = data[0] | (static_cast<unsigned long>(data[1]) << 8) |
                              (static_cast<unsigned long>(data[2]) << 16) |
                              (static_cast<unsigned long>(data[3]) << 24);
        std::snprintf(buffer, sizeof buffer, "dword:%08lx", value);
        return line + buffer + kLineEnd;
    }
    if (type == REG_BINARY) {
        line += "hex:";
    } else {
        char buffer[24];
        std::snprintf(buffer, sizeof buffer, "hex(%x):", static_cast<unsigned>(type));
        line += buffer;
    }
    const Bytes bytes = IsTextType(type) ? WideToBytes(AnsiToWide(std::string(data.begin(), data.end()))) : data;
    std::string out;
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < bytes.size(); ++i) {
        line += kDigits[bytes[i] >> 4];
        line += kDigits[bytes[i] & 0x0F];
        if (i + 1 == bytes.size()) {
            break;
        }
        line += ',';
        if (line.size() >= kHexWrapColumn) {
            out += line + "\\" + kLineEnd;
            line = "  ";
        }
    }
    return out + line + kLineEnd;
}

}  // namespace regctl
