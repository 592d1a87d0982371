// SPDX-License-Identifier: LGPL-2.1-or-later
// One hive of the store: its file, its shared page and its writers' lock,
// and the in-memory hive kept in step with them.
//
// Reading never locks: a call first looks at the shared page and, only when
// another process has committed since, reads the new records from the file.
// Writing takes the hive's lock (a file that only those who may write the
// hive can open, so a reader can never hold writers up), brings the hive up
// to date, applies the call's operations and appends them as one record
// with one write. A commit does not wait for the disk, except the one that
// finds the file grown past its bound: it writes the hive anew, and the new
// file and its directory are synced before it replaces the old one. Flush()
// waits for everything committed so far.
//
// A hive whose file is in a state this process no longer knows (a record
// that could not be written nor cut off again, a sync that failed, after
// which the kernel may have dropped what it was to write) is broken: every
// later call on it answers ERROR_REGISTRY_IO_FAILED rather than go on from
// a hive it cannot trust. Opening the hive anew reads what the file holds.
#ifndef NETID_PLATFORM_POSIX_STORE_HIVE_H
#define NETID_PLATFORM_POSIX_STORE_HIVE_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/base/files.h"
#include "platform/posix/store/store_model.h"
#include "platform/posix/store/store_records.h"
#include "platform/posix/store/store_snapshot.h"
#include "platform/posix/windows.h"

namespace netid::posix::store {

struct HiveOptions {
    bool create = false;     // make the hive when it does not exist
    bool writable = true;    // open for writing where the files allow it
    uid_t owner = 0;         // the files must belong to this user
    mode_t mode = 0644;      // of a new hive file and its shared page (the lock: owner only)
    std::u16string rootName = u"ROOT";  // the top key of a new hive
    Bytes rootSecurity;      // its descriptor
    std::string bootId;      // the machine's current start
    // What a new hive holds besides its top key, put in before it is first
    // written: a hive is never seen half made.
    std::function<LONG(Batch&)> fill;
    // Written only by holders of another hive's writers' lock (a public
    // view, by its hive's writers): it has no lock of its own, and it is
    // opened for writing, and written, only with that lock held.
    bool guarded = false;
};

const FileIo& SystemFileIo();

class Hive {
public:
    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    // Opens the hive `name` in the directory `dir` (files name.hive,
    // name.shm, name.lock). ERROR_FILE_NOT_FOUND when it does not exist and
    // may not be created; ERROR_ACCESS_DENIED when its files may not be read
    // or belong to someone else; ERROR_BADDB when the file is not a hive.
    static LONG Open(int dir, const std::string& name, const HiveOptions& options,
                     std::unique_ptr<Hive>& out, const FileIo& io = SystemFileIo());

    const Model& View() const { return m_model; }
    bool Writable() const { return m_fdWritable; }
    const std::string& Name() const { return m_name; }
    int DirectoryFd() const { return m_dir; }

    // Brings the hive up to date with what other processes committed; the
    // changes they made are added to `changes` (may be null).
    LONG Sync(std::vector<Change>* changes);

    // Runs `body` on the up-to-date hive under the writers' lock and commits
    // what it added to the batch as one record. When the body returns an
    // error (or throws), or the record cannot be written, the batch undoes
    // what the body applied (store_model.h): the hive is left as it was and
    // none of the body's changes are reported. `changes` gets the changes
    // of this commit, once it is written (and those of others' commits found
    // on the way). `after`, when given, runs once the commit stands, with
    // the writers' lock still held, on the batch and the hive's count of
    // commits before it: what must follow each commit in the order of the
    // commits (the hive's public view) follows it there.
    using AfterCommit = std::function<void(const Batch&, std::uint64_t seqBefore)>;
    LONG Commit(const std::function<LONG(Batch&)>& body, std::vector<Change>* changes,
                const AfterCommit& after = nullptr);
    // Runs `body` on the up-to-date hive under the writers' lock, without a
    // commit of its own.
    LONG Locked(const std::function<LONG()>& body);
    // Writes the hive anew as a file of mode `mode`: the old file, with all
    // it ever held, is then read by no one who opens the hive after. The
    // caller holds the writers' lock (Locked).
    LONG Reseal(mode_t mode);
    // The mode of the hive file as it is now; 0 when it cannot be told.
    mode_t FileMode() const;

    // Returns once everything committed to this hive so far is on the disk.
    LONG Flush();

    // ERROR_SUCCESS, or the status every call on a broken hive answers.
    LONG Broken() const { return m_broken; }

    // True once, after a commit of this process brought the hive into the
    // machine's current start (the volatile keys of the old one were dropped).
    bool TakeNewBoot()
    {
        bool found = m_newBootFound;
        m_newBootFound = false;
        return found;
    }

    // The file's size now; for tests and benchmarks of the store's growth.
    std::uint64_t FileSize() const;

private:
    // The writers' lock, held while an object of this type lives (and
    // Status() is ERROR_SUCCESS).
    class WritersLock {
    public:
        explicit WritersLock(Hive& hive);
        ~WritersLock();
        WritersLock(const WritersLock&) = delete;
        WritersLock& operator=(const WritersLock&) = delete;
        LONG Status() const { return m_status; }

    private:
        Hive& m_hive;
        LONG m_status;
    };

    Hive(int dir, std::string name, const HiveOptions& options, const FileIo& io);
    LONG OpenFiles(bool create);
    // Writes `model` as a complete file; over the current one (a rewrite)
    // only with the writers' lock held.
    LONG CreateFile(const Model& model);
    LONG OpenShared(bool create);
    // `limit`: no record at or past it is taken.
    LONG LoadAll(std::uint64_t limit = UINT64_MAX);
    // The file mapped (or, where someone else owns it, copied) up to `end`.
    LONG MapTo(std::uint64_t end);
    // Goes on from the checkpoint record `r` at `at`: as the model now
    // stands (`inStep`), or in place of what the model holds (an opening
    // that skipped the commits before it). False when it does not hold
    // together (a model not in step is then left as it was).
    bool FollowCheckpoint(std::uint64_t at, const RecordView& r, bool inStep);
    // Names the newest checkpoint in an anchor, once it and everything it
    // refers to is on the disk. The caller holds the writers' lock.
    void AnchorNewest();
    // Notes that the records up to `end` are on the disk.
    void NoteSynced(std::uint64_t end);
    // Reads the model anew from the file, after it was damaged (store_model.h).
    LONG Reload(std::vector<Change>* changes);
    // Runs `read`, which brings the model up to date from the file; where an
    // exception (no memory) cuts it short, the model is marked damaged, to
    // be read anew by the next call, and the exception goes on.
    template <typename Read>
    LONG Updating(Read read)
    {
        try {
            return read();
        } catch (...) {
            m_model.MarkDamaged();
            throw;
        }
    }
    // Takes the whole records after m_offset. With `repair` (the caller
    // holds the writers' lock) it also cuts off a torn end.
    // With `skipAhead` (an opening), commits that a later checkpoint holds
    // are not applied: the model goes on from the newest checkpoint.
    LONG ReadTail(std::vector<Change>* changes, bool repair, std::uint64_t limit = UINT64_MAX,
                  bool skipAhead = false);
    // Goes over to the file another process put in place. With or without
    // the lock: it writes nothing.
    LONG SwitchFile(std::vector<Change>* changes);
    // The caller holds the writers' lock, for these five.
    LONG Append(std::uint32_t type, std::uint64_t seq, const Bytes& payload);
    LONG MaybeCheckpoint();
    LONG Rewrite();
    void Publish();
    // Tells later writers that a commit is under way, until it is published.
    void MarkWriting(bool writing);
    bool SharedSaysCurrent() const;
    void AfterFork();
    // Marks the hive broken (see above) and returns `status`.
    LONG Break(LONG status);

    int m_dir;
    std::string m_name;
    HiveOptions m_options;
    const FileIo& m_io;
    std::uint64_t m_forkGeneration = 0;

    OwnedFd m_file;          // the hive file
    std::shared_ptr<const Mapping> m_map;  // of it, as far as the records taken
    bool m_fdWritable = false;
    OwnedFd m_lockFd;        // writers only
    bool m_lockHeld = false; // by this process: what the assertions check
    LONG m_broken = ERROR_SUCCESS;
    void* m_shm = nullptr;   // the shared page, or null
    bool m_shmWritable = false;
    ino_t m_inode = 0;       // of the hive file, where there is no shared page

    std::uint64_t m_fileId = 0;
    std::uint32_t m_salt = 0;
    std::uint64_t m_offset = 0;        // end of the records taken
    std::uint32_t m_lastCrc = 0;       // CRC of the last record taken
    std::uint64_t m_checkpointAt = 0;  // where the newest checkpoint begins
    std::uint64_t m_checkpointSize = 0;
    std::uint32_t m_checkpointCrc = 0;    // its record's CRC
    std::uint64_t m_checkpointSeq = 0;    // the commits it holds
    std::uint64_t m_anchoredAt = 0;       // the newest checkpoint an anchor names
    std::uint64_t m_anchorGeneration = 0;
    std::uint64_t m_syncedEnd = 0;     // records before it were flushed
    bool m_newBootFound = false;

    Model m_model;
};

}  // namespace netid::posix::store

#endif
