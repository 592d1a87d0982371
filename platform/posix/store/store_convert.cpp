// Converting a store of the earlier format (one SQLite database,
// registry.db, with 8-bit names and texts) into hive files, once.
//
// The earlier store kept what the A calls gave it byte for byte and showed
// those bytes as Latin-1 in hive files; so each byte becomes the character
// of the same number, in names and in the data of REG_SZ, REG_EXPAND_SZ and
// REG_MULTI_SZ. Volatile keys of the running start of the machine stay
// volatile; those of an earlier start are gone, as they would be.
//
// It is one step as far as anyone can see: every hive is written whole under
// its own name before the machine's hive, whose appearance makes the store;
// a conversion cut short leaves the old database in place and is done again
// from the start at the next opening. The old database is kept afterwards
// as registry.db.converted. SQLite is loaded only when a conversion is due.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <type_traits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/base/files.h"
#include "platform/posix/store/hive_origin.h"
#include "platform/posix/base/process.h"
#include "platform/posix/security/security.h"
#include "platform/posix/store/store_engine.h"
#include "platform/posix/store/store_trees.h"
#include "platform/posix/base/text.h"

namespace netid::posix::store {
namespace {

constexpr const char* kOldDatabase = "registry.db";
constexpr const char* kOldFormat = "netid-registry 1";

// The few calls of SQLite's C interface a conversion needs.
struct Sqlite {
    void* library = nullptr;
    int (*open)(const char*, void**, int, const char*) = nullptr;
    int (*prepare)(void*, const char*, int, void**, const char**) = nullptr;
    int (*step)(void*) = nullptr;
    long long (*int64)(void*, int) = nullptr;
    const void* (*blob)(void*, int) = nullptr;
    int (*bytes)(void*, int) = nullptr;
    int (*finalize)(void*) = nullptr;
    int (*close)(void*) = nullptr;

    bool Load()
    {
        library = ::dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return false;
        auto get = [&](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::dlsym(library, name));
            return fn != nullptr;
        };
        return get(open, "sqlite3_open_v2") && get(prepare, "sqlite3_prepare_v2") &&
               get(step, "sqlite3_step") && get(int64, "sqlite3_column_int64") &&
               get(blob, "sqlite3_column_blob") && get(bytes, "sqlite3_column_bytes") &&
               get(finalize, "sqlite3_finalize") && get(close, "sqlite3_close");
    }
    ~Sqlite()
    {
        if (library != nullptr) ::dlclose(library);
    }
};
constexpr int kOpenReadOnly = 0x00000001;
constexpr int kOpenReadWrite = 0x00000002;
constexpr int kRow = 100;

struct OldKey {
    std::int64_t parent = 0;
    RegTree tree;  // name, class, security, time, values; sub-keys filled in afterwards
    bool isVolatile = false;
    std::vector<std::int64_t> children;
};

// Each byte as the character of the same number.
std::u16string Widen(const std::string& bytes)
{
    std::u16string out(bytes.size(), u'\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = static_cast<unsigned char>(bytes[i]);
    return out;
}

std::vector<BYTE> WidenData(DWORD type, const std::vector<BYTE>& data)
{
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return data;
    std::vector<BYTE> out(2 * data.size(), 0);
    for (std::size_t i = 0; i < data.size(); ++i) out[2 * i] = data[i];
    return out;
}

// Reads the whole earlier store; ERROR_BADDB when it is not one.
LONG ReadOld(Sqlite& sql, const std::string& path, int flags, std::map<std::int64_t, OldKey>& keys,
             std::string& boot)
{
    void* db = nullptr;
    if (sql.open(path.c_str(), &db, flags, nullptr) != 0) {
        sql.close(db);
        return ERROR_BADDB;
    }
    std::unique_ptr<void, int (*)(void*)> closer(db, sql.close);
    auto text = [&](void* stmt, int column) {
        const void* p = sql.blob(stmt, column);
        return p == nullptr ? std::string() : std::string(static_cast<const char*>(p), sql.bytes(stmt, column));
    };
    auto query = [&](const char* statement, auto&& row) {
        void* stmt = nullptr;
        if (sql.prepare(db, statement, -1, &stmt, nullptr) != 0) return false;
        while (sql.step(stmt) == kRow) row(stmt);
        sql.finalize(stmt);
        return true;
    };
    std::string format;
    bool ok = query("SELECT name, value FROM meta", [&](void* s) {
        if (text(s, 0) == "format") format = text(s, 1);
        if (text(s, 0) == "boot_id") boot = text(s, 1);
    });
    if (!ok || format != kOldFormat) return ERROR_BADDB;
    if (flags == kOpenReadOnly) return ERROR_SUCCESS;  // only asked what it is
    ok = query("SELECT id, parent, name, class, volatile, last_write, security FROM keys ORDER BY id",
               [&](void* s) {
                   OldKey& k = keys[sql.int64(s, 0)];
                   k.parent = sql.int64(s, 1);
                   k.tree.name = Widen(text(s, 2));
                   k.tree.keyClass = Widen(text(s, 3));
                   k.isVolatile = sql.int64(s, 4) != 0;
                   k.tree.lastWrite = static_cast<std::uint64_t>(sql.int64(s, 5));
                   std::string sd = text(s, 6);
                   k.tree.security.assign(sd.begin(), sd.end());
               }) &&
         query("SELECT key, name, type, data FROM vals ORDER BY id", [&](void* s) {
             auto it = keys.find(sql.int64(s, 0));
             if (it == keys.end()) return;
             auto type = static_cast<DWORD>(sql.int64(s, 2));
             std::string data = text(s, 3);
             it->second.tree.values.push_back(
                 RegValue{Widen(text(s, 1)), type, WidenData(type, std::vector<BYTE>(data.begin(), data.end()))});
         });
    return ok ? ERROR_SUCCESS : ERROR_BADDB;
}

// The tree of `id` with its sub-keys, dropping volatile keys of an old start.
RegTree Build(std::map<std::int64_t, OldKey>& keys, std::int64_t id, bool keepVolatile)
{
    OldKey& k = keys[id];
    RegTree tree = k.tree;
    tree.isVolatile = k.isVolatile;
    for (std::int64_t child : k.children) {
        if (keys[child].isVolatile && !keepVolatile) continue;
        tree.subkeys.push_back(Build(keys, child, keepVolatile));
    }
    return tree;
}

// The sub-key of `tree` by that name, taken out of it.
bool Take(RegTree& tree, const std::u16string& name, RegTree& out)
{
    for (auto it = tree.subkeys.begin(); it != tree.subkeys.end(); ++it) {
        if (EqualsNoCase(it->name, name)) {
            out = std::move(*it);
            tree.subkeys.erase(it);
            return true;
        }
    }
    return false;
}

}  // namespace

LONG StoreEngine::ConvertEarlierStore()
{
    const std::string path = m_directory + "/" + kOldDatabase;
    // Only an SQLite database is looked into, and nothing is made beside a
    // file that turns out not to be a store of ours.
    {
        char header[16] = {};
        int fd = ::openat(m_dir, kOldDatabase, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        bool sqlite = fd >= 0 && ::read(fd, header, sizeof header) == static_cast<ssize_t>(sizeof header) &&
                      std::memcmp(header, "SQLite format 3", 16) == 0;
        if (fd >= 0) ::close(fd);
        if (!sqlite) {
            m_problem = "the file " + path + " is not a store of this registry; it was left as it is";
            return ERROR_BADDB;
        }
    }
    Sqlite sql;
    if (!sql.Load()) {
        m_problem = "the store in " + m_directory + " is of an earlier format, and SQLite, which "
                    "reading it needs, is not installed";
        return ERROR_BADDB;
    }
    {
        std::map<std::int64_t, OldKey> none;
        std::string boot;
        if (ReadOld(sql, path, kOpenReadOnly, none, boot) != ERROR_SUCCESS) {
            m_problem = "the file " + path + " is not a store of this registry; it was left as it is";
            return ERROR_BADDB;
        }
    }
    // One converter at a time.
    LONG locked = ERROR_SUCCESS;
    int lock = OpenOrMakeStoreFile(m_dir, ".convert.lock", O_RDWR, 0600, ::geteuid(), 0, locked);
    if (lock < 0) return locked;
    while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{lock};
    struct stat st {};
    if (::fstatat(m_dir, "machine.hive", &st, AT_SYMLINK_NOFOLLOW) == 0) return ERROR_SUCCESS;  // done meanwhile

    std::map<std::int64_t, OldKey> keys;
    std::string oldBoot;
    LONG status = ReadOld(sql, path, kOpenReadWrite, keys, oldBoot);
    if (status != ERROR_SUCCESS) {
        m_problem = "the file " + path + " is not a store of this registry; it was left as it is";
        return status;
    }
    std::int64_t machineId = 0, usersId = 0;
    for (auto& [id, k] : keys) {
        if (k.parent == 0) {
            if (k.tree.name == u"MACHINE") machineId = id;
            if (k.tree.name == u"USER") usersId = id;
        } else if (keys.count(k.parent) != 0) {
            keys[k.parent].children.push_back(id);
        }
    }
    if (machineId == 0 || usersId == 0) return ERROR_BADDB;
    const bool keepVolatile = oldBoot == m_bootId;
    RegTree machine = Build(keys, machineId, keepVolatile);
    RegTree users = Build(keys, usersId, keepVolatile);

    // Hives loaded at the time become hives of their own again.
    struct Loaded {
        bool underUsers;
        RegTree tree;
        std::string origin;
    };
    std::vector<Loaded> loaded;
    {
        int fd = ::openat(m_dir, "hives.loaded", O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        std::string text;
        if (fd >= 0) {
            char buffer[4096];
            ssize_t n = 0;
            while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
            ::close(fd);
        }
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos) break;
            std::vector<std::string> fields;
            std::string field;
            for (std::size_t i = start; i < end; ++i) {
                if (text[i] == '\\' && i + 1 < end) {
                    char n = text[++i];
                    field += n == 't' ? '\t' : n == 'n' ? '\n' : n;
                } else if (text[i] == '\t') {
                    fields.push_back(field);
                    field.clear();
                } else {
                    field += text[i];
                }
            }
            fields.push_back(field);
            start = end + 1;
            if (fields.size() != 4) continue;
            Loaded l;
            l.underUsers = fields[0] == "HKEY_USERS";
            hive::Origin origin;
            origin.file = fields[2];
            origin.boot = fields[3];
            l.origin = hive::EncodeOrigin(origin);
            if (Take(l.underUsers ? users : machine, Widen(fields[1]), l.tree)) loaded.push_back(std::move(l));
        }
    }

    const std::uint64_t now = NowAsFileTime();
    const Bytes rootDefault = DefaultKeySecurity(nullptr);
    auto make = [&](const std::string& name, int dir, const RegTree& tree, mode_t mode, uid_t owner,
                    const std::vector<std::pair<std::u16string, std::string>>& mounts,
                    const std::vector<std::string>& origins) -> LONG {
        for (const char* ext : {".hive", ".shm", ".lock"}) ::unlinkat(dir, (name + ext).c_str(), 0);
        HiveOptions o = Options(mode, true);
        o.owner = owner;
        o.rootName = tree.name;
        o.rootSecurity = tree.security.empty() ? rootDefault : tree.security;
        o.fill = [&](Batch& b) -> LONG {
            if (CheckTree(tree, 0) != ERROR_SUCCESS) return ERROR_BADDB;
            ImportTree(b, kRootKey, tree, false);
            for (std::size_t i = 0; i < mounts.size(); ++i) {
                KeyId id = b.CreateKey(kRootKey, mounts[i].first, u"", 0, {}, now);
                b.SetMount(id, mounts[i].second, origins[i]);
            }
            b.SetTime(kRootKey, tree.lastWrite != 0 ? tree.lastWrite : now);
            return ERROR_SUCCESS;
        };
        std::unique_ptr<Hive> hive;
        return Hive::Open(dir, name, o, hive);
    };

    // HKLM\SAM and HKLM\SECURITY as the hives they are; loaded hives.
    std::vector<std::pair<std::u16string, std::string>> machineMounts, usersMounts;
    std::vector<std::string> machineOrigins, usersOrigins;
    for (const auto& [name, hiveName, mode] :
         {std::tuple{std::u16string(u"SAM"), std::string("sam"), 0600},
          std::tuple{std::u16string(u"SECURITY"), std::string("security"), 0600}}) {
        RegTree tree;
        if (!Take(machine, name, tree)) tree.name = name;
        status = make(hiveName, m_dir, tree, static_cast<mode_t>(mode), m_owner, {}, {});
        if (status != ERROR_SUCCESS) return status;
        machineMounts.push_back({tree.name, hiveName});
        machineOrigins.push_back(std::string());
    }
    for (std::size_t i = 0; i < loaded.size(); ++i) {
        std::string hiveName = "loaded-" + std::to_string(Random64());
        status = make(hiveName, m_dir, loaded[i].tree, 0644, m_owner, {}, {});
        if (status != ERROR_SUCCESS) return status;
        (loaded[i].underUsers ? usersMounts : machineMounts).push_back({loaded[i].tree.name, hiveName});
        (loaded[i].underUsers ? usersOrigins : machineOrigins).push_back(loaded[i].origin);
    }
    // HKEY_USERS: .DEFAULT and each user's hive in a file of its own.
    RegTree defaults;
    if (!Take(users, u".DEFAULT", defaults)) defaults.name = u".DEFAULT";
    status = make("default", m_dir, defaults, 0644, m_owner, {}, {});
    if (status != ERROR_SUCCESS) return status;
    usersMounts.push_back({u".DEFAULT", "default"});
    usersOrigins.push_back(std::string());
    // Every user makes their own hive in users/: sticky, as /tmp is.
    if (::mkdirat(m_dir, "users", 0755) == 0 && m_owner == 0 && ::fchmodat(m_dir, "users", 01777, 0) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    int usersDir = ::openat(m_dir, "users", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    for (auto it = users.subkeys.begin(); usersDir >= 0 && it != users.subkeys.end();) {
        const std::string sid = Utf16ToUtf8(it->name);
        const std::string prefix = "S-1-22-1-";
        uid_t uid = 0;
        bool isUser = sid.rfind(prefix, 0) == 0 && sid.size() > prefix.size() &&
                      sid.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
        if (isUser) uid = static_cast<uid_t>(std::stoul(sid.substr(prefix.size())));
        // Only where the hive can be the user's own; else it stays a key.
        if (!isUser || (uid != ::geteuid() && ::geteuid() != 0)) {
            ++it;
            continue;
        }
        if (::mkdirat(usersDir, sid.c_str(), 0700) == 0) ::fsync(usersDir);
        int dir = ::openat(usersDir, sid.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir < 0 || ::fchown(dir, uid, static_cast<gid_t>(-1)) != 0) {
            if (dir >= 0) ::close(dir);
            ++it;
            continue;
        }
        status = make("user", dir, *it, 0600, uid, {}, {});
        ::close(dir);
        if (status != ERROR_SUCCESS) {
            ::close(usersDir);
            return status;
        }
        it = users.subkeys.erase(it);
    }
    if (usersDir >= 0) ::close(usersDir);
    status = make("hku", m_dir, users, 0644, m_owner, usersMounts, usersOrigins);
    if (status != ERROR_SUCCESS) return status;
    // Last, the machine's hive: from here on the store is of the new format.
    status = make("machine", m_dir, machine, 0644, m_owner, machineMounts, machineOrigins);
    if (status != ERROR_SUCCESS) return status;
    ::renameat(m_dir, kOldDatabase, m_dir, (std::string(kOldDatabase) + ".converted").c_str());
    for (const char* stale : {"registry.db-wal", "registry.db-shm", "registry.signal", "hives.loaded"}) {
        ::unlinkat(m_dir, stale, 0);
    }
    ::fsync(m_dir);
    m_slots.clear();
    return ERROR_SUCCESS;
}

}  // namespace netid::posix::store
