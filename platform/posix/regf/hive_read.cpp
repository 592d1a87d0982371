// SPDX-License-Identifier: LGPL-2.1-or-later
// Hive files in the "regf" format read (see hive_file.h): a reader that
// checks every offset, length and count before it follows it. The fields are
// named in regf_format.h; writing is hive_write.cpp's.
#include "platform/posix/regf/hive_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <numeric>
#include <unordered_map>
#include <utility>

#include "platform/posix/base/byte_order.h"
#include "platform/posix/base/files.h"
#include "platform/posix/base/reg_limits.h"
#include "platform/posix/regf/regf_format.h"
#include "platform/posix/base/status.h"
#include "platform/posix/base/text.h"

namespace netid::posix::hive {
namespace {

using namespace regf;

bool SameSignature(const BYTE* at, const char (&sig)[3]) { return at[0] == sig[0] && at[1] == sig[1]; }

// ------------------------------------------------------------ reading
// Reads a whole image. Every cell the tree uses is looked up in a map of the
// cells the bins hold, and each may belong to one record only (sk cells
// excepted, which keys share): cycles, shared sub-trees and data read twice
// are refused, and what is read is bounded by the file. Failures are thrown
// as statuses (Fail).
class HiveReader {
public:
    HiveReader(const BYTE* data, std::size_t size) : m_file(data), m_size(size) {}

    void Read(RegTree& out)
    {
        Frame();
        out = RegTree{};
        Key(Get32(m_file + kBaseRootCell), 1, out);
    }

private:
    enum CellState : std::uint8_t { kNotACell, kUsed, kFree, kTaken };

    [[noreturn]] static void Corrupt() { Fail(ERROR_REGISTRY_CORRUPT); }

    // The base block and the bins; fills the map of cells.
    void Frame()
    {
        if (m_size < kBaseBlockSize) Fail(ERROR_BADDB);
        const BYTE* b = m_file;
        if (std::memcmp(b + kBaseSignature, "regf", 4) != 0 ||
            BaseBlockChecksum(b) != Get32(b + kBaseChecksum) ||
            Get32(b + kBaseMajorVersion) != kMajorVersion || Get32(b + kBaseFileType) != kFileTypePrimary) {
            Fail(ERROR_BADDB);
        }
        // The two sequence numbers differ in a hive caught between writes
        // ("dirty"): its structure is checked as for any other, cell by cell.
        m_minor = Get32(b + kBaseMinorVersion);
        if (m_minor < kMinMinorVersion || m_minor > kMaxMinorVersion) Fail(ERROR_BADDB);
        const std::size_t bins = Get32(b + kBaseBinsSize);
        if (bins == 0 || bins % kBinAlignment != 0 || bins > kMaxBinsSize || bins > m_size - kBaseBlockSize) {
            Fail(ERROR_BADDB);
        }
        m_bins = b + kBaseBlockSize;
        m_binsSize = bins;
        m_cells.assign(bins / kCellAlignment, kNotACell);
        m_securityBudget = kSecurityAllowance + kSecurityPerByte * bins;

        std::size_t at = 0;
        while (at < bins) {
            const BYTE* bin = m_bins + at;
            const std::size_t size = Get32(bin + kBinSize);
            if (std::memcmp(bin + kBinSignature, "hbin", 4) != 0 || Get32(bin + kBinOffset) != at ||
                size == 0 || size % kBinAlignment != 0 || size > bins - at) {
                Fail(ERROR_BADDB);
            }
            // The cells must tile the bin exactly.
            std::size_t cell = kBinHeaderSize;
            while (cell < size) {
                const auto raw = static_cast<std::int32_t>(Get32(bin + cell));
                const std::int64_t len = raw < 0 ? -static_cast<std::int64_t>(raw) : raw;
                if (len < static_cast<std::int64_t>(kCellAlignment) || len % kCellAlignment != 0 ||
                    static_cast<std::size_t>(len) > size - cell) {
                    Corrupt();
                }
                m_cells[(at + cell) / kCellAlignment] = raw < 0 ? kUsed : kFree;
                cell += static_cast<std::size_t>(len);
            }
            at += size;
        }
    }

    // The body of the used cell at `off`, when it holds at least `need`
    // bytes; its size goes to `size`.
    const BYTE* Body(DWORD off, std::size_t need, std::size_t& size) const
    {
        if (off % kCellAlignment != 0 || off >= m_binsSize) Corrupt();
        const CellState state = static_cast<CellState>(m_cells[off / kCellAlignment]);
        if (state != kUsed && state != kTaken) Corrupt();
        const BYTE* cell = m_bins + off;
        size = static_cast<std::size_t>(-static_cast<std::int64_t>(static_cast<std::int32_t>(Get32(cell)))) -
               kCellSizeField;
        if (size < need) Corrupt();
        return cell + kCellSizeField;
    }

    // The same for a cell that belongs to one record: a second use is refused.
    const BYTE* Take(DWORD off, std::size_t need, std::size_t& size)
    {
        const BYTE* body = Body(off, need, size);
        std::uint8_t& state = m_cells[off / kCellAlignment];
        if (state == kTaken) Corrupt();
        state = kTaken;
        return body;
    }

    const BYTE* Take(DWORD off, std::size_t need)
    {
        std::size_t size = 0;
        return Take(off, need, size);
    }

    // A count of entries of `entry` bytes each, checked against what the
    // bins could hold before anything is sized by it.
    std::size_t Bytes(std::size_t count, std::size_t entry) const
    {
        if (count > m_binsSize / entry) Corrupt();
        return count * entry;
    }

    static std::u16string Name(const BYTE* at, std::size_t length, bool compressed)
    {
        std::u16string name;
        if (compressed) {
            name.assign(at, at + length);
        } else {
            if (length % 2 != 0) Corrupt();  // half a unit: not a name any registry holds
            name.resize(length / 2);
            for (std::size_t i = 0; i < name.size(); ++i) name[i] = static_cast<char16_t>(Get16(at + 2 * i));
        }
        return name;
    }

    // The nk or vk record `sig` in the cell at `off` (taken), and its name:
    // its stored size at `lengthAt`, the name itself at `nameAt` (where the
    // fixed part ends), one byte a unit when `flagsAt` has `compressed`.
    const BYTE* NamedRecord(DWORD off, const char (&sig)[3], std::size_t lengthAt, std::size_t nameAt,
                            std::size_t flagsAt, WORD compressed, std::u16string& name)
    {
        static_assert(kNkSignature == kVkSignature, "both records start with their signature");
        std::size_t size = 0;
        const BYTE* record = Take(off, nameAt, size);
        if (!SameSignature(record + kNkSignature, sig)) Corrupt();
        const std::size_t length = Get16(record + lengthAt);
        if (length > size - nameAt) Corrupt();
        name = Name(record + nameAt, length, (Get16(record + flagsAt) & compressed) != 0);
        return record;
    }

    void Key(DWORD off, std::size_t depth, RegTree& key)
    {
        if (depth > kMaxDepth) Corrupt();
        const BYTE* nk = NamedRecord(off, "nk", kNkNameLength, kNkName, kNkFlags, kKeyCompName, key.name);
        key.lastWrite = Get32(nk + kNkLastWrite) | std::uint64_t{Get32(nk + kNkLastWrite + 4)} << 32;
        key.security = Security(Get32(nk + kNkSecurity));

        const std::size_t classLength = Get16(nk + kNkClassLength);
        if (classLength > 0) {
            key.keyClass = Name(Take(Get32(nk + kNkClass), classLength), classLength, false);
        }

        const DWORD values = Get32(nk + kNkValueCount);
        if (values > 0) {
            const BYTE* list = Take(Get32(nk + kNkValueList), Bytes(values, kIndexEntrySize));
            key.values.resize(values);
            for (DWORD i = 0; i < values; ++i) Value(Get32(list + kIndexEntrySize * i), key.values[i]);
        }

        const DWORD subkeys = Get32(nk + kNkSubKeyCount);
        if (subkeys > 0) {
            std::vector<DWORD> children;
            SubKeyList(Get32(nk + kNkSubKeyList), subkeys, children);
            key.subkeys.resize(children.size());
            for (std::size_t i = 0; i < children.size(); ++i) Key(children[i], depth + 1, key.subkeys[i]);
            InRegistryOrder(key.subkeys);
        }
    }

    // The nk offsets of a sub-key list: a leaf, or an ri index of leaves;
    // `count` in all, as the key says.
    void SubKeyList(DWORD off, DWORD count, std::vector<DWORD>& out)
    {
        Bytes(count, kNkFixedSize);  // each needs an nk cell of its own
        out.reserve(count);
        std::size_t size = 0;
        const BYTE* list = Take(off, kListFixedSize, size);
        if (SameSignature(list + kListSignature, "ri")) {
            const std::size_t leaves = Get16(list + kListCount);
            if (kListFixedSize + kIndexEntrySize * leaves > size) Corrupt();
            for (std::size_t i = 0; i < leaves; ++i) {
                std::size_t leafSize = 0;
                const BYTE* leaf = Take(Get32(list + kListEntries + kIndexEntrySize * i), kListFixedSize, leafSize);
                Leaf(leaf, leafSize, count, out);
            }
        } else {
            Leaf(list, size, count, out);
        }
        if (out.size() != count) Corrupt();
    }

    static void Leaf(const BYTE* leaf, std::size_t size, DWORD count, std::vector<DWORD>& out)
    {
        std::size_t entry = 0;
        if (SameSignature(leaf + kListSignature, "li")) {
            entry = kIndexEntrySize;
        } else if (SameSignature(leaf + kListSignature, "lf") || SameSignature(leaf + kListSignature, "lh")) {
            entry = kLeafEntrySize;
        } else {
            Corrupt();
        }
        const std::size_t n = Get16(leaf + kListCount);
        if (kListFixedSize + entry * n > size || n > count - out.size()) Corrupt();
        for (std::size_t i = 0; i < n; ++i) out.push_back(Get32(leaf + kListEntries + entry * i));
    }

    // Files list sub-keys sorted as their writer sorted them; the tree holds
    // them in the registry's order.
    static void InRegistryOrder(std::vector<RegTree>& keys)
    {
        std::vector<std::u16string> names;
        names.reserve(keys.size());
        for (const RegTree& k : keys) names.push_back(Upcase(k.name));
        if (std::is_sorted(names.begin(), names.end())) return;
        std::vector<std::size_t> order(keys.size());
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return names[a] < names[b]; });
        std::vector<RegTree> sorted;
        sorted.reserve(keys.size());
        for (std::size_t i : order) sorted.push_back(std::move(keys[i]));
        keys = std::move(sorted);
    }

    void Value(DWORD off, RegValue& value)
    {
        const BYTE* vk = NamedRecord(off, "vk", kVkNameLength, kVkName, kVkFlags, kValueCompName, value.name);
        value.type = Get32(vk + kVkType);

        const DWORD raw = Get32(vk + kVkDataSize);
        const DWORD where = Get32(vk + kVkDataOffset);
        if ((raw & kDataInline) != 0) {
            const std::size_t n = raw & ~kDataInline;
            if (n > kMaxInlineData) Corrupt();
            value.data.assign(vk + kVkDataOffset, vk + kVkDataOffset + n);
        } else if (raw == 0) {
            value.data.clear();
        } else if (m_minor >= kMinBigDataMinorVersion && raw > kSegmentSize) {
            BigData(where, raw, value.data);
        } else {
            const BYTE* data = Take(where, raw);
            value.data.assign(data, data + raw);
        }
    }

    // The segments a db record lists, each checked before any is copied.
    void BigData(DWORD off, std::size_t length, std::vector<BYTE>& out)
    {
        const BYTE* db = Take(off, kDbSegmentList + 4);
        if (!SameSignature(db + kDbSignature, "db")) Corrupt();
        const std::size_t count = Get16(db + kDbSegmentCount);
        if (count != (length + kSegmentSize - 1) / kSegmentSize) Corrupt();
        const BYTE* list = Take(Get32(db + kDbSegmentList), kIndexEntrySize * count);
        std::vector<const BYTE*> segments(count);
        for (std::size_t i = 0; i < count; ++i) {
            segments[i] = Take(Get32(list + kIndexEntrySize * i), std::min(kSegmentSize, length - i * kSegmentSize));
        }
        out.resize(length);
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(out.data() + i * kSegmentSize, segments[i], std::min(kSegmentSize, length - i * kSegmentSize));
        }
    }

    // A key's descriptor; keys share sk cells, so each is checked once.
    std::vector<BYTE> Security(DWORD off)
    {
        if (off == kNoCell) return {};  // none of its own
        auto it = m_security.find(off);
        if (it == m_security.end()) {
            std::size_t size = 0;
            const BYTE* sk = Body(off, kSkFixedSize, size);
            const std::size_t length = Get32(sk + kSkDescriptorSize);
            if (!SameSignature(sk + kSkSignature, "sk") || length > size - kSkFixedSize ||
                !SelfRelativeDescriptor(sk + kSkDescriptor, length)) {
                Corrupt();
            }
            it = m_security.emplace(off, std::vector<BYTE>(sk + kSkDescriptor, sk + kSkDescriptor + length)).first;
        }
        // Each key holds a copy: keys sharing one large descriptor must not
        // make a small file take unbounded memory.
        if (it->second.size() > m_securityBudget) Fail(ERROR_NOT_ENOUGH_MEMORY);
        m_securityBudget -= it->second.size();
        return it->second;
    }

    // Copies of descriptors a file may make: generous beside what any
    // registry writes (a few hundred bytes a key), bounded all the same.
    static constexpr std::size_t kSecurityAllowance = std::size_t{64} << 20;
    static constexpr std::size_t kSecurityPerByte = 64;

    const BYTE* m_file;
    std::size_t m_size;
    const BYTE* m_bins = nullptr;
    std::size_t m_binsSize = 0;
    DWORD m_minor = 0;
    std::vector<std::uint8_t> m_cells;  // a CellState for every 8 bytes of bins
    std::unordered_map<DWORD, std::vector<BYTE>> m_security;
    std::size_t m_securityBudget = 0;
};

// ------------------------------------------------------------ files
// Reads `size` bytes at `at`; false at the end of the file or on an error
// (errno then says which).
bool ReadAt(int fd, BYTE* data, std::size_t size, off_t at)
{
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, data + done, size - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = 0;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

LONG ReadHiveImage(const BYTE* data, std::size_t size, RegTree& out)
{
    try {
        HiveReader(data, size).Read(out);
        return ERROR_SUCCESS;
    } catch (const StatusError& e) {
        return e.code;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG ReadHiveFile(const std::string& path, RegTree& out)
{
    // Not blocking: a FIFO put where a hive is expected must not hang the call.
    OwnedFd f(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!f.valid()) return StatusFromErrno(errno);
    return ReadHiveDescriptor(f.get(), out);
}

LONG ReadHiveDescriptor(int fd, RegTree& out)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) return StatusFromErrno(errno);
    if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;

    // The base block says how much of the file is the hive: only that is
    // read, however large the file.
    std::vector<BYTE> file(kBaseBlockSize);
    if (!ReadAt(fd, file.data(), file.size(), 0)) return errno != 0 ? ERROR_READ_FAULT : ERROR_BADDB;
    const std::size_t bins = Get32(file.data() + kBaseBinsSize);
    if (std::memcmp(file.data() + kBaseSignature, "regf", 4) != 0 || bins > kMaxBinsSize ||
        static_cast<std::uint64_t>(st.st_size) < kBaseBlockSize + bins) {
        return ERROR_BADDB;
    }
    try {
        file.resize(kBaseBlockSize + bins);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (!ReadAt(fd, file.data() + kBaseBlockSize, bins, kBaseBlockSize)) {
        return errno != 0 ? ERROR_READ_FAULT : ERROR_BADDB;
    }
    return ReadHiveImage(file.data(), file.size(), out);
}

}  // namespace netid::posix::hive
