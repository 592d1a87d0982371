// SPDX-License-Identifier: LGPL-2.1-or-later
// regctl: its parsing and formatting parts directly, and the program itself
// run as a process against the registry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "support/environment.h"
#include "support/scratch_key.h"
#include "tools/regctl/args.h"
#include "tools/regctl/keyname.h"
#include "tools/regctl/regfile.h"
#include "tools/regctl/text.h"
#include "tools/regctl/values.h"

using regctl::Bytes;

namespace {

Bytes B(std::initializer_list<int> bytes)
{
    Bytes out;
    for (int b : bytes) out.push_back(static_cast<BYTE>(b));
    return out;
}

Bytes Text(const std::string& text, bool withNul = true)
{
    Bytes out(text.begin(), text.end());
    if (withNul) out.push_back(0);
    return out;
}

// UTF-16 text in the platform's ANSI code page, as the A calls give it
// (UTF-8 on Linux, the system's code page on Windows).
std::string Ansi(const regctl::WideText& text)
{
    std::string out;
    EXPECT_TRUE(regctl::WideToAnsi(text, out));
    return out;
}

// "é", "€", "Ä" and "ä": characters every ANSI code page of our platforms holds.
const regctl::WideText kEAcute(1, static_cast<WCHAR>(0xE9));
const regctl::WideText kEuro(1, static_cast<WCHAR>(0x20AC));
const regctl::WideText kAUmlaut(1, static_cast<WCHAR>(0xC4));
const regctl::WideText kSmallAUmlaut(1, static_cast<WCHAR>(0xE4));

// ------------------------------------------------------------------ key names

TEST(RegctlKeyName, ParsesRootsPathsAndRemoteForms)
{
    struct Case {
        const char* text;
        bool remote;
        bool ok;
        const char* computer;
        HKEY root;
        const char* path;
        const char* full;
    };
    const Case cases[] = {
        {"HKLM\\Software\\A", false, true, "", HKEY_LOCAL_MACHINE, "Software\\A", "HKEY_LOCAL_MACHINE\\Software\\A"},
        {"hkey_current_user\\x", false, true, "", HKEY_CURRENT_USER, "x", "HKEY_CURRENT_USER\\x"},
        {"HKCR", false, true, "", HKEY_CLASSES_ROOT, "", "HKEY_CLASSES_ROOT"},
        {"HKU\\S-1\\", false, true, "", HKEY_USERS, "S-1", "HKEY_USERS\\S-1"},
        {"hkcc\\a b", false, true, "", HKEY_CURRENT_CONFIG, "a b", "HKEY_CURRENT_CONFIG\\a b"},
        {"\\\\box\\HKLM\\S", true, true, "box", HKEY_LOCAL_MACHINE, "S", "\\\\box\\HKEY_LOCAL_MACHINE\\S"},
        {"\\\\box\\HKLM\\S", false, false, "", nullptr, "", ""},
        {"\\\\\\HKLM", true, false, "", nullptr, "", ""},
        {"HKXX\\a", false, false, "", nullptr, "", ""},
        {"HKLMX", false, false, "", nullptr, "", ""},
        {"HKLM\\\\a", false, false, "", nullptr, "", ""},
        {"HKLM\\a\\\\b", false, false, "", nullptr, "", ""},
        {"HKLM\\a\\\\", false, false, "", nullptr, "", ""},
        {"HKCU\\", false, false, "", nullptr, "", ""},  // a root with a backslash: reg refuses it
        {"HKEY_CURRENT_USER\\", false, false, "", nullptr, "", ""},
        {"", false, false, "", nullptr, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        regctl::KeyName key;
        ASSERT_EQ(regctl::ParseKeyName(c.text, c.remote, key), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(key.computer, c.computer);
        EXPECT_EQ(key.root, c.root);
        EXPECT_EQ(key.path, c.path);
        EXPECT_EQ(key.FullName(), c.full);
    }
}

// ------------------------------------------------------------------ command line

TEST(RegctlArgs, AcceptsAndRefusesCommandLines)
{
    struct Case {
        std::vector<std::string> args;
        bool ok;
        const char* firstError;  // for failures
    };
    const Case cases[] = {
        {{"add", "HKCU\\a", "/v", "x", "/t", "REG_DWORD", "/d", "5", "/f"}, true, ""},
        {{"ADD", "HKCU\\a", "-V", "x", "-D", "-5"}, true, ""},
        {{"add", "HKCU\\a", "/ve", "/d", "x"}, true, ""},
        {{"add", "HKCU\\a", "/v", "x", "/ve"}, false, "ERROR: Invalid syntax."},
        {{"add", "HKCU\\a", "/v", "x", "/v", "y"}, false, "ERROR: Invalid syntax."},
        {{"add", "HKCU\\a", "/v"}, false, "ERROR: Invalid syntax."},
        {{"add", "HKCU\\a", "/s", "ab", "/t", "REG_MULTI_SZ"}, false, "ERROR: Invalid syntax."},
        {{"add", "HKCU\\a", "/y"}, false, "ERROR: Invalid syntax."},
        {{"add", "HKXX\\a"}, false, "ERROR: Invalid key name."},
        {{"add", "\\\\box\\HKCU\\a"}, false, "ERROR: Invalid key name."},
        {{"add", "\\\\box\\HKLM\\a"}, true, ""},
        {{"query", "HKLM\\a", "/s", "/se", "#"}, true, ""},
        {{"query", "HKLM\\a", "extra"}, false, "ERROR: Invalid syntax."},
        {{"delete", "HKLM\\a", "/va", "/f"}, true, ""},
        {{"delete", "HKLM\\a", "/va", "/ve"}, false, "ERROR: Invalid syntax."},
        {{"save", "HKLM\\a", "/tmp/file.hiv", "/y"}, true, ""},
        {{"save", "HKLM\\a"}, false, "ERROR: Invalid syntax."},
        {{"save", "\\\\box\\HKLM\\a", "f"}, true, ""},
        {{"save", "\\\\box\\HKCU\\a", "f"}, false, "ERROR: Invalid key name."},
        {{"restore", "\\\\box\\HKLM\\a", "f"}, false, "ERROR: Invalid key name."},
        {{"export", "\\\\box\\HKLM\\a", "f"}, false, "ERROR: Invalid key name."},
        {{"load", "HKCU\\a", "f"}, false, "ERROR: Invalid key name."},
        {{"load", "HKLM", "f"}, false, "ERROR: Invalid key name."},
        {{"unload", "HKU\\a"}, true, ""},
        {{"import", "/tmp/x.reg"}, true, ""},
        {{"import"}, false, "ERROR: Invalid syntax."},
        {{"export", "HKCU\\a", "-file.reg"}, true, ""},
        {{"frobnicate"}, false, "ERROR: Invalid syntax."},
        {{}, false, "ERROR: Invalid syntax."},
        {{"/?"}, true, ""},
        {{"delete", "/?"}, true, ""},
        {{"--help"}, true, ""},
        {{"--version"}, true, ""},
        {{"--version", "x"}, false, "ERROR: Invalid syntax."},
        {{"query", "--help"}, true, ""},
        {{"add", "/v", "x", "HKCU\\a"}, false, "ERROR: Invalid syntax."},  // the key comes first
        {{"query", "HKCU\\a", "/reg:32"}, true, ""},
        {{"add", "HKCU\\a", "/reg:64", "/f"}, true, ""},
        {{"query", "HKCU\\a", "/reg:32", "/reg:64"}, false, "ERROR: Invalid syntax."},
        {{"query", "HKCU\\a", "/reg:32", "/reg:32"}, false, "ERROR: Invalid syntax."},
        {{"query", "HKCU\\a", "/v"}, false, "ERROR: Invalid syntax."},
        {{"query", "HKCU\\a", "/f", "x", "/k", "/v", "/d", "/c", "/e"}, true, ""},
        {{"query", "HKCU\\a", "/f", "x", "/v", "/s"}, true, ""},
        {{"query", "HKCU\\a", "/f"}, false, "ERROR: Invalid syntax."},
        {{"query", "HKCU\\a", "/k"}, false, "ERROR: Invalid syntax."},
        {{"query", "HKCU\\a", "/f", "x", "/ve"}, false, "ERROR: Invalid syntax."},
        {{"copy", "HKCU\\a", "HKCU\\b", "/s", "/f"}, true, ""},
        {{"copy", "HKCU\\a", "/f", "HKCU\\b"}, false, "ERROR: Invalid syntax."},
        {{"copy", "HKCU\\a", "HKCU\\"}, false, "ERROR: Invalid key name."},
        {{"copy", "HKCU\\a"}, false, "ERROR: Invalid syntax."},
        {{"compare", "HKCU\\a", "HKCU\\b", "/oa", "/s"}, true, ""},
        {{"compare", "HKCU\\a", "HKCU\\b", "/oa", "/od"}, false, "ERROR: Invalid syntax."},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        regctl::ParseResult result = regctl::ParseCommandLine(c.args);
        ASSERT_EQ(result.ok, c.ok);
        if (!c.ok) {
            ASSERT_EQ(result.errors.size(), 2u);
            EXPECT_EQ(result.errors[0], c.firstError);
            EXPECT_NE(result.errors[1].find("/?\" for usage."), std::string::npos);
        }
    }
}

TEST(RegctlArgs, KeepsFileNamesThatLookLikeOptions)
{
    regctl::ParseResult result = regctl::ParseCommandLine({"export", "HKCU\\a", "/tmp/out.reg", "/y"});
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.command.file, "/tmp/out.reg");
    EXPECT_TRUE(result.command.overwrite);

    // The registry view goes to the platform as the access flag.
    EXPECT_EQ(regctl::ParseCommandLine({"query", "HKLM\\a", "/REG:32"}).command.view,
              static_cast<REGSAM>(KEY_WOW64_32KEY));
    EXPECT_EQ(regctl::ParseCommandLine({"query", "HKLM\\a", "-reg:64"}).command.view,
              static_cast<REGSAM>(KEY_WOW64_64KEY));
}

// ------------------------------------------------------------------ value data

TEST(RegctlValues, ParsesDataOfEachTypeAsRegStoresIt)
{
    struct Case {
        const char* type;
        bool hasData;
        const char* text;
        const char* separator;
        bool ok;
        Bytes data;
    };
    const Bytes ones(8, 0xff);
    const Case cases[] = {
        {"REG_SZ", true, "abc", "\\0", true, Text("abc")},
        {"reg_sz", false, "", "\\0", true, B({0})},
        {"REG_SZ", true, "foo\\0bar", "\\0", true, Text("foo\\0bar")},
        {"REG_EXPAND_SZ", true, "%X%", "\\0", true, Text("%X%")},
        {"REG_DWORD", true, "4294967295", "\\0", true, B({0xff, 0xff, 0xff, 0xff})},
        {"REG_DWORD", true, "4294967296", "\\0", false, {}},
        {"REG_DWORD", true, "0x1A", "\\0", true, B({0x1a, 0, 0, 0})},
        {"REG_DWORD", true, "0X123", "\\0", true, B({0x23, 0x01, 0, 0})},
        {"REG_DWORD", true, "0123", "\\0", true, B({123, 0, 0, 0})},  // decimal, not octal
        {"REG_DWORD", true, "00x123", "\\0", false, {}},
        {"REG_DWORD", true, "0x100000000", "\\0", false, {}},
        {"REG_DWORD", true, "-1", "\\0", false, {}},
        {"REG_DWORD", true, "12a", "\\0", false, {}},
        {"REG_DWORD", true, "0x", "\\0", false, {}},
        // 2: a DWORD needs its data.
        {"REG_DWORD", false, "", "\\0", false, {}},
        {"REG_DWORD", true, "", "\\0", false, {}},
        {"REG_DWORD_BIG_ENDIAN", false, "", "\\0", false, {}},
        // 6: the big-endian type is stored little-endian, as reg stores it.
        {"REG_DWORD_BIG_ENDIAN", true, "1", "\\0", true, B({1, 0, 0, 0})},
        {"REG_DWORD_BIG_ENDIAN", true, "0x456", "\\0", true, B({0x56, 0x04, 0, 0})},
        // 2 and 4: a QWORD without data is 0; negative numbers are two's complement.
        {"REG_QWORD", false, "", "\\0", true, Bytes(8, 0)},
        {"REG_QWORD", true, "-1", "\\0", true, ones},
        {"REG_QWORD", true, "-2", "\\0", true, B({0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})},
        {"REG_QWORD", true, "-9223372036854775808", "\\0", true, B({0, 0, 0, 0, 0, 0, 0, 0x80})},
        {"REG_QWORD", true, "-9223372036854775809", "\\0", false, {}},
        {"REG_QWORD", true, "-0x1", "\\0", false, {}},
        {"REG_QWORD", true, "+1", "\\0", false, {}},
        {"REG_QWORD", true, "-", "\\0", false, {}},
        {"REG_QWORD", true, "0xffffffffffffffff", "\\0", true, ones},
        {"REG_QWORD", true, "18446744073709551616", "\\0", false, {}},
        {"REG_QWORD", true, "258", "\\0", true, B({2, 1, 0, 0, 0, 0, 0, 0})},
        {"REG_BINARY", true, "C0a8000A0101", "\\0", true, B({0xc0, 0xa8, 0, 0x0a, 1, 1})},
        {"REG_BINARY", false, "", "\\0", true, {}},
        // 3: an odd number of digits: the first nibble gets a 0 in front.
        {"REG_BINARY", true, "ABC", "\\0", true, B({0x0a, 0xbc})},
        {"REG_BINARY", true, "DeAdBeEf0DD", "\\0", true, B({0x0d, 0xea, 0xdb, 0xee, 0xf0, 0xdd})},
        {"REG_BINARY", true, "zz", "\\0", false, {}},
        {"REG_BINARY", true, "0xDeAdBeEf", "\\0", false, {}},
        {"REG_MULTI_SZ", true, "a\\0bc", "\\0", true, B({'a', 0, 'b', 'c', 0, 0})},
        {"REG_MULTI_SZ", true, "fax\\0mail\\0", "\\0", true, B({'f', 'a', 'x', 0, 'm', 'a', 'i', 'l', 0, 0})},
        {"REG_MULTI_SZ", true, "a#b", "#", true, B({'a', 0, 'b', 0, 0})},
        {"REG_MULTI_SZ", true, "c:\\dir#d", "#", true, B({'c', ':', '\\', 'd', 'i', 'r', 0, 'd', 0, 0})},
        {"REG_MULTI_SZ", true, "", "\\0", true, B({0})},
        {"REG_MULTI_SZ", false, "", "\\0", true, B({0})},
        // 7: the separator alone is the empty list with its two NULs.
        {"REG_MULTI_SZ", true, "\\0", "\\0", true, B({0, 0})},
        {"REG_MULTI_SZ", true, "#", "#", true, B({0, 0})},
        {"REG_MULTI_SZ", true, "a#", "#", true, B({'a', 0, 0})},
        {"REG_MULTI_SZ", true, "a\\0\\0b", "\\0", false, {}},
        {"REG_MULTI_SZ", true, "##", "#", false, {}},
        {"REG_MULTI_SZ", true, "#a", "#", false, {}},
        {"REG_MULTI_SZ", true, "a##", "#", false, {}},
        // 5: REG_NONE keeps the text as UTF-16 with its NUL, the empty text without /d.
        {"REG_NONE", false, "", "\\0", true, B({0, 0})},
        {"REG_NONE", true, "x", "\\0", true, B({'x', 0, 0, 0})},
        {"REG_NONE", true, "Test", "\\0", true, B({'T', 0, 'e', 0, 's', 0, 't', 0, 0, 0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + c.text);
        DWORD type = 0;
        ASSERT_TRUE(regctl::ParseTypeName(c.type, type));
        Bytes data = B({0x55});
        std::string error;
        ASSERT_EQ(regctl::ParseValueData(type, c.hasData, c.text, c.separator, data, error), c.ok);
        if (c.ok) {
            EXPECT_EQ(data, c.data);
        } else {
            EXPECT_FALSE(error.empty());
            EXPECT_EQ(data, B({0x55}));  // untouched
        }
    }
    // Numbers that are not: reg's own text.
    Bytes unused;
    std::string numberError;
    EXPECT_FALSE(regctl::ParseValueData(REG_DWORD, true, "12x", "\\0", unused, numberError));
    EXPECT_EQ(numberError, "Invalid syntax. Specify valid numeric value for '/d'.");
    // Text beyond ASCII goes into REG_NONE as UTF-16.
    Bytes euro;
    std::string error;
    ASSERT_TRUE(regctl::ParseValueData(REG_NONE, true, Ansi(kEuro), "\\0", euro, error)) << error;
    EXPECT_EQ(euro, B({0xac, 0x20, 0, 0}));

    DWORD type = 0;
    EXPECT_FALSE(regctl::ParseTypeName("REG_LINK", type));
    EXPECT_FALSE(regctl::ParseTypeName("SZ", type));
}

TEST(RegctlValues, FormatsDataAsQueryPrintsThem)
{
    struct Case {
        DWORD type;
        Bytes data;
        const char* separator;
        const char* text;
    };
    const Case cases[] = {
        {REG_BINARY, B({0xc0, 0xa8, 0x00, 0x0a, 0x01, 0x01}), "\\0", "C0A8000A0101"},
        {REG_BINARY, {}, "\\0", ""},
        {REG_DWORD, B({0x10, 0, 0, 0}), "\\0", "0x10"},
        {REG_DWORD, B({0xff, 0xff, 0xff, 0xff}), "\\0", "0xffffffff"},
        {REG_DWORD, B({0x10, 0}), "\\0", "1000"},  // wrong size: shown as bytes
        {REG_DWORD_BIG_ENDIAN, B({2, 1, 0, 0}), "\\0", "0x102"},  // as reg stores it
        {REG_QWORD, B({0x89, 0x67, 0x45, 0x23, 0x01, 0, 0, 0}), "\\0", "0x123456789"},
        {REG_SZ, Text("a b"), "\\0", "a b"},
        {REG_SZ, Text("abc", false), "\\0", "abc"},  // no NUL stored
        {REG_EXPAND_SZ, Text("%P%"), "\\0", "%P%"},
        {REG_MULTI_SZ, B({'a', 0, 'b', 'c', 0, 0}), "\\0", "a\\0bc"},
        {REG_MULTI_SZ, B({'a', 0, 'b'}), "#", "a#b"},
        {REG_MULTI_SZ, B({0}), "\\0", ""},
        {REG_NONE, B({1, 0xab}), "\\0", "01AB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(regctl::FormatValueData(c.type, c.data, c.separator), c.text);
    }
    EXPECT_EQ(regctl::FormatValueLine("", REG_SZ, Text("x")), "    (Default)    REG_SZ    x");
    EXPECT_EQ(regctl::TypeName(0x1234), "REG_UNKNOWN(0x1234)");
}

// ------------------------------------------------------------------ .reg files

std::string WithHeader(const std::string& body)
{
    return std::string(regctl::kRegFileHeader) + "\r\n\r\n" + body;
}

TEST(RegctlRegFile, ValuesSurviveFormatThenParse)
{
    struct Case {
        const char* name;
        DWORD type;
        Bytes data;
    };
    Bytes longData;
    for (int i = 0; i < 300; ++i) longData.push_back(static_cast<BYTE>(i));
    const Case cases[] = {
        {"plain", REG_SZ, Text("c:\\dir \"quoted\"")},
        {"", REG_SZ, Text("the default")},
        {"empty", REG_SZ, B({0})},
        {"no nul", REG_SZ, Text("abc", false)},
        {"line\nbreak", REG_SZ, Text("one\r\ntwo")},
        {"q\"uo\\te", REG_DWORD, B({1, 2, 3, 4})},
        {"short dword", REG_DWORD, B({1, 2})},
        {"expand", REG_EXPAND_SZ, Text("%SystemRoot%\\x")},
        {"multi", REG_MULTI_SZ, B({'a', 0, 'b', 0, 0})},
        {"qword", REG_QWORD, B({1, 2, 3, 4, 5, 6, 7, 8})},
        {"binary", REG_BINARY, longData},
        {"nothing", REG_NONE, {}},
        {"beyond ASCII", REG_SZ, Text(Ansi(kEuro + kAUmlaut))},
        {"list beyond ASCII", REG_MULTI_SZ, Text(Ansi(kEAcute) + '\0' + Ansi(kEuro) + '\0')},
        {"odd type", 0x200000, B({9})},
    };
    std::string body = regctl::FormatRegFileKey("HKEY_CURRENT_USER\\Software\\A");
    for (const Case& c : cases) body += regctl::FormatRegFileValue(c.name, c.type, c.data);
    std::string text = WithHeader(body);

    // No line is longer than 80 characters.
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
        start = end + 2;
    }

    std::vector<regctl::RegFileOp> ops;
    std::string error;
    ASSERT_TRUE(regctl::ParseRegFile(text, ops, error)) << error;
    ASSERT_EQ(ops.size(), 1 + std::size(cases));
    EXPECT_EQ(ops[0].kind, regctl::RegFileOp::kCreateKey);
    EXPECT_EQ(ops[0].key.path, "Software\\A");
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        const regctl::RegFileOp& op = ops[i + 1];
        EXPECT_EQ(op.kind, regctl::RegFileOp::kSetValue);
        EXPECT_EQ(op.valueName, cases[i].name);
        EXPECT_EQ(op.type, cases[i].type);
        EXPECT_EQ(op.data, cases[i].data);
    }

    // 8-bit text that is not in the code page (written before the A calls
    // spoke UTF-8) is read as Latin-1 and comes back as the same characters.
    std::string legacy = WithHeader(regctl::FormatRegFileKey("HKEY_CURRENT_USER\\A") +
                                    regctl::FormatRegFileValue("caf\xe9", REG_SZ, Text("caf\xe9")));
    ASSERT_TRUE(regctl::ParseRegFile(legacy, ops, error)) << error;
    ASSERT_EQ(ops.size(), 2u);
    regctl::WideText cafe = {'c', 'a', 'f', 0xE9};
    EXPECT_EQ(ops[1].valueName, Ansi(cafe));
    EXPECT_EQ(ops[1].data, Text(Ansi(cafe)));
}

TEST(RegctlRegFile, EncodesAsWindowsWritesThem)
{
    std::string text = WithHeader(regctl::FormatRegFileKey("HKEY_CURRENT_USER\\A") +
                                  regctl::FormatRegFileValue("x", REG_EXPAND_SZ, Text(Ansi(kEuro))));
    EXPECT_NE(text.find("\"x\"=hex(2):ac,20,00,00\r\n"), std::string::npos) << text;
    std::string raw;
    ASSERT_TRUE(regctl::EncodeRegFile(text, raw));
    // UTF-16LE after the byte-order mark, the header first.
    std::string header = "\xff\xfeW\0i\0n\0d\0o\0w\0s\0 \0R\0";
    EXPECT_EQ(raw.substr(0, header.size()), header);
    std::string decoded;
    std::string error;
    ASSERT_TRUE(regctl::DecodeRegFile(raw, decoded, error)) << error;
    EXPECT_EQ(decoded, text);
}

TEST(RegctlRegFile, ReadsFilesAsWindowsWritesThem)
{
    // UTF-16LE with a byte-order mark, texts in hex(2)/hex(7) as UTF-16.
    std::string source = WithHeader(
        "[HKEY_LOCAL_MACHINE\\Software\\W]\r\n"
        "\"Path\"=hex(2):25,00,58,00,25,00,00,00\r\n"
        "\"List\"=hex(7):61,00,00,00,e9,00,00,00,00,00\r\n"
        "\"S\"=\"\xe9t\xe9\"\r\n"
        "@=dword:0000002a\r\n"
        "\"Gone\"=-\r\n"
        "\r\n"
        "[-HKEY_LOCAL_MACHINE\\Software\\W\\Old]\r\n"
        "\"ignored\"=\"under a deleted key\"\r\n");
    std::string raw = "\xff\xfe";
    for (char ch : source) {
        raw += ch;
        raw += '\0';
    }
    std::string text;
    std::string error;
    ASSERT_TRUE(regctl::DecodeRegFile(raw, text, error)) << error;
    std::vector<regctl::RegFileOp> ops;
    ASSERT_TRUE(regctl::ParseRegFile(text, ops, error)) << error;
    ASSERT_EQ(ops.size(), 7u);
    EXPECT_EQ(ops[1].type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(ops[1].data, Text("%X%"));
    EXPECT_EQ(ops[2].data, Text("a" + std::string(1, '\0') + Ansi(kEAcute) + std::string(1, '\0')));
    EXPECT_EQ(ops[3].data, Text(Ansi(kEAcute) + "t" + Ansi(kEAcute)));
    EXPECT_EQ(ops[4].valueName, "");
    EXPECT_EQ(ops[4].data, B({42, 0, 0, 0}));
    EXPECT_EQ(ops[5].kind, regctl::RegFileOp::kDeleteValue);
    EXPECT_EQ(ops[6].kind, regctl::RegFileOp::kDeleteKey);
    EXPECT_EQ(ops[6].key.path, "Software\\W\\Old");

    // REGEDIT4 files keep their hex texts 8-bit.
    ASSERT_TRUE(regctl::ParseRegFile("REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"M\"=hex(7):61,00,62,00,00\n", ops, error))
        << error;
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(ops[1].data, B({'a', 0, 'b', 0, 0}));

    // A UTF-16 file must be UTF-16: whole units, no surrogate without its half.
    EXPECT_FALSE(regctl::DecodeRegFile(std::string("\xff\xfe\x41\x00\x00\xd8", 6), text, error));
    EXPECT_FALSE(regctl::DecodeRegFile(std::string("\xff\xfe\x41\x00\x42", 5), text, error));
    // UTF-8 with or without its byte-order mark is read as it is.
    ASSERT_TRUE(regctl::DecodeRegFile("\xEF\xBB\xBF" "REGEDIT4\n\xE2\x82\xAC", text, error));
    EXPECT_EQ(text, "REGEDIT4\n\xE2\x82\xAC");
}

TEST(RegctlRegFile, RefusesBrokenFilesNamingTheLine)
{
    struct Case {
        std::string text;
        const char* expected;  // part of the message
    };
    const Case cases[] = {
        {"", "empty"},
        {"REGEDIT5\r\n", "not a registry script"},
        {WithHeader("\"v\"=\"x\"\r\n"), "Line 3"},
        {WithHeader("[HKEY_CURRENT_USER\\A]\r\n\"v\"=hex:0g\r\n"), "Line 4"},
        {WithHeader("[HKEY_CURRENT_USER\\A]\r\n\"v\"=hex:001\r\n"), "Line 4"},
        {WithHeader("[HKEY_CURRENT_USER\\A]\r\n\"v=\"x\"\r\n"), "Line 4"},
        {WithHeader("[HKEY_CURRENT_USER\\A]\r\n\"v\"=dword:123456789\r\n"), "Line 4"},
        {WithHeader("[HKEY_CURRENT_USER\\A]\r\n\"v\"=hex(2):41,00,42\r\n"), "Line 4"},
        {WithHeader("[HKEY_CURRENT_USER\\A]\r\n\"v\"=\"open\r\n"), "Line 4"},
        {WithHeader("[HKEY_NOWHERE\\A]\r\n"), "Line 3"},
        {WithHeader("[HKEY_CURRENT_USER\\A\r\n"), "Line 3"},
        {WithHeader("[-HKEY_CURRENT_USER]\r\n"), "Line 3"},
        {WithHeader("[HKEY_CURRENT_USER\\A]\r\nv=1\r\n"), "Line 4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<regctl::RegFileOp> ops;
        std::string error;
        EXPECT_FALSE(regctl::ParseRegFile(c.text, ops, error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_TRUE(ops.empty());
    }
}

TEST(RegctlRegFile, JoinsContinuedHexLines)
{
    std::vector<regctl::RegFileOp> ops;
    std::string error;
    ASSERT_TRUE(regctl::ParseRegFile(WithHeader("[HKEY_CURRENT_USER\\A]\n"
                                                "\"v\"=hex:01,02,\\\n"
                                                "  03,\\\n"
                                                "\t04\n"
                                                "\"w\"=\"ends in a backslash\\\\\"\n"),
                                     ops, error))
        << error;
    ASSERT_EQ(ops.size(), 3u);
    EXPECT_EQ(ops[1].data, B({1, 2, 3, 4}));
    EXPECT_EQ(ops[2].data, Text("ends in a backslash\\"));
}

// ------------------------------------------------------------------ the program

#ifdef NETID_REGCTL_EXE

std::string Quote(const std::string& arg)
{
#ifdef _WIN32
    // As the C runtime splits a command line: backslashes before a quote
    // (and before the closing one) are doubled, the quote escaped.
    std::string out = "\"";
    size_t backslashes = 0;
    for (char ch : arg) {
        if (ch == '\\') {
            ++backslashes;
            continue;
        }
        out.append(ch == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += ch;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
#else
    std::string out = "'";
    for (char ch : arg) {
        if (ch == '\'') out += "'\\''";
        else out += ch;
    }
    return out + "'";
#endif
}

std::string WithoutCarriageReturns(std::string text)
{
    std::string out;
    for (char ch : text) {
        if (ch != '\r') out += ch;
    }
    return out;
}

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs regctl; `input` is what it reads from its standard input (answers).
RunResult Regctl(const std::vector<std::string>& args, const std::string& input = "")
{
    std::string line = Quote(NETID_REGCTL_EXE);
    for (const std::string& arg : args) line += " " + Quote(arg);
    RunResult run;
    run.status = RunProcess(line, &run.out, &run.err, &input);
    run.out = WithoutCarriageReturns(run.out);
    run.err = WithoutCarriageReturns(run.err);
    return run;
}

const char* const kOk = "The operation completed successfully.\n";
const char* const kNotFound = "ERROR: The system was unable to find the specified registry key or value.\n";

class RegctlProgram : public ::testing::Test {
protected:
    RegctlProgram()
        : m_scratch(::testing::UnitTest::GetInstance()->current_test_info()->name()),
          m_key("HKEY_CURRENT_USER\\" + m_scratch.Path())
    {
    }
    ~RegctlProgram() override
    {
        for (const std::string& file : m_files) std::remove(file.c_str());
    }

    // A file name of this test's own in the working directory.
    std::string File(const std::string& suffix)
    {
        std::string name = m_scratch.Path();
        name = "regctl_" + name.substr(name.rfind('\\') + 1) + suffix;
        m_files.push_back(name);
        m_files.push_back(name + ".regctl-new");
        std::remove(name.c_str());
        return name;
    }

    void Add(const std::vector<std::string>& args)
    {
        std::vector<std::string> full = {"add"};
        full.insert(full.end(), args.begin(), args.end());
        RunResult run = Regctl(full);
        ASSERT_EQ(run.status, 0) << run.err;
        ASSERT_EQ(run.out, kOk);
    }

    // The type and bytes of a value beneath the scratch key, read directly
    // through the platform; the type is ~0 when it cannot be read.
    std::pair<DWORD, Bytes> StoredValue(const std::string& relative, const std::string& name)
    {
        HKEY key = nullptr;
        std::pair<DWORD, Bytes> result(~0u, Bytes());
        if (RegOpenKeyExA(m_scratch.Handle(), relative.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return result;
        }
        BYTE buffer[256];
        DWORD size = sizeof buffer;
        DWORD type = REG_NONE;
        if (RegQueryValueExA(key, name.c_str(), nullptr, &type, buffer, &size) == ERROR_SUCCESS) {
            result = {type, Bytes(buffer, buffer + size)};
        }
        RegCloseKey(key);
        return result;
    }
    static std::pair<DWORD, Bytes> Stored(DWORD type, const Bytes& data) { return {type, data}; }

    static std::string ReadFile(const std::string& file)
    {
        std::ifstream in(file, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    static void WriteFile(const std::string& file, const std::string& content)
    {
        std::ofstream out(file, std::ios::binary);
        out << content;
    }

    ScratchKey m_scratch;
    std::string m_key;  // its full name
    std::vector<std::string> m_files;
};

TEST_F(RegctlProgram, AddThenQueryPrintsAsReg)
{
    Add({m_key + "\\System", "/v", "AmsNetId", "/t", "REG_BINARY", "/d", "C0A8000A0101"});
    Add({m_key + "\\System", "/v", "Count", "/t", "REG_DWORD", "/d", "42"});
    Add({m_key + "\\System", "/v", "Big", "/t", "REG_QWORD", "/d", "0x123456789"});
    Add({m_key + "\\System", "/v", "List", "/t", "REG_MULTI_SZ", "/d", "a\\0b"});
    Add({m_key + "\\System", "/ve", "/d", "dflt"});
    Add({m_key + "\\System\\Sub1\\Deep", "/v", "D", "/d", "d"});
    Add({m_key + "\\System\\Sub2", "/v", "X", "/t", "REG_EXPAND_SZ", "/d", "%P%"});

    const std::string k = m_key + "\\System";
    RunResult run = Regctl({"query", k});
    EXPECT_EQ(run.status, 0) << run.err;
    // Our store and Windows both list values in the order they were made.
    // Wine deviation: Wine lists them sorted by name.
    const std::string values = RunningUnderWine()
                                   ? "    (Default)    REG_SZ    dflt\n"
                                     "    AmsNetId    REG_BINARY    C0A8000A0101\n"
                                     "    Big    REG_QWORD    0x123456789\n"
                                     "    Count    REG_DWORD    0x2a\n"
                                     "    List    REG_MULTI_SZ    a\\0b\n"
                                   : "    AmsNetId    REG_BINARY    C0A8000A0101\n"
                                     "    Count    REG_DWORD    0x2a\n"
                                     "    Big    REG_QWORD    0x123456789\n"
                                     "    List    REG_MULTI_SZ    a\\0b\n"
                                     "    (Default)    REG_SZ    dflt\n";
    // 9: no blank line after the list of sub-keys.
    EXPECT_EQ(run.out, "\n" + k + "\n" + values + "\n" + k + "\\Sub1\n" + k + "\\Sub2\n");

    // 9: a key without values: only its sub-keys, not its own name.
    run = Regctl({"query", k + "\\Sub1"});
    EXPECT_EQ(run.out, "\n" + k + "\\Sub1\\Deep\n");

    run = Regctl({"query", k, "/v", "AmsNetId"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "\n" + k + "\n    AmsNetId    REG_BINARY    C0A8000A0101\n\n");

    run = Regctl({"query", k, "/v", "List", "/se", "#"});
    EXPECT_EQ(run.out, "\n" + k + "\n    List    REG_MULTI_SZ    a#b\n\n");

    run = Regctl({"query", k + "\\Sub1", "/ve"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "\n" + k + "\\Sub1\n    (Default)    REG_SZ    (value not set)\n\n");

    // With /s every key beneath the first is shown, with or without values.
    run = Regctl({"query", k, "/s"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "\n" + k + "\n" + values + "\n" + k + "\\Sub1\n\n" + k + "\\Sub1\\Deep\n" +
                           "    D    REG_SZ    d\n\n" + k + "\\Sub2\n" + "    X    REG_EXPAND_SZ    %P%\n\n");
    EXPECT_EQ(Regctl({"query", k + "\\", "/s"}).out, run.out);

    run = Regctl({"query", m_key, "/v", "X", "/s"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "\n" + k + "\\Sub2\n    X    REG_EXPAND_SZ    %P%\n\nEnd of search: 1 match(es) found.\n");

    // Short and long root names and any case reach the same key; the view
    // options are accepted (one view on Linux, the chosen one on Windows).
    const std::string count = "\n" + k + "\n    Count    REG_DWORD    0x2a\n\n";
    EXPECT_EQ(Regctl({"query", "hkcu\\" + m_scratch.Path() + "\\System", "/v", "Count"}).out, count);
    EXPECT_EQ(Regctl({"query", k, "/v", "Count", "/reg:32"}).out, count);
    EXPECT_EQ(Regctl({"query", k, "/v", "Count", "/reg:64"}).out, count);
}

TEST_F(RegctlProgram, AddStoresWhatRegStores)
{
    const std::string k = m_key + "\\Types";
    // 1: a key alone gets an empty REG_SZ default value.
    Add({k});
    EXPECT_EQ(StoredValue("Types", ""), Stored(REG_SZ, Text("")));
    Add({k, "/v", "none", "/t", "REG_NONE", "/d", "x"});
    Add({k, "/v", "none0", "/t", "REG_NONE"});
    Add({k, "/v", "bin", "/t", "REG_BINARY", "/d", "ABC"});
    Add({k, "/v", "q", "/t", "REG_QWORD", "/d", "-1"});
    Add({k, "/v", "q0", "/t", "REG_QWORD"});
    Add({k, "/v", "be", "/t", "REG_DWORD_BIG_ENDIAN", "/d", "1"});
    Add({k, "/v", "empty", "/t", "REG_MULTI_SZ", "/d", "\\0"});
    Add({k, "/v", "empty#", "/t", "REG_MULTI_SZ", "/s", "#", "/d", "#"});
    Add({k, "/v", "plain", "/t", "REG_MULTI_SZ"});
    // 5: REG_NONE holds UTF-16 text with its NUL, the empty text without /d.
    EXPECT_EQ(StoredValue("Types", "none"), Stored(REG_NONE, B({'x', 0, 0, 0})));
    EXPECT_EQ(StoredValue("Types", "none0"), Stored(REG_NONE, B({0, 0})));
    // 3: an odd number of hex digits.
    EXPECT_EQ(StoredValue("Types", "bin"), Stored(REG_BINARY, B({0x0a, 0xbc})));
    // 4 and 2: a QWORD from a negative number, and 0 without /d.
    EXPECT_EQ(StoredValue("Types", "q"), Stored(REG_QWORD, Bytes(8, 0xff)));
    EXPECT_EQ(StoredValue("Types", "q0"), Stored(REG_QWORD, Bytes(8, 0)));
    // 6: stored little-endian, as reg does.
    EXPECT_EQ(StoredValue("Types", "be"), Stored(REG_DWORD_BIG_ENDIAN, B({1, 0, 0, 0})));
    // 7: the empty list keeps its two NULs; no /d gives one.
    EXPECT_EQ(StoredValue("Types", "empty"), Stored(REG_MULTI_SZ, B({0, 0})));
    EXPECT_EQ(StoredValue("Types", "empty#"), Stored(REG_MULTI_SZ, B({0, 0})));
    EXPECT_EQ(StoredValue("Types", "plain"), Stored(REG_MULTI_SZ, B({0})));

    // 2: a DWORD without data is refused and nothing is written.
    for (const char* type : {"REG_DWORD", "REG_DWORD_BIG_ENDIAN"}) {
        RunResult run = Regctl({"add", k, "/v", "d", "/t", type, "/f"});
        EXPECT_EQ(run.status, 1) << type;
        EXPECT_EQ(run.err.rfind("ERROR: ", 0), 0u) << run.err;
    }
    EXPECT_EQ(StoredValue("Types", "d").first, static_cast<DWORD>(~0u));

    // 8: a root with a trailing backslash is refused; nothing lands at the root.
    RunResult run = Regctl({"add", "HKCU\\", "/v", "NetidRegctlRoot", "/d", "x", "/f"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: Invalid key name.\nType \"regctl add /?\" for usage.\n");
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, "NetidRegctlRoot", nullptr, nullptr, nullptr, &size),
              static_cast<LONG>(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegctlProgram, MissingKeysAndValuesFail)
{
    struct Case {
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {{"query", m_key + "\\Nope"}},
        {{"query", m_key, "/v", "Nope"}},
        {{"delete", m_key, "/v", "Nope", "/f"}},
        {{"delete", m_key + "\\Nope", "/f"}},
        {{"export", m_key + "\\Nope", File(".reg")}},
        {{"copy", m_key + "\\Nope", m_key + "\\Copy"}},
        {{"compare", m_key + "\\Nope", m_key}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        RunResult run = Regctl(c.args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, kNotFound);
    }
}

TEST_F(RegctlProgram, AsksBeforeOverwritingOrDeletingAndTakesTheEndOfInputAsNo)
{
    Add({m_key, "/v", "V", "/d", "first"});
    Add({m_key + "\\Child", "/v", "C", "/d", "c"});
    const std::string firstValue = "\n" + m_key + "\n    V    REG_SZ    first\n\n";

    // 10: no answer (the end of the input) and "no" both leave the value.
    for (const std::string& input : {std::string(), std::string("n\n"), std::string("maybe\nNO\n")}) {
        RunResult run = Regctl({"add", m_key, "/v", "V", "/d", "second"}, input);
        EXPECT_EQ(run.status, 1) << input;
        EXPECT_EQ(run.out.rfind("Value V exists, overwrite (Yes/No)? ", 0), 0u) << run.out;
        EXPECT_EQ(Regctl({"query", m_key, "/v", "V"}).out, firstValue);
    }
    // An unclear answer is asked again; yes goes on.
    RunResult run = Regctl({"add", m_key, "/v", "V", "/d", "second"}, "perhaps\ny\n");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Value V exists, overwrite (Yes/No)? Value V exists, overwrite (Yes/No)? " +
                           std::string(kOk));
    EXPECT_EQ(Regctl({"query", m_key, "/v", "V"}).out, "\n" + m_key + "\n    V    REG_SZ    second\n\n");
    Add({m_key, "/v", "V", "/d", "third", "/f"});

    struct Case {
        std::vector<std::string> args;
        std::string question;
    };
    const Case cases[] = {
        {{"delete", m_key + "\\Child"}, "Permanently delete the registry key " + m_key + "\\Child (Yes/No)? "},
        {{"delete", m_key, "/v", "V"}, "Delete the registry value V (Yes/No)? "},
        {{"delete", m_key, "/va"}, "Delete all values under the registry key " + m_key + " (Yes/No)? "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.question);
        run = Regctl(c.args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, c.question + "\n");
    }
    const std::string unchanged = "\n" + m_key + "\n    V    REG_SZ    third\n\n" + m_key + "\\Child\n";
    EXPECT_EQ(Regctl({"query", m_key}).out, unchanged);

    run = Regctl({"delete", m_key + "\\Child"}, "yes\n");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Regctl({"query", m_key + "\\Child"}).status, 1);
}

TEST_F(RegctlProgram, DeletesValuesAndTrees)
{
    Add({m_key + "\\T\\A\\B", "/v", "deep", "/d", "x"});
    Add({m_key + "\\T", "/v", "one", "/d", "1"});
    Add({m_key + "\\T", "/v", "two", "/d", "2"});
    Add({m_key + "\\T", "/ve", "/d", "d", "/f"});

    RunResult run = Regctl({"delete", m_key + "\\T", "/ve", "/f"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Regctl({"query", m_key + "\\T"}).out,
              "\n" + m_key + "\\T\n    one    REG_SZ    1\n    two    REG_SZ    2\n\n" + m_key + "\\T\\A\n");

    run = Regctl({"delete", m_key + "\\T", "/va", "/f"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Regctl({"query", m_key + "\\T"}).out, "\n" + m_key + "\\T\\A\n");

    run = Regctl({"delete", m_key + "\\T", "/f", "/reg:64"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kOk);
    EXPECT_EQ(Regctl({"query", m_key + "\\T"}).status, 1);
    EXPECT_EQ(Regctl({"query", m_key}).out, "\n");

    // A root is never deleted.
    run = Regctl({"delete", "HKCU", "/f"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Invalid key name"), std::string::npos);
}

TEST_F(RegctlProgram, SearchesWithFind)
{
    Add({m_key + "\\F\\NetBox", "/v", "Address", "/d", "box.example"});
    Add({m_key + "\\F\\Other", "/v", "netmask", "/d", "255.255.0.0"});
    Add({m_key + "\\F\\Other", "/v", "Comment", "/d", "No NET here"});
    const std::string f = m_key + "\\F";
    struct Case {
        std::vector<std::string> options;
        std::string out;
        int status;
    };
    const std::string netBox = f + "\\NetBox\n";
    const std::string netmask = "    netmask    REG_SZ    255.255.0.0\n";
    const std::string comment = "    Comment    REG_SZ    No NET here\n";
    // Wine deviation: Wine lists values sorted by name.
    const std::string both = RunningUnderWine() ? comment + netmask : netmask + comment;
    const Case cases[] = {
        // Key names, value names and data, without regard to case.
        {{"/f", "net"}, netBox + f + "\\Other\n" + both + "\n", 0},
        {{"/f", "net", "/k"}, netBox, 0},
        {{"/f", "net", "/v"}, f + "\\Other\n" + netmask + "\n", 0},
        {{"/f", "net", "/d"}, f + "\\Other\n" + comment + "\n", 0},
        {{"/f", "NET", "/d", "/c"}, f + "\\Other\n" + comment + "\n", 0},
        {{"/f", "net", "/d", "/c"}, "", 1},
        {{"/f", "netbox", "/k", "/e"}, netBox, 0},
        {{"/f", "net", "/k", "/e"}, "", 1},
        {{"/f", "255.*.0.?", "/d", "/e"}, f + "\\Other\n" + netmask + "\n", 0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"query", f};
        args.insert(args.end(), c.options.begin(), c.options.end());
        std::string joined;
        for (const std::string& o : c.options) joined += o + " ";
        SCOPED_TRACE(joined);
        RunResult run = Regctl(args);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out.substr(0, 1 + c.out.size()), "\n" + c.out);
        EXPECT_NE(run.out.find("End of search: "), std::string::npos);
    }
}

TEST_F(RegctlProgram, CopiesAndComparesKeys)
{
    Add({m_key + "\\Src", "/v", "A", "/d", "1"});
    Add({m_key + "\\Src", "/v", "N", "/t", "REG_DWORD", "/d", "7"});
    Add({m_key + "\\Src\\Sub", "/v", "S", "/d", "s"});
    const std::string src = m_key + "\\Src";
    const std::string dst = m_key + "\\Dst";

    // Values only, then the whole tree.
    RunResult run = Regctl({"copy", src, dst});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kOk);
    EXPECT_EQ(Regctl({"query", dst}).out, "\n" + dst + "\n    A    REG_SZ    1\n    N    REG_DWORD    0x7\n\n");
    run = Regctl({"compare", src, dst});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "< " + src + "\\Sub\n\nResult Compared: Different\n" + kOk);
    run = Regctl({"copy", src, dst, "/s", "/f"});
    EXPECT_EQ(run.status, 0) << run.err;
    run = Regctl({"compare", src, dst, "/s"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "\nResult Compared: Identical\n" + std::string(kOk));

    // A difference in a value, shown from both sides; /os shows the matches.
    Add({dst + "\\Sub", "/v", "S", "/d", "changed", "/f"});
    run = Regctl({"compare", src, dst, "/s"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "< " + src + "\\Sub    S    REG_SZ    s\n> " + dst +
                           "\\Sub    S    REG_SZ    changed\n\nResult Compared: Different\n" + kOk);
    run = Regctl({"compare", src, dst, "/v", "A", "/os"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "= " + src + "    A    REG_SZ    1\n\nResult Compared: Identical\n" + kOk);

    // Without /f an existing value is only overwritten when the user says so.
    run = Regctl({"copy", src, dst, "/s"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Regctl({"query", dst + "\\Sub", "/v", "S"}).out, "\n" + dst + "\\Sub\n    S    REG_SZ    changed\n\n");

    // A key onto itself, or into its own tree, is refused.
    EXPECT_EQ(Regctl({"copy", src, src + "\\", "/f"}).status, 1);
    run = Regctl({"copy", src, src + "\\Sub\\Inner", "/s", "/f"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Regctl({"query", src + "\\Sub\\Inner"}).status, 1);
}

TEST_F(RegctlProgram, ExportThenImportRestoresTheTree)
{
    Add({m_key + "\\E", "/v", "Bin", "/t", "REG_BINARY", "/d", "00FF10"});
    Add({m_key + "\\E", "/v", "Str", "/d", "c:\\dir\\x y"});
    Add({m_key + "\\E", "/v", "Exp", "/t", "REG_EXPAND_SZ", "/d", "%X%\\y"});
    Add({m_key + "\\E", "/v", "Multi", "/t", "REG_MULTI_SZ", "/d", "a#b", "/s", "#"});
    Add({m_key + "\\E", "/v", Ansi(kEuro), "/d", Ansi(kEuro + kAUmlaut)});
    Add({m_key + "\\E", "/v", "None", "/t", "REG_NONE", "/d", "n"});
    Add({m_key + "\\E\\Sub", "/v", "Q", "/t", "REG_QWORD", "/d", "7"});
    RunResult before = Regctl({"query", m_key + "\\E", "/s"});
    ASSERT_EQ(before.status, 0);

    std::string file = File(".reg");
    RunResult run = Regctl({"export", m_key + "\\E", file});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kOk);
    // What Windows writes: UTF-16LE after a byte-order mark, texts as UTF-16.
    std::string content = ReadFile(file);
    std::string text;
    std::string error;
    ASSERT_EQ(content.substr(0, 2), "\xff\xfe");
    ASSERT_TRUE(regctl::DecodeRegFile(content, text, error)) << error;
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n[" + m_key + "\\E]\r\n", 0), 0u);
    EXPECT_NE(text.find("\"Exp\"=hex(2):25,00,58,00,25,00,5c,00,79,00,00,00\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"None\"=hex(0):6e,00,00,00\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"\xE2\x82\xAC\"=\"\xE2\x82\xAC\xC3\x84\"\r\n"), std::string::npos) << text;

    // An existing file is kept unless /y or the user says otherwise.
    run = Regctl({"export", m_key + "\\E", file});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("Overwrite the file (Yes/No)?"), std::string::npos) << run.out;
    EXPECT_EQ(Regctl({"export", m_key + "\\E", file, "/y"}).status, 0);

    ASSERT_EQ(Regctl({"delete", m_key + "\\E", "/f"}).status, 0);
    run = Regctl({"import", file});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kOk);
    EXPECT_EQ(Regctl({"query", m_key + "\\E", "/s"}).out, before.out);
}

TEST_F(RegctlProgram, ImportsUtf16AndUtf8FilesAndChangesNothingOnAnError)
{
    // As Windows writes it: UTF-16LE with a byte-order mark, a € in a name
    // and in the data.
    std::string source = "Windows Registry Editor Version 5.00\r\n\r\n"
                         "[" + m_key + "\\U]\r\n"
                         "\"Name\"=\"Gr\xC3\xBC\xC3\x9F" "e\"\r\n"
                         "\"Net\"=hex:c0,a8,00,0a,\\\r\n  01,01\r\n"
                         "\"\xE2\x82\xAC\"=\"5 \xE2\x82\xAC\"\r\n"
                         "@=dword:00000010\r\n\r\n";
    std::string raw;
    ASSERT_TRUE(regctl::EncodeRegFile(source, raw));
    std::string file = File(".reg");
    WriteFile(file, raw);
    RunResult run = Regctl({"import", file});
    ASSERT_EQ(run.status, 0) << run.err;
    const regctl::WideText gruesse = {'G', 'r', 0xFC, 0xDF, 'e'};
    const std::string name = "    Name    REG_SZ    " + Ansi(gruesse) + "\n";
    const std::string net = "    Net    REG_BINARY    C0A8000A0101\n";
    const std::string euro = "    " + Ansi(kEuro) + "    REG_SZ    5 " + Ansi(kEuro) + "\n";
    const std::string dflt = "    (Default)    REG_DWORD    0x10\n";
    // Wine deviation: Wine lists values sorted by name, not in the file's order.
    EXPECT_EQ(Regctl({"query", m_key + "\\U"}).out,
              "\n" + m_key + "\\U\n" +
                  (RunningUnderWine() ? dflt + name + net + euro : name + net + euro + dflt) + "\n");

    // The same as UTF-8 without a byte-order mark, and as REGEDIT4.
    std::string utf8 = File("-utf8.reg");
    WriteFile(utf8, "Windows Registry Editor Version 5.00\r\n\r\n[" + m_key + "\\U8]\r\n\"\xE2\x82\xAC\"=\"\xE2\x82\xAC\"\r\n");
    EXPECT_EQ(Regctl({"import", utf8}).status, 0);
    EXPECT_EQ(Regctl({"query", m_key + "\\U8"}).out,
              "\n" + m_key + "\\U8\n    " + Ansi(kEuro) + "    REG_SZ    " + Ansi(kEuro) + "\n\n");
    std::string old = File("-4.reg");
    WriteFile(old, "REGEDIT4\r\n\r\n[" + m_key + "\\R4]\r\n\"M\"=hex(7):61,00,62,00,00\r\n");
    EXPECT_EQ(Regctl({"import", old}).status, 0);
    EXPECT_EQ(Regctl({"query", m_key + "\\R4"}).out, "\n" + m_key + "\\R4\n    M    REG_MULTI_SZ    a\\0b\n\n");

    // A broken line anywhere: nothing of the file is applied.
    std::string broken = File("-broken.reg");
    WriteFile(broken, "Windows Registry Editor Version 5.00\r\n\r\n[" + m_key + "\\New]\r\n\"a\"=\"1\"\r\n" +
                          "[-" + m_key + "\\U]\r\n\"b\"=hex:zz\r\n");
    run = Regctl({"import", broken});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Line 6"), std::string::npos) << run.err;
    EXPECT_EQ(Regctl({"query", m_key + "\\New"}).status, 1);
    EXPECT_EQ(Regctl({"query", m_key + "\\U", "/v", "Net"}).status, 0);

    run = Regctl({"import", File("-missing.reg")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: The system cannot find the file specified.\n");
}

TEST_F(RegctlProgram, NamesMatchBeyondAsciiWithoutRegardToCase)
{
    Add({m_key + "\\" + Ansi(kAUmlaut), "/v", "V", "/d", "x"});
    RunResult run = Regctl({"query", m_key + "\\" + Ansi(kSmallAUmlaut), "/v", "V"});
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(RegctlProgram, SaveThenRestoreAndLoad)
{
    Add({m_key + "\\S", "/v", "AmsNetId", "/t", "REG_BINARY", "/d", "C0A8000A0101"});
    Add({m_key + "\\S\\Sub", "/v", "n", "/t", "REG_DWORD", "/d", "7"});
    RunResult before = Regctl({"query", m_key + "\\S", "/s"});

    std::string hive = File(".hiv");
    RunResult run = Regctl({"save", m_key + "\\S", hive});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kOk);

    // Without /y (or a yes) an existing file stays as it is; with /y it is replaced.
    std::string saved = ReadFile(hive);
    Add({m_key + "\\S", "/v", "later", "/d", "x"});
    run = Regctl({"save", m_key + "\\S", hive});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "File " + hive + " already exists. Overwrite the file (Yes/No)? \n");
    EXPECT_EQ(ReadFile(hive), saved);

    // Restoring the saved file takes the key back to how it was.
    Add({m_key + "\\S\\Extra"});
    RunResult changed = Regctl({"query", m_key + "\\S", "/s"});
    run = Regctl({"restore", m_key + "\\S", hive});
    ASSERT_EQ(run.status, 0) << run.err;
    if (RunningUnderWine()) {
        // Wine deviation: Wine's restore reports success and changes nothing.
        EXPECT_EQ(Regctl({"query", m_key + "\\S", "/s"}).out, changed.out);
    } else {
        EXPECT_EQ(Regctl({"query", m_key + "\\S", "/s"}).out, before.out);
    }

    run = Regctl({"save", m_key + "\\S", hive, "/y"});
    EXPECT_EQ(run.status, 0) << run.err;

    run = Regctl({"restore", m_key + "\\S", File("-missing.hiv")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: The system cannot find the file specified.\n");
}

TEST_F(RegctlProgram, LoadsAndUnloadsAHive)
{
    Add({m_key + "\\H", "/v", "V", "/t", "REG_DWORD", "/d", "3"});
    std::string hive = File(".hiv");
    ASSERT_EQ(Regctl({"save", m_key + "\\H", hive}).status, 0);

    std::string mount = "HKLM\\NetidRegctl" + m_scratch.Path().substr(m_scratch.Path().rfind('.') + 1);
    RunResult run = Regctl({"load", mount, hive});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kOk);
    run = Regctl({"query", mount, "/v", "V"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("    V    REG_DWORD    0x3\n"), std::string::npos);

    run = Regctl({"unload", mount});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kOk);
    EXPECT_EQ(Regctl({"query", mount}).status, 1);
}

TEST_F(RegctlProgram, BadCommandLinesPrintTheSyntaxError)
{
    struct Case {
        std::vector<std::string> args;
        const char* err;
    };
    const Case cases[] = {
        {{}, "ERROR: Invalid syntax.\nType \"regctl /?\" for usage.\n"},
        {{"add", m_key, "/v"}, "ERROR: Invalid syntax.\nType \"regctl add /?\" for usage.\n"},
        {{"add", m_key, "/v", "x", "/t", "REG_WHATEVER"}, "ERROR: Invalid syntax.\nType \"regctl add /?\" for usage.\n"},
        {{"query", "HKQQ\\x"}, "ERROR: Invalid key name.\nType \"regctl query /?\" for usage.\n"},
        {{"delete", m_key, "/q"}, "ERROR: Invalid syntax.\nType \"regctl delete /?\" for usage.\n"},
    };
    for (const Case& c : cases) {
        RunResult run = Regctl(c.args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, c.err);
    }
    // Bad data is refused before the key is made.
    RunResult run = Regctl({"add", m_key + "\\NotMade", "/v", "x", "/t", "REG_DWORD", "/d", "0x1g"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("ERROR: ", 0), 0u);
    EXPECT_EQ(Regctl({"query", m_key + "\\NotMade"}).status, 1);

    for (const char* verb : {"add", "query", "delete", "copy", "compare", "save", "restore", "load", "unload",
                             "export", "import"}) {
        run = Regctl({verb, "/?"});
        EXPECT_EQ(run.status, 0);
        EXPECT_NE(run.out.find(std::string("REGCTL ") + regctl::ToUpper(verb)), std::string::npos) << verb;
    }
    for (const char* help : {"/?", "--help"}) {
        run = Regctl({help});
        EXPECT_EQ(run.status, 0);
        EXPECT_NE(run.out.find("REGCTL Operation"), std::string::npos);
    }
    run = Regctl({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("regctl (netid) ", 0), 0u) << run.out;
}

#endif  // NETID_REGCTL_EXE

}  // namespace
