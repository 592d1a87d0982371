// The registry store: keys, values, handles and change notification on top
// of one SQLite database in write-ahead-log mode.
//
// Layout of the database:
//   meta     name/value pairs: the format marker and the boot the volatile keys
//            belong to
//   keys     one row per key; ids are never reused (AUTOINCREMENT), so a handle
//            to a deleted key can tell it was deleted; the two hive roots
//            (MACHINE and USER) have parent 0
//   vals     one row per value; row ids give the creation order
//   changes  the change log other processes read to wake their waiters
//
// Every call is one transaction. Writers take the write lock at the start
// (BEGIN IMMEDIATE) and, after committing, touch the file "registry.signal"
// beside the database, which a watcher thread in each waiting process follows
// with inotify.
#include <fcntl.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix/internal.h"

namespace netid::posix {
namespace {

constexpr const char* kDatabaseFile = "registry.db";
constexpr const char* kSignalFile = "registry.signal";
constexpr const char* kFormat = "netid-registry 1";
constexpr const char* kDefaultDirectory = "/var/lib/netid/registry";

constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;

// Change log entries older than this are dropped (100 ns units: ten minutes).
constexpr std::int64_t kChangeLogAge = 10LL * 60 * 10000000;
// A change whose key was deleted: wakes every waiter on exactly that key.
constexpr DWORD kChangeKeyDeleted = 0x80000000u;

constexpr DWORD kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;
constexpr DWORD kAllRights = KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY;

constexpr std::uintptr_t kHandleBase = 0x00010000;

// Thrown inside the store; every entry point turns it into its status.
struct StoreError {
    LONG code;
};

[[noreturn]] void Fail(LONG code) { throw StoreError{code}; }

LONG StatusOfSqlite(int rc)
{
    switch (rc & 0xFF) {
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        return ERROR_BADDB;
    case SQLITE_NOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_CANTOPEN:
        return ERROR_CANTOPEN;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

std::string Upper(const char* text, size_t length)
{
    std::string out(text, length);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

std::string Upper(const std::string& text) { return Upper(text.data(), text.size()); }

bool IsPredefined(HKEY key)
{
    auto value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key));
    auto wide = reinterpret_cast<std::uintptr_t>(key);
    return value >= 0x80000000u && value <= 0x80000006u &&
           wide == reinterpret_cast<std::uintptr_t>(HKEY_CLASSES_ROOT) + (value - 0x80000000u);
}

DWORD MapAccess(REGSAM sam, bool readOnly)
{
    DWORD access = sam & ~static_cast<DWORD>(KEY_WOW64_RES);
    if (access & GENERIC_READ) access |= KEY_READ;
    if (access & GENERIC_WRITE) access |= KEY_WRITE;
    if (access & GENERIC_EXECUTE) access |= KEY_EXECUTE;
    if (access & GENERIC_ALL) access |= KEY_ALL_ACCESS;
    if (access & MAXIMUM_ALLOWED) access |= readOnly ? KEY_READ : KEY_ALL_ACCESS;
    access &= ~static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                                  MAXIMUM_ALLOWED);
    return access & kAllRights;
}

// Splits a sub-key path into its names. A leading backslash, or an empty name
// inside the path, is a malformed path; one trailing backslash is allowed.
LONG SplitPath(const char* path, std::vector<std::string>& names)
{
    names.clear();
    if (path == nullptr || *path == '\0') {
        return ERROR_SUCCESS;
    }
    if (*path == '\\') {
        return ERROR_BAD_PATHNAME;
    }
    std::string text(path);
    if (text.back() == '\\') {
        text.pop_back();
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\\', start);
        if (end == std::string::npos) end = text.size();
        if (end == start) {
            return ERROR_BAD_PATHNAME;
        }
        names.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

// ------------------------------------------------------------ statements
class Statement {
public:
    Statement(sqlite3* db, sqlite3_stmt* stmt) : m_db(db), m_stmt(stmt) {}
    ~Statement()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, std::int64_t value)
    {
        sqlite3_bind_int64(m_stmt, index, value);
        return *this;
    }
    Statement& Bind(int index, const std::string& text)
    {
        sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindBlob(int index, const void* data, size_t size)
    {
        sqlite3_bind_blob(m_stmt, index, size == 0 ? "" : data, static_cast<int>(size),
                          SQLITE_TRANSIENT);
        return *this;
    }
    // True while a row is available.
    bool Step()
    {
        int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        Fail(StatusOfSqlite(rc));
    }
    void Run()
    {
        while (Step()) {
        }
    }
    std::int64_t Int(int column) { return sqlite3_column_int64(m_stmt, column); }
    bool IsNull(int column) { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    std::string Text(int column)
    {
        const void* p = sqlite3_column_blob(m_stmt, column);
        int n = sqlite3_column_bytes(m_stmt, column);
        return p == nullptr ? std::string() : std::string(static_cast<const char*>(p), n);
    }
    std::vector<BYTE> Blob(int column)
    {
        const BYTE* p = static_cast<const BYTE*>(sqlite3_column_blob(m_stmt, column));
        int n = sqlite3_column_bytes(m_stmt, column);
        return p == nullptr ? std::vector<BYTE>() : std::vector<BYTE>(p, p + n);
    }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt;
};

struct KeyRow {
    std::int64_t id = 0;
    std::int64_t parent = 0;
    std::string name;
    std::string keyClass;
    bool isVolatile = false;
    std::uint64_t lastWrite = 0;
    std::vector<BYTE> security;
};

struct Handle {
    std::int64_t keyId = 0;
    DWORD access = 0;
};

struct Watch {
    std::uintptr_t handle = 0;
    std::int64_t keyId = 0;
    bool subtree = false;
    DWORD filter = 0;
    HANDLE event = nullptr;  // null for a synchronous waiter
    std::int64_t seen = 0;   // changes up to this sequence number are older
    bool fired = false;
};

// What one handle last enumerated, kept while the store is unchanged, so
// that walking a key of many sub-keys or values by index stays linear.
struct SubKeyEntry {
    std::string name;
    std::string keyClass;
    std::uint64_t lastWrite;
};
struct ValueEntry {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
};
struct Generation {
    std::int64_t dataVersion = -1;  // moves with the commits of other connections
    std::uint64_t localCommits = 0;
    bool operator==(const Generation& o) const
    {
        return dataVersion == o.dataVersion && localCommits == o.localCommits;
    }
};
struct EnumCache {
    std::int64_t keyId = 0;
    Generation keysSeen;
    std::vector<SubKeyEntry> keys;
    Generation valuesSeen;
    std::vector<ValueEntry> values;
};

// One change to report: which key, what kind, and the key's ancestors.
struct Change {
    std::int64_t key;
    DWORD filter;
};

// ------------------------------------------------------------ the store
class Store {
public:
    std::mutex mutex;
    std::condition_variable fired;

    // Opens the store on first use in this process; the status of that
    // attempt is kept and answered on every later call.
    LONG EnsureOpen();

    bool ReadOnly() const { return m_readOnly; }
    const std::string& Directory() const { return m_directory; }
    // True once, after the opening found a new boot: the boot work of the
    // hives is then due, and runs outside the store's lock.
    bool TakeBootWork()
    {
        bool due = m_bootWorkDue;
        m_bootWorkDue = false;
        return due;
    }
    // The full path of a key, "HKEY_LOCAL_MACHINE\\..." or "HKEY_USERS\\...".
    std::string FullPath(std::int64_t id);

    Statement Prepare(const char* sql);

    // Transactions: a write transaction takes the write lock at once.
    void Begin();
    void Commit(const std::vector<Change>& changes);
    void Rollback();

    // Handles.
    std::uintptr_t NewHandle(std::int64_t keyId, DWORD access);
    // The key behind `key` with the access it carries; fails with 6 for an
    // unknown handle and 1018 for a deleted key.
    Handle Resolve(HKEY key);
    // Like Resolve and also demands `needed`.
    Handle Require(HKEY key, DWORD needed);
    bool CloseHandleValue(HKEY key);
    std::vector<std::pair<std::uintptr_t, Handle>> HandleList() const
    {
        return {m_handles.begin(), m_handles.end()};
    }
    bool HandleExists(std::uintptr_t value) const { return m_handles.count(value) != 0; }
    EnumCache& CacheOf(HKEY key) { return m_caches[reinterpret_cast<std::uintptr_t>(key)]; }
    Generation CurrentGeneration();

    // Keys.
    bool LoadKey(std::int64_t id, KeyRow& row);
    bool KeyExists(std::int64_t id);
    std::int64_t FindChild(std::int64_t parent, const std::string& name);
    std::int64_t CreateChild(std::int64_t parent, const std::string& name,
                             const std::string& keyClass, bool isVolatile,
                             const std::vector<BYTE>& security, std::uint64_t lastWrite);
    void Touch(std::int64_t id);
    void DeleteSubtree(std::int64_t id, std::vector<Change>& changes);
    std::string AncestorChain(std::int64_t id);
    std::int64_t MaxChangeSeq();

    // Notification.
    std::list<Watch> watches;
    void Dispatch();
    void FireWatchesOfHandle(std::uintptr_t handle);
    void StartWatcher();

private:
    LONG Open();
    LONG CreateStore(const std::string& path);
    void DropVolatileKeysOfOldBoot();
    std::int64_t RootOf(HKEY key);
    std::int64_t PathKey(std::int64_t root, const char* const* names, size_t count,
                         bool create);
    std::int64_t UserHive();
    void SignalOtherProcesses();
    void WatcherLoop(int fd);

    bool m_attempted = false;
    LONG m_openStatus = ERROR_SUCCESS;
    bool m_readOnly = false;
    std::string m_directory;
    sqlite3* m_db = nullptr;
    std::map<const char*, sqlite3_stmt*> m_statements;
    std::unordered_map<std::uintptr_t, Handle> m_handles;
    std::unordered_map<std::uintptr_t, EnumCache> m_caches;
    std::uint64_t m_localCommits = 0;
    std::uintptr_t m_nextHandle = kHandleBase;
    std::int64_t m_machine = 0;
    std::int64_t m_users = 0;
    int m_signalFd = -1;
    unsigned m_commits = 0;
    bool m_inTransaction = false;
    bool m_watcherStarted = false;
    bool m_bootWorkDue = false;
};

Store& TheStore()
{
    // Lives until the process ends: the watcher thread may still use it while
    // static objects are destroyed.
    static Store* store = new Store;
    return *store;
}

std::string StoreDirectoryFromEnvironment()
{
    const char* dir = getenv("NETID_REGISTRY_DIR");
    return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string(kDefaultDirectory);
}

bool MakeDirectories(const std::string& path)
{
    std::string partial;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        partial = path.substr(0, end);
        if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
        start = end + 1;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void SyncDirectory(const std::string& dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

bool Exec(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

const char* const kSchema =
    "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
    " name TEXT NOT NULL, uname TEXT NOT NULL, class TEXT NOT NULL DEFAULT '',"
    " volatile INTEGER NOT NULL DEFAULT 0, last_write INTEGER NOT NULL, security BLOB);"
    "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, uname);"
    "CREATE TABLE vals(id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
    " name TEXT NOT NULL, uname TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL);"
    "CREATE UNIQUE INDEX vals_by_name ON vals(key, uname);"
    "CREATE INDEX vals_in_order ON vals(key);"
    "CREATE TABLE changes(seq INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
    " filter INTEGER NOT NULL, chain TEXT NOT NULL, time INTEGER NOT NULL);";

LONG Store::EnsureOpen()
{
    if (!m_attempted) {
        m_attempted = true;
        m_openStatus = Open();
    }
    return m_openStatus;
}

LONG Store::CreateStore(const std::string& path)
{
    // Built under a name of its own and linked into place when complete, so
    // that no process ever sees half a store and two creators never clobber
    // each other.
    std::string temp = path + ".new-" + std::to_string(getpid());
    unlink(temp.c_str());
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(temp.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(db);
        unlink(temp.c_str());
        return errno == EACCES || errno == EROFS || errno == EPERM ? ERROR_ACCESS_DENIED
                                                                     : StatusOfSqlite(rc);
    }
    bool ok = Exec(db, "PRAGMA journal_mode=WAL") && Exec(db, "BEGIN") && Exec(db, kSchema);
    sqlite3_stmt* stmt = nullptr;
    if (ok) {
        ok = sqlite3_prepare_v2(db,
                                "INSERT INTO meta(name, value) VALUES ('format', ?1), "
                                "('boot_id', ?2)",
                                -1, &stmt, nullptr) == SQLITE_OK;
        if (ok) {
            std::string boot = CurrentBootId();
            sqlite3_bind_text(stmt, 1, kFormat, -1, SQLITE_STATIC);
            sqlite3_bind_text(stmt, 2, boot.c_str(), -1, SQLITE_TRANSIENT);
            ok = sqlite3_step(stmt) == SQLITE_DONE;
            sqlite3_finalize(stmt);
        }
    }
    // The skeleton of a fresh machine.
    struct SkeletonKey {
        const char* name;
        int parent;  // index into this table, -1 for a hive root
    };
    const SkeletonKey skeleton[] = {
        {"MACHINE", -1},       {"USER", -1},      {"SOFTWARE", 0},
        {"Classes", 2},        {"SYSTEM", 0},     {"CurrentControlSet", 4},
        {"Hardware Profiles", 5}, {"Current", 6}, {"HARDWARE", 0},
        {".DEFAULT", 1},
    };
    std::vector<std::int64_t> ids;
    std::vector<std::vector<BYTE>> security;
    std::uint64_t now = NowAsFileTime();
    for (const SkeletonKey& key : skeleton) {
        if (!ok) break;
        std::vector<BYTE> sd = DefaultKeySecurity(key.parent < 0 ? nullptr
                                                                 : &security[key.parent]);
        ok = sqlite3_prepare_v2(db,
                                "INSERT INTO keys(parent, name, uname, last_write, security) "
                                "VALUES (?1, ?2, ?3, ?4, ?5)",
                                -1, &stmt, nullptr) == SQLITE_OK;
        if (!ok) break;
        std::string upper = Upper(key.name, std::strlen(key.name));
        sqlite3_bind_int64(stmt, 1, key.parent < 0 ? 0 : ids[key.parent]);
        sqlite3_bind_text(stmt, 2, key.name, -1, SQLITE_STATIC);
        sqlite3_bind_text(stmt, 3, upper.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(stmt, 4, static_cast<std::int64_t>(now));
        sqlite3_bind_blob(stmt, 5, sd.empty() ? "" : static_cast<const void*>(sd.data()),
                          static_cast<int>(sd.size()), SQLITE_TRANSIENT);
        ok = sqlite3_step(stmt) == SQLITE_DONE;
        sqlite3_finalize(stmt);
        ids.push_back(sqlite3_last_insert_rowid(db));
        security.push_back(std::move(sd));
    }
    ok = ok && Exec(db, "COMMIT");
    ok = sqlite3_close(db) == SQLITE_OK && ok;
    if (ok) {
        int fd = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
        if (link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
            ok = false;
        }
    }
    unlink(temp.c_str());
    unlink((temp + "-wal").c_str());
    unlink((temp + "-shm").c_str());
    SyncDirectory(m_directory);
    return ok ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

LONG Store::Open()
{
    m_directory = StoreDirectoryFromEnvironment();
    std::string path = m_directory + "/" + kDatabaseFile;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            return ERROR_ACCESS_DENIED;
        }
        if (!MakeDirectories(m_directory)) {
            return ERROR_ACCESS_DENIED;
        }
        if (access(m_directory.c_str(), W_OK) != 0) {
            return ERROR_ACCESS_DENIED;
        }
        LONG created = CreateStore(path);
        if (created != ERROR_SUCCESS) {
            return created;
        }
    }
    // A file that is not one of our stores is reported and left alone: check
    // the header before SQLite gets to touch it.
    {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return ERROR_ACCESS_DENIED;
        }
        char header[16] = {};
        in.read(header, sizeof header);
        if (in.gcount() != sizeof header || std::memcmp(header, "SQLite format 3", 16) != 0) {
            return ERROR_BADDB;
        }
    }
    bool writable = access(path.c_str(), W_OK) == 0 && access(m_directory.c_str(), W_OK) == 0;
    int flags = (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(m_db);
        m_db = nullptr;
        return rc == SQLITE_CANTOPEN ? ERROR_ACCESS_DENIED : StatusOfSqlite(rc);
    }
    m_readOnly = !writable || sqlite3_db_readonly(m_db, "main") == 1;
    sqlite3_busy_timeout(m_db, 30000);
    sqlite3_extended_result_codes(m_db, 1);
    // Is it ours?
    bool ours = false;
    {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, "SELECT value FROM meta WHERE name = 'format'", -1, &stmt,
                               nullptr) == SQLITE_OK) {
            if (sqlite3_step(stmt) == SQLITE_ROW) {
                const unsigned char* text = sqlite3_column_text(stmt, 0);
                ours = text != nullptr && std::strcmp(reinterpret_cast<const char*>(text),
                                                      kFormat) == 0;
            }
            sqlite3_finalize(stmt);
        } else {
            rc = sqlite3_errcode(m_db);
            if ((rc & 0xFF) == SQLITE_BUSY) {
                sqlite3_close(m_db);
                m_db = nullptr;
                return ERROR_REGISTRY_IO_FAILED;
            }
        }
    }
    if (!ours) {
        sqlite3_close(m_db);
        m_db = nullptr;
        return ERROR_BADDB;
    }
    if (!m_readOnly) {
        // Keep the log and index files when the last connection closes, so
        // that users who may only read can still open the store.
        int persist = 1;
        sqlite3_file_control(m_db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    }
    // Write-ahead log with NORMAL synchronisation never corrupts the store
    // on a crash; RegFlushKey forces everything so far onto the disk.
    Exec(m_db, "PRAGMA synchronous=NORMAL");
    try {
        {
            Statement roots = Prepare("SELECT id, uname FROM keys WHERE parent = 0");
            while (roots.Step()) {
                std::string name = roots.Text(1);
                if (name == "MACHINE") m_machine = roots.Int(0);
                if (name == "USER") m_users = roots.Int(0);
            }
        }
        if (m_machine == 0 || m_users == 0) {
            return ERROR_BADDB;
        }
        if (!m_readOnly) {
            std::string signal = m_directory + "/" + kSignalFile;
            m_signalFd = open(signal.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            DropVolatileKeysOfOldBoot();
        }
    } catch (const StoreError& e) {
        return e.code;
    }
    return ERROR_SUCCESS;
}

void Store::DropVolatileKeysOfOldBoot()
{
    std::string boot = CurrentBootId();
    {
        Statement read = Prepare("SELECT value FROM meta WHERE name = 'boot_id'");
        if (read.Step() && read.Text(0) == boot) {
            return;
        }
    }
    Begin();
    try {
        {
            Statement again = Prepare("SELECT value FROM meta WHERE name = 'boot_id'");
            if (again.Step() && again.Text(0) == boot) {
                Rollback();
                return;
            }
        }
        // Every key beneath a volatile key is volatile, so dropping them all
        // leaves no orphans among the keys; their values go with them.
        Prepare("DELETE FROM keys WHERE volatile <> 0").Run();
        Prepare("DELETE FROM vals WHERE key NOT IN (SELECT id FROM keys)").Run();
        Prepare("INSERT OR REPLACE INTO meta(name, value) VALUES ('boot_id', ?1)")
            .Bind(1, boot)
            .Run();
        Commit({});
    } catch (...) {
        Rollback();
        throw;
    }
    m_bootWorkDue = true;
}

std::string Store::FullPath(std::int64_t id)
{
    std::vector<std::string> names;
    KeyRow row;
    while (id != m_machine && id != m_users) {
        if (!LoadKey(id, row)) Fail(ERROR_KEY_DELETED);
        names.push_back(row.name);
        id = row.parent;
    }
    std::string path = id == m_machine ? "HKEY_LOCAL_MACHINE" : "HKEY_USERS";
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        path += '\\';
        path += *it;
    }
    return path;
}

Statement Store::Prepare(const char* sql)
{
    auto it = m_statements.find(sql);
    if (it == m_statements.end()) {
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
        if (rc != SQLITE_OK) {
            Fail(StatusOfSqlite(rc));
        }
        it = m_statements.emplace(sql, stmt).first;
    }
    return Statement(m_db, it->second);
}

void Store::Begin()
{
    if (m_readOnly) {
        Fail(ERROR_ACCESS_DENIED);
    }
    int rc = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        Fail(StatusOfSqlite(rc));
    }
    m_inTransaction = true;
}

void Store::Rollback()
{
    if (m_inTransaction) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        m_inTransaction = false;
    }
}

void Store::Commit(const std::vector<Change>& changes)
{
    std::int64_t now = static_cast<std::int64_t>(NowAsFileTime());
    for (const Change& change : changes) {
        Prepare("INSERT INTO changes(key, filter, chain, time) VALUES (?1, ?2, ?3, ?4)")
            .Bind(1, change.key)
            .Bind(2, change.filter)
            .Bind(3, AncestorChain(change.key))
            .Bind(4, now)
            .Run();
    }
    if (!changes.empty() && (++m_commits % 256) == 0) {
        Prepare("DELETE FROM changes WHERE time < ?1").Bind(1, now - kChangeLogAge).Run();
    }
    int rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        Rollback();
        Fail(StatusOfSqlite(rc));
    }
    m_inTransaction = false;
    ++m_localCommits;
    if (!changes.empty()) {
        SignalOtherProcesses();
        if (!watches.empty()) {
            Dispatch();
        }
    }
}

void Store::SignalOtherProcesses()
{
    if (m_signalFd >= 0) {
        char byte = 0;
        ssize_t written = pwrite(m_signalFd, &byte, 1, 0);
        (void)written;
    }
}

std::uintptr_t Store::NewHandle(std::int64_t keyId, DWORD access)
{
    std::uintptr_t value = m_nextHandle;
    m_nextHandle += 4;
    m_handles.emplace(value, Handle{keyId, access});
    return value;
}

std::int64_t Store::UserHive()
{
    std::string name = "S-1-22-1-" + std::to_string(geteuid());
    std::int64_t id = FindChild(m_users, name);
    if (id != 0) {
        return id;
    }
    Begin();
    try {
        id = FindChild(m_users, name);
        if (id == 0) {
            KeyRow users;
            LoadKey(m_users, users);
            id = CreateChild(m_users, name, "", false, DefaultKeySecurity(&users.security),
                             NowAsFileTime());
            Touch(m_users);
            Commit({{m_users, REG_NOTIFY_CHANGE_NAME}});
        } else {
            Rollback();
        }
    } catch (...) {
        Rollback();
        throw;
    }
    return id;
}

std::int64_t Store::PathKey(std::int64_t root, const char* const* names, size_t count,
                            bool create)
{
    std::int64_t id = root;
    for (size_t i = 0; i < count && id != 0; ++i) {
        std::int64_t next = FindChild(id, names[i]);
        if (next == 0 && create && !m_readOnly) {
            Begin();
            try {
                next = FindChild(id, names[i]);
                if (next == 0) {
                    KeyRow parent;
                    LoadKey(id, parent);
                    next = CreateChild(id, names[i], "", false,
                                       DefaultKeySecurity(&parent.security), NowAsFileTime());
                    Touch(id);
                    Commit({{id, REG_NOTIFY_CHANGE_NAME}});
                } else {
                    Rollback();
                }
            } catch (...) {
                Rollback();
                throw;
            }
        }
        id = next;
    }
    return id;
}

std::int64_t Store::RootOf(HKEY key)
{
    static const char* const classes[] = {"SOFTWARE", "Classes"};
    static const char* const config[] = {"SYSTEM", "CurrentControlSet", "Hardware Profiles",
                                         "Current"};
    std::int64_t id = 0;
    if (key == HKEY_LOCAL_MACHINE) {
        id = m_machine;
    } else if (key == HKEY_USERS) {
        id = m_users;
    } else if (key == HKEY_CURRENT_USER) {
        id = UserHive();
    } else if (key == HKEY_CLASSES_ROOT) {
        id = PathKey(m_machine, classes, 2, true);
    } else if (key == HKEY_CURRENT_CONFIG) {
        id = PathKey(m_machine, config, 4, true);
    } else {
        Fail(ERROR_INVALID_HANDLE);
    }
    if (id == 0) {
        Fail(ERROR_FILE_NOT_FOUND);
    }
    return id;
}

Handle Store::Resolve(HKEY key)
{
    if (key == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
    }
    if (IsPredefined(key)) {
        return Handle{RootOf(key), m_readOnly ? static_cast<DWORD>(KEY_READ) : kAllRights};
    }
    auto it = m_handles.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == m_handles.end()) {
        Fail(ERROR_INVALID_HANDLE);
    }
    if (!KeyExists(it->second.keyId)) {
        Fail(ERROR_KEY_DELETED);
    }
    return it->second;
}

Handle Store::Require(HKEY key, DWORD needed)
{
    Handle handle = Resolve(key);
    if ((handle.access & needed) != needed) {
        Fail(ERROR_ACCESS_DENIED);
    }
    if ((needed & kWriteRights) != 0 && m_readOnly) {
        Fail(ERROR_ACCESS_DENIED);
    }
    return handle;
}

Generation Store::CurrentGeneration()
{
    Statement stmt = Prepare("PRAGMA data_version");
    Generation generation;
    generation.dataVersion = stmt.Step() ? stmt.Int(0) : -1;
    generation.localCommits = m_localCommits;
    return generation;
}

bool Store::CloseHandleValue(HKEY key)
{
    auto value = reinterpret_cast<std::uintptr_t>(key);
    if (m_handles.erase(value) == 0) {
        return false;
    }
    m_caches.erase(value);
    FireWatchesOfHandle(value);
    return true;
}

bool Store::LoadKey(std::int64_t id, KeyRow& row)
{
    Statement stmt = Prepare(
        "SELECT parent, name, class, volatile, last_write, security FROM keys WHERE id = ?1");
    stmt.Bind(1, id);
    if (!stmt.Step()) {
        return false;
    }
    row.id = id;
    row.parent = stmt.Int(0);
    row.name = stmt.Text(1);
    row.keyClass = stmt.Text(2);
    row.isVolatile = stmt.Int(3) != 0;
    row.lastWrite = static_cast<std::uint64_t>(stmt.Int(4));
    row.security = stmt.Blob(5);
    return true;
}

bool Store::KeyExists(std::int64_t id)
{
    Statement stmt = Prepare("SELECT 1 FROM keys WHERE id = ?1");
    return stmt.Bind(1, id).Step();
}

std::int64_t Store::FindChild(std::int64_t parent, const std::string& name)
{
    Statement stmt = Prepare("SELECT id FROM keys WHERE parent = ?1 AND uname = ?2");
    stmt.Bind(1, parent).Bind(2, Upper(name));
    return stmt.Step() ? stmt.Int(0) : 0;
}

std::int64_t Store::CreateChild(std::int64_t parent, const std::string& name,
                                const std::string& keyClass, bool isVolatile,
                                const std::vector<BYTE>& security, std::uint64_t lastWrite)
{
    Prepare("INSERT INTO keys(parent, name, uname, class, volatile, last_write, security) "
            "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)")
        .Bind(1, parent)
        .Bind(2, name)
        .Bind(3, Upper(name))
        .Bind(4, keyClass)
        .Bind(5, isVolatile ? 1 : 0)
        .Bind(6, static_cast<std::int64_t>(lastWrite))
        .BindBlob(7, security.data(), security.size())
        .Run();
    return sqlite3_last_insert_rowid(m_db);
}

void Store::Touch(std::int64_t id)
{
    Prepare("UPDATE keys SET last_write = ?2 WHERE id = ?1")
        .Bind(1, id)
        .Bind(2, static_cast<std::int64_t>(NowAsFileTime()))
        .Run();
}

void Store::DeleteSubtree(std::int64_t id, std::vector<Change>& changes)
{
    std::vector<std::int64_t> children;
    {
        Statement stmt = Prepare("SELECT id FROM keys WHERE parent = ?1");
        stmt.Bind(1, id);
        while (stmt.Step()) children.push_back(stmt.Int(0));
    }
    for (std::int64_t child : children) {
        DeleteSubtree(child, changes);
    }
    // The deletion is reported while the key still has its ancestors.
    changes.push_back({id, kChangeKeyDeleted});
    Prepare("INSERT INTO changes(key, filter, chain, time) VALUES (?1, ?2, ?3, ?4)")
        .Bind(1, id)
        .Bind(2, kChangeKeyDeleted)
        .Bind(3, AncestorChain(id))
        .Bind(4, static_cast<std::int64_t>(NowAsFileTime()))
        .Run();
    changes.pop_back();
    Prepare("DELETE FROM vals WHERE key = ?1").Bind(1, id).Run();
    Prepare("DELETE FROM keys WHERE id = ?1").Bind(1, id).Run();
}

std::string Store::AncestorChain(std::int64_t id)
{
    Statement stmt = Prepare(
        "WITH RECURSIVE chain(id, parent, depth) AS ("
        " SELECT id, parent, 0 FROM keys WHERE id = ?1"
        " UNION ALL SELECT k.id, k.parent, c.depth + 1 FROM keys k JOIN chain c ON k.id = c.parent"
        " WHERE c.depth < 512)"
        " SELECT id FROM chain");
    stmt.Bind(1, id);
    std::string chain = " ";
    while (stmt.Step()) {
        chain += std::to_string(stmt.Int(0)) + " ";
    }
    return chain;
}

std::int64_t Store::MaxChangeSeq()
{
    Statement stmt = Prepare("SELECT coalesce(max(seq), 0) FROM changes");
    return stmt.Step() ? stmt.Int(0) : 0;
}

// ------------------------------------------------------------ notification
void Store::Dispatch()
{
    if (watches.empty()) {
        return;
    }
    std::int64_t from = watches.front().seen;
    for (const Watch& w : watches) from = std::min(from, w.seen);
    std::int64_t last = from;
    {
        Statement stmt =
            Prepare("SELECT seq, key, filter, chain FROM changes WHERE seq > ?1 ORDER BY seq");
        stmt.Bind(1, from);
        while (stmt.Step()) {
            std::int64_t seq = stmt.Int(0);
            std::int64_t key = stmt.Int(1);
            auto filter = static_cast<DWORD>(stmt.Int(2));
            std::string chain = stmt.Text(3);
            last = seq;
            for (Watch& w : watches) {
                if (w.fired || seq <= w.seen) continue;
                bool match = false;
                if (filter == kChangeKeyDeleted) {
                    match = key == w.keyId;
                } else if ((filter & w.filter) != 0) {
                    match = key == w.keyId ||
                            (w.subtree &&
                             chain.find(" " + std::to_string(w.keyId) + " ") != std::string::npos);
                }
                if (match) w.fired = true;
            }
        }
    }
    bool anyFired = false;
    for (auto it = watches.begin(); it != watches.end();) {
        it->seen = std::max(it->seen, last);
        if (it->fired) {
            anyFired = true;
            if (it->event != nullptr) {
                SignalEventObject(it->event);
                it = watches.erase(it);
                continue;
            }
        }
        ++it;
    }
    if (anyFired) {
        fired.notify_all();
    }
}

void Store::FireWatchesOfHandle(std::uintptr_t handle)
{
    bool any = false;
    for (auto it = watches.begin(); it != watches.end();) {
        if (it->handle == handle && !it->fired) {
            it->fired = true;
            any = true;
            if (it->event != nullptr) {
                SignalEventObject(it->event);
                it = watches.erase(it);
                continue;
            }
        }
        ++it;
    }
    if (any) {
        fired.notify_all();
    }
}

void Store::StartWatcher()
{
    if (m_watcherStarted) {
        return;
    }
    m_watcherStarted = true;
    // The watch on the signal file is in place before the caller reads the
    // change log, so no signal after that reading is missed.
    std::string signal = m_directory + "/" + kSignalFile;
    int fd = inotify_init1(IN_CLOEXEC);
    if (fd >= 0) {
        // The signal file may not exist yet when only readers have been here.
        int create = open(signal.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (create >= 0) close(create);
        if (inotify_add_watch(fd, signal.c_str(), IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE) < 0) {
            close(fd);
            fd = -1;
        }
    }
    std::thread([this, fd] { WatcherLoop(fd); }).detach();
}

void Store::WatcherLoop(int fd)
{
    for (;;) {
        if (fd >= 0) {
            // The timeout is only a safety net for a signal that was missed.
            pollfd p{fd, POLLIN, 0};
            int n = poll(&p, 1, 2000);
            if (n > 0) {
                char buffer[4096];
                ssize_t got = read(fd, buffer, sizeof buffer);
                (void)got;
            }
        } else {
            // No inotify: look at the change log a few times a second.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (watches.empty()) {
            continue;
        }
        try {
            Dispatch();
        } catch (const StoreError&) {
            // The next wake-up tries again.
        }
    }
}

// ------------------------------------------------------------ helpers of the entry points
template <typename Body>
LONG Guarded(Body body)
{
    Store& store = TheStore();
    std::unique_lock<std::mutex> lock(store.mutex);
    try {
        LONG open = store.EnsureOpen();
        if (open != ERROR_SUCCESS) {
            return open;
        }
        if (store.TakeBootWork()) {
            // The boot work goes through the registry calls itself, so it
            // runs with the store unlocked, before this call's own work.
            lock.unlock();
            OnNewBoot();
            lock.lock();
        }
        return body(store, lock);
    } catch (const StoreError& e) {
        store.Rollback();
        return e.code;
    } catch (const std::bad_alloc&) {
        store.Rollback();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// Runs `body` inside a write transaction and commits the changes it reports.
template <typename Body>
void InWriteTransaction(Store& store, Body body)
{
    store.Begin();
    try {
        std::vector<Change> changes;
        body(changes);
        store.Commit(changes);
    } catch (...) {
        store.Rollback();
        throw;
    }
}

// Follows `names` from `start`; 0 when some name is missing.
std::int64_t Walk(Store& store, std::int64_t start, const std::vector<std::string>& names)
{
    std::int64_t id = start;
    for (const std::string& name : names) {
        if (name.size() > kMaxKeyNameLength) {
            return 0;
        }
        id = store.FindChild(id, name);
        if (id == 0) {
            return 0;
        }
    }
    return id;
}

void CopyFileTime(std::uint64_t time, PFILETIME out)
{
    if (out != nullptr) {
        out->dwLowDateTime = static_cast<DWORD>(time & 0xFFFFFFFFu);
        out->dwHighDateTime = static_cast<DWORD>(time >> 32);
    }
}

bool IsPerformanceData(HKEY key) { return key == HKEY_PERFORMANCE_DATA; }
bool IsDynData(HKEY key) { return key == HKEY_DYN_DATA; }

void ExportTree(Store& store, std::int64_t id, RegTree& out)
{
    KeyRow row;
    if (!store.LoadKey(id, row)) {
        Fail(ERROR_KEY_DELETED);
    }
    out.name = row.name;
    out.keyClass = row.keyClass;
    out.security = row.security;
    out.lastWrite = row.lastWrite;
    out.values.clear();
    out.subkeys.clear();
    {
        Statement stmt = store.Prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id");
        stmt.Bind(1, id);
        while (stmt.Step()) {
            out.values.push_back(RegValue{stmt.Text(0), static_cast<DWORD>(stmt.Int(1)),
                                          stmt.Blob(2)});
        }
    }
    std::vector<std::int64_t> children;
    {
        Statement stmt = store.Prepare("SELECT id FROM keys WHERE parent = ?1 ORDER BY uname");
        stmt.Bind(1, id);
        while (stmt.Step()) children.push_back(stmt.Int(0));
    }
    for (std::int64_t child : children) {
        out.subkeys.emplace_back();
        ExportTree(store, child, out.subkeys.back());
    }
}

void InsertValues(Store& store, std::int64_t key, const std::vector<RegValue>& values)
{
    for (const RegValue& value : values) {
        store.Prepare("INSERT OR REPLACE INTO vals(key, name, uname, type, data) "
                      "VALUES (?1, ?2, ?3, ?4, ?5)")
            .Bind(1, key)
            .Bind(2, value.name)
            .Bind(3, Upper(value.name))
            .Bind(4, value.type)
            .BindBlob(5, value.data.data(), value.data.size())
            .Run();
    }
}

void ImportChildren(Store& store, std::int64_t key, const std::vector<BYTE>& parentSecurity,
                    const std::vector<RegTree>& children, bool isVolatile)
{
    std::uint64_t now = NowAsFileTime();
    for (const RegTree& child : children) {
        if (child.name.empty() || child.name.size() > kMaxKeyNameLength ||
            child.name.find('\\') != std::string::npos) {
            Fail(ERROR_BADDB);
        }
        if (store.FindChild(key, child.name) != 0) {
            Fail(ERROR_BADDB);
        }
        std::vector<BYTE> security =
            child.security.empty() ? DefaultKeySecurity(&parentSecurity) : child.security;
        std::int64_t id = store.CreateChild(key, child.name, child.keyClass, isVolatile, security,
                                            child.lastWrite != 0 ? child.lastWrite : now);
        InsertValues(store, id, child.values);
        ImportChildren(store, id, security, child.subkeys, isVolatile);
    }
}

}  // namespace

// ------------------------------------------------------------ internal.h
std::string CurrentBootId()
{
    // Tests stand in for a restart of the machine by naming a boot of their own.
    const char* injected = getenv("NETID_BOOT_ID");
    if (injected != nullptr && *injected != '\0') {
        return injected;
    }
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(in, id);
    return id;
}

std::string StoreDirectory()
{
    Store& store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    return store.Directory().empty() ? StoreDirectoryFromEnvironment() : store.Directory();
}

LONG KeyFullPath(HKEY key, std::string& path)
{
    return Guarded([&](Store& store, std::unique_lock<std::mutex>&) -> LONG {
        path = store.FullPath(store.Resolve(key).keyId);
        return ERROR_SUCCESS;
    });
}

LONG ExportKeyTree(HKEY key, RegTree& out)
{
    return Guarded([&](Store& store, std::unique_lock<std::mutex>&) -> LONG {
        Handle handle = store.Resolve(key);
        ExportTree(store, handle.keyId, out);
        return ERROR_SUCCESS;
    });
}

LONG ReplaceKeyContents(HKEY key, const RegTree& tree, bool volatileKeys)
{
    return Guarded([&](Store& store, std::unique_lock<std::mutex>&) -> LONG {
        Handle handle = store.Resolve(key);
        if (store.ReadOnly()) {
            return ERROR_ACCESS_DENIED;
        }
        InWriteTransaction(store, [&](std::vector<Change>& changes) {
            KeyRow row;
            if (!store.LoadKey(handle.keyId, row)) Fail(ERROR_KEY_DELETED);
            std::vector<std::int64_t> children;
            {
                Statement stmt = store.Prepare("SELECT id FROM keys WHERE parent = ?1");
                stmt.Bind(1, row.id);
                while (stmt.Step()) children.push_back(stmt.Int(0));
            }
            for (std::int64_t child : children) {
                store.DeleteSubtree(child, changes);
            }
            store.Prepare("DELETE FROM vals WHERE key = ?1").Bind(1, row.id).Run();
            InsertValues(store, row.id, tree.values);
            std::vector<BYTE> security = tree.security.empty() ? row.security : tree.security;
            if (!tree.security.empty()) {
                store.Prepare("UPDATE keys SET security = ?2 WHERE id = ?1")
                    .Bind(1, row.id)
                    .BindBlob(2, security.data(), security.size())
                    .Run();
            }
            ImportChildren(store, row.id, security, tree.subkeys, volatileKeys || row.isVolatile);
            store.Touch(row.id);
            DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
            if (!tree.security.empty()) filter |= REG_NOTIFY_CHANGE_SECURITY;
            changes.push_back({row.id, filter});
        });
        return ERROR_SUCCESS;
    });
}

bool HandlesOpenBeneath(HKEY key, HKEY except)
{
    LONG status = Guarded([&](Store& store, std::unique_lock<std::mutex>&) -> LONG {
        Handle target = store.Resolve(key);
        auto exceptValue = reinterpret_cast<std::uintptr_t>(except);
        for (const auto& [value, handle] : store.HandleList()) {
            if (value == exceptValue) continue;
            std::int64_t id = handle.keyId;
            for (int depth = 0; id != 0 && depth < 512; ++depth) {
                if (id == target.keyId) {
                    return ERROR_SUCCESS;  // found one
                }
                Statement stmt = store.Prepare("SELECT parent FROM keys WHERE id = ?1");
                id = stmt.Bind(1, id).Step() ? stmt.Int(0) : 0;
            }
        }
        return ERROR_FILE_NOT_FOUND;
    });
    return status == ERROR_SUCCESS;
}

}  // namespace netid::posix

using netid::posix::Change;
using netid::posix::CopyFileTime;
using netid::posix::Fail;
using netid::posix::Guarded;
using netid::posix::Handle;
using netid::posix::InWriteTransaction;
using netid::posix::IsDynData;
using netid::posix::IsPerformanceData;
using netid::posix::IsPredefined;
using netid::posix::KeyRow;
using netid::posix::MapAccess;
using netid::posix::SplitPath;
using netid::posix::SyncDirectory;
using netid::posix::Generation;
using netid::posix::EnumCache;
using netid::posix::Statement;
using netid::posix::SubKeyEntry;
using netid::posix::ValueEntry;
using netid::posix::Store;
using netid::posix::StoreError;
using netid::posix::Upper;
using netid::posix::Walk;
using netid::posix::Watch;
using netid::posix::kAllRights;
using netid::posix::kChangeKeyDeleted;
using netid::posix::kMaxKeyNameLength;
using netid::posix::kMaxValueNameLength;
using netid::posix::kWriteRights;

namespace {

using Lock = std::unique_lock<std::mutex>;

// Copies `text` into a caller's character buffer of `capacity` characters
// (with its NUL). False when it does not fit.
bool CopyName(const std::string& text, LPSTR buffer, DWORD capacity)
{
    if (text.size() >= capacity) {
        return false;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

std::string ValueName(LPCSTR name) { return name == nullptr ? std::string() : std::string(name); }

}  // namespace

// ------------------------------------------------------------ the Win32 calls
LONG WINAPI RegConnectRegistryA(LPCSTR lpMachineName, HKEY hKey, PHKEY phkResult)
{
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (lpMachineName != nullptr && *lpMachineName != '\0') {
        const char* name = lpMachineName;
        while (*name == '\\') ++name;
        char own[MAX_PATH + 1] = {};
        DWORD size = MAX_PATH;
        if (!GetComputerNameA(own, &size) ||
            Upper(name, std::strlen(name)) != Upper(own, std::strlen(own))) {
            return ERROR_BAD_NETPATH;
        }
    }
    if (hKey == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    // Locally the connection is the key itself, as the platform's own
    // connection to the local machine answers.
    if (IsPredefined(hKey)) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    return Guarded([&](Store& store, Lock&) -> LONG {
        store.Resolve(hKey);
        *phkResult = hKey;
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult)
{
    (void)ulOptions;
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        if (lpSubKey == nullptr || *lpSubKey == '\0') {
            *phkResult = hKey;
            return ERROR_SUCCESS;
        }
        return ERROR_FILE_NOT_FOUND;
    }
    std::vector<std::string> names;
    LONG split = SplitPath(lpSubKey, names);
    if (split != ERROR_SUCCESS) {
        return split;
    }
    return Guarded([&](Store& store, Lock&) -> LONG {
        Handle base = store.Resolve(hKey);
        std::int64_t id = Walk(store, base.keyId, names);
        if (id == 0) {
            return ERROR_FILE_NOT_FOUND;
        }
        DWORD access = MapAccess(samDesired, store.ReadOnly());
        if ((access & kWriteRights) != 0 && store.ReadOnly()) {
            return ERROR_ACCESS_DENIED;
        }
        if ((access & ACCESS_SYSTEM_SECURITY) != 0 &&
            !netid::posix::PrivilegeEnabled("SeSecurityPrivilege")) {
            return ERROR_PRIVILEGE_NOT_HELD;
        }
        *phkResult = reinterpret_cast<HKEY>(store.NewHandle(id, access));
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    (void)Reserved;
    if (phkResult == nullptr || lpSubKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_ACCESS_DENIED;
    }
    if ((dwOptions & ~static_cast<DWORD>(REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK |
                                         REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK)) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((dwOptions & REG_OPTION_CREATE_LINK) != 0) {
        // Symbolic links are not kept by this store.
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<std::string> names;
    LONG split = SplitPath(lpSubKey, names);
    if (split != ERROR_SUCCESS) {
        return split;
    }
    for (const std::string& name : names) {
        if (name.size() > kMaxKeyNameLength) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    const void* requested =
        lpSecurityAttributes != nullptr ? lpSecurityAttributes->lpSecurityDescriptor : nullptr;
    if (requested != nullptr &&
        netid::posix::ValidateSecurityDescriptor(requested, 0) != ERROR_SUCCESS) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    bool wantVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
    std::string keyClass = lpClass != nullptr ? std::string(lpClass) : std::string();
    return Guarded([&](Store& store, Lock&) -> LONG {
        Handle base = store.Resolve(hKey);
        DWORD access = MapAccess(samDesired, store.ReadOnly());
        if ((access & ACCESS_SYSTEM_SECURITY) != 0 &&
            !netid::posix::PrivilegeEnabled("SeSecurityPrivilege")) {
            return ERROR_PRIVILEGE_NOT_HELD;
        }
        // The common case first: the key is there and is only opened.
        std::int64_t existing = Walk(store, base.keyId, names);
        DWORD disposition = REG_OPENED_EXISTING_KEY;
        if (existing == 0) {
            if ((base.access & KEY_CREATE_SUB_KEY) == 0 || store.ReadOnly()) {
                return ERROR_ACCESS_DENIED;
            }
            InWriteTransaction(store, [&](std::vector<Change>& changes) {
                std::int64_t id = base.keyId;
                KeyRow parent;
                if (!store.LoadKey(id, parent)) Fail(ERROR_KEY_DELETED);
                for (size_t i = 0; i < names.size(); ++i) {
                    std::int64_t next = store.FindChild(id, names[i]);
                    if (next != 0) {
                        id = next;
                        if (!store.LoadKey(id, parent)) Fail(ERROR_KEY_DELETED);
                        continue;
                    }
                    bool last = i + 1 == names.size();
                    if (last && parent.isVolatile && !wantVolatile) {
                        Fail(ERROR_CHILD_MUST_BE_VOLATILE);
                    }
                    // Levels made on the way are lasting keys unless they
                    // lie beneath a volatile one.
                    bool makeVolatile = last ? wantVolatile : parent.isVolatile;
                    std::vector<BYTE> security = netid::posix::DefaultKeySecurity(&parent.security);
                    if (last && requested != nullptr) {
                        // The caller's owner and group where it names them,
                        // and its access list.
                        netid::posix::MergeSecurity(security, OWNER_SECURITY_INFORMATION,
                                                    requested);
                        netid::posix::MergeSecurity(security, GROUP_SECURITY_INFORMATION,
                                                    requested);
                        LONG merged = netid::posix::MergeSecurity(
                            security, DACL_SECURITY_INFORMATION, requested);
                        if (merged != ERROR_SUCCESS) Fail(merged);
                    }
                    std::uint64_t now = netid::posix::NowAsFileTime();
                    next = store.CreateChild(id, names[i], last ? keyClass : std::string(),
                                             makeVolatile, security, now);
                    store.Touch(id);
                    changes.push_back({id, REG_NOTIFY_CHANGE_NAME});
                    id = next;
                    if (!store.LoadKey(id, parent)) Fail(ERROR_KEY_DELETED);
                }
                existing = id;
            });
            disposition = REG_CREATED_NEW_KEY;
        }
        if ((access & kWriteRights) != 0 && store.ReadOnly()) {
            return ERROR_ACCESS_DENIED;
        }
        *phkResult = reinterpret_cast<HKEY>(store.NewHandle(existing, access));
        if (lpdwDisposition != nullptr) {
            *lpdwDisposition = disposition;
        }
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    if (IsPredefined(hKey)) {
        return ERROR_SUCCESS;
    }
    if (hKey == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    Store& store = netid::posix::TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    return store.CloseHandleValue(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                             LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                             LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                             LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime)
{
    if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    auto put = [](LPDWORD out, DWORD value) {
        if (out != nullptr) *out = value;
    };
    if (IsPerformanceData(hKey)) {
        if (lpClass != nullptr && *lpcchClass > 0) *lpClass = '\0';
        put(lpcchClass, 0);
        put(lpcSubKeys, 0);
        put(lpcbMaxSubKeyLen, 0);
        put(lpcbMaxClassLen, 0);
        put(lpcValues, 0);
        put(lpcbMaxValueNameLen, 0);
        put(lpcbMaxValueLen, 0);
        put(lpcbSecurityDescriptor, 0);
        CopyFileTime(0, lpftLastWriteTime);
        return ERROR_SUCCESS;
    }
    return Guarded([&](Store& store, Lock&) -> LONG {
        Handle handle = store.Require(hKey, KEY_QUERY_VALUE);
        KeyRow row;
        if (!store.LoadKey(handle.keyId, row)) return ERROR_KEY_DELETED;
        Statement keys = store.Prepare(
            "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0),"
            " coalesce(max(length(CAST(class AS BLOB))), 0) FROM keys WHERE parent = ?1");
        keys.Bind(1, row.id);
        keys.Step();
        Statement vals = store.Prepare(
            "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0),"
            " coalesce(max(length(data)), 0) FROM vals WHERE key = ?1");
        vals.Bind(1, row.id);
        vals.Step();
        LONG status = ERROR_SUCCESS;
        if (lpcchClass != nullptr) {
            if (lpClass != nullptr) {
                if (!CopyName(row.keyClass, lpClass, *lpcchClass)) {
                    status = ERROR_MORE_DATA;
                }
            }
            *lpcchClass = static_cast<DWORD>(row.keyClass.size());
        }
        put(lpcSubKeys, static_cast<DWORD>(keys.Int(0)));
        put(lpcbMaxSubKeyLen, static_cast<DWORD>(keys.Int(1)));
        put(lpcbMaxClassLen, static_cast<DWORD>(keys.Int(2)));
        put(lpcValues, static_cast<DWORD>(vals.Int(0)));
        put(lpcbMaxValueNameLen, static_cast<DWORD>(vals.Int(1)));
        put(lpcbMaxValueLen, static_cast<DWORD>(vals.Int(2)));
        put(lpcbSecurityDescriptor, static_cast<DWORD>(row.security.size()));
        CopyFileTime(row.lastWrite, lpftLastWriteTime);
        return status;
    });
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData)
{
    (void)Reserved;
    if (lpData == nullptr && cbData != 0) {
        return ERROR_NOACCESS;
    }
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_ACCESS_DENIED;
    }
    std::string name = ValueName(lpValueName);
    if (name.size() > kMaxValueNameLength) {
        return ERROR_INVALID_PARAMETER;
    }
    return Guarded([&](Store& store, Lock&) -> LONG {
        Handle handle = store.Require(hKey, KEY_SET_VALUE);
        InWriteTransaction(store, [&](std::vector<Change>& changes) {
            if (!store.KeyExists(handle.keyId)) Fail(ERROR_KEY_DELETED);
            // An existing value keeps its place in the order and its name.
            Statement update = store.Prepare(
                "UPDATE vals SET type = ?3, data = ?4 WHERE key = ?1 AND uname = ?2");
            update.Bind(1, handle.keyId).Bind(2, Upper(name)).Bind(3, dwType);
            update.BindBlob(4, lpData, cbData).Run();
            Statement changed = store.Prepare("SELECT changes()");
            changed.Step();
            if (changed.Int(0) == 0) {
                store.Prepare("INSERT INTO vals(key, name, uname, type, data) "
                              "VALUES (?1, ?2, ?3, ?4, ?5)")
                    .Bind(1, handle.keyId)
                    .Bind(2, name)
                    .Bind(3, Upper(name))
                    .Bind(4, dwType)
                    .BindBlob(5, lpData, cbData)
                    .Run();
            }
            store.Touch(handle.keyId);
            changes.push_back({handle.keyId, REG_NOTIFY_CHANGE_LAST_SET});
        });
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::string name = ValueName(lpValueName);
    return Guarded([&](Store& store, Lock&) -> LONG {
        Handle handle = store.Require(hKey, KEY_QUERY_VALUE);
        Statement stmt = store.Prepare("SELECT type, data FROM vals WHERE key = ?1 AND uname = ?2");
        stmt.Bind(1, handle.keyId).Bind(2, Upper(name));
        if (!stmt.Step()) {
            return ERROR_FILE_NOT_FOUND;
        }
        auto type = static_cast<DWORD>(stmt.Int(0));
        std::vector<BYTE> data = stmt.Blob(1);
        if (lpType != nullptr) *lpType = type;
        if (lpcbData == nullptr) {
            return ERROR_SUCCESS;
        }
        auto size = static_cast<DWORD>(data.size());
        if (lpData == nullptr) {
            *lpcbData = size;
            return ERROR_SUCCESS;
        }
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size != 0) std::memcpy(lpData, data.data(), size);
        *lpcbData = size;
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_ACCESS_DENIED;
    }
    std::string name = ValueName(lpValueName);
    return Guarded([&](Store& store, Lock&) -> LONG {
        Handle handle = store.Require(hKey, KEY_SET_VALUE);
        LONG status = ERROR_SUCCESS;
        InWriteTransaction(store, [&](std::vector<Change>& changes) {
            if (!store.KeyExists(handle.keyId)) Fail(ERROR_KEY_DELETED);
            store.Prepare("DELETE FROM vals WHERE key = ?1 AND uname = ?2")
                .Bind(1, handle.keyId)
                .Bind(2, Upper(name))
                .Run();
            Statement changed = store.Prepare("SELECT changes()");
            changed.Step();
            if (changed.Int(0) == 0) {
                status = ERROR_FILE_NOT_FOUND;
                return;
            }
            store.Touch(handle.keyId);
            changes.push_back({handle.keyId, REG_NOTIFY_CHANGE_LAST_SET});
        });
        return status;
    });
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    if (lpSubKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_ACCESS_DENIED;
    }
    std::vector<std::string> names;
    LONG split = SplitPath(lpSubKey, names);
    if (split != ERROR_SUCCESS) {
        return split;
    }
    return Guarded([&](Store& store, Lock&) -> LONG {
        Handle base = store.Resolve(hKey);
        // The key is opened for DELETE, which the store grants wherever it
        // may be written.
        std::int64_t id = Walk(store, base.keyId, names);
        if (id == 0) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (store.ReadOnly()) {
            return ERROR_ACCESS_DENIED;
        }
        LONG status = ERROR_SUCCESS;
        InWriteTransaction(store, [&](std::vector<Change>& changes) {
            KeyRow row;
            if (!store.LoadKey(id, row)) Fail(ERROR_FILE_NOT_FOUND);  // gone meanwhile
            Statement children = store.Prepare("SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
            bool hasChildren = children.Bind(1, id).Step();
            if (row.parent == 0 || hasChildren) {
                // Hive roots are never deleted, nor a key with sub-keys.
                status = ERROR_ACCESS_DENIED;
                return;
            }
            store.DeleteSubtree(id, changes);
            store.Touch(row.parent);
            changes.push_back({row.parent, REG_NOTIFY_CHANGE_NAME});
        });
        return status;
    });
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime)
{
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
        (lpClass != nullptr && lpcchClass == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_NO_MORE_ITEMS;
    }
    return Guarded([&](Store& store, Lock&) -> LONG {
        Handle handle = store.Require(hKey, KEY_ENUMERATE_SUB_KEYS);
        SubKeyEntry entry;
        if (dwIndex == 0) {
            // The first is cheap to find, and deleting loops ask only for it.
            Statement stmt = store.Prepare(
                "SELECT name, class, last_write FROM keys WHERE parent = ?1 "
                "ORDER BY uname LIMIT 1");
            if (!stmt.Bind(1, handle.keyId).Step()) {
                return ERROR_NO_MORE_ITEMS;
            }
            entry = SubKeyEntry{stmt.Text(0), stmt.Text(1), static_cast<std::uint64_t>(stmt.Int(2))};
        } else {
            EnumCache& cache = store.CacheOf(hKey);
            Generation now = store.CurrentGeneration();
            if (cache.keyId != handle.keyId || !(cache.keysSeen == now)) {
                cache.keyId = handle.keyId;
                cache.values.clear();
                cache.valuesSeen = Generation{};
                cache.keys.clear();
                Statement stmt = store.Prepare(
                    "SELECT name, class, last_write FROM keys WHERE parent = ?1 ORDER BY uname");
                stmt.Bind(1, handle.keyId);
                while (stmt.Step()) {
                    cache.keys.push_back(SubKeyEntry{stmt.Text(0), stmt.Text(1),
                                                     static_cast<std::uint64_t>(stmt.Int(2))});
                }
                cache.keysSeen = now;
            }
            if (dwIndex >= cache.keys.size()) {
                return ERROR_NO_MORE_ITEMS;
            }
            entry = cache.keys[dwIndex];
        }
        if (!CopyName(entry.name, lpName, *lpcchName)) {
            return ERROR_MORE_DATA;
        }
        if (lpClass != nullptr) {
            if (!CopyName(entry.keyClass, lpClass, *lpcchClass)) {
                *lpcchClass = static_cast<DWORD>(entry.keyClass.size());
                return ERROR_MORE_DATA;
            }
        }
        *lpcchName = static_cast<DWORD>(entry.name.size());
        if (lpcchClass != nullptr) *lpcchClass = static_cast<DWORD>(entry.keyClass.size());
        CopyFileTime(entry.lastWrite, lpftLastWriteTime);
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName)
{
    DWORD size = cchName;
    return RegEnumKeyExA(hKey, dwIndex, lpName, &size, nullptr, nullptr, nullptr, nullptr);
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_NO_MORE_ITEMS;
    }
    return Guarded([&](Store& store, Lock&) -> LONG {
        Handle handle = store.Require(hKey, KEY_QUERY_VALUE);
        EnumCache& cache = store.CacheOf(hKey);
        Generation now = store.CurrentGeneration();
        if (cache.keyId != handle.keyId || !(cache.valuesSeen == now)) {
            cache.keyId = handle.keyId;
            cache.keys.clear();
            cache.keysSeen = Generation{};
            cache.values.clear();
            Statement stmt =
                store.Prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id");
            stmt.Bind(1, handle.keyId);
            while (stmt.Step()) {
                cache.values.push_back(
                    ValueEntry{stmt.Text(0), static_cast<DWORD>(stmt.Int(1)), stmt.Blob(2)});
            }
            cache.valuesSeen = now;
        }
        if (dwIndex >= cache.values.size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        const std::string& name = cache.values[dwIndex].name;
        DWORD type = cache.values[dwIndex].type;
        const std::vector<BYTE>& data = cache.values[dwIndex].data;
        if (!CopyName(name, lpValueName, *lpcchValueName)) {
            return ERROR_MORE_DATA;
        }
        *lpcchValueName = static_cast<DWORD>(name.size());
        if (lpType != nullptr) *lpType = type;
        if (lpcbData == nullptr) {
            return ERROR_SUCCESS;
        }
        auto size = static_cast<DWORD>(data.size());
        if (lpData != nullptr) {
            if (*lpcbData < size) {
                *lpcbData = size;
                return ERROR_MORE_DATA;
            }
            if (size != 0) std::memcpy(lpData, data.data(), size);
        }
        *lpcbData = size;
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegFlushKey(HKEY hKey)
{
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_SUCCESS;
    }
    return Guarded([&](Store& store, Lock&) -> LONG {
        store.Resolve(hKey);
        if (store.ReadOnly()) {
            return ERROR_SUCCESS;  // nothing of ours is waiting to be written
        }
        // A commit with full synchronisation makes the whole log durable,
        // and with it every change committed before it.
        {
            Statement stmt = store.Prepare("PRAGMA synchronous=FULL");
            stmt.Run();
        }
        try {
            InWriteTransaction(store, [&](std::vector<Change>&) {
                store.Prepare("INSERT OR REPLACE INTO meta(name, value) VALUES ('flushed', ?1)")
                    .Bind(1, std::to_string(netid::posix::NowAsFileTime()))
                    .Run();
            });
        } catch (...) {
            store.Prepare("PRAGMA synchronous=NORMAL").Run();
            throw;
        }
        store.Prepare("PRAGMA synchronous=NORMAL").Run();
        // The log file's own directory entry, too.
        netid::posix::SyncDirectory(store.Directory());
        // Move the log into the database while we are at it; readers may
        // hold it back, which loses nothing.
        {
            Statement stmt = store.Prepare("PRAGMA wal_checkpoint(PASSIVE)");
            stmt.Run();
        }
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor,
                              LPDWORD lpcbSecurityDescriptor)
{
    if (lpcbSecurityDescriptor == nullptr) {
        return ERROR_NOACCESS;
    }
    if (IsDynData(hKey) || IsPerformanceData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    return Guarded([&](Store& store, Lock&) -> LONG {
        DWORD needed = 0;
        if (SecurityInformation & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                   DACL_SECURITY_INFORMATION)) {
            needed |= READ_CONTROL;
        }
        if (SecurityInformation & SACL_SECURITY_INFORMATION) {
            needed |= ACCESS_SYSTEM_SECURITY;
        }
        Handle handle = store.Require(hKey, needed);
        KeyRow row;
        if (!store.LoadKey(handle.keyId, row)) return ERROR_KEY_DELETED;
        return netid::posix::ExtractSecurity(row.security, SecurityInformation,
                                             pSecurityDescriptor, lpcbSecurityDescriptor);
    });
}

LONG WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor)
{
    if (pSecurityDescriptor == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (IsDynData(hKey) || IsPerformanceData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (netid::posix::ValidateSecurityDescriptor(pSecurityDescriptor, 0) != ERROR_SUCCESS) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    return Guarded([&](Store& store, Lock&) -> LONG {
        DWORD needed = 0;
        if (SecurityInformation & OWNER_SECURITY_INFORMATION) needed |= WRITE_OWNER;
        if (SecurityInformation & GROUP_SECURITY_INFORMATION) needed |= WRITE_OWNER;
        if (SecurityInformation & DACL_SECURITY_INFORMATION) needed |= WRITE_DAC;
        if (SecurityInformation & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
        Handle handle = store.Require(hKey, needed);
        if (store.ReadOnly()) {
            return ERROR_ACCESS_DENIED;
        }
        LONG status = ERROR_SUCCESS;
        InWriteTransaction(store, [&](std::vector<Change>& changes) {
            KeyRow row;
            if (!store.LoadKey(handle.keyId, row)) Fail(ERROR_KEY_DELETED);
            std::vector<BYTE> security = row.security;
            status = netid::posix::MergeSecurity(security, SecurityInformation,
                                                 pSecurityDescriptor);
            if (status != ERROR_SUCCESS) {
                return;  // nothing written: the stored descriptor stays
            }
            store.Prepare("UPDATE keys SET security = ?2 WHERE id = ?1")
                .Bind(1, row.id)
                .BindBlob(2, security.data(), security.size())
                .Run();
            changes.push_back(
                {row.id, REG_NOTIFY_CHANGE_SECURITY | REG_NOTIFY_CHANGE_ATTRIBUTES});
        });
        return status;
    });
}

LONG WINAPI RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter,
                                    HANDLE hEvent, BOOL fAsynchronous)
{
    if ((dwNotifyFilter & ~static_cast<DWORD>(REG_LEGAL_CHANGE_FILTER)) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (IsDynData(hKey) || IsPerformanceData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (fAsynchronous && !netid::posix::IsEventObject(hEvent)) {
        return ERROR_INVALID_PARAMETER;
    }
    return Guarded([&](Store& store, Lock& lock) -> LONG {
        Handle handle = store.Require(hKey, KEY_NOTIFY);
        store.StartWatcher();
        Watch watch;
        watch.handle = reinterpret_cast<std::uintptr_t>(hKey);
        watch.keyId = handle.keyId;
        watch.subtree = bWatchSubtree != FALSE;
        watch.filter = dwNotifyFilter & 0x0Fu;
        watch.event = fAsynchronous ? hEvent : nullptr;
        watch.seen = store.MaxChangeSeq();
        store.watches.push_back(watch);
        if (fAsynchronous) {
            return ERROR_SUCCESS;
        }
        auto mine = std::prev(store.watches.end());
        store.fired.wait(lock, [&] { return mine->fired; });
        store.watches.erase(mine);
        return ERROR_SUCCESS;
    });
}
