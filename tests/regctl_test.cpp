// regctl: its parsing and formatting parts directly, and the program itself
// run as a process against the registry.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
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
        {{"save", "\\\\box\\HKLM\\a", "f"}, false, "ERROR: Invalid key name."},
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
}

// ------------------------------------------------------------------ value data

TEST(RegctlValues, ParsesDataOfEachType)
{
    struct Case {
        const char* type;
        const char* text;
        const char* separator;
        bool ok;
        Bytes data;
    };
    const Case cases[] = {
        {"REG_SZ", "abc", "\\0", true, Text("abc")},
        {"reg_sz", "", "\\0", true, B({0})},
        {"REG_EXPAND_SZ", "%X%", "\\0", true, Text("%X%")},
        {"REG_DWORD", "4294967295", "\\0", true, B({0xff, 0xff, 0xff, 0xff})},
        {"REG_DWORD", "4294967296", "\\0", false, {}},
        {"REG_DWORD", "0x1A", "\\0", true, B({0x1a, 0, 0, 0})},
        {"REG_DWORD", "0x100000000", "\\0", false, {}},
        {"REG_DWORD", "-1", "\\0", false, {}},
        {"REG_DWORD", "12a", "\\0", false, {}},
        {"REG_DWORD", "0x", "\\0", false, {}},
        {"REG_DWORD", "", "\\0", true, B({0, 0, 0, 0})},
        {"REG_DWORD_BIG_ENDIAN", "0x01020304", "\\0", true, B({1, 2, 3, 4})},
        {"REG_QWORD", "0xffffffffffffffff", "\\0", true, B({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})},
        {"REG_QWORD", "18446744073709551616", "\\0", false, {}},
        {"REG_QWORD", "258", "\\0", true, B({2, 1, 0, 0, 0, 0, 0, 0})},
        {"REG_BINARY", "C0a8000A0101", "\\0", true, B({0xc0, 0xa8, 0, 0x0a, 1, 1})},
        {"REG_BINARY", "", "\\0", true, {}},
        {"REG_BINARY", "abc", "\\0", false, {}},
        {"REG_BINARY", "zz", "\\0", false, {}},
        {"REG_MULTI_SZ", "a\\0bc", "\\0", true, B({'a', 0, 'b', 'c', 0, 0})},
        {"REG_MULTI_SZ", "fax\\0mail\\0", "\\0", true, B({'f', 'a', 'x', 0, 'm', 'a', 'i', 'l', 0, 0})},
        {"REG_MULTI_SZ", "a#b", "#", true, B({'a', 0, 'b', 0, 0})},
        {"REG_MULTI_SZ", "c:\\dir#d", "#", true, B({'c', ':', '\\', 'd', 'i', 'r', 0, 'd', 0, 0})},
        {"REG_MULTI_SZ", "", "\\0", true, B({0})},
        {"REG_MULTI_SZ", "a\\0\\0b", "\\0", false, {}},
        {"REG_NONE", "", "\\0", true, {}},
        {"REG_NONE", "x", "\\0", true, Text("x")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + c.text);
        DWORD type = 0;
        ASSERT_TRUE(regctl::ParseTypeName(c.type, type));
        Bytes data = B({0x55});
        std::string error;
        ASSERT_EQ(regctl::ParseValueData(type, c.text, c.separator, data, error), c.ok);
        if (c.ok) {
            EXPECT_EQ(data, c.data);
        } else {
            EXPECT_FALSE(error.empty());
            EXPECT_EQ(data, B({0x55}));  // untouched
        }
    }
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
        {REG_DWORD_BIG_ENDIAN, B({0, 0, 1, 2}), "\\0", "0x102"},
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
        {"latin1", REG_SZ, Text("caf\xe9")},
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
    EXPECT_EQ(ops[2].data, B({'a', 0, 0xe9, 0, 0}));
    EXPECT_EQ(ops[3].data, B({0xe9, 't', 0xe9, 0}));
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

    // A character beyond the 8-bit range cannot be stored.
    EXPECT_FALSE(regctl::DecodeRegFile(std::string("\xff\xfe\x41\x01", 4), text, error));
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
    return "\"" + arg + "\"";
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

RunResult Regctl(const std::vector<std::string>& args)
{
    std::string line = Quote(NETID_REGCTL_EXE);
    for (const std::string& arg : args) line += " " + Quote(arg);
    RunResult run;
    run.status = RunProcess(line, &run.out, &run.err);
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
    Add({m_key + "\\System\\Sub1"});
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
    EXPECT_EQ(run.out, "\n" + k + "\n" +
                           values + "\n" +
                           k + "\\Sub1\n" + k + "\\Sub2\n" + "\n");

    run = Regctl({"query", k, "/v", "AmsNetId"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "\n" + k + "\n    AmsNetId    REG_BINARY    C0A8000A0101\n\n");

    run = Regctl({"query", k, "/v", "List", "/se", "#"});
    EXPECT_EQ(run.out, "\n" + k + "\n    List    REG_MULTI_SZ    a#b\n\n");

    run = Regctl({"query", k + "\\Sub1", "/ve"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "\n" + k + "\\Sub1\n    (Default)    REG_SZ    (value not set)\n\n");

    run = Regctl({"query", k, "/s"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "\n" + k + "\n" +
                           values + "\n" +
                           k + "\\Sub1\n\n" + k + "\\Sub2\n" + "    X    REG_EXPAND_SZ    %P%\n\n");

    run = Regctl({"query", m_key, "/v", "X", "/s"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "\n" + k + "\\Sub2\n    X    REG_EXPAND_SZ    %P%\n\nEnd of search: 1 match(es) found.\n");

    // Short and long root names and any case reach the same key.
    run = Regctl({"query", "hkcu\\" + m_scratch.Path() + "\\System", "/v", "Count"});
    EXPECT_EQ(run.out, "\n" + k + "\n    Count    REG_DWORD    0x2a\n\n");
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
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        RunResult run = Regctl(c.args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, kNotFound);
    }
}

TEST_F(RegctlProgram, RefusesToOverwriteOrDeleteWithoutForce)
{
    Add({m_key, "/v", "V", "/d", "first"});
    Add({m_key + "\\Child"});

    RunResult run = Regctl({"add", m_key, "/v", "V", "/d", "second"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("ERROR: ", 0), 0u);
    EXPECT_NE(run.err.find("/f"), std::string::npos);
    EXPECT_EQ(Regctl({"query", m_key, "/v", "V"}).out, "\n" + m_key + "\n    V    REG_SZ    first\n\n");

    Add({m_key, "/v", "V", "/d", "second", "/f"});
    EXPECT_EQ(Regctl({"query", m_key, "/v", "V"}).out, "\n" + m_key + "\n    V    REG_SZ    second\n\n");

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"delete", m_key + "\\Child"}, {"delete", m_key, "/v", "V"}, {"delete", m_key, "/va"}}) {
        run = Regctl(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("needs /f"), std::string::npos) << run.err;
    }
    run = Regctl({"query", m_key});
    EXPECT_EQ(run.out, "\n" + m_key + "\n    V    REG_SZ    second\n\n" + m_key + "\\Child\n\n");
}

TEST_F(RegctlProgram, DeletesValuesAndTrees)
{
    Add({m_key + "\\T\\A\\B", "/v", "deep", "/d", "x"});
    Add({m_key + "\\T", "/v", "one", "/d", "1"});
    Add({m_key + "\\T", "/v", "two", "/d", "2"});
    Add({m_key + "\\T", "/ve", "/d", "d"});

    RunResult run = Regctl({"delete", m_key + "\\T", "/ve", "/f"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Regctl({"query", m_key + "\\T"}).out,
              "\n" + m_key + "\\T\n    one    REG_SZ    1\n    two    REG_SZ    2\n\n" + m_key + "\\T\\A\n\n");

    run = Regctl({"delete", m_key + "\\T", "/va", "/f"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Regctl({"query", m_key + "\\T"}).out, "\n" + m_key + "\\T\n" + m_key + "\\T\\A\n\n");

    run = Regctl({"delete", m_key + "\\T", "/f"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kOk);
    EXPECT_EQ(Regctl({"query", m_key + "\\T"}).status, 1);
    EXPECT_EQ(Regctl({"query", m_key}).out, "\n" + m_key + "\n");

    // A root is never deleted.
    run = Regctl({"delete", "HKCU", "/f"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Invalid key name"), std::string::npos);
}

TEST_F(RegctlProgram, ExportThenImportRestoresTheTree)
{
    Add({m_key + "\\E", "/v", "Bin", "/t", "REG_BINARY", "/d", "00FF10"});
    Add({m_key + "\\E", "/v", "Str", "/d", "c:\\dir\\x y"});
    Add({m_key + "\\E", "/v", "Exp", "/t", "REG_EXPAND_SZ", "/d", "%X%\\y"});
    Add({m_key + "\\E", "/v", "Multi", "/t", "REG_MULTI_SZ", "/d", "a#b", "/s", "#"});
    Add({m_key + "\\E\\Sub", "/v", "Q", "/t", "REG_QWORD", "/d", "7"});
    RunResult before = Regctl({"query", m_key + "\\E", "/s"});
    ASSERT_EQ(before.status, 0);

    std::string file = File(".reg");
    RunResult run = Regctl({"export", m_key + "\\E", file});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kOk);
    std::ifstream in(file, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content.rfind("Windows Registry Editor Version 5.00\r\n\r\n[" + m_key + "\\E]\r\n", 0), 0u);

    // An existing file is kept unless /y says otherwise.
    run = Regctl({"export", m_key + "\\E", file});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("/y"), std::string::npos);
    EXPECT_EQ(Regctl({"export", m_key + "\\E", file, "/y"}).status, 0);

    ASSERT_EQ(Regctl({"delete", m_key + "\\E", "/f"}).status, 0);
    run = Regctl({"import", file});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kOk);
    EXPECT_EQ(Regctl({"query", m_key + "\\E", "/s"}).out, before.out);
}

TEST_F(RegctlProgram, ImportsUtf16FilesAndChangesNothingOnAnError)
{
    std::string source = "Windows Registry Editor Version 5.00\r\n\r\n"
                         "[" + m_key + "\\U]\r\n"
                         "\"Name\"=\"Gr\xfc\xdf""e\"\r\n"
                         "\"Net\"=hex:c0,a8,00,0a,\\\r\n  01,01\r\n"
                         "@=dword:00000010\r\n\r\n";
    std::string raw = "\xff\xfe";
    for (char ch : source) {
        raw += ch;
        raw += '\0';
    }
    std::string file = File(".reg");
    {
        std::ofstream outFile(file, std::ios::binary);
        outFile << raw;
    }
    RunResult run = Regctl({"import", file});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string name = "    Name    REG_SZ    Gr\xfc\xdf" "e\n";
    const std::string net = "    Net    REG_BINARY    C0A8000A0101\n";
    const std::string dflt = "    (Default)    REG_DWORD    0x10\n";
    // Wine deviation: Wine lists values sorted by name, not in the file's order.
    EXPECT_EQ(Regctl({"query", m_key + "\\U"}).out,
              "\n" + m_key + "\\U\n" +
                  (RunningUnderWine() ? dflt + name + net : name + net + dflt) + "\n");

    // A broken line anywhere: nothing of the file is applied.
    std::string broken = File("-broken.reg");
    {
        std::ofstream outFile(broken, std::ios::binary);
        outFile << "Windows Registry Editor Version 5.00\r\n\r\n[" << m_key << "\\New]\r\n\"a\"=\"1\"\r\n"
                << "[-" << m_key << "\\U]\r\n\"b\"=hex:zz\r\n";
    }
    run = Regctl({"import", broken});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Line 6"), std::string::npos) << run.err;
    EXPECT_EQ(Regctl({"query", m_key + "\\New"}).status, 1);
    EXPECT_EQ(Regctl({"query", m_key + "\\U", "/v", "Net"}).status, 0);

    run = Regctl({"import", File("-missing.reg")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ERROR: The system cannot find the file specified.\n");
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

    // Without /y an existing file stays as it is; with /y it is replaced.
    std::ifstream first(hive, std::ios::binary);
    std::string saved((std::istreambuf_iterator<char>(first)), std::istreambuf_iterator<char>());
    first.close();
    Add({m_key + "\\S", "/v", "later", "/d", "x"});
    run = Regctl({"save", m_key + "\\S", hive});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("/y"), std::string::npos);
    std::ifstream second(hive, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(second)), std::istreambuf_iterator<char>()), saved);
    second.close();

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

    for (const char* verb : {"add", "query", "delete", "save", "restore", "load", "unload", "export", "import"}) {
        run = Regctl({verb, "/?"});
        EXPECT_EQ(run.status, 0);
        EXPECT_NE(run.out.find(std::string("REGCTL ") + regctl::ToUpper(verb)), std::string::npos) << verb;
    }
    run = Regctl({"/?"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("REGCTL Operation"), std::string::npos);
}

#endif  // NETID_REGCTL_EXE

}  // namespace
