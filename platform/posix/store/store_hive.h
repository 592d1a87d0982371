// One hive of the store: its file, its shared page and its writers' lock,
// and the in-memory hive kept in step with them.
//
// Reading never locks: a call first looks at the shared page and, only when
// another process has committed since, reads the new records from the file.
// Writing takes the hive's lock (a file that only those who may write the
// hive can open, so a reader can never hold writers up), brings the hive up
// to date, applies the call's operations and appends them as one record
// with one write. Nothing waits for the disk but Flush().
#ifndef NETID_PLATFORM_POSIX_STORE_HIVE_H
#define NETID_PLATFORM_POSIX_STORE_HIVE_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/store/store_model.h"
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
};

// How file writes reach the disk; tests put their own in place to stand for
// a power loss at any moment.
struct FileIo {
    ssize_t (*pwrite)(int fd, const void* data, size_t size, off_t offset);
    int (*fdatasync)(int fd);
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
    // what it added to the batch as one record. A body that returns an error
    // must not have added anything. `changes` gets the changes of this
    // commit (and of others' commits found on the way).
    LONG Commit(const std::function<LONG(Batch&)>& body, std::vector<Change>* changes);

    // Returns once everything committed to this hive so far is on the disk.
    LONG Flush();

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
    Hive(int dir, std::string name, const HiveOptions& options, const FileIo& io);
    LONG OpenFiles(bool create);
    LONG CreateFile(const Model& model);
    LONG OpenShared(bool create);
    // `limit`: no record at or past it is taken.
    LONG LoadAll(std::uint64_t limit = UINT64_MAX);
    LONG ReadTail(std::vector<Change>* changes, bool repair, std::uint64_t limit = UINT64_MAX);
    LONG SwitchFile(std::vector<Change>* changes);
    LONG Append(std::uint32_t type, std::uint64_t seq, const Bytes& payload);
    LONG MaybeCheckpoint();
    LONG Rewrite();
    LONG Lock();
    void Unlock();
    void Publish();
    // Tells later writers that a commit is under way, until it is published.
    void MarkWriting(bool writing);
    bool SharedSaysCurrent() const;
    void AfterFork();

    int m_dir;
    std::string m_name;
    HiveOptions m_options;
    const FileIo& m_io;
    std::uint64_t m_forkGeneration = 0;

    int m_fd = -1;           // the hive file
    bool m_fdWritable = false;
    int m_lockFd = -1;       // writers only
    void* m_shm = nullptr;   // the shared page, or null
    bool m_shmWritable = false;
    ino_t m_inode = 0;       // of the hive file, where there is no shared page

    std::uint64_t m_fileId = 0;
    std::uint32_t m_salt = 0;
    std::uint64_t m_offset = 0;        // end of the records taken
    std::uint32_t m_lastCrc = 0;       // CRC of the last record taken
    std::uint64_t m_checkpointAt = 0;  // where the newest checkpoint begins
    std::uint64_t m_checkpointSize = 0;
    std::uint64_t m_anchorGeneration = 0;
    std::uint64_t m_syncedEnd = 0;     // records before it were flushed
    bool m_newBootFound = false;

    Model m_model;
};

}  // namespace netid::posix::store

#endif
