// Hive files in the "regf" format. libhivex does the cell work; this module
// makes the empty hive libhivex cannot create, checks a file's base block and
// bins before libhivex trusts them, and carries what libhivex has no call for
// (last write times, the security cell, classes) by reading and writing the
// few raw fields itself. Where the files come from and go to is the hive
// calls' business (reg_hives.cpp, hive_records.cpp).
#include "platform/posix/hive_file.h"

#include "platform/posix/text.h"

#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <utility>

#include "platform/posix/byte_order.h"
#include "platform/posix/files.h"
#include "platform/posix/process.h"
#include "platform/posix/reg_limits.h"
#include "platform/posix/regf_format.h"
#include "platform/posix/security.h"

namespace netid::posix::hive {
namespace {

using namespace regf;

static_assert(sizeof(hive_type) == sizeof(DWORD), "value types pass through hive_type");

std::size_t Align8(std::size_t n)
{
    return (n + kCellAlignment - 1) & ~static_cast<std::size_t>(kCellAlignment - 1);
}

// Writes the size field of the cell at `at`: negative while the cell is in use.
void PutCellSize(BYTE* at, LONG size) { Put32(at, static_cast<DWORD>(size)); }

// ------------------------------------------------------------ names
// The registry's names are UTF-16; libhivex speaks UTF-8.
std::string BytesToUtf8(const std::u16string& in) { return Utf16ToUtf8(in); }
std::u16string Utf8ToBytes(const char* in, std::size_t len) { return Utf8ToUtf16(std::string_view(in, len)); }

// ------------------------------------------------------------ security
// A self-relative descriptor whose parts lie inside it. Only the framing is
// looked at: the parts themselves are the security module's business.
bool PlausibleDescriptor(const BYTE* d, std::size_t len)
{
    if (len < SECURITY_DESCRIPTOR_MIN_LENGTH || d[0] != SECURITY_DESCRIPTOR_REVISION ||
        (Get16(d + 2) & SE_SELF_RELATIVE) == 0) {
        return false;
    }
    for (std::size_t field = 4; field < 20; field += 4) {
        DWORD off = Get32(d + field);
        if (off != 0 && (off < 20 || off >= len)) return false;
    }
    return true;
}

// ------------------------------------------------------------ files
struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0) ::close(fd);
    }
};

LONG ReadWholeFile(const std::string& path, std::vector<BYTE>& out)
{
    Fd f;
    f.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (f.fd < 0) return StatusFromErrno(errno);
    struct stat st {};
    if (::fstat(f.fd, &st) != 0) return StatusFromErrno(errno);
    if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::read(f.fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ERROR_READ_FAULT;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    return ERROR_SUCCESS;
}

LONG WriteAt(int fd, const BYTE* data, std::size_t size, off_t at)
{
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(fd, data + done, size - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return StatusFromErrno(errno);
        done += static_cast<std::size_t>(n);
    }
    return ERROR_SUCCESS;
}

// ------------------------------------------------------------ checking a file
// The base block and the chain of bins, as far as libhivex relies on them.
LONG CheckFrame(const std::vector<BYTE>& f)
{
    if (f.size() < kBaseBlockSize + kBinAlignment) return ERROR_BADDB;
    const BYTE* b = f.data();
    if (std::memcmp(b + kBaseSignature, "regf", 4) != 0) return ERROR_BADDB;
    if (BaseBlockChecksum(b) != Get32(b + kBaseChecksum)) return ERROR_BADDB;
    // An unequal pair of sequence numbers marks a file caught half way
    // through a write; without its log it cannot be trusted.
    if (Get32(b + kBasePrimarySeq) != Get32(b + kBaseSecondarySeq)) return ERROR_BADDB;
    DWORD minor = Get32(b + kBaseMinorVersion);
    if (Get32(b + kBaseMajorVersion) != kMajorVersion || minor < kMinMinorVersion ||
        minor > kMaxMinorVersion) {
        return ERROR_BADDB;
    }
    if (Get32(b + kBaseFileType) != kFileTypePrimary) return ERROR_BADDB;  // not a log
    DWORD binsSize = Get32(b + kBaseBinsSize);
    DWORD root = Get32(b + kBaseRootCell);
    if (binsSize == 0 || binsSize % kBinAlignment != 0 || binsSize > f.size() - kBaseBlockSize) {
        return ERROR_BADDB;
    }
    if (root < kBinHeaderSize || root + kCellSizeField + kNkFixedSize > binsSize) {
        return ERROR_BADDB;
    }

    std::size_t at = 0;
    while (at < binsSize) {
        const BYTE* bin = b + kBaseBlockSize + at;
        DWORD size = Get32(bin + kBinSize);
        if (std::memcmp(bin + kBinSignature, "hbin", 4) != 0 || Get32(bin + kBinOffset) != at ||
            size == 0 || size % kBinAlignment != 0 || size > binsSize - at) {
            return ERROR_BADDB;
        }
        // The cells must tile the bin exactly.
        std::size_t cell = kBinHeaderSize;
        while (cell < size) {
            LONG raw = static_cast<LONG>(Get32(bin + cell));
            std::int64_t len = raw < 0 ? -static_cast<std::int64_t>(raw) : raw;
            if (len < static_cast<std::int64_t>(kCellAlignment) || len % kCellAlignment != 0 ||
                static_cast<std::size_t>(len) > size - cell) {
                return ERROR_REGISTRY_CORRUPT;
            }
            cell += static_cast<std::size_t>(len);
        }
        at += size;
    }
    return ERROR_SUCCESS;
}

// A used cell at hive offset `off` with at least `need` bytes after its size
// field; null when there is none such.
const BYTE* UsedCell(const std::vector<BYTE>& f, DWORD off, std::size_t need)
{
    if (off == kNoCell) return nullptr;
    DWORD binsSize = Get32(f.data() + kBaseBinsSize);
    if (off < kBinHeaderSize || off >= binsSize || binsSize - off < kCellSizeField) return nullptr;
    const BYTE* cell = f.data() + kBaseBlockSize + off;
    LONG raw = static_cast<LONG>(Get32(cell));
    if (raw >= 0) return nullptr;
    std::size_t len = static_cast<std::size_t>(-static_cast<std::int64_t>(raw));
    if (len > binsSize - off || len < kCellSizeField + need) return nullptr;
    return cell + kCellSizeField;
}

// ------------------------------------------------------------ reading
struct HiveCloser {
    void operator()(hive_h* h) const { hivex_close(h); }
};
using Hive = std::unique_ptr<hive_h, HiveCloser>;

struct Reader {
    hive_h* h;
    const std::vector<BYTE>& file;
    std::set<hive_node_h> seen;

    // The raw nk cell behind a node handle (a file offset).
    const BYTE* Nk(hive_node_h node) const
    {
        if (node < kBaseBlockSize) return nullptr;
        const BYTE* nk = UsedCell(file, static_cast<DWORD>(node - kBaseBlockSize), kNkFixedSize);
        return nk != nullptr && std::memcmp(nk + kNkSignature, "nk", 2) == 0 ? nk : nullptr;
    }

    void RawExtras(const BYTE* nk, RegTree& key) const
    {
        DWORD skOff = Get32(nk + kNkSecurity);
        if (const BYTE* sk = UsedCell(file, skOff, kSkFixedSize)) {
            DWORD len = Get32(sk + kSkDescriptorSize);
            if (std::memcmp(sk + kSkSignature, "sk", 2) == 0 &&
                UsedCell(file, skOff, kSkFixedSize + len) &&
                PlausibleDescriptor(sk + kSkDescriptor, len)) {
                key.security.assign(sk + kSkDescriptor, sk + kSkDescriptor + len);
            }
        }
        WORD classLen = Get16(nk + kNkClassLength);
        if (classLen > 0) {
            if (const BYTE* cls = UsedCell(file, Get32(nk + kNkClass), classLen)) {
                for (WORD i = 0; i + 1 < classLen; i += 2) {
                    WORD ch = Get16(cls + i);
                    key.keyClass += static_cast<char16_t>(ch);
                }
            }
        }
    }

    LONG Key(hive_node_h node, std::size_t depth, RegTree& key)
    {
        if (depth > kMaxDepth || !seen.insert(node).second) return ERROR_REGISTRY_CORRUPT;
        const BYTE* nk = Nk(node);
        if (nk == nullptr) return ERROR_REGISTRY_CORRUPT;

        errno = 0;
        char* name = hivex_node_name(h, node);
        if (name == nullptr) return ERROR_REGISTRY_CORRUPT;
        key.name = Utf8ToBytes(name, std::strlen(name));
        std::free(name);
        std::int64_t ts = hivex_node_timestamp(h, node);
        key.lastWrite = ts < 0 ? 0 : static_cast<std::uint64_t>(ts);
        RawExtras(nk, key);

        hive_value_h* values = hivex_node_values(h, node);
        if (values == nullptr) return ERROR_REGISTRY_CORRUPT;
        std::unique_ptr<hive_value_h, decltype(&std::free)> freeValues(values, &std::free);
        for (hive_value_h* v = values; *v != 0; ++v) {
            RegValue value;
            char* vname = hivex_value_key(h, *v);
            if (vname == nullptr) return ERROR_REGISTRY_CORRUPT;
            value.name = Utf8ToBytes(vname, std::strlen(vname));
            std::free(vname);
            hive_type type{};
            size_t len = 0;
            char* data = hivex_value_value(h, *v, &type, &len);
            if (data == nullptr) return ERROR_REGISTRY_CORRUPT;
            std::memcpy(&value.type, &type, sizeof value.type);
            value.data.assign(data, data + len);
            std::free(data);
            key.values.push_back(std::move(value));
        }

        hive_node_h* children = hivex_node_children(h, node);
        if (children == nullptr) return ERROR_REGISTRY_CORRUPT;
        std::unique_ptr<hive_node_h, decltype(&std::free)> freeChildren(children, &std::free);
        for (hive_node_h* c = children; *c != 0; ++c) {
            RegTree child;
            LONG status = Key(*c, depth + 1, child);
            if (status != ERROR_SUCCESS) return status;
            key.subkeys.push_back(std::move(child));
        }
        return ERROR_SUCCESS;
    }
};

// ------------------------------------------------------------ writing
// A key as written, for the work done on the file after libhivex.
struct Written {
    hive_node_h node;
    const RegTree* key;
};

struct Writer {
    hive_h* h;
    std::vector<Written> written;

    LONG Values(hive_node_h node, const RegTree& key)
    {
        if (key.values.empty()) return ERROR_SUCCESS;
        std::vector<std::string> names;
        names.reserve(key.values.size());
        std::vector<hive_set_value> set(key.values.size());
        for (std::size_t i = 0; i < key.values.size(); ++i) {
            names.push_back(BytesToUtf8(key.values[i].name));
        }
        for (std::size_t i = 0; i < key.values.size(); ++i) {
            const RegValue& v = key.values[i];
            set[i].key = names[i].data();
            // Any type number goes through; the enumeration names only some.
            std::memcpy(&set[i].t, &v.type, sizeof v.type);
            if (v.data.size() > kSegmentSize) {
                // Long data is put in place afterwards (SplitBigValues); here
                // it only needs a cell of its own.
                static const char placeholder[kSegmentSize + 1] = {};
                set[i].len = sizeof placeholder;
                set[i].value = const_cast<char*>(placeholder);
            } else {
                set[i].len = v.data.size();
                set[i].value = v.data.empty()
                                   ? const_cast<char*>("")
                                   : reinterpret_cast<char*>(const_cast<BYTE*>(v.data.data()));
            }
        }
        if (hivex_node_set_values(h, node, set.size(), set.data(), 0) != 0) {
            return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_CANTWRITE;
        }
        return ERROR_SUCCESS;
    }

    LONG Key(hive_node_h node, const RegTree& key, std::size_t depth)
    {
        if (depth > kMaxDepth) return ERROR_INVALID_PARAMETER;
        for (const RegValue& v : key.values) {
            if (v.data.size() > kMaxValueData) return kValueTooLarge;
        }
        written.push_back({node, &key});
        LONG status = Values(node, key);
        if (status != ERROR_SUCCESS) return status;
        for (const RegTree& sub : key.subkeys) {
            hive_node_h child = hivex_node_add_child(h, node, BytesToUtf8(sub.name).c_str());
            if (child == 0) return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_CANTWRITE;
            status = Key(child, sub, depth + 1);
            if (status != ERROR_SUCCESS) return status;
        }
        return ERROR_SUCCESS;
    }
};


// ------------------------------------------------------------ big values
// From version 1.4 on, data longer than one segment lies in a "db" record: a
// list of segment cells of 16,344 bytes each. libhivex writes such data into
// one cell, which readers of a 1.5 file would take for a db record; so each
// such value is written into segments in a bin added at the end, and the
// cell libhivex gave it freed. This also lifts libhivex's own limit on the
// size of one value.
LONG SplitBigValues(std::vector<BYTE>& img, const std::vector<Written>& written)
{
    struct Big {
        std::size_t vk;    // file offset of the vk cell's body
        DWORD dataCell;    // hive offset of the placeholder cell
        const std::vector<BYTE>* data;
    };
    std::vector<Big> bigs;
    for (const Written& w : written) {
        const hive_node_h node = w.node;
        const BYTE* nk = UsedCell(img, static_cast<DWORD>(node - kBaseBlockSize), kNkFixedSize);
        if (nk == nullptr) return ERROR_CANTWRITE;
        DWORD count = Get32(nk + kNkValueCount);
        if (count != w.key->values.size()) return ERROR_CANTWRITE;
        if (count == 0) continue;
        DWORD listOff = Get32(nk + kNkValueList);
        const BYTE* list = UsedCell(img, listOff, 4 * static_cast<std::size_t>(count));
        if (list == nullptr) return ERROR_CANTWRITE;
        for (DWORD i = 0; i < count; ++i) {
            DWORD vkOff = Get32(list + 4 * i);
            const BYTE* vk = UsedCell(img, vkOff, kVkFixedSize);
            if (vk == nullptr || std::memcmp(vk + kVkSignature, "vk", 2) != 0) {
                return ERROR_CANTWRITE;
            }
            const std::vector<BYTE>& data = w.key->values[i].data;
            if (data.size() <= kSegmentSize) continue;
            DWORD dataCell = Get32(vk + kVkDataOffset);
            if (Get32(vk + kVkDataSize) != kSegmentSize + 1 ||
                UsedCell(img, dataCell, kSegmentSize + 1) == nullptr) {
                return ERROR_CANTWRITE;
            }
            bigs.push_back({static_cast<std::size_t>(vk - img.data()), dataCell, &data});
        }
    }
    if (bigs.empty()) return ERROR_SUCCESS;

    const std::size_t segCell = Align8(kCellSizeField + kSegmentSize);
    std::size_t need = kBinHeaderSize;
    for (const Big& b : bigs) {
        std::size_t n = (b.data->size() + kSegmentSize - 1) / kSegmentSize;
        if (n > 0xFFFF) return ERROR_INVALID_PARAMETER;  // beyond what a db record can count
        need += Align8(kCellSizeField + kDbSize) + Align8(kCellSizeField + 4 * n) + n * segCell;
    }
    std::size_t binSize = (need + kBinAlignment - 1) & ~static_cast<std::size_t>(kBinAlignment - 1);
    const DWORD binOff = Get32(img.data() + kBaseBinsSize);
    if (static_cast<std::uint64_t>(binOff) + binSize > 0x7FFFFFFF) return ERROR_INVALID_PARAMETER;
    img.resize(kBaseBlockSize + binOff + binSize, 0);
    BYTE* bin = img.data() + kBaseBlockSize + binOff;
    std::memcpy(bin + kBinSignature, "hbin", 4);
    Put32(bin + kBinOffset, binOff);
    Put32(bin + kBinSize, static_cast<DWORD>(binSize));

    // The body of the cell at hive offset `cell`.
    auto body = [&img](DWORD cell) { return img.data() + kBaseBlockSize + cell + kCellSizeField; };
    std::size_t at = kBinHeaderSize;  // within the new bin
    auto place = [&](std::size_t size) {
        std::size_t cell = at;
        PutCellSize(bin + cell, -static_cast<LONG>(size));
        at += size;
        return static_cast<DWORD>(binOff + cell);  // hive offset of the new cell
    };
    for (const Big& b : bigs) {
        const std::size_t len = b.data->size();
        std::size_t n = (len + kSegmentSize - 1) / kSegmentSize;
        const BYTE* data = b.data->data();
        DWORD db = place(Align8(kCellSizeField + kDbSize));
        DWORD list = place(Align8(kCellSizeField + 4 * n));
        std::memcpy(body(db) + kDbSignature, "db", 2);
        Put16(body(db) + kDbSegmentCount, static_cast<WORD>(n));
        Put32(body(db) + kDbSegmentList, list);
        for (std::size_t i = 0; i < n; ++i) {
            DWORD seg = place(segCell);
            std::size_t chunk = std::min(kSegmentSize, len - i * kSegmentSize);
            std::memcpy(body(seg), data + i * kSegmentSize, chunk);
            Put32(body(list) + 4 * i, seg);
        }
        BYTE* vk = img.data() + b.vk;
        Put32(vk + kVkDataSize, static_cast<DWORD>(len));
        Put32(vk + kVkDataOffset, db);
        // The old cell is free now.
        BYTE* old = img.data() + kBaseBlockSize + b.dataCell;
        PutCellSize(old, -static_cast<LONG>(Get32(old)));
    }
    if (at < binSize) PutCellSize(bin + at, static_cast<LONG>(binSize - at));

    Put32(img.data() + kBaseBinsSize, static_cast<DWORD>(binOff + binSize));
    Put32(img.data() + kBaseChecksum, BaseBlockChecksum(img.data()));
    return ERROR_SUCCESS;
}

}  // namespace

DWORD BaseBlockChecksum(const BYTE* block)
{
    DWORD sum = 0;
    for (std::size_t i = 0; i < kBaseChecksum; i += 4) sum ^= Get32(block + i);
    if (sum == 0xFFFFFFFF) return 0xFFFFFFFE;
    if (sum == 0) return 1;
    return sum;
}

std::vector<BYTE> EmptyHiveImage(const std::string& rootName, const std::vector<BYTE>& security)
{
    std::vector<BYTE> sd = security;
    if (sd.empty() || !PlausibleDescriptor(sd.data(), sd.size())) sd = DefaultKeySecurity(nullptr);
    std::string name = rootName.empty() ? std::string("ROOT") : rootName;
    if (name.size() > kMaxKeyNameLength) name.resize(kMaxKeyNameLength);

    const std::size_t nkAt = kBinHeaderSize;
    const std::size_t nkLen = Align8(kCellSizeField + kNkFixedSize + name.size());
    const std::size_t skAt = nkAt + nkLen;
    const std::size_t skLen = Align8(kCellSizeField + kSkFixedSize + sd.size());
    std::size_t binSize = kBinAlignment;
    while (skAt + skLen + kCellAlignment > binSize) binSize += kBinAlignment;

    std::vector<BYTE> img(kBaseBlockSize + binSize, 0);
    const std::uint64_t now = NowAsFileTime();

    // Base block.
    BYTE* base = img.data();
    std::memcpy(base + kBaseSignature, "regf", 4);
    Put32(base + kBasePrimarySeq, 1);
    Put32(base + kBaseSecondarySeq, 1);
    Put64(base + kBaseTimestamp, now);
    Put32(base + kBaseMajorVersion, kMajorVersion);
    Put32(base + kBaseMinorVersion, kWrittenMinorVersion);
    Put32(base + kBaseFileType, kFileTypePrimary);
    Put32(base + kBaseFileFormat, kFileFormatDirect);
    Put32(base + kBaseRootCell, static_cast<DWORD>(nkAt));
    Put32(base + kBaseBinsSize, static_cast<DWORD>(binSize));
    Put32(base + kBaseClustering, kClustering);
    Put32(base + kBaseChecksum, BaseBlockChecksum(base));

    // The one bin.
    BYTE* bin = img.data() + kBaseBlockSize;
    std::memcpy(bin + kBinSignature, "hbin", 4);
    Put32(bin + kBinOffset, 0);
    Put32(bin + kBinSize, static_cast<DWORD>(binSize));
    Put64(bin + kBinTimestamp, now);

    // The top key.
    PutCellSize(bin + nkAt, -static_cast<LONG>(nkLen));
    BYTE* nk = bin + nkAt + kCellSizeField;
    std::memcpy(nk + kNkSignature, "nk", 2);
    Put16(nk + kNkFlags, kKeyHiveEntry | kKeyNoDelete | kKeyCompName);
    Put64(nk + kNkLastWrite, now);
    Put32(nk + kNkParent, kNoCell);
    Put32(nk + kNkSubKeyList, kNoCell);
    Put32(nk + kNkVolatileSubKeyList, kNoCell);
    Put32(nk + kNkValueList, kNoCell);
    Put32(nk + kNkSecurity, static_cast<DWORD>(skAt));
    Put32(nk + kNkClass, kNoCell);
    Put16(nk + kNkNameLength, static_cast<WORD>(name.size()));
    std::memcpy(nk + kNkName, name.data(), name.size());

    // Its security cell, a list of one that points at itself.
    PutCellSize(bin + skAt, -static_cast<LONG>(skLen));
    BYTE* sk = bin + skAt + kCellSizeField;
    std::memcpy(sk + kSkSignature, "sk", 2);
    Put32(sk + kSkNext, static_cast<DWORD>(skAt));
    Put32(sk + kSkPrevious, static_cast<DWORD>(skAt));
    Put32(sk + kSkReferences, 1);
    Put32(sk + kSkDescriptorSize, static_cast<DWORD>(sd.size()));
    std::memcpy(sk + kSkDescriptor, sd.data(), sd.size());

    // The rest of the bin is one free cell.
    PutCellSize(bin + skAt + skLen, static_cast<LONG>(binSize - (skAt + skLen)));
    return img;
}

LONG WriteHiveFile(const std::string& path, const RegTree& tree)
{
    {
        std::vector<BYTE> img = EmptyHiveImage(Utf16ToUtf8(tree.name), tree.security);
        Fd f;
        f.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (f.fd < 0) return StatusFromErrno(errno);
        LONG status = WriteAt(f.fd, img.data(), img.size(), 0);
        if (status != ERROR_SUCCESS) return status;
    }

    std::vector<Written> written;
    {
        Hive h(hivex_open(path.c_str(), HIVEX_OPEN_WRITE));
        if (!h) return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_CANTWRITE;
        Writer w{h.get(), {}};
        LONG status = w.Key(hivex_root(h.get()), tree, 0);
        if (status != ERROR_SUCCESS) return status;
        if (hivex_commit(h.get(), nullptr, 0) != 0) return StatusFromErrno(errno);
        written = std::move(w.written);
    }

    // libhivex stamps keys with the time of writing: give each its own, and
    // move long data into big-data records.
    std::vector<BYTE> img;
    LONG status = ReadWholeFile(path, img);
    if (status != ERROR_SUCCESS) return status;
    if (CheckFrame(img) != ERROR_SUCCESS) return ERROR_CANTWRITE;
    for (const Written& w : written) {
        if (UsedCell(img, static_cast<DWORD>(w.node - kBaseBlockSize), kNkFixedSize) == nullptr) {
            return ERROR_CANTWRITE;
        }
        Put64(&img[w.node + kCellSizeField + kNkLastWrite], w.key->lastWrite);
    }
    status = SplitBigValues(img, written);
    if (status != ERROR_SUCCESS) return status;
    Fd f;
    f.fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (f.fd < 0) return StatusFromErrno(errno);
    status = WriteAt(f.fd, img.data(), img.size(), 0);
    if (status != ERROR_SUCCESS) return status;
    if (::fsync(f.fd) != 0) return StatusFromErrno(errno);
    return ERROR_SUCCESS;
}

LONG HiveImage(const RegTree& tree, std::vector<BYTE>& out)
{
    // libhivex writes files, not memory: a private file of our own is the
    // workbench, gone again before this returns.
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/netid-hive-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return StatusFromErrno(errno);
    ::close(fd);
    LONG status = WriteHiveFile(name.data(), tree);
    if (status == ERROR_SUCCESS) status = ReadWholeFile(name.data(), out);
    ::unlink(name.data());
    return status;
}

LONG ReadHiveFile(const std::string& path, RegTree& out)
{
    std::vector<BYTE> file;
    LONG status = ReadWholeFile(path, file);
    if (status != ERROR_SUCCESS) return status;
    status = CheckFrame(file);
    if (status != ERROR_SUCCESS) return status;

    Hive h(hivex_open(path.c_str(), 0));
    if (!h) return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_BADDB;
    Reader r{h.get(), file, {}};
    out = RegTree{};
    status = r.Key(hivex_root(h.get()), 0, out);
    return status;
}

}  // namespace netid::posix::hive
