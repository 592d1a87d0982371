// Hive files in the "regf" format. libhivex does the cell work; this module
// makes the empty hive libhivex cannot create, checks a file's base block and
// bins before libhivex trusts them, and carries what libhivex has no call for
// (last write times, the security cell, classes) by reading and writing the
// few raw fields itself.
#include "platform/posix/hive_file.h"

#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <utility>

namespace netid::posix::hive {
namespace {

static_assert(sizeof(hive_type) == sizeof(DWORD), "value types pass through hive_type");

constexpr std::size_t kBaseBlockSize = 0x1000;
constexpr std::size_t kBinHeaderSize = 0x20;
constexpr std::size_t kNkFixedSize = 0x4C;  // nk cell after its size field, up to the name
constexpr std::size_t kSkFixedSize = 0x14;  // sk cell after its size field, up to the descriptor
constexpr WORD kKeyHiveEntry = 0x0004;
constexpr WORD kKeyNoDelete = 0x0008;
constexpr WORD kKeyCompName = 0x0020;
constexpr DWORD kNoCell = 0xFFFFFFFF;
constexpr std::size_t kSegment = 16344;  // data of one big-data segment

// ------------------------------------------------------------ little-endian fields
void Put16(std::vector<BYTE>& b, std::size_t at, WORD v)
{
    b[at] = static_cast<BYTE>(v);
    b[at + 1] = static_cast<BYTE>(v >> 8);
}
void Put32(std::vector<BYTE>& b, std::size_t at, DWORD v)
{
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<BYTE>(v >> (8 * i));
}
void Put64(BYTE* b, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i) b[i] = static_cast<BYTE>(v >> (8 * i));
}
WORD Get16(const BYTE* b) { return static_cast<WORD>(b[0] | (b[1] << 8)); }
DWORD Get32(const BYTE* b)
{
    return static_cast<DWORD>(b[0]) | (static_cast<DWORD>(b[1]) << 8) |
           (static_cast<DWORD>(b[2]) << 16) | (static_cast<DWORD>(b[3]) << 24);
}

std::size_t Align8(std::size_t n) { return (n + 7) & ~static_cast<std::size_t>(7); }

// ------------------------------------------------------------ names
// The registry's texts here are single bytes; libhivex speaks UTF-8. Each
// byte is taken as the code point of the same number, so every byte string
// goes through unchanged.
std::string BytesToUtf8(const std::string& in)
{
    std::string out;
    out.reserve(in.size());
    for (unsigned char c : in) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The way back; a character beyond one byte (a name written elsewhere in
// UTF-16) becomes '?', as the ANSI registry calls show it.
std::string Utf8ToBytes(const char* in, std::size_t len)
{
    std::string out;
    out.reserve(len);
    for (std::size_t i = 0; i < len;) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        std::size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 0;
        if (c >= 0x80 && extra == 0) {  // a stray byte: keep it as it is
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (i + extra >= len) {  // cut short
            out += '?';
            break;
        }
        std::uint32_t cp = extra == 0 ? c : (c & (0x3F >> extra));
        for (std::size_t k = 1; k <= extra; ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(in[i + k]) & 0x3F);
        }
        out += cp <= 0xFF ? static_cast<char>(cp) : '?';
        i += extra + 1;
    }
    return out;
}

// ------------------------------------------------------------ security
void AppendSid(std::vector<BYTE>& b, BYTE authority, std::initializer_list<DWORD> subs)
{
    b.push_back(SID_REVISION);
    b.push_back(static_cast<BYTE>(subs.size()));
    for (int i = 0; i < 5; ++i) b.push_back(0);
    b.push_back(authority);
    for (DWORD s : subs) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<BYTE>(s >> (8 * i)));
    }
}

// Owner Administrators, group SYSTEM; SYSTEM and Administrators have full
// access, Everyone may read; all entries inherited by sub-keys.
std::vector<BYTE> DefaultDescriptor()
{
    std::vector<BYTE> admins, system, everyone;
    AppendSid(admins, 5, {32, 544});
    AppendSid(system, 5, {18});
    AppendSid(everyone, 1, {0});
    struct Entry {
        DWORD mask;
        const std::vector<BYTE>* sid;
    } entries[] = {{KEY_ALL_ACCESS, &system}, {KEY_ALL_ACCESS, &admins}, {KEY_READ, &everyone}};
    std::vector<BYTE> acl(8, 0);
    for (const Entry& e : entries) {
        std::size_t at = acl.size();
        acl.resize(at + 8 + e.sid->size());
        acl[at] = ACCESS_ALLOWED_ACE_TYPE;
        acl[at + 1] = CONTAINER_INHERIT_ACE;
        Put16(acl, at + 2, static_cast<WORD>(8 + e.sid->size()));
        Put32(acl, at + 4, e.mask);
        std::memcpy(&acl[at + 8], e.sid->data(), e.sid->size());
    }
    acl[0] = ACL_REVISION;
    Put16(acl, 2, static_cast<WORD>(acl.size()));
    Put16(acl, 4, 3);

    std::vector<BYTE> sd(20, 0);
    sd[0] = SECURITY_DESCRIPTOR_REVISION;
    Put16(sd, 2, SE_SELF_RELATIVE | SE_DACL_PRESENT);
    Put32(sd, 4, static_cast<DWORD>(sd.size()));
    sd.insert(sd.end(), admins.begin(), admins.end());
    Put32(sd, 8, static_cast<DWORD>(sd.size()));
    sd.insert(sd.end(), system.begin(), system.end());
    Put32(sd, 16, static_cast<DWORD>(sd.size()));
    sd.insert(sd.end(), acl.begin(), acl.end());
    return sd;
}

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
// Returns the end of the bins (file offset).
LONG CheckFrame(const std::vector<BYTE>& f)
{
    if (f.size() < kBaseBlockSize + 0x1000) return ERROR_BADDB;
    const BYTE* b = f.data();
    if (std::memcmp(b, "regf", 4) != 0) return ERROR_BADDB;
    if (BaseBlockChecksum(b) != Get32(b + 508)) return ERROR_BADDB;
    // An unequal pair of sequence numbers marks a file caught half way
    // through a write; without its log it cannot be trusted.
    if (Get32(b + 4) != Get32(b + 8)) return ERROR_BADDB;
    if (Get32(b + 20) != 1 || Get32(b + 24) < 2 || Get32(b + 24) > 6) return ERROR_BADDB;
    if (Get32(b + 28) != 0) return ERROR_BADDB;  // a primary file, not a log
    DWORD binsSize = Get32(b + 40);
    DWORD root = Get32(b + 36);
    if (binsSize == 0 || binsSize % 0x1000 != 0 || binsSize > f.size() - kBaseBlockSize) {
        return ERROR_BADDB;
    }
    if (root < kBinHeaderSize || root + 4 + kNkFixedSize > binsSize) return ERROR_BADDB;

    std::size_t at = 0;
    while (at < binsSize) {
        const BYTE* bin = b + kBaseBlockSize + at;
        DWORD size = Get32(bin + 8);
        if (std::memcmp(bin, "hbin", 4) != 0 || Get32(bin + 4) != at || size == 0 ||
            size % 0x1000 != 0 || size > binsSize - at) {
            return ERROR_BADDB;
        }
        // The cells must tile the bin exactly.
        std::size_t cell = kBinHeaderSize;
        while (cell < size) {
            LONG raw = static_cast<LONG>(Get32(bin + cell));
            std::int64_t len = raw < 0 ? -static_cast<std::int64_t>(raw) : raw;
            if (len < 8 || len % 8 != 0 || static_cast<std::size_t>(len) > size - cell) {
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
    DWORD binsSize = Get32(f.data() + 40);
    if (off < kBinHeaderSize || off >= binsSize || binsSize - off < 4) return nullptr;
    const BYTE* cell = f.data() + kBaseBlockSize + off;
    LONG raw = static_cast<LONG>(Get32(cell));
    if (raw >= 0) return nullptr;
    std::size_t len = static_cast<std::size_t>(-static_cast<std::int64_t>(raw));
    if (len > binsSize - off || len < 4 + need) return nullptr;
    return cell + 4;
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
        return nk != nullptr && nk[0] == 'n' && nk[1] == 'k' ? nk : nullptr;
    }

    void RawExtras(const BYTE* nk, RegTree& key) const
    {
        DWORD skOff = Get32(nk + 0x2C);
        if (const BYTE* sk = UsedCell(file, skOff, kSkFixedSize)) {
            DWORD len = Get32(sk + 0x10);
            if (sk[0] == 's' && sk[1] == 'k' && UsedCell(file, skOff, kSkFixedSize + len) &&
                PlausibleDescriptor(sk + kSkFixedSize, len)) {
                key.security.assign(sk + kSkFixedSize, sk + kSkFixedSize + len);
            }
        }
        WORD classLen = Get16(nk + 0x4A);
        if (classLen > 0) {
            if (const BYTE* cls = UsedCell(file, Get32(nk + 0x30), classLen)) {
                for (WORD i = 0; i + 1 < classLen; i += 2) {
                    WORD ch = Get16(cls + i);
                    key.keyClass += ch <= 0xFF ? static_cast<char>(ch) : '?';
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
            if (v.data.size() > kSegment) {
                // Long data is put in place afterwards (SplitBigValues); here
                // it only needs a cell of its own.
                static const char placeholder[kSegment + 1] = {};
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
        DWORD count = Get32(nk + 0x24);
        if (count != w.key->values.size()) return ERROR_CANTWRITE;
        if (count == 0) continue;
        DWORD listOff = Get32(nk + 0x28);
        const BYTE* list = UsedCell(img, listOff, 4 * static_cast<std::size_t>(count));
        if (list == nullptr) return ERROR_CANTWRITE;
        for (DWORD i = 0; i < count; ++i) {
            DWORD vkOff = Get32(list + 4 * i);
            const BYTE* vk = UsedCell(img, vkOff, 0x14);
            if (vk == nullptr || vk[0] != 'v' || vk[1] != 'k') return ERROR_CANTWRITE;
            const std::vector<BYTE>& data = w.key->values[i].data;
            if (data.size() <= kSegment) continue;
            if (Get32(vk + 4) != kSegment + 1 || UsedCell(img, Get32(vk + 8), kSegment + 1) == nullptr) {
                return ERROR_CANTWRITE;
            }
            bigs.push_back({static_cast<std::size_t>(vk - img.data()), Get32(vk + 8), &data});
        }
    }
    if (bigs.empty()) return ERROR_SUCCESS;

    const std::size_t segCell = Align8(4 + kSegment);
    std::size_t need = kBinHeaderSize;
    for (const Big& b : bigs) {
        std::size_t n = (b.data->size() + kSegment - 1) / kSegment;
        if (n > 0xFFFF) return ERROR_INVALID_PARAMETER;  // beyond what a db record can count
        need += Align8(4 + 12) + Align8(4 + 4 * n) + n * segCell;
    }
    std::size_t binSize = (need + 0xFFF) & ~static_cast<std::size_t>(0xFFF);
    const DWORD binOff = Get32(img.data() + 40);
    if (static_cast<std::uint64_t>(binOff) + binSize > 0x7FFFFFFF) return ERROR_INVALID_PARAMETER;
    img.resize(kBaseBlockSize + binOff + binSize, 0);
    BYTE* bin = img.data() + kBaseBlockSize + binOff;
    std::memcpy(bin, "hbin", 4);
    std::vector<BYTE>& v = img;
    Put32(v, kBaseBlockSize + binOff + 4, binOff);
    Put32(v, kBaseBlockSize + binOff + 8, static_cast<DWORD>(binSize));

    std::size_t at = kBinHeaderSize;  // within the new bin
    auto place = [&](std::size_t size) {
        std::size_t cell = at;
        Put32(v, kBaseBlockSize + binOff + cell, static_cast<DWORD>(-static_cast<LONG>(size)));
        at += size;
        return static_cast<DWORD>(binOff + cell);  // hive offset of the new cell
    };
    for (const Big& b : bigs) {
        const std::size_t len = b.data->size();
        std::size_t n = (len + kSegment - 1) / kSegment;
        const BYTE* data = b.data->data();
        DWORD db = place(Align8(4 + 12));
        DWORD list = place(Align8(4 + 4 * n));
        std::memcpy(&v[kBaseBlockSize + db + 4], "db", 2);
        Put16(v, kBaseBlockSize + db + 6, static_cast<WORD>(n));
        Put32(v, kBaseBlockSize + db + 8, list);
        for (std::size_t i = 0; i < n; ++i) {
            DWORD seg = place(segCell);
            std::size_t chunk = std::min(kSegment, len - i * kSegment);
            std::memcpy(&v[kBaseBlockSize + seg + 4], data + i * kSegment, chunk);
            Put32(v, kBaseBlockSize + list + 4 + 4 * i, seg);
        }
        Put32(v, b.vk + 4, static_cast<DWORD>(len));
        Put32(v, b.vk + 8, db);
        // The old cell is free now.
        std::size_t old = kBaseBlockSize + b.dataCell;
        Put32(v, old, static_cast<DWORD>(-static_cast<LONG>(Get32(&v[old]))));
    }
    if (at < binSize) Put32(v, kBaseBlockSize + binOff + at, static_cast<DWORD>(binSize - at));

    Put32(v, 40, static_cast<DWORD>(binOff + binSize));
    Put32(v, 508, BaseBlockChecksum(v.data()));
    return ERROR_SUCCESS;
}

// Texts in a hive file are UTF-16LE, as Windows keeps them; the store holds
// the 8-bit text that the A calls take and give. Writing widens each byte to
// one 16-bit unit (the bytes taken as Latin-1); reading narrows, a unit above
// 0xFF becoming '?' as Windows' own 8-bit conversion does for a character it
// cannot show. Data of odd length are no UTF-16 text and stay as they are, so
// what the store wrote always reads back byte for byte.
bool IsTextType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

void WidenTexts(RegTree& tree)
{
    for (RegValue& v : tree.values) {
        if (!IsTextType(v.type)) continue;
        std::vector<BYTE> wide(v.data.size() * 2, 0);
        for (std::size_t i = 0; i < v.data.size(); ++i) wide[2 * i] = v.data[i];
        v.data.swap(wide);
    }
    for (RegTree& sub : tree.subkeys) WidenTexts(sub);
}

void NarrowTexts(RegTree& tree)
{
    for (RegValue& v : tree.values) {
        if (!IsTextType(v.type) || v.data.size() % 2 != 0) continue;
        std::vector<BYTE> narrow(v.data.size() / 2);
        for (std::size_t i = 0; i < narrow.size(); ++i) {
            narrow[i] = v.data[2 * i + 1] == 0 ? v.data[2 * i] : BYTE('?');
        }
        v.data.swap(narrow);
    }
    for (RegTree& sub : tree.subkeys) NarrowTexts(sub);
}

}  // namespace

LONG StatusFromErrno(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT: return ERROR_CANTWRITE;
    default: return ERROR_REGISTRY_IO_FAILED;
    }
}

DWORD BaseBlockChecksum(const BYTE* block)
{
    DWORD sum = 0;
    for (std::size_t i = 0; i < 508; i += 4) sum ^= Get32(block + i);
    if (sum == 0xFFFFFFFF) return 0xFFFFFFFE;
    if (sum == 0) return 1;
    return sum;
}

std::vector<BYTE> EmptyHiveImage(const std::string& rootName, const std::vector<BYTE>& security)
{
    std::vector<BYTE> sd = security;
    if (sd.empty() || !PlausibleDescriptor(sd.data(), sd.size())) sd = DefaultDescriptor();
    std::string name = rootName.empty() ? std::string("ROOT") : rootName;
    if (name.size() > 255) name.resize(255);

    const std::size_t nkAt = kBinHeaderSize;
    const std::size_t nkLen = Align8(4 + kNkFixedSize + name.size());
    const std::size_t skAt = nkAt + nkLen;
    const std::size_t skLen = Align8(4 + kSkFixedSize + sd.size());
    std::size_t binSize = 0x1000;
    while (skAt + skLen + 8 > binSize) binSize += 0x1000;

    std::vector<BYTE> img(kBaseBlockSize + binSize, 0);
    const std::uint64_t now = NowAsFileTime();

    // Base block.
    std::memcpy(&img[0], "regf", 4);
    Put32(img, 4, 1);
    Put32(img, 8, 1);
    Put64(&img[12], now);
    Put32(img, 20, 1);
    Put32(img, 24, 5);
    Put32(img, 28, 0);
    Put32(img, 32, 1);
    Put32(img, 36, static_cast<DWORD>(nkAt));
    Put32(img, 40, static_cast<DWORD>(binSize));
    Put32(img, 44, 1);
    Put32(img, 508, BaseBlockChecksum(img.data()));

    // The one bin.
    const std::size_t bin = kBaseBlockSize;
    std::memcpy(&img[bin], "hbin", 4);
    Put32(img, bin + 4, 0);
    Put32(img, bin + 8, static_cast<DWORD>(binSize));
    Put64(&img[bin + 0x14], now);

    // The top key.
    std::size_t c = bin + nkAt;
    Put32(img, c, static_cast<DWORD>(-static_cast<LONG>(nkLen)));
    c += 4;
    img[c] = 'n';
    img[c + 1] = 'k';
    Put16(img, c + 0x02, kKeyHiveEntry | kKeyNoDelete | kKeyCompName);
    Put64(&img[c + 0x04], now);
    Put32(img, c + 0x10, kNoCell);  // parent
    Put32(img, c + 0x1C, kNoCell);  // sub-key list
    Put32(img, c + 0x20, kNoCell);  // volatile sub-key list
    Put32(img, c + 0x28, kNoCell);  // value list
    Put32(img, c + 0x2C, static_cast<DWORD>(skAt));
    Put32(img, c + 0x30, kNoCell);  // class
    Put16(img, c + 0x48, static_cast<WORD>(name.size()));
    std::memcpy(&img[c + kNkFixedSize], name.data(), name.size());

    // Its security cell, a list of one that points at itself.
    c = bin + skAt;
    Put32(img, c, static_cast<DWORD>(-static_cast<LONG>(skLen)));
    c += 4;
    img[c] = 's';
    img[c + 1] = 'k';
    Put32(img, c + 0x04, static_cast<DWORD>(skAt));
    Put32(img, c + 0x08, static_cast<DWORD>(skAt));
    Put32(img, c + 0x0C, 1);
    Put32(img, c + 0x10, static_cast<DWORD>(sd.size()));
    std::memcpy(&img[c + kSkFixedSize], sd.data(), sd.size());

    // The rest of the bin is one free cell.
    c = bin + skAt + skLen;
    Put32(img, c, static_cast<DWORD>(binSize - (skAt + skLen)));
    return img;
}

LONG WriteHiveFile(const std::string& path, const RegTree& narrowTree)
{
    RegTree tree = narrowTree;
    WidenTexts(tree);
    {
        std::vector<BYTE> img = EmptyHiveImage(tree.name, tree.security);
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
        Put64(&img[w.node + 4 + 4], w.key->lastWrite);
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
    if (status == ERROR_SUCCESS) NarrowTexts(out);
    return status;
}

}  // namespace netid::posix::hive
