// SPDX-License-Identifier: LGPL-2.1-or-later
// The store: the hives of one store directory and where each is mounted.
//
// Layout of the directory (the machine's is /var/lib/netid/registry):
//   machine.*        HKEY_LOCAL_MACHINE: root's alone
//   machine-public.* its public view (store_view.h): readable by all
//   sam.*, security.*  HKLM\SAM and HKLM\SECURITY: root's alone
//   hku.*            HKEY_USERS itself: where .DEFAULT and loaded hives hang
//   default.*, default-public.*  HKEY_USERS\.DEFAULT and its public view
//   loaded-<id>.*    hives loaded from files, while they are loaded
//   users/           sticky, writable by all: one directory per user,
//     S-1-22-1-<uid>/user.*   that user's hive, HKEY_CURRENT_USER: theirs alone
//   root/user.*      root's own hive (HKEY_USERS\S-1-22-1-0), where no user
//                    can make its directory first
// Each hive is a file of its own with a shared page and a lock beside it
// (store_hive.h). A hive mounted below another hangs at a key of that hive
// which names it; user hives hang below HKEY_USERS by their names.
//
// The store answers in keys of hives (KeyRef); it knows nothing of handles,
// access rights, the A calls' text or waiters.
#ifndef NETID_PLATFORM_POSIX_STORE_ENGINE_H
#define NETID_PLATFORM_POSIX_STORE_ENGINE_H

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/store/store_hive.h"

namespace netid::posix::store {

// A hive the store has opened.
struct Slot {
    std::string name;          // its files' name, relative to the store directory
    std::unique_ptr<Hive> hive;
    std::shared_ptr<Slot> parent;  // the hive it is mounted in (null: a top hive)
    KeyId mountKey = 0;            // the key there that names it
    int dir = -1;                  // the directory that holds its files
    OwnedFd ownDir;                // that directory, where it is not the store's own
    bool gone = false;             // unloaded: keys in it answer as deleted
    // A hive kept with a public view (store_view.h): `hive` is the view
    // itself where this process may not read the hive (`isView`); a writer
    // keeps the view in `view`, opened at its first commit.
    bool isView = false;
    std::unique_ptr<Hive> view;
};

// A key: the hive it is in and its id there.
struct KeyRef {
    std::shared_ptr<Slot> slot;
    KeyId id = 0;
    bool operator==(const KeyRef& o) const { return slot == o.slot && id == o.id; }
};

// A sub-key as enumeration shows it.
struct SubKeyInfo {
    std::u16string name;
    std::u16string keyClass;
    std::uint64_t lastWrite = 0;
};

class StoreEngine {
public:
    StoreEngine() = default;
    ~StoreEngine();
    StoreEngine(const StoreEngine&) = delete;
    StoreEngine& operator=(const StoreEngine&) = delete;

    // Opens the store in `directory`, making it (with the skeleton of a
    // fresh machine) or converting a store of the earlier format when it is
    // the caller's to write. ERROR_ACCESS_DENIED, with Problem() saying why,
    // for a directory that is not safe to use.
    LONG Open(const std::string& directory);
    // Closes every hive and the directory: the store as before Open.
    void Close();
    const std::string& Directory() const { return m_directory; }
    // Why the last Open failed, in a sentence; empty when it did not.
    const std::string& Problem() const { return m_problem; }
    // True once, when this process brought the machine's hive into the
    // machine's current start: the hives' boot work is due.
    bool TakeNewBoot();

    // ------------------------------------------------ roots
    KeyRef Machine() const { return {m_machine, kRootKey}; }
    LONG Users(KeyRef& out);
    // The caller's own hive, made on first use.
    LONG CurrentUser(KeyRef& out);

    // ------------------------------------------------ reading
    // Brings the key's hive up to date: ERROR_KEY_DELETED when the key, or
    // the hive it is in, is gone. `key` then points into the hive's model,
    // valid until the next call of the store.
    LONG Refresh(const KeyRef& ref, const Key*& key);
    // The sub-key `name` of `parent`, crossing into a hive mounted there.
    LONG Child(const KeyRef& parent, std::u16string_view name, KeyRef& out);
    // The number of sub-keys and the one at `index` in enumeration order.
    LONG SubKeyCount(const KeyRef& parent, DWORD& count);
    LONG SubKeyAt(const KeyRef& parent, DWORD index, SubKeyInfo& out);
    // The key's descriptor (empty when it has none).
    const Bytes& SecurityOf(const KeyRef& ref, const Key& key) const;
    // True when `ref` is the top key of a hive (which cannot be deleted).
    bool IsHiveRoot(const KeyRef& ref) const;
    // True for HKEY_USERS itself, which holds hives and no keys of its own.
    bool IsUsersRoot(const KeyRef& ref) const { return ref.slot == m_users && ref.id == kRootKey; }
    // The hive mounted at the sub-key `name` of `parent`, or null.
    std::shared_ptr<Slot> MountedAt(const KeyRef& parent, std::u16string_view name);
    // The key `ref` as the key of its parent hive that a mounted hive hangs
    // at; `ref` itself otherwise.
    KeyRef MountPoint(const KeyRef& ref) const;
    // The depth of `ref` below its root (HKEY_LOCAL_MACHINE or HKEY_USERS).
    std::size_t Depth(const KeyRef& ref) const;

    // ------------------------------------------------ writing
    // One commit on the hive of `ref` (see Hive::Commit).
    LONG Commit(const KeyRef& ref, const std::function<LONG(Batch&)>& body);
    LONG Flush(const KeyRef& ref);

    // ------------------------------------------------ hives
    // Makes a new hive for loading, from what `fill` puts into its fresh
    // model, with files of mode `mode`; its name is returned.
    LONG CreateLoadedHive(mode_t mode, const std::u16string& rootName, const Bytes& rootSecurity,
                          const std::function<LONG(Batch&)>& fill, std::string& name);
    // Hangs the hive `name` at a new sub-key `keyName` of `parent`, noting
    // where it came from (kept with the key, for unloading).
    LONG Mount(const KeyRef& parent, std::u16string_view keyName, const std::string& name,
               const std::string& origin);
    // Takes the hive mounted at `root` (its top key) away; its files go.
    LONG Unmount(const KeyRef& root);
    // True while the hive's records show a commit since it was made.
    bool HiveChanged(const KeyRef& ref) const;
    // Removes hive files of loaded hives that no key names any more.
    void RemoveStrayHives();

    // ------------------------------------------------ changes
    // Every change this process sees (its own commits and, on Refresh or
    // SyncAll, other processes'), with the slot it happened in.
    using ChangeSink = std::function<void(const std::shared_ptr<Slot>&, std::vector<Change>&)>;
    void SetChangeSink(ChangeSink sink) { m_sink = std::move(sink); }
    // Brings every open hive up to date (the watcher's wake-up). A hive
    // that cannot be brought up to date is reported as changed in any way;
    // the first such failure is returned.
    LONG SyncAll();
    // The files whose change means a hive changed: for a watcher.
    std::vector<std::string> WatchedFiles() const;

private:
    LONG OpenSlot(const std::string& name, int dir, OwnedFd ownDir, const HiveOptions& options,
                  std::shared_ptr<Slot>& out);
    LONG OpenMounted(const std::shared_ptr<Slot>& parent, KeyId mountKey, const std::string& name,
                     std::shared_ptr<Slot>& out);
    LONG OpenUserHive(std::uint32_t uid, bool create, std::shared_ptr<Slot>& out);
    OwnedFd OpenRootHiveDirectory(bool create);
    LONG CreateSkeleton();
    LONG ConvertEarlierStore();  // store_convert.cpp
    // Brings the hives `slot` hangs in up to date, reporting their changes
    // to the sink as any sync does, and tells whether it still hangs there:
    // ERROR_SUCCESS, ERROR_KEY_DELETED once it was unloaded, or why a hive
    // above it could not be brought up to date.
    LONG SyncMountChain(const Slot& slot);
    LONG SyncSlot(const std::shared_ptr<Slot>& slot);
    void Report(const std::shared_ptr<Slot>& slot, std::vector<Change>& changes);
    HiveOptions Options(mode_t mode, bool create) const;
    // For a hive kept with a public view, opened for writing: makes the
    // view where there is none and, where the hive file may still be read
    // by others (a store made before views), brings the view in step and
    // writes the hive anew readable by its owner alone.
    LONG PrepareView(Slot& slot);
    // The view of a writer's hive, opened (and made) on first use, with the
    // hive's writers' lock held; null where the hive has none.
    Hive* ViewOf(Slot& slot);
    // HKEY_USERS' sub-keys: its own hive's (loaded hives, .DEFAULT) and the
    // user hives this process may open, in enumeration order. Kept between
    // calls while its stamp holds, so that enumerating them stays linear.
    struct UsersEntry {
        std::u16string name;
        KeyId id = 0;            // a key of HKEY_USERS' own hive, or
        std::uint32_t uid = 0;   // (id 0) the user whose hive it is
    };
    struct UsersStamp {
        std::uint64_t seq = 0;   // of HKEY_USERS' own hive
        bool ownHive = false;    // this user's hive opens
        ino_t ino = 0;           // of users/, which root lists
        std::uint64_t mtime = 0, ctime = 0;
        nlink_t links = 0;
        bool operator==(const UsersStamp& o) const
        {
            return seq == o.seq && ownHive == o.ownHive && ino == o.ino && mtime == o.mtime &&
                   ctime == o.ctime && links == o.links;
        }
    };
    UsersStamp CurrentUsersStamp();
    const std::vector<UsersEntry>& UsersChildren();
    bool UsersEntryInfo(const UsersEntry& entry, SubKeyInfo& out);

    std::string m_directory;
    std::string m_problem;
    OwnedFd m_dir;
    uid_t m_owner = 0;        // whom the store's own files belong to
    bool m_shared = false;    // the directory is the machine's, with users of their own
    std::string m_bootId;
    std::shared_ptr<Slot> m_machine;
    std::shared_ptr<Slot> m_users;
    std::map<std::string, std::shared_ptr<Slot>> m_slots;
    ChangeSink m_sink;
    bool m_newBoot = false;
    bool m_usersListed = false;
    UsersStamp m_usersStamp;
    std::vector<UsersEntry> m_usersListing;
};

}  // namespace netid::posix::store

#endif
