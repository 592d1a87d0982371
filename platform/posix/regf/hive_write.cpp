// SPDX-License-Identifier: LGPL-2.1-or-later
// Hive files in the "regf" format written (see hive_file.h): a key tree laid
// out as cells in bins in one pass. The fields are named in regf_format.h;
// reading is hive_read.cpp's; where the files come from and go to is the hive
// calls' business.
#include "platform/posix/regf/hive_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <new>
#include <unordered_map>
#include <utility>

#include "platform/posix/base/byte_order.h"
#include "platform/posix/base/files.h"
#include "platform/posix/base/reg_limits.h"
#include "platform/posix/regf/regf_format.h"
#include "platform/posix/security/security.h"
#include "platform/posix/base/status.h"
#include "platform/posix/base/text.h"

namespace netid::posix::hive {
namespace {

using namespace regf;

constexpr std::size_t Align(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// ------------------------------------------------------------ names
// Windows keeps a name one byte a unit when every unit is below 256.
bool Compressible(const std::u16string& name)
{
    return std::all_of(name.begin(), name.end(), [](char16_t u) { return u < 0x100; });
}

std::size_t StoredSize(const std::u16string& name, bool compressed)
{
    return compressed ? name.size() : 2 * name.size();
}

void PutName(BYTE* at, const std::u16string& name, bool compressed)
{
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (compressed) {
            at[i] = static_cast<BYTE>(name[i]);
        } else {
            Put16(at + 2 * i, static_cast<WORD>(name[i]));
        }
    }
}

// The lh leaves' hash of a name already upper-cased.
DWORD NameHash(const std::u16string& upcased)
{
    DWORD hash = 0;
    for (char16_t u : upcased) hash = hash * kNameHashMultiplier + u;
    return hash;
}

// ------------------------------------------------------------ writing
// The file as it grows: the base block, then bins of cells handed out in
// order. A cell that does not fit what is left of the bin starts a new bin
// (as large as the cell needs); the rest of the old one becomes a free cell.
class ImageWriter {
public:
    explicit ImageWriter(std::vector<BYTE>& img) : m_img(img) { m_img.assign(kBaseBlockSize, 0); }

    // A new used cell with room for `body` bytes: its offset.
    DWORD Alloc(std::size_t body)
    {
        if (body > kMaxBinsSize) Fail(kValueTooLarge);
        const std::size_t size = Align(kCellSizeField + body, kCellAlignment);
        if (m_at + size > m_binEnd) NewBin(size);
        const DWORD cell = static_cast<DWORD>(m_at - kBaseBlockSize);
        Put32(&m_img[m_at], static_cast<DWORD>(-static_cast<LONG>(size)));
        m_at += size;
        return cell;
    }

    // The body of a cell (valid until the next Alloc).
    BYTE* Body(DWORD cell) { return m_img.data() + kBaseBlockSize + cell + kCellSizeField; }

    void Finish(DWORD root, std::uint64_t time)
    {
        if (m_binEnd == kBaseBlockSize) NewBin(0);
        CloseBin();
        BYTE* base = m_img.data();
        std::memcpy(base + kBaseSignature, "regf", 4);
        Put32(base + kBasePrimarySeq, 1);
        Put32(base + kBaseSecondarySeq, 1);
        Put64(base + kBaseTimestamp, time);
        Put32(base + kBaseMajorVersion, kMajorVersion);
        Put32(base + kBaseMinorVersion, kWrittenMinorVersion);
        Put32(base + kBaseFileType, kFileTypePrimary);
        Put32(base + kBaseFileFormat, kFileFormatDirect);
        Put32(base + kBaseRootCell, root);
        Put32(base + kBaseBinsSize, static_cast<DWORD>(m_binEnd - kBaseBlockSize));
        Put32(base + kBaseClustering, kClustering);
        Put32(base + kBaseChecksum, BaseBlockChecksum(base));
        Put64(base + kBaseBlockSize + kBinTimestamp, time);
    }

private:
    void CloseBin()
    {
        if (m_at < m_binEnd) Put32(&m_img[m_at], static_cast<DWORD>(m_binEnd - m_at));
        m_at = m_binEnd;
    }

    void NewBin(std::size_t cell)
    {
        CloseBin();
        const std::size_t offset = m_binEnd - kBaseBlockSize;
        const std::size_t size = Align(kBinHeaderSize + cell, kBinAlignment);
        if (size > kMaxBinsSize - offset) Fail(kValueTooLarge);
        m_img.resize(m_binEnd + size, 0);
        BYTE* bin = &m_img[m_binEnd];
        std::memcpy(bin + kBinSignature, "hbin", 4);
        Put32(bin + kBinOffset, static_cast<DWORD>(offset));
        Put32(bin + kBinSize, static_cast<DWORD>(size));
        m_at = m_binEnd + kBinHeaderSize;
        m_binEnd += size;
    }

    std::vector<BYTE>& m_img;
    std::size_t m_at = kBaseBlockSize;  // the next free byte of the last bin
    std::size_t m_binEnd = kBaseBlockSize;
};

// Lays out a tree key by key: each key's nk, class, security (shared), value
// list, values and their data, then its sub-keys and their list.
class TreeWriter {
public:
    explicit TreeWriter(std::vector<BYTE>& img) : m_out(img) {}

    void Write(const RegTree& tree)
    {
        const DWORD root = Key(tree, kNoCell, nullptr, 1);
        // The sk cells, in the order they were made, as one circular list.
        for (std::size_t i = 0; i < m_sks.size(); ++i) {
            BYTE* sk = m_out.Body(m_sks[i].cell);
            Put32(sk + kSkNext, m_sks[(i + 1) % m_sks.size()].cell);
            Put32(sk + kSkPrevious, m_sks[(i + m_sks.size() - 1) % m_sks.size()].cell);
            Put32(sk + kSkReferences, m_sks[i].references);
        }
        m_out.Finish(root, tree.lastWrite);
    }

private:
    struct Sk {
        DWORD cell;
        DWORD references;
        const std::vector<BYTE>* descriptor;
    };

    // The sk cell of a descriptor: one for all keys that have it, made (and
    // the descriptor checked) the first time.
    std::size_t Intern(const std::vector<BYTE>& descriptor)
    {
        auto [it, fresh] = m_skIndex.emplace(descriptor, m_sks.size());
        if (fresh) {
            if (!SelfRelativeDescriptor(descriptor.data(), descriptor.size())) Fail(ERROR_INVALID_SECURITY_DESCR);
            const DWORD cell = m_out.Alloc(kSkFixedSize + descriptor.size());
            BYTE* sk = m_out.Body(cell);
            std::memcpy(sk + kSkSignature, "sk", 2);
            Put32(sk + kSkDescriptorSize, static_cast<DWORD>(descriptor.size()));
            std::memcpy(sk + kSkDescriptor, descriptor.data(), descriptor.size());
            m_sks.push_back({cell, 0, &it->first});
        }
        return it->second;
    }

    // The sk of a key: its own descriptor, or the one it inherits.
    std::size_t Security(const RegTree& key, const std::size_t* parent)
    {
        if (!key.security.empty()) return Intern(key.security);
        if (parent == nullptr) return Intern(DefaultKeySecurity(nullptr));
        auto it = m_inherited.find(*parent);
        if (it != m_inherited.end()) return it->second;
        const std::size_t sk = Intern(DefaultKeySecurity(m_sks[*parent].descriptor));
        m_inherited.emplace(*parent, sk);
        return sk;
    }

    DWORD Key(const RegTree& key, DWORD parent, const std::size_t* parentSk, std::size_t depth)
    {
        if (depth > kMaxDepth) Fail(ERROR_INVALID_PARAMETER);
        const bool top = parent == kNoCell;
        const std::u16string& name = top && key.name.empty() ? kTopName : key.name;
        if (name.empty() || name.size() > kMaxKeyNameLength) Fail(ERROR_INVALID_PARAMETER);
        const bool compressed = Compressible(name);
        const DWORD nk = m_out.Alloc(kNkFixedSize + StoredSize(name, compressed));
        {
            BYTE* p = m_out.Body(nk);
            std::memcpy(p + kNkSignature, "nk", 2);
            WORD flags = compressed ? kKeyCompName : 0;
            if (top) flags |= kKeyHiveEntry | kKeyNoDelete;
            Put16(p + kNkFlags, flags);
            Put64(p + kNkLastWrite, key.lastWrite);
            Put32(p + kNkParent, parent);
            Put32(p + kNkSubKeyList, kNoCell);
            Put32(p + kNkVolatileSubKeyList, kNoCell);
            Put32(p + kNkValueList, kNoCell);
            Put32(p + kNkClass, kNoCell);
            Put16(p + kNkNameLength, static_cast<WORD>(StoredSize(name, compressed)));
            PutName(p + kNkName, name, compressed);
        }

        const std::size_t sk = Security(key, parentSk);
        ++m_sks[sk].references;
        Put32(m_out.Body(nk) + kNkSecurity, m_sks[sk].cell);

        if (!key.keyClass.empty()) {
            if (key.keyClass.size() > 0xFFFF / 2) Fail(ERROR_INVALID_PARAMETER);
            const DWORD cls = m_out.Alloc(2 * key.keyClass.size());
            PutName(m_out.Body(cls), key.keyClass, false);
            Put32(m_out.Body(nk) + kNkClass, cls);
            Put16(m_out.Body(nk) + kNkClassLength, static_cast<WORD>(2 * key.keyClass.size()));
        }

        Values(key, nk);
        SubKeys(key, nk, sk, depth);
        return nk;
    }

    void Values(const RegTree& key, DWORD nk)
    {
        if (key.values.empty()) return;
        std::vector<std::u16string> names;
        names.reserve(key.values.size());
        for (const RegValue& v : key.values) names.push_back(Upcase(v.name));
        std::sort(names.begin(), names.end());
        if (std::adjacent_find(names.begin(), names.end()) != names.end()) Fail(ERROR_INVALID_PARAMETER);

        const DWORD list = m_out.Alloc(kIndexEntrySize * key.values.size());
        DWORD maxName = 0;
        DWORD maxData = 0;
        for (std::size_t i = 0; i < key.values.size(); ++i) {
            const RegValue& v = key.values[i];
            const DWORD vk = Value(v);
            Put32(m_out.Body(list) + kIndexEntrySize * i, vk);
            maxName = std::max(maxName, static_cast<DWORD>(2 * v.name.size()));
            maxData = std::max(maxData, static_cast<DWORD>(v.data.size()));
        }
        BYTE* p = m_out.Body(nk);
        Put32(p + kNkValueCount, static_cast<DWORD>(key.values.size()));
        Put32(p + kNkValueList, list);
        Put32(p + kNkMaxValueNameLength, maxName);
        Put32(p + kNkMaxValueDataSize, maxData);
    }

    DWORD Value(const RegValue& v)
    {
        if (v.name.size() > kMaxValueNameLength) Fail(ERROR_INVALID_PARAMETER);
        if (v.data.size() > kMaxValueData) Fail(kValueTooLarge);
        const bool compressed = Compressible(v.name);
        const DWORD vk = m_out.Alloc(kVkFixedSize + StoredSize(v.name, compressed));
        {
            BYTE* p = m_out.Body(vk);
            std::memcpy(p + kVkSignature, "vk", 2);
            Put16(p + kVkNameLength, static_cast<WORD>(StoredSize(v.name, compressed)));
            Put32(p + kVkType, v.type);
            Put16(p + kVkFlags, compressed ? kValueCompName : 0);
            PutName(p + kVkName, v.name, compressed);
        }
        const std::size_t n = v.data.size();
        DWORD size = static_cast<DWORD>(n);
        DWORD where = 0;
        if (n <= kMaxInlineData) {
            size |= kDataInline;
            BYTE* p = m_out.Body(vk);
            if (n > 0) std::memcpy(p + kVkDataOffset, v.data.data(), n);
        } else if (n <= kSegmentSize) {
            where = m_out.Alloc(n);
            std::memcpy(m_out.Body(where), v.data.data(), n);
        } else {
            where = BigData(v.data);
        }
        BYTE* p = m_out.Body(vk);
        Put32(p + kVkDataSize, size);
        if ((size & kDataInline) == 0) Put32(p + kVkDataOffset, where);
        return vk;
    }

    // Data longer than one segment: a db record, its list of segments, and
    // the segments.
    DWORD BigData(const std::vector<BYTE>& data)
    {
        const std::size_t count = (data.size() + kSegmentSize - 1) / kSegmentSize;
        const DWORD db = m_out.Alloc(kDbSize);
        const DWORD list = m_out.Alloc(kIndexEntrySize * count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t chunk = std::min(kSegmentSize, data.size() - i * kSegmentSize);
            const DWORD segment = m_out.Alloc(chunk);
            std::memcpy(m_out.Body(segment), data.data() + i * kSegmentSize, chunk);
            Put32(m_out.Body(list) + kIndexEntrySize * i, segment);
        }
        BYTE* p = m_out.Body(db);
        std::memcpy(p + kDbSignature, "db", 2);
        Put16(p + kDbSegmentCount, static_cast<WORD>(count));
        Put32(p + kDbSegmentList, list);
        return db;
    }

    // The sub-keys in the registry's order (by upper-cased name), each with
    // everything beneath it, then the list that finds them: one lh leaf, or
    // an ri index of leaves of at most kMaxLeafEntries each.
    void SubKeys(const RegTree& key, DWORD nk, std::size_t sk, std::size_t depth)
    {
        std::vector<std::pair<std::u16string, const RegTree*>> order;
        for (const RegTree& sub : key.subkeys) {
            if (!sub.isVolatile) order.emplace_back(Upcase(sub.name), &sub);
        }
        if (order.empty()) return;
        std::sort(order.begin(), order.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        for (std::size_t i = 1; i < order.size(); ++i) {
            if (order[i - 1].first == order[i].first) Fail(ERROR_INVALID_PARAMETER);
        }

        std::vector<std::pair<DWORD, DWORD>> entries;  // nk, hash
        entries.reserve(order.size());
        DWORD maxName = 0;
        DWORD maxClass = 0;
        for (const auto& [upcased, sub] : order) {
            entries.emplace_back(Key(*sub, nk, &sk, depth + 1), NameHash(upcased));
            maxName = std::max(maxName, static_cast<DWORD>(2 * sub->name.size()));
            maxClass = std::max(maxClass, static_cast<DWORD>(2 * sub->keyClass.size()));
        }

        DWORD list = 0;
        if (entries.size() <= kMaxLeafEntries) {
            list = Leaf(entries.data(), entries.size());
        } else {
            const std::size_t leaves = (entries.size() + kMaxLeafEntries - 1) / kMaxLeafEntries;
            if (leaves > kMaxListEntries) Fail(kValueTooLarge);
            list = m_out.Alloc(kListFixedSize + kIndexEntrySize * leaves);
            std::memcpy(m_out.Body(list) + kListSignature, "ri", 2);
            Put16(m_out.Body(list) + kListCount, static_cast<WORD>(leaves));
            // Leaves of even size, each as full as the split allows.
            for (std::size_t i = 0; i < leaves; ++i) {
                const std::size_t from = entries.size() * i / leaves;
                const std::size_t to = entries.size() * (i + 1) / leaves;
                const DWORD leaf = Leaf(entries.data() + from, to - from);
                Put32(m_out.Body(list) + kListEntries + kIndexEntrySize * i, leaf);
            }
        }
        BYTE* p = m_out.Body(nk);
        Put32(p + kNkSubKeyCount, static_cast<DWORD>(entries.size()));
        Put32(p + kNkSubKeyList, list);
        Put32(p + kNkMaxNameLength, maxName);
        Put32(p + kNkMaxClassLength, maxClass);
    }

    DWORD Leaf(const std::pair<DWORD, DWORD>* entries, std::size_t count)
    {
        const DWORD leaf = m_out.Alloc(kListFixedSize + kLeafEntrySize * count);
        BYTE* p = m_out.Body(leaf);
        std::memcpy(p + kListSignature, "lh", 2);
        Put16(p + kListCount, static_cast<WORD>(count));
        for (std::size_t i = 0; i < count; ++i) {
            Put32(p + kListEntries + kLeafEntrySize * i, entries[i].first);
            Put32(p + kListEntries + kLeafEntrySize * i + 4, entries[i].second);
        }
        return leaf;
    }

    inline static const std::u16string kTopName = u"ROOT";

    ImageWriter m_out;
    std::vector<Sk> m_sks;
    std::map<std::vector<BYTE>, std::size_t> m_skIndex;  // descriptor: index in m_sks
    std::map<std::size_t, std::size_t> m_inherited;  // parent's sk: the sk its heirs get
};

}  // namespace

bool SelfRelativeDescriptor(const BYTE* sd, std::size_t size)
{
    return size >= SECURITY_DESCRIPTOR_MIN_LENGTH && size <= 0xFFFFFFFF &&
           (Get16(sd + offsetof(SECURITY_DESCRIPTOR_RELATIVE, Control)) & SE_SELF_RELATIVE) != 0 &&
           ValidateSecurityDescriptor(sd, static_cast<DWORD>(size)) == ERROR_SUCCESS;
}

DWORD BaseBlockChecksum(const BYTE* block)
{
    DWORD sum = 0;
    for (std::size_t i = 0; i < kBaseChecksum; i += 4) sum ^= Get32(block + i);
    if (sum == 0xFFFFFFFF) return 0xFFFFFFFE;
    if (sum == 0) return 1;
    return sum;
}

LONG HiveImage(const RegTree& tree, std::vector<BYTE>& out)
{
    try {
        std::vector<BYTE> img;
        TreeWriter(img).Write(tree);
        out = std::move(img);
        return ERROR_SUCCESS;
    } catch (const StatusError& e) {
        return e.code;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LONG WriteHiveFile(const std::string& path, const RegTree& tree, bool overwrite)
{
    std::vector<BYTE> img;
    LONG status = HiveImage(tree, img);
    if (status != ERROR_SUCCESS) return status;
    // Whole or not at all, under a fresh name first, never through a link.
    OwnedFd dir;
    std::string name;
    status = OpenParentDirectory(path, dir, name);
    if (status != ERROR_SUCCESS) return status;
    return WriteFileAtomically(dir.get(), name, img.data(), img.size(), overwrite, ModeUnderUmask(0666));
}

}  // namespace netid::posix::hive
