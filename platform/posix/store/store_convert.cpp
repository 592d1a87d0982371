// SPDX-License-Identifier: LGPL-2.1-or-later
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
#include <cstdlib>
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
// The earlier list of loaded hives: a line per hive; larger is none of ours.
constexpr std::size_t kMaxLoadedList = 1 << 20;

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

// True when the file `kOldDatabase` of `dir` is a plain file of `owner`
// with no other name that starts as an SQLite database, and the files SQLite
// reads beside it, where there are any, are `owner`'s too: in a directory
// shared by users, another user's journal would be read into the caller's.
bool LooksLikeSqlite(int dir, uid_t owner)
{
    char header[16] = {};
    LONG status = ERROR_SUCCESS;
    OwnedFd fd = OpenStoreFile(dir, kOldDatabase, O_RDONLY | O_NONBLOCK, owner, status);
    bool sqlite = fd.valid() && ::read(fd.get(), header, sizeof header) == static_cast<ssize_t>(sizeof header) &&
                  std::memcmp(header, "SQLite format 3", 16) == 0;
    for (const char* companion : {"-journal", "-wal", "-shm"}) {
        struct stat st {};
        const std::string name = std::string(kOldDatabase) + companion;
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            (!S_ISREG(st.st_mode) || st.st_uid != owner || st.st_nlink != 1)) {
            sqlite = false;
        }
    }
    return sqlite;
}

// The machine's and the users' trees of the earlier store, without the
// volatile keys of an earlier start of the machine.
LONG ReadEarlierTrees(Sqlite& sql, const std::string& path, const std::string& bootId, RegTree& machine,
                      RegTree& users)
{
    std::map<std::int64_t, OldKey> keys;
    std::string oldBoot;
    LONG status = ReadOld(sql, path, kOpenReadWrite, keys, oldBoot);
    if (status != ERROR_SUCCESS) return status;
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
    const bool keepVolatile = oldBoot == bootId;
    machine = Build(keys, machineId, keepVolatile);
    users = Build(keys, usersId, keepVolatile);
    return ERROR_SUCCESS;
}

// A hive loaded at the time of the earlier store, to become a hive of its own.
struct Loaded {
    bool underUsers;
    RegTree tree;
    std::string origin;
};

// One line of the earlier list of loaded hives, split at its tabs.
std::vector<std::string> SplitLoadedLine(const std::string& text, std::size_t start, std::size_t end)
{
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
    return fields;
}

// The hives the earlier store listed as loaded, taken out of the trees.
std::vector<Loaded> TakeLoadedHives(int dir, uid_t owner, RegTree& machine, RegTree& users)
{
    // Only the store owner's own list (another user's could name any file).
    std::string text;
    if (ReadStoreFile(dir, "hives.loaded", owner, kMaxLoadedList, text) != ERROR_SUCCESS) text.clear();
    std::vector<Loaded> loaded;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) break;
        std::vector<std::string> fields = SplitLoadedLine(text, start, end);
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
    return loaded;
}

// A hive hanging at a key of the hive being made.
struct MountAt {
    std::u16string key;
    std::string hive;
    std::string origin;
};

// What every hive of a conversion is made with.
struct Target {
    HiveOptions options;  // the store's, for a new hive
    uid_t owner;          // whom the store's own files belong to
    std::uint64_t now;
    Bytes rootDefault;
};

// Makes the hive `name` in `dir` whole from `tree`, with keys naming the
// hives `mounts` (files of an interrupted attempt go first).
LONG MakeHive(const Target& target, const std::string& name, int dir, const RegTree& tree, mode_t mode,
              uid_t owner, const std::vector<MountAt>& mounts)
{
    for (const char* ext : {".hive", ".shm", ".lock"}) ::unlinkat(dir, (name + ext).c_str(), 0);
    HiveOptions o = target.options;
    o.mode = mode;
    o.owner = owner;
    o.rootName = tree.name;
    o.rootSecurity = tree.security.empty() ? target.rootDefault : tree.security;
    const std::uint64_t now = target.now;
    o.fill = [&](Batch& b) -> LONG {
        if (CheckTree(tree, 0) != ERROR_SUCCESS) return ERROR_BADDB;
        ImportTree(b, kRootKey, tree, false);
        for (const MountAt& m : mounts) {
            KeyId id = b.CreateKey(kRootKey, m.key, u"", 0, {}, now);
            b.SetMount(id, m.hive, m.origin);
        }
        b.SetTime(kRootKey, tree.lastWrite != 0 ? tree.lastWrite : now);
        return ERROR_SUCCESS;
    };
    std::unique_ptr<Hive> hive;
    return Hive::Open(dir, name, o, hive);
}

// Each user's key of HKEY_USERS as that user's hive, where it can be the
// user's own (this process is root, or the user); the keys made hives are
// taken out of `users`.
LONG MakeUserHives(const Target& target, int storeDir, RegTree& users)
{
    // Every user makes their own hive in users/: sticky, as /tmp is.
    if (::mkdirat(storeDir, "users", 0755) == 0 && target.owner == 0 &&
        ::fchmodat(storeDir, "users", 01777, 0) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    OwnedFd usersDir(::openat(storeDir, "users", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    for (auto it = users.subkeys.begin(); usersDir.valid() && it != users.subkeys.end();) {
        const std::string sid = Utf16ToUtf8(it->name);
        const std::string prefix = "S-1-22-1-";
        uid_t uid = 0;
        // At most ten digits, parsed without an exception: the name is the
        // earlier store's and may be anything.
        bool isUser = sid.rfind(prefix, 0) == 0 && sid.size() > prefix.size() &&
                      sid.size() <= prefix.size() + 10 &&
                      sid.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
        if (isUser) {
            const unsigned long long value = std::strtoull(sid.c_str() + prefix.size(), nullptr, 10);
            isUser = value <= 0xFFFFFFFEull;
            uid = static_cast<uid_t>(value);
        }
        // Only where the hive can be the user's own; else it stays a key.
        if (!isUser || (uid != ::geteuid() && ::geteuid() != 0)) {
            ++it;
            continue;
        }
        // Root's own hive lives in the machine's store itself, where no user
        // can make its directory first (store_engine.h).
        const bool rootsOwn = uid == 0 && target.owner == 0;
        const int parent = rootsOwn ? storeDir : usersDir.get();
        const std::string dirName = rootsOwn ? std::string("root") : sid;
        // The new directory's name is durable before a hive is made in it.
        if (::mkdirat(parent, dirName.c_str(), 0700) == 0) ::fsync(parent);
        OwnedFd dir(::openat(parent, dirName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir.valid() || ::fchown(dir.get(), uid, static_cast<gid_t>(-1)) != 0) {
            ++it;
            continue;
        }
        LONG status = MakeHive(target, "user", dir.get(), *it, 0600, uid, {});
        if (status != ERROR_SUCCESS) return status;
        it = users.subkeys.erase(it);
    }
    return ERROR_SUCCESS;
}

// Takes the hive's sub-key `name` out of `tree`, or a fresh key of that name.
RegTree TakeOrFresh(RegTree& tree, const std::u16string& name)
{
    RegTree out;
    if (!Take(tree, name, out)) out.name = name;
    return out;
}

}  // namespace

// The steps, each of its own: is it an earlier store; one converter at a
// time; its trees; the hives it had loaded; HKLM\SAM, HKLM\SECURITY, the
// loaded hives, .DEFAULT and the users' hives; HKEY_USERS; last the
// machine's hive, whose appearance makes the new store; the old files go.
LONG StoreEngine::ConvertEarlierStore()
{
    const std::string path = m_directory + "/" + kOldDatabase;
    const std::string notOurs = "the file " + path + " is not a store of this registry; it was left as it is";
    // Only an SQLite database is looked into, and nothing is made beside a
    // file that turns out not to be a store of ours.
    if (!LooksLikeSqlite(m_dir.get(), m_owner)) {
        m_problem = notOurs;
        return ERROR_BADDB;
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
            m_problem = notOurs;
            return ERROR_BADDB;
        }
    }
    // One converter at a time.
    LONG locked = ERROR_SUCCESS;
    OwnedFd lock = OpenOrMakeStoreFile(m_dir.get(), ".convert.lock", O_RDWR, 0600, ::geteuid(), 0, locked);
    if (!lock.valid()) return locked;
    while (::flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) return StatusFromErrno(errno);  // never converts without the lock
    }
    struct stat st {};
    if (::fstatat(m_dir.get(), "machine.hive", &st, AT_SYMLINK_NOFOLLOW) == 0) return ERROR_SUCCESS;  // done meanwhile

    RegTree machine, users;
    LONG status = ReadEarlierTrees(sql, path, m_bootId, machine, users);
    if (status != ERROR_SUCCESS) {
        m_problem = notOurs;
        return status;
    }
    std::vector<Loaded> loaded = TakeLoadedHives(m_dir.get(), m_owner, machine, users);

    const Target target{Options(0644, true), m_owner, NowAsFileTime(), DefaultKeySecurity(nullptr)};
    // HKLM\SAM and HKLM\SECURITY as the hives they are; loaded hives.
    std::vector<MountAt> machineMounts, usersMounts;
    for (const auto& [name, hiveName] :
         {std::pair{std::u16string(u"SAM"), std::string("sam")},
          std::pair{std::u16string(u"SECURITY"), std::string("security")}}) {
        RegTree tree = TakeOrFresh(machine, name);
        status = MakeHive(target, hiveName, m_dir.get(), tree, 0600, m_owner, {});
        if (status != ERROR_SUCCESS) return status;
        machineMounts.push_back({tree.name, hiveName, std::string()});
    }
    for (const Loaded& l : loaded) {
        std::string hiveName = "loaded-" + std::to_string(Random64());
        status = MakeHive(target, hiveName, m_dir.get(), l.tree, 0644, m_owner, {});
        if (status != ERROR_SUCCESS) return status;
        (l.underUsers ? usersMounts : machineMounts).push_back({l.tree.name, hiveName, l.origin});
    }
    // HKEY_USERS: .DEFAULT and each user's hive in a file of its own.
    status = MakeHive(target, "default", m_dir.get(), TakeOrFresh(users, u".DEFAULT"), 0600, m_owner, {});
    if (status != ERROR_SUCCESS) return status;
    usersMounts.push_back({u".DEFAULT", "default", std::string()});
    status = MakeUserHives(target, m_dir.get(), users);
    if (status != ERROR_SUCCESS) return status;
    status = MakeHive(target, "hku", m_dir.get(), users, 0644, m_owner, usersMounts);
    if (status != ERROR_SUCCESS) return status;
    // Last, the machine's hive: from here on the store is of the new format.
    status = MakeHive(target, "machine", m_dir.get(), machine, 0600, m_owner, machineMounts);
    if (status != ERROR_SUCCESS) return status;
    ::renameat(m_dir.get(), kOldDatabase, m_dir.get(), (std::string(kOldDatabase) + ".converted").c_str());
    for (const char* stale : {"registry.db-wal", "registry.db-shm", "registry.signal", "hives.loaded"}) {
        ::unlinkat(m_dir.get(), stale, 0);
    }
    ::fsync(m_dir.get());
    m_slots.clear();
    return ERROR_SUCCESS;
}

}  // namespace netid::posix::store
