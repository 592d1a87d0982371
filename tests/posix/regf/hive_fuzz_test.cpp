// SPDX-License-Identifier: LGPL-2.1-or-later
// Hostile hive files through the reader: valid hives mutated (bits flipped,
// files cut short, offsets pointed at other cells, lengths and counts made
// huge, lists looped back on their keys) give a status, never a crash, a
// hang or a read out of bounds (the sanitizer build runs this too). The seed
// is fixed, so a failure repeats; the loop is a few thousand files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <hivex.h>

#include "platform/posix/base/byte_order.h"
#include "platform/posix/regf/hive_file.h"
#include "platform/posix/regf/regf_format.h"
#include "platform/posix/security/security.h"
#include "platform/posix/base/text.h"
#include "support/environment.h"

using netid::posix::Get16;
using netid::posix::Get32;
using netid::posix::Put16;
using netid::posix::Put32;
using netid::posix::RegTree;
namespace hive = netid::posix::hive;
namespace regf = netid::posix::hive::regf;

namespace {

constexpr int kRounds = 1500;
// Every so many files read whole are also written and read again.
constexpr std::size_t kRoundTripEvery = 8;

// A field of a record that points somewhere or counts something.
struct Field {
    std::size_t at;  // in the image
    int width;  // 2 or 4 bytes
};

struct Seed {
    std::vector<BYTE> image;
    std::vector<Field> fields;
    std::vector<DWORD> cells;  // offsets of the used cells
    std::vector<std::size_t> leafEntries;  // sub-key list entries
    std::vector<std::size_t> subKeyLists;  // nk fields naming a sub-key list
};

// A tree of every kind of record: keys with classes and two descriptors, an
// ri list, values inline, in one cell and in db segments, names beyond
// Latin-1, a few levels.
RegTree SeedTree()
{
    RegTree t;
    t.name = u"Seed";
    t.keyClass = u"cls";
    t.values = {{u"", REG_SZ, {'d', 0, 0, 0}},
                {u"dw", REG_DWORD, {1, 2, 3, 4}},
                {u"bin", REG_BINARY, std::vector<BYTE>(40, 7)},
                {u"big", REG_BINARY, std::vector<BYTE>(20000, 9)},
                {u"v\u2122", REG_SZ, {0x22, 0x21, 0, 0}}};
    for (int i = 0; i < 520; ++i) {
        RegTree k;
        k.name = netid::posix::U16("k" + std::to_string(i));
        if (i % 100 == 0) k.name += u"\u20AC";
        if (i % 50 == 0) k.keyClass = u"c";
        if (i % 60 == 0) k.security = netid::posix::DefaultKeySecurity(nullptr);  // where others inherit
        if (i % 40 == 0) k.values = {{u"x", REG_BINARY, {1, 2, 3, 4, 5, 6}}};
        t.subkeys.push_back(k);
    }
    RegTree* at = &t.subkeys[3];
    for (int level = 0; level < 5; ++level) {
        at->subkeys.push_back(RegTree{u"d", {}, {}, 0, false, {{u"n", REG_DWORD, {1, 0, 0, 0}}}, {}});
        at = &at->subkeys.back();
    }
    return t;
}

// The fields of every used cell, found by walking the bins.
Seed Survey(std::vector<BYTE> image)
{
    Seed s;
    s.image = std::move(image);
    const BYTE* base = s.image.data() + regf::kBaseBlockSize;
    const DWORD bins = Get32(&s.image[regf::kBaseBinsSize]);
    auto add = [&](const BYTE* body, std::size_t field, int width) {
        s.fields.push_back({static_cast<std::size_t>(body - s.image.data()) + field, width});
    };
    for (DWORD bin = 0; bin < bins; bin += Get32(base + bin + regf::kBinSize)) {
        const DWORD end = bin + Get32(base + bin + regf::kBinSize);
        for (DWORD off = bin + regf::kBinHeaderSize; off < end;) {
            const auto size = static_cast<std::int32_t>(Get32(base + off));
            s.fields.push_back({regf::kBaseBlockSize + off, 4});
            const BYTE* body = base + off + regf::kCellSizeField;
            if (size < 0) {
                s.cells.push_back(off);
                if (std::memcmp(body, "nk", 2) == 0) {
                    for (std::size_t f : {regf::kNkSubKeyCount, regf::kNkSubKeyList, regf::kNkValueCount,
                                          regf::kNkValueList, regf::kNkSecurity, regf::kNkClass}) {
                        add(body, f, 4);
                    }
                    add(body, regf::kNkNameLength, 2);
                    add(body, regf::kNkClassLength, 2);
                    if (Get32(body + regf::kNkSubKeyCount) > 0) {
                        s.subKeyLists.push_back(static_cast<std::size_t>(body - s.image.data()) + regf::kNkSubKeyList);
                    }
                } else if (std::memcmp(body, "vk", 2) == 0) {
                    add(body, regf::kVkNameLength, 2);
                    add(body, regf::kVkDataSize, 4);
                    add(body, regf::kVkDataOffset, 4);
                } else if (std::memcmp(body, "sk", 2) == 0) {
                    add(body, regf::kSkDescriptorSize, 4);
                } else if (std::memcmp(body, "db", 2) == 0) {
                    add(body, regf::kDbSegmentCount, 2);
                    add(body, regf::kDbSegmentList, 4);
                } else if (std::memcmp(body, "lh", 2) == 0 || std::memcmp(body, "ri", 2) == 0) {
                    add(body, regf::kListCount, 2);
                    const std::size_t entry = body[1] == 'h' ? regf::kLeafEntrySize : regf::kIndexEntrySize;
                    for (WORD i = 0; i < Get16(body + regf::kListCount); ++i) {
                        add(body, regf::kListEntries + entry * i, 4);
                        if (body[1] == 'h') s.leafEntries.push_back(s.fields.back().at);
                    }
                }
            }
            off += static_cast<DWORD>(size < 0 ? -size : size);
        }
    }
    return s;
}

bool Expected(LONG status)
{
    return status == ERROR_SUCCESS || status == ERROR_BADDB || status == ERROR_REGISTRY_CORRUPT ||
           status == ERROR_NOT_ENOUGH_MEMORY;
}

// What a tree read from any file gives when written and read again: the
// same file.
void ExpectStableRoundTrip(const RegTree& tree, int round)
{
    std::vector<BYTE> first;
    if (hive::HiveImage(tree, first) != ERROR_SUCCESS) return;  // names no hive may hold
    RegTree again;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveImage(first.data(), first.size(), again)) << "round " << round;
    std::vector<BYTE> second;
    ASSERT_EQ(ERROR_SUCCESS, hive::HiveImage(again, second)) << "round " << round;
    EXPECT_TRUE(first == second) << "round " << round;
}

class HiveFuzzTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::vector<BYTE> image;
        ASSERT_EQ(ERROR_SUCCESS, hive::HiveImage(SeedTree(), image));
        m_seeds.push_back(Survey(image));

        // The same keys rearranged by libhivex, which lays out cells its own way.
        char dir[] = "/tmp/netid-hive-fuzz-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        m_dir = dir;
        const std::string file = m_dir + "/seed.hiv";
        {
            std::ofstream out(file, std::ios::binary);
            out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        }
        hive_h* h = hivex_open(file.c_str(), HIVEX_OPEN_WRITE);
        ASSERT_NE(nullptr, h);
        ASSERT_NE(0u, hivex_node_add_child(h, hivex_root(h), "added"));
        ASSERT_EQ(0, hivex_node_delete_child(h, hivex_node_get_child(h, hivex_root(h), "k7")));
        ASSERT_EQ(0, hivex_commit(h, nullptr, 0));
        hivex_close(h);
        std::ifstream in(file, std::ios::binary);
        m_seeds.push_back(
            Survey(std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())));
    }
    void TearDown() override { RunProcess("rm -rf '" + m_dir + "'"); }

    std::vector<Seed> m_seeds;
    std::string m_dir;
};

TEST_F(HiveFuzzTest, MutatedHivesGiveAStatusNeverACrash)
{
    std::mt19937 random(20240611);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    std::size_t read = 0;
    for (int round = 0; round < kRounds; ++round) {
        const Seed& seed = m_seeds[pick(m_seeds.size())];
        std::vector<BYTE> b = seed.image;
        std::size_t size = b.size();
        const std::size_t changes = 1 + pick(3);
        for (std::size_t c = 0; c < changes; ++c) {
            switch (pick(5)) {
            case 0: {  // a bit anywhere, the base block's checksum made good again half the time
                const std::size_t at = pick(b.size());
                b[at] ^= static_cast<BYTE>(1u << pick(8));
                if (at < regf::kBaseBlockSize && pick(2) == 0) {
                    Put32(&b[regf::kBaseChecksum], hive::BaseBlockChecksum(b.data()));
                }
                break;
            }
            case 1:
            case 2: {  // a field pointed elsewhere or made huge
                const Field& f = seed.fields[pick(seed.fields.size())];
                const DWORD old = f.width == 2 ? Get16(&b[f.at]) : Get32(&b[f.at]);
                const DWORD values[] = {0,          1,
                                        0xFFFF,     0xFFFFFFFF,
                                        0x7FFFFFFF, 0x80000000,
                                        old + 8,    old - 8,
                                        old * 2,    seed.cells[pick(seed.cells.size())],
                                        seed.cells[0], static_cast<DWORD>(random())};
                const DWORD v = values[pick(std::size(values))];
                if (f.width == 2) {
                    Put16(&b[f.at], static_cast<WORD>(v));
                } else {
                    Put32(&b[f.at], v);
                }
                break;
            }
            case 3:  // the file cut short
                size = pick(size + 1);
                break;
            default: {  // a base block field, with a good checksum
                const std::size_t fields[] = {regf::kBaseRootCell, regf::kBaseBinsSize, regf::kBaseMinorVersion,
                                              regf::kBaseSecondarySeq};
                Put32(&b[fields[pick(std::size(fields))]],
                      pick(2) == 0 ? seed.cells[pick(seed.cells.size())] : static_cast<DWORD>(random()));
                Put32(&b[regf::kBaseChecksum], hive::BaseBlockChecksum(b.data()));
                break;
            }
            }
        }
        RegTree tree;
        const LONG status = hive::ReadHiveImage(b.data(), size, tree);
        ASSERT_TRUE(Expected(status)) << "round " << round << " status " << status;
        if (status == ERROR_SUCCESS) {
            if (read++ % kRoundTripEvery == 0) ExpectStableRoundTrip(tree, round);
        }
    }
    // Changes to data bytes leave files readable: the loop saw both kinds.
    EXPECT_GT(read, 0u);
    EXPECT_LT(read, static_cast<std::size_t>(kRounds));
    std::cout << "[ fuzz     ] " << read << " of " << kRounds << " files read whole\n";
}

// Lists looped back: a sub-key entry naming the top key, or a key naming its
// parent's list as its own, never reads (nor recurses without end).
TEST_F(HiveFuzzTest, LoopsAreRefused)
{
    for (const Seed& seed : m_seeds) {
        const DWORD root = Get32(&seed.image[regf::kBaseRootCell]);
        const DWORD rootList =
            Get32(&seed.image[regf::kBaseBlockSize + root + regf::kCellSizeField + regf::kNkSubKeyList]);
        for (std::size_t i = 0; i < seed.leafEntries.size(); i += 7) {
            std::vector<BYTE> b = seed.image;
            Put32(&b[seed.leafEntries[i]], root);
            RegTree tree;
            EXPECT_EQ(ERROR_REGISTRY_CORRUPT, hive::ReadHiveImage(b.data(), b.size(), tree)) << i;
        }
        for (std::size_t at : seed.subKeyLists) {
            if (Get32(&seed.image[at]) == rootList) continue;  // the top key's own
            std::vector<BYTE> b = seed.image;
            Put32(&b[at], rootList);
            RegTree tree;
            EXPECT_EQ(ERROR_REGISTRY_CORRUPT, hive::ReadHiveImage(b.data(), b.size(), tree)) << at;
        }
    }
}

}  // namespace
