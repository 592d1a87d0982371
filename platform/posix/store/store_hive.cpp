// SPDX-License-Identifier: LGPL-2.1-or-later
// One hive's file, shared page and lock (store_hive.h): opening and making
// the files, reading records, committing, checkpoints and rewrites. The
// records themselves are laid out and checked in store_records.cpp.
#include "platform/posix/store/store_hive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/posix/base/byte_order.h"
#include "platform/posix/base/checksum.h"
#include "platform/posix/base/files.h"
#include "platform/posix/base/process.h"
#include "platform/posix/store/store_format.h"
#include "platform/posix/store/store_records.h"
#include "platform/posix/store/store_snapshot.h"

namespace netid::posix::store {
namespace {

namespace f = format;

// ------------------------------------------------------------ small helpers
ssize_t SystemPwrite(int fd, const void* data, size_t size, off_t offset)
{
    return ::pwrite(fd, data, size, offset);
}
int SystemFdatasync(int fd) { return ::fdatasync(fd); }

std::atomic<std::uint64_t>& SharedField(void* page, std::size_t offset)
{
    return *reinterpret_cast<std::atomic<std::uint64_t>*>(static_cast<char*>(page) + offset);
}

}  // namespace

const FileIo& SystemFileIo()
{
    static const FileIo io{&SystemPwrite, &SystemFdatasync};
    return io;
}

Hive::Hive(int dir, std::string name, const HiveOptions& options, const FileIo& io)
    : m_dir(dir), m_name(std::move(name)), m_options(options), m_io(io), m_forkGeneration(ForkGeneration())
{
}

Hive::~Hive()
{
    if (m_shm != nullptr) ::munmap(m_shm, f::kShmSize);
}

LONG Hive::Open(int dir, const std::string& name, const HiveOptions& options,
                std::unique_ptr<Hive>& out, const FileIo& io)
{
    std::unique_ptr<Hive> hive(new Hive(dir, name, options, io));
    LONG status = hive->OpenFiles(options.create);
    if (status != ERROR_SUCCESS) return status;
    out = std::move(hive);
    return ERROR_SUCCESS;
}

std::uint64_t Hive::FileSize() const
{
    struct stat st {};
    return ::fstat(m_file.get(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// ------------------------------------------------------------ opening
LONG Hive::OpenFiles(bool create)
{
    const std::string file = m_name + ".hive";
    LONG status = ERROR_SUCCESS;
    // Another user's hive is read as hostile input: never written, its lock
    // never taken, nothing made beside it (only a hive being made for its
    // owner is written by someone else).
    bool writer = m_options.writable && (m_options.owner == ::geteuid() || create);
    m_file = OpenStoreFile(m_dir, file, writer ? O_RDWR : O_RDONLY, m_options.owner, status);
    if (!m_file.valid() && writer && (status == ERROR_ACCESS_DENIED || status == ERROR_WRITE_PROTECT)) {
        writer = false;  // one who may only read
        m_file = OpenStoreFile(m_dir, file, O_RDONLY, m_options.owner, status);
    }
    if (!m_file.valid() && status == ERROR_FILE_NOT_FOUND && create && writer) {
        Model fresh;
        std::uint64_t now = NowAsFileTime();
        fresh.Reset(m_options.rootName, m_options.rootSecurity, now, m_options.bootId);
        if (m_options.fill) {
            Batch batch(fresh, now);
            status = m_options.fill(batch);
            if (status != ERROR_SUCCESS) return status;
            if (!batch.Ok()) return ERROR_INVALID_PARAMETER;
            batch.Keep(nullptr);
        }
        status = CreateFile(fresh);
        if (status != ERROR_SUCCESS && status != ERROR_ALREADY_EXISTS) return status;
        m_file = OpenStoreFile(m_dir, file, O_RDWR, m_options.owner, status);
    }
    if (!m_file.valid()) return status;
    // A file that is not a hive is reported and left alone, with nothing
    // made beside it.
    status = LoadAll();
    if (status != ERROR_SUCCESS) return status;
    m_fdWritable = writer;
    if (writer && !m_options.guarded) {
        m_lockFd = OpenOrMakeStoreFile(m_dir, m_name + ".lock", O_RDWR, 0600, m_options.owner, 0, status);
        if (!m_lockFd.valid()) {
            m_fdWritable = false;  // may read, not write
        }
    }
    OpenShared(m_fdWritable);
    // A file whose checkpoints are of the earlier, fully encoded form is
    // written anew in the form read in place, once, by its first writer.
    if (m_fdWritable && (!SharedSaysCurrent() || !m_model.HasBase())) {
        // The page may be stale after a crash: set it right under the lock.
        WritersLock lock(*this);
        if (lock.Status() != ERROR_SUCCESS) return lock.Status();
        // The file loaded may have been written anew and renamed over since:
        // what is published must be the file that has the name now.
        struct stat named {};
        if (::fstatat(m_dir, file.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_ino != m_inode) {
            status = SwitchFile(nullptr);
        }
        if (status == ERROR_SUCCESS) status = ReadTail(nullptr, true);
        if (status == ERROR_SUCCESS && !m_model.HasBase()) status = Rewrite();
        if (status == ERROR_SUCCESS) {
            Publish();
            MarkWriting(false);
        }
    }
    return status;
}

LONG Hive::OpenShared(bool writer)
{
    LONG status = ERROR_SUCCESS;
    OwnedFd fd = writer ? OpenOrMakeStoreFile(m_dir, m_name + ".shm", O_RDWR, m_options.mode, m_options.owner,
                                              f::kShmSize, status)
                        : OpenStoreFile(m_dir, m_name + ".shm", O_RDONLY, m_options.owner, status);
    if (!fd.valid()) return status;  // without the page every call looks at the file
    struct stat st {};
    void* page = MAP_FAILED;
    if (::fstat(fd.get(), &st) == 0 && static_cast<std::size_t>(st.st_size) >= f::kShmSize) {
        page = ::mmap(nullptr, f::kShmSize, writer ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                      fd.get(), 0);
    }
    if (page == MAP_FAILED) return ERROR_REGISTRY_IO_FAILED;
    m_shm = page;
    m_shmWritable = writer;
    if (writer && std::memcmp(page, f::kShmMagic, sizeof f::kShmMagic) != 0) {
        std::memcpy(page, f::kShmMagic, sizeof f::kShmMagic);
    }
    return ERROR_SUCCESS;
}

// Takes the whole records after m_offset (up to `limit`). Where they stop
// short of the end of the file, what follows is the torn end of a writer
// that died or of a power loss, which no process has taken and a writer
// holding the lock cuts off; unless it lies where a flush had put records on
// the disk: that is damage, reported, and the file left as it is.
LONG Hive::ReadTail(std::vector<Change>* changes, bool repair, std::uint64_t limit, bool skipAhead)
{
    assert(!repair || m_lockHeld);
    constexpr std::size_t kChunk = 16 * 1024;
    Bytes buffer;                    // the file's bytes from `bufferAt` on
    std::uint64_t bufferAt = m_offset;
    bool atEnd = false;
    // Makes [at, at + size) of the file present in the buffer, reading no
    // more than the file holds; false when it ends before. Returns there.
    const std::uint8_t* here = nullptr;
    auto have = [&](std::uint64_t at, std::size_t size) -> bool {
        std::size_t skip = static_cast<std::size_t>(at - bufferAt);
        if (buffer.size() - skip < size && !atEnd) {
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(skip));
            bufferAt = at;
            skip = 0;
            while (buffer.size() < size && !atEnd) {
                std::size_t want = std::max(kChunk, size - buffer.size());
                std::size_t old = buffer.size();
                buffer.resize(old + want);
                ssize_t n = ReadAt(m_file.get(), buffer.data() + old, want, bufferAt + old);
                buffer.resize(old + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
                if (n < static_cast<ssize_t>(want)) atEnd = true;
            }
        }
        here = buffer.data() + skip;
        return buffer.size() - skip >= size;
    };

    // Skipping ahead, commits are kept (with where they lie) until a later
    // checkpoint holds them; the newest checkpoint is followed once, at the end.
    struct Pending {
        std::uint64_t at;
        std::uint64_t seq;
        Bytes payload;
    };
    std::vector<Pending> pending;
    RecordView newest;  // the newest checkpoint passed, skipping ahead
    std::uint64_t newestAt = 0;
    std::uint64_t seq = m_model.Seq();  // the commits taken, applied or kept
    bool whole = true;
    while (m_offset < limit) {
        if (!have(m_offset, f::kRecordHeaderSize)) {
            whole = here == buffer.data() + buffer.size();
            break;
        }
        std::uint32_t length = Get32(here + f::kRecordLength);
        std::size_t total = Padded(f::kRecordHeaderSize + std::min<std::uint32_t>(length, f::kMaxRecord));
        // A record larger than what was read at once is read only where the
        // file holds that much real data (a sparse file's holes are not read).
        if (total > kChunk && (length > f::kMaxRecord || m_offset + total > DataEnd(m_file.get(), m_offset))) {
            whole = false;
            break;
        }
        have(m_offset, total);
        RecordView r;
        const std::size_t available = static_cast<std::size_t>(buffer.data() + buffer.size() - here);
        if (ParseRecord(here, available, m_salt, m_lastCrc, r) != Parse::Whole) {
            whole = false;
            break;
        }
        if (r.type == f::kCommit) {
            if (r.seq != seq + 1) {
                whole = false;
                break;
            }
            if (skipAhead) {
                pending.push_back(Pending{m_offset, r.seq, Bytes(r.payload, r.payload + r.length)});
            } else if (!m_model.ApplyCommit(r.payload, r.length, changes)) {
                // A record that checks out but does not apply: not written by
                // this code. The hive goes back to what came before it.
                const std::uint64_t bad = m_offset;
                LoadAll(bad);
                return ERROR_REGISTRY_CORRUPT;
            } else {
                m_model.SetSeq(r.seq);
            }
            seq = r.seq;
        } else {
            if (r.seq != seq || (!skipAhead && !FollowCheckpoint(m_offset, r, true))) {
                whole = false;
                break;
            }
            if (skipAhead) {
                newest = r;
                newest.payload = nullptr;  // read from the mapping, once
                newestAt = m_offset;
                pending.clear();
            }
            m_checkpointAt = m_offset;
            m_checkpointSize = r.total;
            m_checkpointCrc = r.crc;
            m_checkpointSeq = r.seq;
        }
        m_offset += r.total;
        m_lastCrc = r.crc;
    }
    if (newestAt != 0 && !FollowCheckpoint(newestAt, newest, false)) {
        // Whole but not holding together: not written by this code. The
        // hive goes back to what came before it.
        LoadAll(newestAt);
        return ERROR_REGISTRY_CORRUPT;
    }
    for (const Pending& p : pending) {
        if (!m_model.ApplyCommit(p.payload.data(), p.payload.size(), changes)) {
            LoadAll(p.at);
            return ERROR_REGISTRY_CORRUPT;
        }
        m_model.SetSeq(p.seq);
    }
    if (!whole && m_offset < limit) {
        if (repair) {
            // The note may have moved on since this process read it.
            std::uint8_t slot[f::kSyncedEndSize];
            if (ReadAt(m_file.get(), slot, sizeof slot, f::kSyncedEnd) == static_cast<ssize_t>(sizeof slot)) {
                m_syncedEnd = std::max(m_syncedEnd, ReadSyncedEnd(slot, m_fileId));
            }
        }
        if (m_offset < m_syncedEnd) return ERROR_REGISTRY_CORRUPT;
        if (repair) {
            if (::ftruncate(m_file.get(), static_cast<off_t>(m_offset)) != 0) return StatusFromErrno(errno);
            if (m_io.fdatasync(m_file.get()) != 0) return Break(StatusFromErrno(errno));
        }
    }
    return ERROR_SUCCESS;
}

bool Hive::SharedSaysCurrent() const
{
    if (m_shm == nullptr) return false;
    return SharedField(m_shm, f::kShmFileId).load(std::memory_order_acquire) == m_fileId &&
           SharedField(m_shm, f::kShmSeq).load(std::memory_order_acquire) == m_model.Seq();
}

void Hive::Publish()
{
    assert(m_lockHeld);
    if (m_shm == nullptr || !m_shmWritable) return;
    SharedField(m_shm, f::kShmFileId).store(m_fileId, std::memory_order_release);
    SharedField(m_shm, f::kShmEnd).store(m_offset, std::memory_order_release);
    SharedField(m_shm, f::kShmSeq).store(m_model.Seq(), std::memory_order_release);
}

void Hive::MarkWriting(bool writing)
{
    assert(m_lockHeld);
    if (m_shm == nullptr || !m_shmWritable) return;
    SharedField(m_shm, f::kShmWriting).store(writing ? 1 : 0, std::memory_order_release);
}

LONG Hive::Sync(std::vector<Change>* changes)
{
    if (m_broken != ERROR_SUCCESS) return m_broken;
    return Updating([&]() -> LONG {
        if (m_model.Damaged()) return Reload(changes);
        if (SharedSaysCurrent()) return ERROR_SUCCESS;
        bool replaced = false;
        if (m_shm != nullptr) {
            replaced = SharedField(m_shm, f::kShmFileId).load(std::memory_order_acquire) != m_fileId;
        } else {
            struct stat st {};
            replaced = ::fstatat(m_dir, (m_name + ".hive").c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                       st.st_ino != m_inode;
        }
        return replaced ? SwitchFile(changes) : ReadTail(changes, false);
    });
}

LONG Hive::Reload(std::vector<Change>* changes)
{
    LONG status = LoadAll();
    // Whatever may have changed meanwhile is reported as changed.
    if (status == ERROR_SUCCESS && changes != nullptr) changes->push_back(Change{0, REG_LEGAL_CHANGE_FILTER, {}});
    return status;
}

// Another process wrote the hive anew. What this process has not taken of
// the old file is read first; when it is then in step with the new file's
// checkpoint it goes on from there, else it loads the new file whole.
LONG Hive::SwitchFile(std::vector<Change>* changes)
{
    LONG status = ReadTail(changes, false);
    if (status != ERROR_SUCCESS) return status;
    LONG opened = ERROR_SUCCESS;
    OwnedFd fd = OpenStoreFile(m_dir, m_name + ".hive", m_fdWritable ? O_RDWR : O_RDONLY, m_options.owner,
                               opened);
    if (!fd.valid()) return opened;
    Bytes header(f::kHeaderSize);
    if (ReadAt(fd.get(), header.data(), header.size(), 0) != static_cast<ssize_t>(header.size()) ||
        Get64(&header[f::kHeaderFileId]) == m_fileId) {
        return ERROR_SUCCESS;  // the same file: only the shared page was behind
    }
    std::uint64_t seq = m_model.Seq();
    m_file = std::move(fd);
    status = LoadAll();
    if (status == ERROR_SUCCESS && changes != nullptr && m_model.Seq() != seq) {
        // Not in step: whatever may have changed is reported as changed.
        changes->push_back(Change{0, REG_LEGAL_CHANGE_FILTER, {}});
    }
    return status;
}

// ------------------------------------------------------------ writing
Hive::WritersLock::WritersLock(Hive& hive) : m_hive(hive), m_status(ERROR_SUCCESS)
{
    assert(!hive.m_lockHeld);  // flock() would let this process take it twice
    if (hive.m_forkGeneration != ForkGeneration()) hive.AfterFork();
    if (hive.m_options.guarded && hive.m_fdWritable) {
        hive.m_lockHeld = true;  // the guarding hive's lock is held: see HiveOptions
        return;
    }
    if (!hive.m_lockFd.valid()) {
        m_status = ERROR_ACCESS_DENIED;
        return;
    }
    while (::flock(hive.m_lockFd.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            m_status = StatusFromErrno(errno);
            return;
        }
    }
    hive.m_lockHeld = true;
}

Hive::WritersLock::~WritersLock()
{
    if (m_status != ERROR_SUCCESS) return;
    m_hive.m_lockHeld = false;
    if (m_hive.m_lockFd.valid()) ::flock(m_hive.m_lockFd.get(), LOCK_UN);
}

LONG Hive::Break(LONG status)
{
    m_broken = ERROR_REGISTRY_IO_FAILED;
    return status;
}

// A child of fork() shares the parent's open lock, which flock() would let
// both hold at once: the child takes a lock of its own.
void Hive::AfterFork()
{
    m_forkGeneration = ForkGeneration();
    m_lockHeld = false;  // whatever the parent held is not the child's
    if (!m_lockFd.valid()) return;
    m_lockFd.reset();
    LONG status = ERROR_SUCCESS;
    m_lockFd = OpenStoreFile(m_dir, m_name + ".lock", O_RDWR, m_options.owner, status);
}

LONG Hive::Append(std::uint32_t type, std::uint64_t seq, const Bytes& payload)
{
    assert(m_lockHeld);
    // A longer record would be taken by no reader: the next writer would
    // cut it off as a torn end, and every commit after it with it.
    if (payload.size() > f::kMaxRecord) return ERROR_FILE_TOO_LARGE;
    std::uint32_t crc = 0;
    Bytes record = MakeRecord(type, seq, m_lastCrc, m_salt, payload, crc);
    LONG status = WriteAll(m_io, m_file.get(), record.data(), record.size(), m_offset);
    if (status != ERROR_SUCCESS) {
        // Nothing of a record that is not whole may stay; where it cannot be
        // cut off, what the file holds is no longer known.
        if (::ftruncate(m_file.get(), static_cast<off_t>(m_offset)) != 0) return Break(ERROR_REGISTRY_IO_FAILED);
        return status;
    }
    m_offset += record.size();
    m_lastCrc = crc;
    return ERROR_SUCCESS;
}

LONG Hive::Commit(const std::function<LONG(Batch&)>& body, std::vector<Change>* changes,
                  const AfterCommit& after)
{
    if (m_broken != ERROR_SUCCESS) return m_broken;
    if (!m_fdWritable) return ERROR_ACCESS_DENIED;
    WritersLock lock(*this);
    if (lock.Status() != ERROR_SUCCESS) return lock.Status();

    // Up to date, the remains of a dead writer taken or cut off. Where the
    // shared page says this process is current and no commit was left half
    // done, the file need not be looked at.
    // (A reader may have taken a commit before its writer published it, and
    // stopped short of the checkpoint written after it: the end published
    // tells.)
    const bool clean = SharedSaysCurrent() &&
                       SharedField(m_shm, f::kShmWriting).load(std::memory_order_acquire) == 0 &&
                       SharedField(m_shm, f::kShmEnd).load(std::memory_order_acquire) == m_offset;
    LONG status = Updating([&]() -> LONG {
        if (m_model.Damaged()) {
            LONG reloaded = Reload(changes);
            if (reloaded != ERROR_SUCCESS) return reloaded;
        } else if (clean) {
            return ERROR_SUCCESS;
        }
        LONG caughtUp = ERROR_SUCCESS;
        if (m_shm != nullptr &&
            SharedField(m_shm, f::kShmFileId).load(std::memory_order_acquire) != m_fileId) {
            caughtUp = SwitchFile(changes);
        }
        return caughtUp == ERROR_SUCCESS ? ReadTail(changes, true) : caughtUp;
    });
    if (status != ERROR_SUCCESS) return status;

    // Until it is kept, the batch undoes itself when it goes: a call that
    // fails, or whose record is not written, leaves the hive as it was.
    Batch batch(m_model, NowAsFileTime());
    bool newBoot = m_model.BootId() != m_options.bootId;
    if (newBoot) batch.NewBoot(m_options.bootId);
    std::size_t before = batch.Payload().size();
    status = body(batch);
    if (status != ERROR_SUCCESS) return status;
    if (!batch.Ok()) return ERROR_REGISTRY_CORRUPT;
    if (batch.Payload().size() == before && !newBoot) return ERROR_SUCCESS;  // nothing to write
    const std::uint64_t seqBefore = m_model.Seq();
    std::uint64_t seq = seqBefore + 1;
    MarkWriting(true);
    status = Append(format::kCommit, seq, batch.Payload());
    if (status != ERROR_SUCCESS) return status;
    batch.Keep(changes);
    m_model.SetSeq(seq);
    if (newBoot) m_newBootFound = true;
    // The commit stands from here on: a checkpoint that finds no memory is
    // left to a later commit.
    try {
        status = MaybeCheckpoint();
    } catch (const std::bad_alloc&) {
        status = ERROR_SUCCESS;
    }
    Publish();
    MarkWriting(false);
    if (after) after(batch, seqBefore);
    return status;
}

LONG Hive::Locked(const std::function<LONG()>& body)
{
    if (m_broken != ERROR_SUCCESS) return m_broken;
    if (!m_fdWritable) return ERROR_ACCESS_DENIED;
    WritersLock lock(*this);
    if (lock.Status() != ERROR_SUCCESS) return lock.Status();
    LONG status = Updating([&]() -> LONG {
        if (m_model.Damaged()) return Reload(nullptr);
        if (m_shm != nullptr &&
            SharedField(m_shm, f::kShmFileId).load(std::memory_order_acquire) != m_fileId) {
            LONG switched = SwitchFile(nullptr);
            if (switched != ERROR_SUCCESS) return switched;
        }
        return ReadTail(nullptr, true);
    });
    return status == ERROR_SUCCESS ? body() : status;
}

LONG Hive::Reseal(mode_t mode)
{
    assert(m_lockHeld);
    const mode_t was = m_options.mode;
    m_options.mode = mode;
    (void)Rewrite();  // stands whether or not the new file was made: the mode tells
    if ((FileMode() & 0777) != mode) {
        m_options.mode = was;
        return ERROR_WRITE_FAULT;
    }
    // The shared page tells only where the records end, but no more than
    // the hive may be read by anyone.
    if (m_shm != nullptr && m_shmWritable) {
        LONG ignored = ERROR_SUCCESS;
        OwnedFd shm = OpenStoreFile(m_dir, m_name + ".shm", O_RDWR, m_options.owner, ignored);
        if (shm.valid()) (void)::fchmod(shm.get(), mode);
    }
    Publish();
    return ERROR_SUCCESS;
}

mode_t Hive::FileMode() const
{
    struct stat st {};
    return ::fstat(m_file.get(), &st) == 0 ? st.st_mode & 07777 : 0;
}

LONG Hive::Flush()
{
    if (m_broken != ERROR_SUCCESS) return m_broken;
    if (!m_fdWritable) return ERROR_SUCCESS;
    const std::uint64_t end = m_offset;
    // After a failed sync the kernel may have dropped the pages it could not
    // write and report the next sync as a success: the hive is broken.
    if (m_io.fdatasync(m_file.get()) != 0) return Break(StatusFromErrno(errno));
    // Everything up to `end` is on the disk now: a record there that does
    // not check out later is damage, not the torn end of a power loss. The
    // note itself needs no sync: lost, it only tells less.
    NoteSynced(end);
    return ERROR_SUCCESS;
}

}  // namespace netid::posix::store
