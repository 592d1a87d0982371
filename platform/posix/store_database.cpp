// The storage engine's database: the schema, creating and opening the store,
// the boot the volatile keys belong to, prepared statements, transactions,
// the change log (append, prune, read) and flushing. The key and value
// primitives are in store_engine.cpp.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/files.h"
#include "platform/posix/process.h"
#include "platform/posix/reg_limits.h"
#include "platform/posix/security.h"
#include "platform/posix/store_engine.h"
#include "platform/posix/store_statement.h"
#include "platform/posix/text.h"

namespace netid::posix {
namespace {

constexpr const char* kDatabaseFile = "registry.db";
constexpr const char* kFormat = "netid-registry 1";

// Change log entries older than this are dropped (100 ns units: ten minutes).
constexpr std::int64_t kChangeLogAge = 10LL * 60 * 10000000;

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

}  // namespace

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

// ------------------------------------------------------------ creating and opening
LONG StoreEngine::CreateStore(const std::string& path)
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
        std::string upper = FoldCase(key.name);
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

LONG StoreEngine::Open(const std::string& directory)
{
    m_directory = directory;
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
    // on a crash; Flush forces everything so far onto the disk.
    Exec(m_db, "PRAGMA synchronous=NORMAL");
    try {
        Statement roots = Prepare("SELECT id, uname FROM keys WHERE parent = 0");
        while (roots.Step()) {
            std::string name = roots.Text(1);
            if (name == "MACHINE") m_machine = roots.Int(0);
            if (name == "USER") m_users = roots.Int(0);
        }
    } catch (const StatusError& e) {
        return e.code;
    }
    if (m_machine == 0 || m_users == 0) {
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

bool StoreEngine::DropVolatileKeysOfOldBoot()
{
    std::string boot = CurrentBootId();
    {
        Statement read = Prepare("SELECT value FROM meta WHERE name = 'boot_id'");
        if (read.Step() && read.Text(0) == boot) {
            return false;
        }
    }
    return Transact([&] {
        {
            // Another process may have been first.
            Statement again = Prepare("SELECT value FROM meta WHERE name = 'boot_id'");
            if (again.Step() && again.Text(0) == boot) {
                return false;
            }
        }
        // Every key beneath a volatile key is volatile, so dropping them all
        // leaves no orphans among the keys; their values go with them.
        Prepare("DELETE FROM keys WHERE volatile <> 0").Run();
        Prepare("DELETE FROM vals WHERE key NOT IN (SELECT id FROM keys)").Run();
        Prepare("INSERT OR REPLACE INTO meta(name, value) VALUES ('boot_id', ?1)")
            .Bind(1, boot)
            .Run();
        return true;
    });
}

Statement StoreEngine::Prepare(const char* sql)
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

Generation StoreEngine::CurrentGeneration()
{
    Statement stmt = Prepare("PRAGMA data_version");
    Generation generation;
    generation.dataVersion = stmt.Step() ? stmt.Int(0) : -1;
    generation.localCommits = m_localCommits;
    return generation;
}

// ------------------------------------------------------------ transactions
void StoreEngine::Begin()
{
    if (m_readOnly) {
        Fail(ERROR_ACCESS_DENIED);
    }
    int rc = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        Fail(StatusOfSqlite(rc));
    }
    m_inTransaction = true;
    m_pending.clear();
}

void StoreEngine::Rollback()
{
    if (m_inTransaction) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        m_inTransaction = false;
    }
    m_pending.clear();
}

void StoreEngine::Commit()
{
    std::vector<Change> changes;
    changes.swap(m_pending);
    std::int64_t now = static_cast<std::int64_t>(NowAsFileTime());
    for (const Change& change : changes) {
        AppendChange(change.key, change.filter, now);
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
    if (!changes.empty() && m_commitHook) {
        m_commitHook();
    }
}

void StoreEngine::Flush()
{
    // A commit with full synchronisation makes the whole log durable, and
    // with it every change committed before it.
    {
        Statement stmt = Prepare("PRAGMA synchronous=FULL");
        stmt.Run();
    }
    try {
        Transact([&] {
            Prepare("INSERT OR REPLACE INTO meta(name, value) VALUES ('flushed', ?1)")
                .Bind(1, std::to_string(NowAsFileTime()))
                .Run();
        });
    } catch (...) {
        Prepare("PRAGMA synchronous=NORMAL").Run();
        throw;
    }
    Prepare("PRAGMA synchronous=NORMAL").Run();
    // The log file's own directory entry, too.
    SyncDirectory(m_directory);
    // Move the log into the database while we are at it; readers may hold it
    // back, which loses nothing.
    {
        Statement stmt = Prepare("PRAGMA wal_checkpoint(PASSIVE)");
        stmt.Run();
    }
}

// ------------------------------------------------------------ the change log
void StoreEngine::TouchAndReport(std::int64_t id, DWORD filter)
{
    Prepare("UPDATE keys SET last_write = ?2 WHERE id = ?1")
        .Bind(1, id)
        .Bind(2, static_cast<std::int64_t>(NowAsFileTime()))
        .Run();
    Report(id, filter);
}

void StoreEngine::Report(std::int64_t id, DWORD filter) { m_pending.push_back({id, filter}); }

void StoreEngine::AppendChange(std::int64_t id, DWORD filter, std::int64_t time)
{
    Prepare("INSERT INTO changes(key, filter, chain, time) VALUES (?1, ?2, ?3, ?4)")
        .Bind(1, id)
        .Bind(2, filter)
        .Bind(3, AncestorChain(id))
        .Bind(4, time)
        .Run();
}

// The key and its ancestors as " id parent ... root ".
std::string StoreEngine::AncestorChain(std::int64_t id)
{
    Statement stmt = Prepare(
        "WITH RECURSIVE chain(id, parent, depth) AS ("
        " SELECT id, parent, 0 FROM keys WHERE id = ?1"
        " UNION ALL SELECT k.id, k.parent, c.depth + 1 FROM keys k JOIN chain c ON k.id = c.parent"
        " WHERE c.depth < ?2)"
        " SELECT id FROM chain");
    stmt.Bind(1, id).Bind(2, static_cast<std::int64_t>(kMaxDepth));
    std::string chain = " ";
    while (stmt.Step()) {
        chain += std::to_string(stmt.Int(0)) + " ";
    }
    return chain;
}

bool ChangeRecord::InChain(std::int64_t id) const
{
    return chain.find(" " + std::to_string(id) + " ") != std::string::npos;
}

std::int64_t StoreEngine::LastChangeSeq()
{
    Statement stmt = Prepare("SELECT coalesce(max(seq), 0) FROM changes");
    return stmt.Step() ? stmt.Int(0) : 0;
}

std::vector<ChangeRecord> StoreEngine::ChangesSince(std::int64_t seq)
{
    std::vector<ChangeRecord> out;
    Statement stmt =
        Prepare("SELECT seq, key, filter, chain FROM changes WHERE seq > ?1 ORDER BY seq");
    stmt.Bind(1, seq);
    while (stmt.Step()) {
        out.push_back(ChangeRecord{stmt.Int(0), stmt.Int(1), static_cast<DWORD>(stmt.Int(2)),
                                   stmt.Text(3)});
    }
    return out;
}

}  // namespace netid::posix
