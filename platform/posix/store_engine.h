// The storage engine: keys, values and the change log in one SQLite database
// in write-ahead-log mode. It knows key ids, names, rows and SQL; it knows
// nothing of HKEYs, handles, access rights or waiters, and it never calls the
// registry calls. Its users serialise their use of it (the call layer holds
// one lock around each call).
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
// Every primitive that writes is one transaction: it takes the write lock at
// its start (BEGIN IMMEDIATE), and a failure anywhere in it rolls all of it
// back. A write that changes a key stamps the key's last write time and
// records the change in the log in the same transaction; after a commit that
// recorded changes the commit hook runs (the call layer signals other
// processes and wakes its own waiters there).
//
// Implemented in store_database.cpp (schema, creating and opening the store,
// the boot, transactions, the change log, flushing) and store_engine.cpp
// (the key and value primitives).
#ifndef NETID_PLATFORM_POSIX_STORE_ENGINE_H
#define NETID_PLATFORM_POSIX_STORE_ENGINE_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/posix/reg_tree.h"
#include "platform/posix/windows.h"

struct sqlite3;
struct sqlite3_stmt;

namespace netid::posix {

class Statement;

struct KeyRow {
    std::int64_t id = 0;
    std::int64_t parent = 0;
    std::string name;
    std::string keyClass;
    bool isVolatile = false;
    std::uint64_t lastWrite = 0;
    std::vector<BYTE> security;
};

// A sub-key as enumeration shows it.
struct SubKeyEntry {
    std::string name;
    std::string keyClass;
    std::uint64_t lastWrite;
};

// A key with the counts and longest lengths (in bytes) of what lies in it.
struct KeyFacts {
    KeyRow row;
    DWORD subKeys = 0;
    DWORD maxSubKeyName = 0;
    DWORD maxClass = 0;
    DWORD values = 0;
    DWORD maxValueName = 0;
    DWORD maxValueData = 0;
};

// What CreatePath makes a missing key with.
struct NewKey {
    std::string keyClass;
    bool isVolatile = false;
    std::vector<BYTE> security;
};

// Where the store stands: moves with every commit, of this process or of
// another one.
struct Generation {
    std::int64_t dataVersion = -1;  // moves with the commits of other connections
    std::uint64_t localCommits = 0;
    bool operator==(const Generation& o) const
    {
        return dataVersion == o.dataVersion && localCommits == o.localCommits;
    }
};

// The filter of a change whose key was deleted: wakes every waiter on
// exactly that key.
constexpr DWORD kChangeKeyDeleted = 0x80000000u;

// One entry of the change log.
struct ChangeRecord {
    std::int64_t seq = 0;
    std::int64_t key = 0;
    DWORD filter = 0;  // REG_NOTIFY_CHANGE_* bits, or kChangeKeyDeleted
    std::string chain;  // the key and its ancestors when it changed
    // True when `id` is the changed key or was one of its ancestors.
    bool InChain(std::int64_t id) const;
};

class StoreEngine {
public:
    StoreEngine() = default;
    StoreEngine(const StoreEngine&) = delete;
    StoreEngine& operator=(const StoreEngine&) = delete;

    // ------------------------------------------------ the store (store_database.cpp)
    // Opens the store in `directory`, creating it (and the directory) when
    // there is none yet. A file that is not one of our stores is reported
    // (ERROR_BADDB) and left alone. Read-only when the caller may not write.
    LONG Open(const std::string& directory);
    // On a store open for writing: when the store was last used in an
    // earlier run of the machine, drops the volatile keys of that run,
    // records the running one and answers true (once: the boot work of the
    // hives is due then). Fails with StatusError.
    bool DropVolatileKeysOfOldBoot();
    // Runs after each commit that recorded changes, with the caller's lock
    // still held. It may read the change log.
    void SetCommitHook(std::function<void()> hook) { m_commitHook = std::move(hook); }

    bool ReadOnly() const { return m_readOnly; }
    const std::string& Directory() const { return m_directory; }
    std::int64_t MachineRoot() const { return m_machine; }
    std::int64_t UsersRoot() const { return m_users; }
    Generation CurrentGeneration();

    // The change log: the newest sequence number, and the entries after `seq`
    // in order.
    std::int64_t LastChangeSeq();
    std::vector<ChangeRecord> ChangesSince(std::int64_t seq);

    // Makes every change committed so far durable.
    void Flush();

    // ------------------------------------------------ reading (store_engine.cpp)
    bool LoadKey(std::int64_t id, KeyRow& row);
    bool KeyExists(std::int64_t id);
    // The sub-key of `parent` with that name (case ignored); 0 when none.
    std::int64_t FindChild(std::int64_t parent, const std::string& name);
    // Follows `names` from `start`; 0 when some name is missing or longer
    // than a key name can be.
    std::int64_t FindPath(std::int64_t start, const std::vector<std::string>& names);
    // The names from a hive root down to key `id`, and which root that is.
    std::vector<std::string> NamesFromRoot(std::int64_t id, std::int64_t& root);
    // True when key `id` is `top` or lies beneath it.
    bool IsWithin(std::int64_t id, std::int64_t top);
    // The sub-keys of `parent` in name order; the first alone is cheaper.
    bool FirstChild(std::int64_t parent, SubKeyEntry& out);
    std::vector<SubKeyEntry> Children(std::int64_t parent);
    // False when the key is gone.
    bool LoadKeyFacts(std::int64_t id, KeyFacts& facts);
    // Key `id` with everything beneath it.
    void ExportTree(std::int64_t id, RegTree& out);

    bool QueryValue(std::int64_t key, const std::string& name, DWORD& type,
                    std::vector<BYTE>& data);
    // The values of `key` in creation order.
    std::vector<RegValue> Values(std::int64_t key);

    // ------------------------------------------------ writing, one transaction each
    // Follows `names` from `start` and makes the keys that are missing;
    // `shape(parent, last)` says what each is made with (and may Fail to
    // refuse it). Returns the last key's id.
    using KeyShaper = std::function<NewKey(const KeyRow& parent, bool last)>;
    std::int64_t CreatePath(std::int64_t start, const std::vector<std::string>& names,
                            const KeyShaper& shape);
    // Deletes key `id` with its values: ERROR_ACCESS_DENIED (nothing done)
    // for a hive root or a key with sub-keys.
    LONG DeleteKey(std::int64_t id);
    // Changes key `id`'s descriptor through `merge`; a status other than
    // ERROR_SUCCESS from it leaves the stored descriptor as it was.
    LONG SetSecurity(std::int64_t id, const std::function<LONG(std::vector<BYTE>&)>& merge);
    // Replaces the values and sub-keys of key `id` with those of `tree` (the
    // key's own name is kept); `volatileKeys` makes every new sub-key
    // volatile. Sub-keys of a volatile key are volatile anyway.
    void ReplaceContents(std::int64_t id, const RegTree& tree, bool volatileKeys);
    // Sets a value: an existing one keeps its place in the order and its name.
    void SetValue(std::int64_t key, const std::string& name, DWORD type, const BYTE* data,
                  DWORD size);
    // False when there is no such value.
    bool DeleteValue(std::int64_t key, const std::string& name);

private:
    struct Change {
        std::int64_t key;
        DWORD filter;
    };

    // Runs `body` as one write transaction: commits what it wrote with the
    // changes it reported, or rolls all of it back when it throws.
    template <typename Body>
    auto Transact(Body body)
    {
        Begin();
        try {
            if constexpr (std::is_void_v<decltype(body())>) {
                body();
                Commit();
            } else {
                auto result = body();
                Commit();
                return result;
            }
        } catch (...) {
            Rollback();
            throw;
        }
    }
    void Begin();
    void Commit();
    void Rollback();
    // Stamps key `id` with the time now and records `filter` on it, both in
    // the running transaction.
    void TouchAndReport(std::int64_t id, DWORD filter);
    // Records `filter` on key `id` without stamping it.
    void Report(std::int64_t id, DWORD filter);
    void AppendChange(std::int64_t id, DWORD filter, std::int64_t time);
    std::string AncestorChain(std::int64_t id);

    Statement Prepare(const char* sql);
    LONG CreateStore(const std::string& path);
    std::int64_t CreateChild(std::int64_t parent, const std::string& name,
                             const std::string& keyClass, bool isVolatile,
                             const std::vector<BYTE>& security, std::uint64_t lastWrite);
    std::vector<std::int64_t> ChildIds(std::int64_t id);
    void WriteSecurity(std::int64_t id, const std::vector<BYTE>& security);
    void DeleteSubtree(std::int64_t id);
    void InsertValues(std::int64_t key, const std::vector<RegValue>& values);
    void ImportChildren(std::int64_t key, const std::vector<BYTE>& parentSecurity,
                        const std::vector<RegTree>& children, bool isVolatile);

    bool m_readOnly = false;
    std::string m_directory;
    sqlite3* m_db = nullptr;
    std::map<const char*, sqlite3_stmt*> m_statements;
    std::uint64_t m_localCommits = 0;
    std::int64_t m_machine = 0;
    std::int64_t m_users = 0;
    unsigned m_commits = 0;
    bool m_inTransaction = false;
    std::vector<Change> m_pending;  // reported in the running transaction
    std::function<void()> m_commitHook;
};

}  // namespace netid::posix

#endif
