// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading a checkpoint in place (store_snapshot.h): the mapping, the index
// from key id to key record, and key records, each checked before it is
// followed.
#include "platform/posix/store/store_snapshot.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/base/byte_order.h"
#include "platform/posix/base/files.h"
#include "platform/posix/store/store_codec.h"

namespace netid::posix::store {
namespace {

std::size_t Pad8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

// Compares the `units` UTF-16LE units at `p` with `text`, as u16string_view does.
int CompareUnits(const std::uint8_t* p, std::size_t units, std::u16string_view text)
{
    const std::size_t n = std::min(units, text.size());
    for (std::size_t i = 0; i < n; ++i) {
        char16_t a = static_cast<char16_t>(Get16(p + 2 * i));
        if (a != text[i]) return a < text[i] ? -1 : 1;
    }
    return units == text.size() ? 0 : (units < text.size() ? -1 : 1);
}

}  // namespace

// ------------------------------------------------------------ the mapping
std::shared_ptr<const Mapping> Mapping::Of(int fd, std::uint64_t size, bool copy, LONG& status)
{
    std::shared_ptr<Mapping> m(new Mapping());
    m->m_size = size;
    if (size == 0) return m;
    if (copy) {
        m->m_copy.resize(static_cast<std::size_t>(size));
        std::size_t done = 0;
        while (done < size) {
            ssize_t n = ::pread(fd, m->m_copy.data() + done, static_cast<std::size_t>(size) - done,
                                static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                status = n < 0 ? StatusFromErrno(errno) : ERROR_REGISTRY_CORRUPT;
                return nullptr;
            }
            done += static_cast<std::size_t>(n);
        }
        m->m_data = m->m_copy.data();
        return m;
    }
    void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        status = errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_REGISTRY_IO_FAILED;
        return nullptr;
    }
    // A process reads a few scattered records: no read-ahead around them,
    // which would only fill its resident memory with pages it never reads.
    ::madvise(p, static_cast<std::size_t>(size), MADV_RANDOM);
    m->m_data = static_cast<const std::uint8_t*>(p);
    m->m_mapped = true;
    return m;
}

Mapping::~Mapping()
{
    if (m_mapped) ::munmap(const_cast<std::uint8_t*>(m_data), static_cast<std::size_t>(m_size));
}

// ------------------------------------------------------------ the checkpoint
std::uint32_t IndexLevelsFor(KeyId nextKey)
{
    std::uint32_t levels = 1;
    KeyId last = nextKey == 0 ? 0 : nextKey - 1;
    while (levels < snap::kMaxLevels && (last >> (snap::kFanoutBits * levels)) != 0) ++levels;
    return levels;
}

std::shared_ptr<const Snapshot> Snapshot::Open(std::shared_ptr<const Mapping> map, std::uint64_t payloadAt,
                                               std::uint64_t length)
{
    if (!map->Holds(payloadAt, length) || length < snap::kHeaderSize) return nullptr;
    const std::uint8_t* p = map->Data() + payloadAt;
    if (Get32(p + snap::kVersion) != snap::kSnapshotVersion) return nullptr;
    std::shared_ptr<Snapshot> s(new Snapshot());
    s->m_nextKey = Get64(p + snap::kNextKey);
    s->m_seq = Get64(p + snap::kSeq);
    s->m_root = Get64(p + snap::kIndexRoot);
    s->m_levels = Get32(p + snap::kIndexLevels);
    s->m_nextSecurity = Get32(p + snap::kNextSecurity);
    s->m_liveBytes = Get64(p + snap::kLiveBytes);
    const std::uint32_t tablesAt = Get32(p + snap::kTablesAt);
    const std::uint32_t tablesSize = Get32(p + snap::kTablesSize);
    // The index root lies within this checkpoint, before its tables; the
    // levels are what its ids need.
    if (s->m_levels == 0 || s->m_levels > snap::kMaxLevels || s->m_levels < IndexLevelsFor(s->m_nextKey) ||
        tablesAt < snap::kHeaderSize || tablesAt > length || tablesSize > length - tablesAt ||
        (s->m_root != 0 && (s->m_root < payloadAt + snap::kHeaderSize ||
                            s->m_root + snap::kNodeSize > payloadAt + tablesAt))) {
        return nullptr;
    }
    Decoder in(p + tablesAt, tablesSize);
    s->m_bootId = in.Str();
    std::uint32_t descriptors = in.U32();
    for (std::uint32_t i = 0; i < descriptors && !in.Failed(); ++i) {
        SecurityId id = in.U32();
        Bytes bytes = in.Bytes();
        if (in.Failed() || id == 0 || id >= s->m_nextSecurity || !s->m_security.emplace(id, std::move(bytes)).second) {
            return nullptr;
        }
    }
    std::uint32_t volatiles = in.U32();
    if (in.Failed() || volatiles > in.Left() / 8) return nullptr;
    s->m_volatile.reserve(volatiles);
    for (std::uint32_t i = 0; i < volatiles; ++i) s->m_volatile.push_back(in.U64());
    if (!in.Failed() && !in.AtEnd()) s->m_mirrored = in.U64();
    if (in.Failed() || !in.AtEnd()) return nullptr;
    s->m_map = std::move(map);
    return s;
}

std::uint64_t Snapshot::NodeEntry(std::uint64_t at, std::uint32_t level, std::size_t slot) const
{
    if (at < snap::kNodeSize || !m_map->Holds(at, snap::kNodeSize)) return 0;
    const std::uint8_t* node = m_map->Data() + at;
    if (Get32(node) != snap::kNodeMagic || Get32(node + snap::kNodeLevel) != level) return 0;
    std::uint64_t entry = Get64(node + snap::kNodeEntries + 8 * slot);
    // Backwards only, and with room for what is there: no loop, no overrun.
    const std::size_t least = level == 0 ? snap::kKeyHeaderSize : snap::kNodeSize;
    if (entry == 0 || entry > at - least || entry % 8 != 0) return 0;
    return entry;
}

std::uint64_t Snapshot::Lookup(KeyId id) const
{
    if (m_root == 0 || id >= m_nextKey) return 0;
    std::uint64_t at = m_root;
    for (std::uint32_t level = m_levels; level-- > 0 && at != 0;) {
        const std::size_t slot = static_cast<std::size_t>(id >> (snap::kFanoutBits * level)) & (snap::kFanout - 1);
        at = NodeEntry(at, level, slot);
    }
    return at;
}

bool Snapshot::ReadKey(std::uint64_t at, KeyId id, KeyView& out) const
{
    if (at == 0 || !m_map->Holds(at, snap::kKeyHeaderSize)) return false;
    const std::uint64_t available = m_map->Size() - at;
    if (!ParseKeyRecord(m_map->Data() + at, static_cast<std::size_t>(std::min<std::uint64_t>(available, SIZE_MAX)),
                        out)) {
        return false;
    }
    return out.id == id;
}

// ------------------------------------------------------------ key records
bool ParseKeyRecord(const std::uint8_t* p, std::size_t available, KeyView& out)
{
    if (available < snap::kKeyHeaderSize || Get32(p) != snap::kKeyMagic) return false;
    const std::size_t size = Get32(p + snap::kKeySize);
    if (size < snap::kKeyHeaderSize || size > available || size % 8 != 0) return false;
    out = KeyView{};
    out.record = p;
    out.size = size;
    out.id = Get64(p + snap::kKeyId);
    out.parent = Get64(p + snap::kKeyParent);
    out.flags = Get32(p + snap::kKeyFlags);
    out.security = Get32(p + snap::kKeySecurity);
    out.lastWrite = Get64(p + snap::kKeyLastWrite);
    out.nameUnits = Get32(p + snap::kKeyNameUnits);
    out.classUnits = Get32(p + snap::kKeyClassUnits);
    out.mountBytes = Get32(p + snap::kKeyMountBytes);
    out.originBytes = Get32(p + snap::kKeyOriginBytes);
    out.valueCount = Get32(p + snap::kKeyValueCount);
    out.valueBytes = Get32(p + snap::kKeyValueBytes);
    out.childCount = Get32(p + snap::kKeyChildCount);
    out.childUnits = Get32(p + snap::kKeyChildUnits);
    out.dataOutside = (Get32(p + snap::kKeyRecordFlags) & snap::kDataOutside) != 0;
    // Each part in turn, in 64 bits: no sum of 32-bit counts can wrap.
    std::uint64_t at = snap::kKeyHeaderSize;
    auto part = [&](std::uint64_t bytes, const std::uint8_t*& where) {
        where = p + std::min<std::uint64_t>(at, size);
        at += bytes;
    };
    part(2ull * out.nameUnits, out.name);
    part(2ull * out.classUnits, out.keyClass);
    part(out.mountBytes, out.mount);
    part(out.originBytes, out.origin);
    at = Pad8(static_cast<std::size_t>(std::min<std::uint64_t>(at, size + 8)));
    part(out.valueBytes, out.values);
    at = Pad8(static_cast<std::size_t>(std::min<std::uint64_t>(at, size + 8)));
    part(std::uint64_t{snap::kChildEntrySize} * out.childCount, out.children);
    part(2ull * out.childUnits, out.childNames);
    // Each sub-key's name is checked when it is read (ChildUnits): a record
    // is read at every lookup below it, and checking thousands of names
    // each time would make lookups grow with the list.
    return at <= size && out.valueCount <= out.valueBytes;
}

KeyId KeyView::ChildId(std::size_t index) const { return Get64(children + snap::kChildEntrySize * index); }

const std::uint8_t* KeyView::ChildUnits(std::size_t index, std::size_t& units) const
{
    const std::uint8_t* e = children + snap::kChildEntrySize * index;
    const std::uint64_t first = Get32(e + 8);
    units = Get32(e + 12);
    if (first + units > childUnits) {
        units = 0;  // a name that does not lie within the record reads as none
        return childNames;
    }
    return childNames + 2 * first;
}

int KeyView::CompareChild(std::size_t index, std::u16string_view upper) const
{
    std::size_t units = 0;
    const std::uint8_t* p = ChildUnits(index, units);
    return CompareUnits(p, units, upper);
}

KeyId KeyView::FindChild(std::u16string_view upper) const
{
    std::size_t lo = 0, hi = childCount;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        int c = CompareChild(mid, upper);
        if (c == 0) return ChildId(mid);
        if (c < 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return 0;
}

}  // namespace netid::posix::store
