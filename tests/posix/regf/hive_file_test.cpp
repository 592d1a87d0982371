// SPDX-License-Identifier: LGPL-2.1-or-later
// Hive files on their own: what goes in comes out unit for unit and byte for
// byte, libhivex reads our files and we read its, the layout is what Windows
// relies on (sorted lists, shared security cells), and broken files are
// refused without harm. (Hostile files in bulk: hive_fuzz_test.cpp.)
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <hivex.h>

#include "platform/posix/base/byte_order.h"
#include "platform/posix/regf/hive_file.h"
#include "platform/posix/base/reg_limits.h"
#include "platform/posix/regf/regf_format.h"
#include "platform/posix/security/security.h"
#include "platform/posix/base/text.h"
#include "support/environment.h"

using netid::posix::Get16;
using netid::posix::Get32;
using netid::posix::Put32;
using netid::posix::RegTree;
using netid::posix::RegValue;
using netid::posix::Upcase;
using netid::posix::Utf16ToUtf8;
namespace hive = netid::posix::hive;
namespace regf = netid::posix::hive::regf;

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

// UTF-16LE bytes of a text, as string data lies in a hive.
std::vector<BYTE> Wide(const std::u16string& s)
{
    std::vector<BYTE> out;
    for (char16_t u : s) {
        out.push_back(static_cast<BYTE>(u));
        out.push_back(static_cast<BYTE>(u >> 8));
    }
    return out;
}

std::vector<BYTE> Pattern(std::size_t n)
{
    std::vector<BYTE> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(i * 31 + i / 251);
    return v;
}

const std::u16string kLone(1, static_cast<char16_t>(0xD800));  // half a surrogate pair
const std::u16string kText = u"\u2122 \u20AC \u00C4 \u00E4 \u00DF \u03A9 \u4E2D \U0001F600";

std::vector<BYTE> OwnerOnlyDescriptor(BYTE rid)
{
    // Self-relative; owner and group S-1-5-<rid>, no DACL.
    return {1, 0, 0x00, 0x80, 20, 0, 0, 0, 32, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
            1, 1, 0, 0, 0, 0, 0, 5, rid, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 5, rid, 0, 0, 0};
}

// Every value type, the default value, empty, inline, one-segment and long
// data, string data that is odd in length or unterminated, names and texts
// beyond Latin-1, classes.
RegTree SampleTree()
{
    RegTree t;
    t.name = u"Sample";
    t.keyClass = u"Klasse" + kText;
    t.lastWrite = 132500000000000000ULL;
    t.values = {
        {u"", REG_SZ, Wide(std::u16string(u"default\0", 8))},
        {u"none", REG_NONE, {1, 2, 3}},
        {u"sz", REG_SZ, Wide(kText + std::u16string(1, 0))},
        {u"odd", REG_SZ, {'a', 0, 'b'}},
        {u"unterminated", REG_EXPAND_SZ, Wide(u"%PATH%")},
        {u"lone", REG_SZ, Wide(u"x" + kLone)},
        {u"binary", REG_BINARY, {0, 0xFF, 0x80, 7}},
        {u"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {u"multi", REG_MULTI_SZ, Wide(std::u16string(u"a\0b\u20AC\0\0", 6))},
        {u"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"emptybin", REG_BINARY, {}},
        {u"oddtype", 0x12345, {9}},
        {u"big", REG_BINARY, Pattern(100000)},
        {u"segment", REG_BINARY, Pattern(16344)},
        {u"segment+1", REG_BINARY, Pattern(16345)},
        {u"v\u2122", REG_DWORD, {1, 0, 0, 0}},
        {u"v\u20AC", REG_DWORD, {2, 0, 0, 0}},  // the same as v™ in 8 bits
        {u"\u00DF\u03A9\u4E2D\U0001F600" + kLone, REG_BINARY, {5}},
    };
    for (const char16_t* name : {u"Alpha", u"weird\u2122", u"\u4E2D\u6587", u"\U0001F600", u"Latin\u00C4"}) {
        RegTree k;
        k.name = name;
        k.lastWrite = 131000000000000000ULL + k.name.size();
        k.values = {{u"q", REG_QWORD, {8, 7, 6, 5, 4, 3, 2, 1}}};
        t.subkeys.push_back(k);
    }
    RegTree lone;
    lone.name = u"lone" + kLone;
    t.subkeys.push_back(lone);
    RegTree deep;
    deep.name = u"Deep";
    deep.keyClass = u"c";
    deep.values = {{u"", REG_DWORD, {1, 0, 0, 0}}};
    t.subkeys[0].subkeys.push_back(deep);
    return t;
}

// Everything the file keeps; security only where `want` has its own.
void ExpectSameTree(const RegTree& want, const RegTree& got, const std::string& where)
{
    EXPECT_EQ(want.name, got.name) << where;
    EXPECT_EQ(want.keyClass, got.keyClass) << where;
    EXPECT_EQ(want.lastWrite, got.lastWrite) << where;
    if (!want.security.empty()) {
        EXPECT_EQ(want.security, got.security) << where;
    }
    ASSERT_EQ(want.values.size(), got.values.size()) << where;
    for (std::size_t i = 0; i < want.values.size(); ++i) {
        const std::string name = where + ":" + Utf16ToUtf8(want.values[i].name);
        EXPECT_EQ(want.values[i].name, got.values[i].name) << name;
        EXPECT_EQ(want.values[i].type, got.values[i].type) << name;
        EXPECT_EQ(want.values[i].data, got.values[i].data) << name;
    }
    ASSERT_EQ(want.subkeys.size(), got.subkeys.size()) << where;
    for (std::size_t i = 0; i < want.subkeys.size(); ++i) {
        ExpectSameTree(want.subkeys[i], got.subkeys[i], where + "\\" + Utf16ToUtf8(want.subkeys[i].name));
    }
}

// The tree with its sub-keys in the registry's order, as a file gives them.
RegTree Sorted(RegTree t)
{
    for (RegTree& sub : t.subkeys) sub = Sorted(sub);
    std::stable_sort(t.subkeys.begin(), t.subkeys.end(),
                     [](const RegTree& a, const RegTree& b) { return Upcase(a.name) < Upcase(b.name); });
    return t;
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

bool Contains(const std::vector<BYTE>& hay, const std::vector<BYTE>& needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// The used cells of an image, by their offset, walked through the bins on
// their own (not through the records that point at them).
std::map<DWORD, const BYTE*> UsedCells(const std::vector<BYTE>& img)
{
    std::map<DWORD, const BYTE*> cells;
    const DWORD bins = Get32(&img[regf::kBaseBinsSize]);
    const BYTE* base = img.data() + regf::kBaseBlockSize;
    for (DWORD bin = 0; bin < bins; bin += Get32(base + bin + regf::kBinSize)) {
        const DWORD end = bin + Get32(base + bin + regf::kBinSize);
        for (DWORD at = bin + regf::kBinHeaderSize; at < end;) {
            const auto size = static_cast<std::int32_t>(Get32(base + at));
            if (size < 0) cells[at] = base + at + regf::kCellSizeField;
            at += static_cast<DWORD>(size < 0 ? -size : size);
        }
    }
    return cells;
}

// The names of an image's keys with the hash their lh entry gives them.
std::map<std::string, DWORD> LeafHashes(const std::vector<BYTE>& img)
{
    std::map<DWORD, const BYTE*> cells = UsedCells(img);
    std::map<std::string, DWORD> hashes;
    for (const auto& [off, body] : cells) {
        if (std::memcmp(body, "lh", 2) != 0) continue;
        for (WORD i = 0; i < Get16(body + regf::kListCount); ++i) {
            const BYTE* nk = cells.at(Get32(body + regf::kListEntries + 8 * i));
            std::string name(reinterpret_cast<const char*>(nk + regf::kNkName), Get16(nk + regf::kNkNameLength));
            hashes[name] = Get32(body + regf::kListEntries + 8 * i + 4);
        }
    }
    return hashes;
}

TEST_F(HiveFileTest, EverythingComesBackUnitForUnitAndByteForByte)
{
    const RegTree tree = SampleTree();
    ASSERT_EQ(ERROR_SUCCESS, hive::WriteHiveFile(File("a.hiv"), tree));
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("a.hiv"), back));
    ExpectSameTree(Sorted(tree), back, "Sample");
    EXPECT_FALSE(back.security.empty());

    // The same tree gives the same bytes: a caller can tell "unchanged".
    std::vector<BYTE> image;
    ASSERT_EQ(ERROR_SUCCESS, hive::HiveImage(tree, image));
    EXPECT_EQ(ReadBytes(File("a.hiv")), image);

    // Names as Windows keeps them: one byte a unit where every unit is below
    // 256, UTF-16LE where one is not; classes as UTF-16LE.
    EXPECT_TRUE(Contains(image, Bytes("Latin\xC4")));
    EXPECT_TRUE(Contains(image, Wide(u"weird\u2122")));
    EXPECT_FALSE(Contains(image, Wide(u"Alpha")));
    EXPECT_TRUE(Contains(image, Wide(u"Klasse")));
}

TEST_F(HiveFileTest, HivexReadsOurFiles)
{
    RegTree tree;
    tree.name = u"Top";
    tree.values = {
        {u"", REG_SZ, Wide(std::u16string(u"d\0", 2))},
        {u"bin", REG_BINARY, {0xde, 0xad}},
        {u"dw", REG_DWORD, {1, 0, 0, 0}},
        {u"q", REG_QWORD, {3, 0, 0, 0, 0, 0, 0, 0}},
        {u"none", REG_NONE, {}},
        {u"v\u2122", REG_SZ, Wide(kText)},
        {u"big", REG_BINARY, Pattern(100000)},
    };
    RegTree sub;
    sub.name = u"Sub\u20AC";
    sub.values = {{u"m", REG_MULTI_SZ, Wide(std::u16string(u"x\0\0", 3))}};
    tree.subkeys = {sub};
    ASSERT_EQ(ERROR_SUCCESS, hive::WriteHiveFile(File("x.hiv"), tree));

    std::string out, err;
    ASSERT_EQ(0, RunProcess("hivexregedit --export '" + File("x.hiv") + "' '\\' 2>/dev/null", &out, &err)) << err;
    const char* expected[] = {
        "[\\]",
        "@=hex(1):64,00,00,00",
        "\"bin\"=hex(3):de,ad",
        "\"dw\"=dword:00000001",
        "\"none\"=hex(0):",
        "\"q\"=hex(b):03,00,00,00,00,00,00,00",
        "\"v\xE2\x84\xA2\"=hex(1):22,21,20,00,ac,20,20,00,c4,00,20,00,e4,00,20,00,df,00,20,00,a9,03,20,00,2d,4e,"
        "20,00,3d,d8,00,de",
        "[\\Sub\xE2\x82\xAC]",
        "\"m\"=hex(7):78,00,00,00,00,00",
    };
    for (const char* line : expected) {
        EXPECT_NE(std::string::npos, out.find(std::string(line) + "\n")) << line << "\n--- export:\n"
                                                                        << out.substr(0, 2000);
    }

    // Long data in db records, as libhivex reads them.
    hive_h* h = hivex_open(File("x.hiv").c_str(), 0);
    ASSERT_NE(nullptr, h);
    hive_type type{};
    size_t len = 0;
    char* data = hivex_value_value(h, hivex_node_get_value(h, hivex_root(h), "big"), &type, &len);
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(Pattern(100000), std::vector<BYTE>(data, data + len));
    free(data);
    hivex_close(h);
}

TEST_F(HiveFileTest, WeReadHivexFiles)
{
    RegTree top;
    top.name = u"T";
    ASSERT_EQ(ERROR_SUCCESS, hive::WriteHiveFile(File("w.hiv"), top));
    // Keys and values added by libhivex, which lays out lists and cells in
    // its own way.
    const std::string euro = "\xE2\x82\xAC";
    const std::vector<std::string> children = {"zeta", "Alpha", "_under", "beta", "d\xC3\xA4", "w" + euro};
    const std::string odd("abc", 3);
    const std::string wide = std::string("\xAC\x20\0\0", 4);
    {
        hive_h* h = hivex_open(File("w.hiv").c_str(), HIVEX_OPEN_WRITE);
        ASSERT_NE(nullptr, h);
        for (const std::string& name : children) ASSERT_NE(0u, hivex_node_add_child(h, hivex_root(h), name.c_str()));
        hive_set_value set[] = {
            {const_cast<char*>("odd"), hive_t_REG_SZ, odd.size(), const_cast<char*>(odd.data())},
            {const_cast<char*>("v\xE2\x82\xAC"), hive_t_REG_EXPAND_SZ, wide.size(), const_cast<char*>(wide.data())},
        };
        ASSERT_EQ(0, hivex_node_set_values(h, hivex_root(h), 2, set, 0));
        ASSERT_EQ(0, hivex_commit(h, nullptr, 0));
        hivex_close(h);
    }
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("w.hiv"), back));
    ASSERT_EQ(2u, back.values.size());
    EXPECT_EQ(u"odd", back.values[0].name);
    EXPECT_EQ(Bytes(odd), back.values[0].data);
    EXPECT_EQ(u"v\u20AC", back.values[1].name);
    EXPECT_EQ(Bytes(wide), back.values[1].data);
    // In the registry's order: upper-cased, '_' (0x5F) after 'Z'.
    std::vector<std::u16string> names;
    for (const RegTree& k : back.subkeys) names.push_back(k.name);
    EXPECT_EQ((std::vector<std::u16string>{u"Alpha", u"beta", u"d\u00E4", u"w\u20AC", u"zeta", u"_under"}), names);

    // Hashes of the lh entries: ours agree with libhivex's (for ASCII names,
    // the ones it upper-cases as Windows does).
    std::vector<BYTE> ours;
    ASSERT_EQ(ERROR_SUCCESS, hive::HiveImage(back, ours));
    std::map<std::string, DWORD> theirs = LeafHashes(ReadBytes(File("w.hiv")));
    std::map<std::string, DWORD> mine = LeafHashes(ours);
    for (const char* name : {"zeta", "Alpha", "_under", "beta"}) EXPECT_EQ(theirs.at(name), mine.at(name)) << name;
}

// Each key keeps its own descriptor; keys with equal descriptors share one sk
// cell, whose count is the number of keys using it, on one circular list.
TEST_F(HiveFileTest, EveryKeyKeepsItsOwnSecurity)
{
    const std::vector<BYTE> a = netid::posix::DefaultKeySecurity(nullptr);
    const std::vector<BYTE> b = OwnerOnlyDescriptor(18);
    RegTree tree;
    tree.name = u"Top";
    tree.security = a;
    for (const char* name : {"one", "two", "three", "four"}) {
        RegTree k;
        k.name = netid::posix::U16(name);
        tree.subkeys.push_back(k);
    }
    tree.subkeys[0].security = b;
    tree.subkeys[1].security = a;
    tree.subkeys[2].security = b;
    tree.subkeys[3].subkeys.push_back(RegTree{u"heir", {}, {}, 0, false, {}, {}});  // inherits
    std::vector<BYTE> image;
    ASSERT_EQ(ERROR_SUCCESS, hive::HiveImage(tree, image));
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveImage(image.data(), image.size(), back));
    EXPECT_EQ(a, back.security);
    const std::vector<BYTE> inherited = netid::posix::DefaultKeySecurity(&a);
    const std::vector<BYTE> inheritedTwice = netid::posix::DefaultKeySecurity(&inherited);
    std::map<std::u16string, std::vector<BYTE>> got;
    for (const RegTree& k : back.subkeys) got[k.name] = k.security;
    EXPECT_EQ(b, got[u"one"]);
    EXPECT_EQ(a, got[u"two"]);
    EXPECT_EQ(b, got[u"three"]);
    EXPECT_EQ(inherited, got[u"four"]);
    EXPECT_EQ(inheritedTwice, back.subkeys[0].subkeys.at(0).security);  // "four" sorts first

    std::map<DWORD, const BYTE*> cells = UsedCells(image);
    std::map<DWORD, DWORD> users;  // sk cell: keys pointing at it
    std::vector<DWORD> sks;
    for (const auto& [off, body] : cells) {
        if (std::memcmp(body, "nk", 2) == 0) ++users[Get32(body + regf::kNkSecurity)];
        if (std::memcmp(body, "sk", 2) == 0) sks.push_back(off);
    }
    const std::set<std::vector<BYTE>> distinct = {a, b, inherited, inheritedTwice};
    ASSERT_EQ(distinct.size(), sks.size());
    DWORD at = sks[0];
    for (std::size_t i = 0; i < sks.size(); ++i) {
        const BYTE* sk = cells.at(at);
        EXPECT_EQ(users[at], Get32(sk + regf::kSkReferences));
        const DWORD next = Get32(sk + regf::kSkNext);
        EXPECT_EQ(at, Get32(cells.at(next) + regf::kSkPrevious));
        at = next;
    }
    EXPECT_EQ(sks[0], at);
    DWORD keys = 0;
    for (DWORD sk : sks) keys += users[sk];
    EXPECT_EQ(6u, keys);
}

// One key with 10,000 sub-keys: a few MB at most, lists split into an ri of
// leaves, every name found in the registry's order by another reader too.
TEST_F(HiveFileTest, TenThousandSubKeysAreSortedAndSmall)
{
    RegTree tree;
    tree.name = u"Many";
    std::vector<std::u16string> names;
    for (int i = 0; i < 10000; ++i) {
        std::u16string name = netid::posix::U16((i % 3 == 0 ? "k" : i % 3 == 1 ? "K_" : "_") + std::to_string(i));
        if (i % 7 == 0) {
            name += u"\u00E4";
        }
        names.push_back(name);
    }
    std::shuffle(names.begin(), names.end(), std::mt19937(7));
    for (const std::u16string& name : names) tree.subkeys.push_back(RegTree{name, {}, {}, 0, false, {}, {}});
    ASSERT_EQ(ERROR_SUCCESS, hive::WriteHiveFile(File("many.hiv"), tree));
    EXPECT_LT(ReadBytes(File("many.hiv")).size(), 3u * 1024 * 1024);

    std::sort(names.begin(), names.end(),
              [](const std::u16string& a, const std::u16string& b) { return Upcase(a) < Upcase(b); });
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("many.hiv"), back));
    ASSERT_EQ(names.size(), back.subkeys.size());
    for (std::size_t i = 0; i < names.size(); ++i) ASSERT_EQ(names[i], back.subkeys[i].name) << i;

    // libhivex walks the lists in file order: the same order.
    hive_h* h = hivex_open(File("many.hiv").c_str(), 0);
    ASSERT_NE(nullptr, h);
    hive_node_h* children = hivex_node_children(h, hivex_root(h));
    ASSERT_NE(nullptr, children);
    std::size_t n = 0;
    for (; children[n] != 0; ++n) {
        char* name = hivex_node_name(h, children[n]);
        if (n < names.size()) {
            EXPECT_EQ(Utf16ToUtf8(names[n]), name) << n;
        }
        free(name);
    }
    EXPECT_EQ(names.size(), n);
    free(children);
    hivex_close(h);
}

TEST_F(HiveFileTest, VolatileKeysAreNotWritten)
{
    RegTree tree;
    tree.name = u"Top";
    tree.subkeys = {RegTree{u"lasting", {}, {}, 0, false, {}, {}}, RegTree{u"fleeting", {}, {}, 0, true, {}, {}}};
    std::vector<BYTE> image;
    ASSERT_EQ(ERROR_SUCCESS, hive::HiveImage(tree, image));
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveImage(image.data(), image.size(), back));
    ASSERT_EQ(1u, back.subkeys.size());
    EXPECT_EQ(u"lasting", back.subkeys[0].name);
}

// What older writers lay out: lf leaves (first characters as hints), li
// leaves (offsets alone), version 1.3 files.
TEST_F(HiveFileTest, OlderListsAndVersionsAreRead)
{
    RegTree tree;
    tree.name = u"Top";
    for (const char16_t* name : {u"b", u"A", u"c\u20AC"}) {
        tree.subkeys.push_back(RegTree{name, {}, {}, 0, false, {}, {}});
    }
    tree.values = {{u"v", REG_BINARY, Pattern(100)}};
    std::vector<BYTE> image;
    ASSERT_EQ(ERROR_SUCCESS, hive::HiveImage(tree, image));
    BYTE* root = &image[regf::kBaseBlockSize + Get32(&image[regf::kBaseRootCell]) + regf::kCellSizeField];
    BYTE* leaf = &image[regf::kBaseBlockSize + Get32(root + regf::kNkSubKeyList) + regf::kCellSizeField];
    ASSERT_EQ(0, std::memcmp(leaf, "lh", 2));
    RegTree back;

    std::memcpy(leaf, "lf", 2);
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveImage(image.data(), image.size(), back));
    ExpectSameTree(Sorted(tree), back, "lf");

    std::memcpy(leaf, "li", 2);
    for (WORD i = 0; i < 3; ++i) Put32(leaf + regf::kListEntries + 4 * i, Get32(leaf + regf::kListEntries + 8 * i));
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveImage(image.data(), image.size(), back));
    ExpectSameTree(Sorted(tree), back, "li");

    Put32(&image[regf::kBaseMinorVersion], 3);
    Put32(&image[regf::kBaseChecksum], hive::BaseBlockChecksum(image.data()));
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveImage(image.data(), image.size(), back));
    ExpectSameTree(Sorted(tree), back, "1.3");
}

// Nesting: kMaxDepth levels are written and read; one more is refused both
// ways (a file made deeper by libhivex).
TEST_F(HiveFileTest, NestingStopsAtTheDepthLimit)
{
    RegTree tree;
    tree.name = u"L1";
    RegTree* at = &tree;
    for (std::size_t level = 2; level <= netid::posix::kMaxDepth; ++level) {
        at->subkeys.push_back(RegTree{netid::posix::U16("L" + std::to_string(level)), {}, {}, 0, false, {}, {}});
        at = &at->subkeys.back();
    }
    ASSERT_EQ(ERROR_SUCCESS, hive::WriteHiveFile(File("deep.hiv"), tree));
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("deep.hiv"), back));

    hive_h* h = hivex_open(File("deep.hiv").c_str(), HIVEX_OPEN_WRITE);
    ASSERT_NE(nullptr, h);
    hive_node_h node = hivex_root(h);
    for (std::size_t level = 2; level <= netid::posix::kMaxDepth; ++level) {
        node = hivex_node_get_child(h, node, ("L" + std::to_string(level)).c_str());
        ASSERT_NE(0u, node);
    }
    ASSERT_NE(0u, hivex_node_add_child(h, node, "one-too-many"));
    ASSERT_EQ(0, hivex_commit(h, nullptr, 0));
    hivex_close(h);
    EXPECT_EQ(ERROR_REGISTRY_CORRUPT, hive::ReadHiveFile(File("deep.hiv"), back));

    at->subkeys.push_back(RegTree{u"one-too-many", {}, {}, 0, false, {}, {}});
    std::vector<BYTE> image;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, hive::HiveImage(tree, image));
}

TEST_F(HiveFileTest, TreesNoHiveHoldsAreRefused)
{
    auto with = [](auto change) {
        RegTree t;
        t.name = u"Top";
        t.subkeys = {RegTree{u"a", {}, {}, 0, false, {}, {}}};
        t.values = {{u"v", REG_DWORD, {1, 0, 0, 0}}};
        change(t);
        return t;
    };
    struct Case {
        const char* what;
        RegTree tree;
        LONG status;
    };
    const Case cases[] = {
        {"sub-keys equal but for case", with([](RegTree& t) { t.subkeys.push_back({u"A", {}, {}, 0, false, {}, {}}); }),
         ERROR_INVALID_PARAMETER},
        {"umlauts equal but for case",
         with([](RegTree& t) {
             t.subkeys = {{u"\u00C4", {}, {}, 0, false, {}, {}}, {u"\u00E4", {}, {}, 0, false, {}, {}}};
         }),
         ERROR_INVALID_PARAMETER},
        {"values equal but for case", with([](RegTree& t) { t.values.push_back({u"V", REG_NONE, {}}); }),
         ERROR_INVALID_PARAMETER},
        {"sub-key without a name", with([](RegTree& t) { t.subkeys[0].name.clear(); }), ERROR_INVALID_PARAMETER},
        {"name too long", with([](RegTree& t) { t.subkeys[0].name.assign(256, u'n'); }), ERROR_INVALID_PARAMETER},
        {"descriptor not self-relative",
         with([](RegTree& t) { t.subkeys[0].security = std::vector<BYTE>(20, 0); }), ERROR_INVALID_SECURITY_DESCR},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> image;
        EXPECT_EQ(c.status, hive::HiveImage(c.tree, image)) << c.what;
    }
    // Only the case of ß differs from SS: both are kept.
    std::vector<BYTE> image;
    RegTree fine = with([](RegTree& t) { t.subkeys.push_back({u"\u00DF", {}, {}, 0, false, {}, {}}); });
    fine.subkeys.push_back({u"SS", {}, {}, 0, false, {}, {}});
    EXPECT_EQ(ERROR_SUCCESS, hive::HiveImage(fine, image));
}

// A hive whose sequence numbers differ, as copied from a running Windows, is
// read when its cells hold together, and refused when they do not.
TEST_F(HiveFileTest, DirtyHivesAreReadWhenWhole)
{
    std::vector<BYTE> image;
    ASSERT_EQ(ERROR_SUCCESS, hive::HiveImage(SampleTree(), image));
    Put32(&image[regf::kBaseSecondarySeq], Get32(&image[regf::kBasePrimarySeq]) + 1);
    Put32(&image[regf::kBaseChecksum], hive::BaseBlockChecksum(image.data()));
    WriteBytes(File("dirty.hiv"), image);
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("dirty.hiv"), back));
    ExpectSameTree(Sorted(SampleTree()), back, "dirty");

    const DWORD root = Get32(&image[regf::kBaseRootCell]);
    Put32(&image[regf::kBaseBlockSize + root + regf::kCellSizeField + regf::kNkSubKeyList], root);
    EXPECT_EQ(ERROR_REGISTRY_CORRUPT, hive::ReadHiveImage(image.data(), image.size(), back));
}

// Broken files of several kinds: each is refused with the right status.
TEST_F(HiveFileTest, BrokenFilesAreRefused)
{
    std::vector<BYTE> good;
    ASSERT_EQ(ERROR_SUCCESS, hive::HiveImage(SampleTree(), good));
    const std::size_t root = regf::kBaseBlockSize + Get32(&good[regf::kBaseRootCell]) + regf::kCellSizeField;

    auto changed = [&](std::size_t at, DWORD value, bool fixSum = false) {
        std::vector<BYTE> b = good;
        Put32(&b[at], value);
        if (fixSum) Put32(&b[regf::kBaseChecksum], hive::BaseBlockChecksum(b.data()));
        return b;
    };
    struct Case {
        const char* what;
        std::vector<BYTE> bytes;
        LONG status;
    };
    const std::vector<Case> cases = {
        {"empty file", {}, ERROR_BADDB},
        {"text", Bytes("REGEDIT4\r\n[HKEY_CURRENT_USER\\x]\r\n"), ERROR_BADDB},
        {"base block only", std::vector<BYTE>(good.begin(), good.begin() + 4096), ERROR_BADDB},
        {"cut in the bins", std::vector<BYTE>(good.begin(), good.begin() + good.size() / 2), ERROR_BADDB},
        {"bad signature", changed(0, 0x66676572 ^ 1), ERROR_BADDB},
        {"bad checksum", changed(regf::kBaseChecksum, Get32(&good[regf::kBaseChecksum]) ^ 1), ERROR_BADDB},
        {"a log, not a hive", changed(regf::kBaseFileType, 1, true), ERROR_BADDB},
        {"unknown version", changed(regf::kBaseMinorVersion, 9, true), ERROR_BADDB},
        {"bins beyond the file", changed(regf::kBaseBinsSize, 0x7FFFF000, true), ERROR_BADDB},
        {"bin signature", changed(4096, 0), ERROR_BADDB},
        {"cell size", changed(4096 + 32, 3), ERROR_REGISTRY_CORRUPT},
        {"root into a cell", changed(regf::kBaseRootCell, Get32(&good[regf::kBaseRootCell]) + 8, true),
         ERROR_REGISTRY_CORRUPT},
        {"sub-key list is the root itself", changed(root + regf::kNkSubKeyList, Get32(&good[regf::kBaseRootCell])),
         ERROR_REGISTRY_CORRUPT},
        {"too many sub-keys", changed(root + regf::kNkSubKeyCount, 0xFFFFFFFF), ERROR_REGISTRY_CORRUPT},
        {"one sub-key more than listed", changed(root + regf::kNkSubKeyCount, 7), ERROR_REGISTRY_CORRUPT},
        {"too many values", changed(root + regf::kNkValueCount, 0x40000000), ERROR_REGISTRY_CORRUPT},
        {"no security cell", changed(root + regf::kNkSecurity, 0x20), ERROR_REGISTRY_CORRUPT},
    };
    for (const Case& c : cases) {
        WriteBytes(File("bad.hiv"), c.bytes);
        RegTree out;
        EXPECT_EQ(c.status, hive::ReadHiveFile(File("bad.hiv"), out)) << c.what;
    }
    RegTree out;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, hive::ReadHiveFile(File("missing.hiv"), out));
    ASSERT_EQ(0, mkfifo(File("fifo").c_str(), 0600));
    EXPECT_EQ(ERROR_ACCESS_DENIED, hive::ReadHiveFile(File("fifo"), out));
}

// Any single damaged byte in the cells gives a status, never a crash (the
// sanitizer build watches the reads).
TEST_F(HiveFileTest, DamagedCellsNeverCrash)
{
    std::vector<BYTE> good;
    ASSERT_EQ(ERROR_SUCCESS, hive::HiveImage(SampleTree(), good));
    std::size_t refused = 0;
    for (std::size_t at = 4096 + 32; at < 4096 + 4096; at += 7) {
        std::vector<BYTE> b = good;
        b[at] ^= 0xA5;
        RegTree out;
        LONG status = hive::ReadHiveImage(b.data(), b.size(), out);
        EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_BADDB || status == ERROR_REGISTRY_CORRUPT)
            << "byte " << at << " status " << status;
        if (status != ERROR_SUCCESS) ++refused;
    }
    EXPECT_GT(refused, 0u);
}

// Keys share sk cells but each holds a copy of its descriptor: a small file
// whose keys all name one huge descriptor is refused rather than filling
// memory, while a few such keys read as usual.
TEST_F(HiveFileTest, SharedDescriptorsCannotBlowUpMemory)
{
    // Self-relative, a DACL of 3,000 entries allowing SYSTEM to read: 60 KB.
    const WORD aces = 3000;
    const WORD aclSize = static_cast<WORD>(8 + 20 * aces);
    std::vector<BYTE> sd = {1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0,
                            2, 0, static_cast<BYTE>(aclSize), static_cast<BYTE>(aclSize >> 8),
                            static_cast<BYTE>(aces), static_cast<BYTE>(aces >> 8), 0, 0};
    for (WORD i = 0; i < aces; ++i) {
        const BYTE ace[] = {0, 0, 20, 0, 0x19, 0, 0x02, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
        sd.insert(sd.end(), std::begin(ace), std::end(ace));
    }
    RegTree tree;
    tree.name = u"Top";
    tree.security = sd;
    for (int i = 0; i < 2000; ++i) {
        tree.subkeys.push_back(RegTree{netid::posix::U16("k" + std::to_string(i)), {}, sd, 0, false, {}, {}});
    }
    std::vector<BYTE> image;
    ASSERT_EQ(ERROR_SUCCESS, hive::HiveImage(tree, image));
    EXPECT_LT(image.size(), 1024u * 1024);
    RegTree back;
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, hive::ReadHiveImage(image.data(), image.size(), back));

    tree.subkeys.resize(10);
    ASSERT_EQ(ERROR_SUCCESS, hive::HiveImage(tree, image));
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveImage(image.data(), image.size(), back));
    EXPECT_EQ(sd, back.subkeys.at(9).security);
}

// Data beyond what libhivex reads (8 MB) goes through our own reader whole.
TEST_F(HiveFileTest, LongValuesComeBackWhole)
{
    RegTree tree;
    tree.name = u"Huge";
    tree.values = {{u"v", REG_BINARY, Pattern(9000000)}};
    std::vector<BYTE> image;
    ASSERT_EQ(ERROR_SUCCESS, hive::HiveImage(tree, image));
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveImage(image.data(), image.size(), back));
    ASSERT_EQ(1u, back.values.size());
    EXPECT_TRUE(tree.values[0].data == back.values[0].data);
}

}  // namespace
