// Hive files on their own: what goes in comes out, other tools read them the
// same way, and broken files are refused without harm.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <hivex.h>

#include "platform/posix/hive_file.h"
#include "platform/posix/text.h"
#include "support/environment.h"

using netid::posix::RegTree;
using netid::posix::RegValue;
namespace hive = netid::posix::hive;

namespace {

class HiveFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/netid-hive-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { RunProcess("rm -rf '" + m_dir + "'"); }
    std::string File(const std::string& name) const { return m_dir + "/" + name; }

    std::string m_dir;
};

std::vector<BYTE> Bytes(const std::string& s) { return std::vector<BYTE>(s.begin(), s.end()); }

std::vector<BYTE> Pattern(std::size_t n)
{
    std::vector<BYTE> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(i * 31 + i / 251);
    return v;
}

// One value of every type, the default value, empty data and long data.
RegTree SampleTree()
{
    RegTree t;
    t.name = u"Sample";
    t.lastWrite = 132500000000000000ULL;
    t.values = {
        {u"", REG_SZ, Bytes(std::string("default\0", 8))},
        {u"none", REG_NONE, {1, 2, 3}},
        {u"sz", REG_SZ, Bytes(std::string("text\0", 5))},
        {u"expand", REG_EXPAND_SZ, Bytes(std::string("%PATH%;x\0", 9))},
        {u"binary", REG_BINARY, {0, 0xFF, 0x80, 7}},
        {u"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {u"dwordbe", REG_DWORD_BIG_ENDIAN, {0x12, 0x34, 0x56, 0x78}},
        {u"multi", REG_MULTI_SZ, Bytes(std::string("a\0bc\0\0", 6))},
        {u"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"emptybin", REG_BINARY, {}},
        {u"emptysz", REG_SZ, {}},
        {u"oddtype", 0x12345, {9}},
        {u"big", REG_BINARY, Pattern(100000)},
        {u"edge", REG_BINARY, Pattern(16345)},
        {u"latin\u00e9", REG_SZ, Bytes(std::string("\xE9t\xE9\0", 4))},
    };
    RegTree a;
    a.name = u"Alpha";
    a.lastWrite = 131000000000000000ULL;
    a.values = {{u"q", REG_QWORD, {8, 7, 6, 5, 4, 3, 2, 1}}};
    RegTree deep;
    deep.name = u"Deep";
    deep.lastWrite = 130000000000000000ULL;
    deep.values = {{u"", REG_DWORD, {1, 0, 0, 0}}};
    a.subkeys.push_back(deep);
    RegTree b;
    b.name = u"Beta";
    b.lastWrite = 129000000000000000ULL;
    t.subkeys = {a, b};
    return t;
}

void ExpectSameTree(const RegTree& want, const RegTree& got, const std::string& where)
{
    EXPECT_EQ(want.lastWrite, got.lastWrite) << where;
    ASSERT_EQ(want.values.size(), got.values.size()) << where;
    for (std::size_t i = 0; i < want.values.size(); ++i) {
        EXPECT_EQ(want.values[i].name, got.values[i].name) << where;
        EXPECT_EQ(want.values[i].type, got.values[i].type) << where << " " << netid::posix::Utf16ToUtf8(want.values[i].name);
        EXPECT_EQ(want.values[i].data, got.values[i].data) << where << " " << netid::posix::Utf16ToUtf8(want.values[i].name);
    }
    ASSERT_EQ(want.subkeys.size(), got.subkeys.size()) << where;
    for (std::size_t i = 0; i < want.subkeys.size(); ++i) {
        EXPECT_EQ(want.subkeys[i].name, got.subkeys[i].name) << where;
        ExpectSameTree(want.subkeys[i], got.subkeys[i], where + "\\" + netid::posix::Utf16ToUtf8(want.subkeys[i].name));
    }
}

std::vector<BYTE> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<BYTE>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST_F(HiveFileTest, EveryValueTypeComesBackExactly)
{
    RegTree tree = SampleTree();
    ASSERT_EQ(ERROR_SUCCESS, hive::WriteHiveFile(File("a.hiv"), tree));
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("a.hiv"), back));
    EXPECT_EQ(u"Sample", back.name);
    EXPECT_FALSE(back.security.empty());
    ExpectSameTree(tree, back, "Sample");
}

TEST_F(HiveFileTest, EmptyHiveIsAValidHive)
{
    std::vector<BYTE> img = hive::EmptyHiveImage("Empty", {});
    ASSERT_EQ(8192u, img.size());
    EXPECT_EQ(hive::BaseBlockChecksum(img.data()),
              static_cast<DWORD>(img[508] | img[509] << 8 | img[510] << 16 | img[511] << 24));
    WriteBytes(File("e.hiv"), img);
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("e.hiv"), back));
    EXPECT_EQ(u"Empty", back.name);
    EXPECT_TRUE(back.values.empty());
    EXPECT_TRUE(back.subkeys.empty());
    std::string out;
    EXPECT_EQ(0, RunProcess("hivexsh '" + File("e.hiv") + "' </dev/null", &out));
}

TEST_F(HiveFileTest, SecurityOfTheTopKeyIsKept)
{
    RegTree tree;
    tree.name = u"Secure";
    std::vector<BYTE> first;
    {
        ASSERT_EQ(ERROR_SUCCESS, hive::WriteHiveFile(File("s0.hiv"), tree));
        RegTree back;
        ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("s0.hiv"), back));
        first = back.security;
    }
    // A descriptor of our own: owner and group only, no DACL.
    std::vector<BYTE> sd = {1, 0, 0x00, 0x80, 20, 0, 0, 0, 32, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    tree.security = sd;
    ASSERT_EQ(ERROR_SUCCESS, hive::WriteHiveFile(File("s1.hiv"), tree));
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("s1.hiv"), back));
    EXPECT_EQ(sd, back.security);
    EXPECT_NE(first, back.security);
}

TEST_F(HiveFileTest, ValuesLongerThanTheLimitAreRefused)
{
    RegTree tree;
    tree.name = u"Huge";
    tree.values = {{u"v", REG_BINARY, std::vector<BYTE>(hive::kMaxValueData + 1, 1)}};
    EXPECT_EQ(hive::kValueTooLarge, hive::WriteHiveFile(File("h.hiv"), tree));
    tree.values[0].data.resize(hive::kMaxValueData);
    ASSERT_EQ(ERROR_SUCCESS, hive::WriteHiveFile(File("h.hiv"), tree));
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("h.hiv"), back));
    ASSERT_EQ(1u, back.values.size());
    EXPECT_EQ(tree.values[0].data, back.values[0].data);
}

// The export of the file by libhivex's own tool names the same keys, values,
// types and data.
TEST_F(HiveFileTest, ExportByHivexregeditMatches)
{
    RegTree tree;
    tree.name = u"Top";
    tree.values = {
        {u"", REG_SZ, Bytes(std::string("d\0", 2))},
        {u"bin", REG_BINARY, {0xde, 0xad}},
        {u"dw", REG_DWORD, {1, 0, 0, 0}},
        {u"be", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 2}},
        {u"q", REG_QWORD, {3, 0, 0, 0, 0, 0, 0, 0}},
        {u"none", REG_NONE, {}},
    };
    RegTree sub;
    sub.name = u"Sub";
    sub.values = {{u"m", REG_MULTI_SZ, Bytes(std::string("x\0\0", 3))}};
    tree.subkeys = {sub};
    ASSERT_EQ(ERROR_SUCCESS, hive::WriteHiveFile(File("x.hiv"), tree));

    std::string out, err;
    ASSERT_EQ(0, RunProcess("hivexregedit --export '" + File("x.hiv") + "' '\\'", &out, &err))
        << err;
    const char* expected[] = {
        "[\\]",
        "@=hex(1):64,00,00,00",
        "\"be\"=hex(5):00,00,00,02",
        "\"bin\"=hex(3):de,ad",
        "\"dw\"=dword:00000001",
        "\"none\"=hex(0):",
        "\"q\"=hex(b):03,00,00,00,00,00,00,00",
        "[\\Sub]",
        "\"m\"=hex(7):78,00,00,00,00,00",
    };
    std::size_t from = 0;
    for (const char* line : expected) {
        std::size_t at = out.find(std::string(line) + "\n", from);
        EXPECT_NE(std::string::npos, at) << line << "\n--- export:\n" << out;
        if (at != std::string::npos) from = at;
    }
    std::string sh;
    {
        std::ofstream script(File("cmds"));
        script << "cd Sub\nlsval\n";
    }
    EXPECT_EQ(0, RunProcess("hivexsh -f '" + File("cmds") + "' '" + File("x.hiv") + "'", &sh));
    EXPECT_NE(std::string::npos, sh.find("\"m\"")) << sh;
}

// Texts lie in the file as UTF-16LE, as Windows writes them, and come back
// byte for byte, as the store keeps them.
TEST_F(HiveFileTest, TextsComeBackByteForByte)
{
    RegTree tree;
    tree.name = u"T";
    ASSERT_EQ(ERROR_SUCCESS, hive::WriteHiveFile(File("w.hiv"), tree));
    // Values as Windows would have written them, set with libhivex itself.
    struct Raw {
        const char* name;
        DWORD type;
        std::string fileData;
        std::string storeData;
    };
    const Raw raws[] = {
        {"latin", REG_SZ, std::string("\xE9\0t\0\0\0", 6), std::string("\xE9\0t\0\0\0", 6)},
        {"euro", REG_EXPAND_SZ, std::string("\xAC\x20\0\0", 4), std::string("\xAC\x20\0\0", 4)},
        {"list", REG_MULTI_SZ, std::string("a\0\0\0\0\0", 6), std::string("a\0\0\0\0\0", 6)},
        {"odd", REG_SZ, std::string("abc", 3), std::string("abc", 3)},
        {"bytes", REG_BINARY, std::string("a\0", 2), std::string("a\0", 2)},
    };
    {
        hive_h* h = hivex_open(File("w.hiv").c_str(), HIVEX_OPEN_WRITE);
        ASSERT_NE(nullptr, h);
        std::vector<hive_set_value> set;
        for (const Raw& r : raws) {
            set.push_back({const_cast<char*>(r.name), static_cast<hive_type>(r.type),
                           r.fileData.size(), const_cast<char*>(r.fileData.data())});
        }
        ASSERT_EQ(0, hivex_node_set_values(h, hivex_root(h), set.size(), set.data(), 0));
        ASSERT_EQ(0, hivex_commit(h, nullptr, 0));
        hivex_close(h);
    }
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("w.hiv"), back));
    ASSERT_EQ(std::size(raws), back.values.size());
    for (const Raw& r : raws) {
        bool found = false;
        for (const RegValue& v : back.values) {
            if (v.name == netid::posix::Utf8ToUtf16(r.name)) {
                found = true;
                EXPECT_EQ(Bytes(r.storeData), v.data) << r.name;
                EXPECT_EQ(r.type, v.type) << r.name;
            }
        }
        EXPECT_TRUE(found) << r.name;
    }
    // And what the store writes is what Windows would have written.
    ASSERT_EQ(ERROR_SUCCESS, hive::WriteHiveFile(File("w2.hiv"), back));
    std::string out;
    ASSERT_EQ(0, RunProcess("hivexregedit --export '" + File("w2.hiv") + "' '\\'", &out));
    EXPECT_NE(std::string::npos, out.find("\"list\"=hex(7):61,00,00,00,00,00\n")) << out;
}

// Broken files of several kinds: each is refused with the right status.
TEST_F(HiveFileTest, BrokenFilesAreRefused)
{
    ASSERT_EQ(ERROR_SUCCESS, hive::WriteHiveFile(File("good.hiv"), SampleTree()));
    const std::vector<BYTE> good = ReadBytes(File("good.hiv"));
    ASSERT_GT(good.size(), 8192u);

    struct Case {
        const char* what;
        std::vector<BYTE> bytes;
        LONG status;
    };
    auto changed = [&](std::size_t at, BYTE value) {
        std::vector<BYTE> b = good;
        b[at] = value;
        return b;
    };
    std::vector<Case> cases = {
        {"empty file", {}, ERROR_BADDB},
        {"text", Bytes("REGEDIT4\r\n[HKEY_CURRENT_USER\\x]\r\n"), ERROR_BADDB},
        {"base block only", std::vector<BYTE>(good.begin(), good.begin() + 4096), ERROR_BADDB},
        {"cut in the bins", std::vector<BYTE>(good.begin(), good.begin() + good.size() / 2), ERROR_BADDB},
        {"bad signature", changed(0, 'x'), ERROR_BADDB},
        {"bad checksum", changed(508, static_cast<BYTE>(good[508] ^ 1)), ERROR_BADDB},
        {"bin signature", changed(4096, 'x'), ERROR_BADDB},
        {"cell size", changed(4096 + 32, 3), ERROR_REGISTRY_CORRUPT},
    };
    for (const Case& c : cases) {
        WriteBytes(File("bad.hiv"), c.bytes);
        RegTree out;
        EXPECT_EQ(c.status, hive::ReadHiveFile(File("bad.hiv"), out)) << c.what;
    }
    RegTree out;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, hive::ReadHiveFile(File("missing.hiv"), out));
}

// Any single damaged byte in the cells gives a status, never a crash (the
// sanitizer build watches the reads).
TEST_F(HiveFileTest, DamagedCellsNeverCrash)
{
    ASSERT_EQ(ERROR_SUCCESS, hive::WriteHiveFile(File("good.hiv"), SampleTree()));
    const std::vector<BYTE> good = ReadBytes(File("good.hiv"));
    std::size_t refused = 0;
    for (std::size_t at = 4096 + 32; at < 4096 + 4096; at += 7) {
        std::vector<BYTE> b = good;
        b[at] ^= 0xA5;
        WriteBytes(File("bad.hiv"), b);
        RegTree out;
        LONG status = hive::ReadHiveFile(File("bad.hiv"), out);
        EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_BADDB || status == ERROR_REGISTRY_CORRUPT)
            << "byte " << at << " status " << status;
        if (status != ERROR_SUCCESS) ++refused;
    }
    EXPECT_GT(refused, 0u);
}

}  // namespace
