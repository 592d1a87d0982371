// SPDX-License-Identifier: LGPL-2.1-or-later
// A checkpoint laid out to be read where it lies: the hive file is mapped
// read-only, shared by every process through the page cache, and a process
// reads only the keys it touches.
//
// A checkpoint's payload holds a header, then key records and the nodes of
// an index from key id to key record. A checkpoint written within a file
// that already holds one is incremental: it holds the records of the keys
// changed since the checkpoint before it and the index nodes on their paths,
// and refers to everything else where an earlier checkpoint of the same file
// put it (a copy-on-write tree). The first checkpoint of a file holds the
// whole hive. Every reference points backwards (at a lower file offset than
// what refers to it), so no chain of references can loop, and every offset
// and count is checked against the mapping before it is followed.
//
// Checkpoint payload header (offsets within the payload):
//   0   u32 version (kSnapshotVersion; 1 is the earlier, fully encoded form)
//   4   u32 flags (kSnapshotWhole: refers to nothing before it)
//   8   u64 next key id          16  u64 commits applied
//   24  u64 index root (file offset; 0: no keys)   32  u32 index levels
//   36  u32 next descriptor id   40  u64 bytes of the file the hive reaches
//   48  u32 tables' offset in the payload          52  u32 tables' size
//   then key records and index nodes, each 8-byte aligned; then the tables:
//   the boot id, the descriptor table and the ids of the volatile keys,
//   encoded as store_codec.h encodes; a hive's public view adds a u64, the
//   commits of the hive it shows that it holds.
// Index node: u32 kNodeMagic, u32 level (0: a leaf), kFanout u64 file
// offsets (of key records in a leaf, of nodes below it otherwise; 0: none).
// Key record: see kKey* below; its name, class, mount and origin, its values
// (each: name, type, size, then the data itself, or, when it is larger than
// kInlineData, the file offset where it lies: before the record, written
// once and referred to by every later record of the key while it stays the
// same), then its sub-keys sorted by upper-case name (id, where the name
// starts, its length) and their names.
#ifndef NETID_PLATFORM_POSIX_STORE_SNAPSHOT_H
#define NETID_PLATFORM_POSIX_STORE_SNAPSHOT_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/windows.h"

namespace netid::posix::store {

using KeyId = std::uint64_t;
using SecurityId = std::uint32_t;
using Bytes = std::vector<std::uint8_t>;

namespace snap {
constexpr std::uint32_t kSnapshotVersion = 2;
constexpr std::uint32_t kSnapshotWhole = 0x1;
constexpr std::size_t kVersion = 0;
constexpr std::size_t kFlags = 4;
constexpr std::size_t kNextKey = 8;
constexpr std::size_t kSeq = 16;
constexpr std::size_t kIndexRoot = 24;
constexpr std::size_t kIndexLevels = 32;
constexpr std::size_t kNextSecurity = 36;
constexpr std::size_t kLiveBytes = 40;
constexpr std::size_t kTablesAt = 48;
constexpr std::size_t kTablesSize = 52;
constexpr std::size_t kHeaderSize = 56;

constexpr std::uint32_t kNodeMagic = 0x58444E49;  // "INDX"
constexpr std::size_t kFanoutBits = 4;
constexpr std::size_t kFanout = std::size_t{1} << kFanoutBits;
constexpr std::size_t kNodeLevel = 4;
constexpr std::size_t kNodeEntries = 8;
constexpr std::size_t kNodeSize = kNodeEntries + 8 * kFanout;
constexpr std::uint32_t kMaxLevels = 16;  // 2^64 ids

constexpr std::uint32_t kKeyMagic = 0x3259454B;  // "KEY2"
constexpr std::size_t kKeySize = 4;          // u32, the whole record, padded
constexpr std::size_t kKeyId = 8;            // u64
constexpr std::size_t kKeyParent = 16;       // u64
constexpr std::size_t kKeyFlags = 24;        // u32
constexpr std::size_t kKeySecurity = 28;     // u32
constexpr std::size_t kKeyLastWrite = 32;    // u64
constexpr std::size_t kKeyNameUnits = 40;    // u32
constexpr std::size_t kKeyClassUnits = 44;   // u32
constexpr std::size_t kKeyMountBytes = 48;   // u32
constexpr std::size_t kKeyOriginBytes = 52;  // u32
constexpr std::size_t kKeyValueCount = 56;   // u32
constexpr std::size_t kKeyValueBytes = 60;   // u32, the values as encoded
constexpr std::size_t kKeyChildCount = 64;   // u32
constexpr std::size_t kKeyChildUnits = 68;   // u32, of the sub-keys' names together
constexpr std::size_t kKeyRecordFlags = 72;  // u32: kDataOutside
constexpr std::size_t kKeyHeaderSize = 80;   // the texts follow
constexpr std::uint32_t kDataOutside = 0x1;  // some value's data lies outside the record
constexpr std::size_t kInlineData = 256;
constexpr std::size_t kChildEntrySize = 16;  // u64 id, u32 first unit, u32 units
}  // namespace snap

// A key record as it lies in the mapping, its parts checked to lie within it.
struct KeyView {
    const std::uint8_t* record = nullptr;
    std::size_t size = 0;
    KeyId id = 0;
    KeyId parent = 0;
    std::uint32_t flags = 0;
    SecurityId security = 0;
    std::uint64_t lastWrite = 0;
    const std::uint8_t* name = nullptr;  // UTF-16LE units
    std::uint32_t nameUnits = 0;
    const std::uint8_t* keyClass = nullptr;
    std::uint32_t classUnits = 0;
    const std::uint8_t* mount = nullptr;
    std::uint32_t mountBytes = 0;
    const std::uint8_t* origin = nullptr;
    std::uint32_t originBytes = 0;
    const std::uint8_t* values = nullptr;  // as encoded: name, type, data
    std::uint32_t valueCount = 0;
    std::uint32_t valueBytes = 0;
    bool dataOutside = false;
    const std::uint8_t* children = nullptr;  // kChildEntrySize each, sorted
    std::uint32_t childCount = 0;
    const std::uint8_t* childNames = nullptr;
    std::uint32_t childUnits = 0;

    // The id of the sub-key at `index`.
    KeyId ChildId(std::size_t index) const;
    // The id of the sub-key of that upper-case name; 0 when there is none.
    KeyId FindChild(std::u16string_view upper) const;
    // The upper-case name of the sub-key at `index` compared with `upper`.
    int CompareChild(std::size_t index, std::u16string_view upper) const;
    // Where that name's UTF-16LE units lie, and how many there are.
    const std::uint8_t* ChildUnits(std::size_t index, std::size_t& units) const;
};

// Parses the record at `p`, of at most `available` bytes.
bool ParseKeyRecord(const std::uint8_t* p, std::size_t available, KeyView& out);

// The bytes of a hive file as far as a process has taken them: mapped
// read-only and shared, or (for a file someone else owns, who could cut it
// short under a mapping) a private copy.
class Mapping {
public:
    // Maps (or copies) the first `size` bytes of `fd`.
    static std::shared_ptr<const Mapping> Of(int fd, std::uint64_t size, bool copy, LONG& status);
    ~Mapping();
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    const std::uint8_t* Data() const { return m_data; }
    std::uint64_t Size() const { return m_size; }
    // True when [at, at + size) lies within the mapping.
    bool Holds(std::uint64_t at, std::uint64_t size) const { return at <= m_size && size <= m_size - at; }

private:
    Mapping() = default;
    const std::uint8_t* m_data = nullptr;
    std::uint64_t m_size = 0;
    bool m_mapped = false;
    std::vector<std::uint8_t> m_copy;
};

// One checkpoint as read in place. Every reading checks what it follows; a
// record that does not check out reads as no record (the key is absent).
class Snapshot {
public:
    // The checkpoint whose payload is [payloadAt, payloadAt + length) of
    // the mapping; null when its header or tables do not hold together.
    static std::shared_ptr<const Snapshot> Open(std::shared_ptr<const Mapping> map, std::uint64_t payloadAt,
                                                std::uint64_t length);

    KeyId NextKey() const { return m_nextKey; }
    SecurityId NextSecurity() const { return m_nextSecurity; }
    std::uint64_t Seq() const { return m_seq; }
    std::uint64_t LiveBytes() const { return m_liveBytes; }
    std::uint64_t IndexRoot() const { return m_root; }
    std::uint32_t IndexLevels() const { return m_levels; }
    const std::string& BootId() const { return m_bootId; }
    std::uint64_t Mirrored() const { return m_mirrored; }
    const std::map<SecurityId, Bytes>& Descriptors() const { return m_security; }
    const std::vector<KeyId>& VolatileKeys() const { return m_volatile; }
    const Mapping& Map() const { return *m_map; }

    // Where the record of key `id` is; 0 when the checkpoint has none.
    std::uint64_t Lookup(KeyId id) const;
    // The record at `at`, of key `id`, checked as a whole: its fields and
    // texts lie within it. False when it does not.
    bool ReadKey(std::uint64_t at, KeyId id, KeyView& out) const;
    // The entry of the index node at `at` (of `level`), checked: 0 when it
    // is empty or does not point below the node.
    std::uint64_t NodeEntry(std::uint64_t at, std::uint32_t level, std::size_t slot) const;
    // Calls `visit(id, recordOffset)` for every key the index holds, in
    // order of id; false when the index does not hold together.
    template <typename Visit>
    bool ForEachKey(Visit visit) const
    {
        return m_root == 0 || Walk(m_root, m_levels - 1, 0, visit);
    }

private:
    Snapshot() = default;
    template <typename Visit>
    bool Walk(std::uint64_t node, std::uint32_t level, KeyId prefix, Visit& visit) const
    {
        for (std::size_t i = 0; i < snap::kFanout; ++i) {
            std::uint64_t entry = NodeEntry(node, level, i);
            if (entry == 0) continue;
            KeyId id = (prefix << snap::kFanoutBits) | i;
            if (level == 0) {
                if (!visit(id, entry)) return false;
            } else if (!Walk(entry, level - 1, id, visit)) {
                return false;
            }
        }
        return true;
    }

    std::shared_ptr<const Mapping> m_map;
    KeyId m_nextKey = 0;
    SecurityId m_nextSecurity = 0;
    std::uint64_t m_seq = 0;
    std::uint64_t m_liveBytes = 0;
    std::uint64_t m_root = 0;
    std::uint32_t m_levels = 0;
    std::string m_bootId;
    std::uint64_t m_mirrored = 0;
    std::map<SecurityId, Bytes> m_security;
    std::vector<KeyId> m_volatile;
};

// The levels an index needs for ids below `nextKey`.
std::uint32_t IndexLevelsFor(KeyId nextKey);

}  // namespace netid::posix::store

#endif
