// SPDX-License-Identifier: LGPL-2.1-or-later
// What the registry asks of the file system and the host: where the store
// lives, making and syncing directories, fresh file names, errno as a Win32
// status, and the boot id of the running machine. No registry logic.
#ifndef NETID_PLATFORM_POSIX_FILES_H
#define NETID_PLATFORM_POSIX_FILES_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/windows.h"

namespace netid::posix {

// A file descriptor with one owner: closed when the owner goes, moved (never
// copied) to a new owner. The one way the platform layer holds descriptors.
class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int descriptor) : fd(descriptor) {}
    OwnedFd(OwnedFd&& other) noexcept : fd(other.release()) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() { reset(); }

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    // Gives the descriptor up without closing it.
    int release()
    {
        int d = fd;
        fd = -1;
        return d;
    }
    // Closes the descriptor held, if any, and holds `descriptor` instead.
    void reset(int descriptor = -1);

private:
    int fd = -1;
};

// The directory the store is opened in: $NETID_REGISTRY_DIR, or the
// system's own.
std::string StoreDirectoryFromEnvironment();

// Makes `path` and its missing parents; true when it is a directory then.
bool MakeDirectories(const std::string& path);

// Makes the entries of `dir` durable (renames, links, new files in it).
void SyncDirectory(const std::string& dir);

// The directory part of a file name ("." for a bare name).
std::string DirectoryOf(const std::string& path);

// The absolute form of a file name, for comparing and for recording.
std::string AbsolutePath(const std::string& path);

// True when something, even a dangling link, has that name.
bool FileExists(const std::string& path);

// Makes a fresh, unused file name beside `path` (the file is made and
// closed, empty).
LONG TempBeside(const std::string& path, std::string& temp);


// The names in the directory `dir`, or in its sub-directory `sub` (never
// reached through a link), without "." and "..". False when it cannot be read.
bool ListDirectory(int dir, const char* sub, std::vector<std::string>& names);

// Win32 status for an errno value of a file operation.
LONG StatusFromErrno(int error);

// A random number, for names and identifiers no one may guess or reuse.
std::uint64_t Random64();

// Opens the file `name` of the directory `dir` as the store opens its own:
// never through a link, and only a plain file of `owner` with no other name
// (else ERROR_ACCESS_DENIED; ERROR_FILE_NOT_FOUND when there is none).
OwnedFd OpenStoreFile(int dir, const std::string& name, int flags, uid_t owner, LONG& status);
// Like OpenStoreFile; where there is no such file, makes it (`size` bytes,
// of `mode` and `owner`) under a fresh name and links it into place, unless
// another process did so first (theirs is used then).
OwnedFd OpenOrMakeStoreFile(int dir, const std::string& name, int flags, mode_t mode, uid_t owner,
                            std::size_t size, LONG& status);
// Makes a new file under a fresh, unguessable name beside `base` in `dir`
// (".base.<random>", made with O_EXCL, never through a link), belonging to
// `owner`; its name is returned. Not valid, with errno set, on failure.
OwnedFd CreateFreshFile(int dir, const std::string& base, mode_t mode, uid_t owner, std::string& name);

// Gives the fresh file `fresh` of `dir` the name `name`, unless something
// already has that name (-1, errno EEXIST); the fresh name is gone then.
// Never leaves the file with both names where the file system can rename
// without replacing. 0, or -1 with errno.
int PlaceFreshFile(int dir, const std::string& fresh, const std::string& name);

// Writes `size` bytes as the file `name` in the directory `dir`, whole or not
// at all: under a fresh name first (made with O_EXCL, never through a link),
// synced, then put in place. Without `overwrite` an existing file is left
// alone and ERROR_ALREADY_EXISTS returned.
LONG WriteFileAtomically(int dir, const std::string& name, const void* data, std::size_t size,
                         bool overwrite, mode_t mode);

// Opens the directory a file name lies in; `name` gets the last component.
LONG OpenParentDirectory(const std::string& path, OwnedFd& dir, std::string& name);

// `mode` as the process's umask leaves it, for a file made on the caller's
// behalf (an export, a saved hive): the same bits a plain open(2) would give.
mode_t ModeUnderUmask(mode_t mode);

// Whom the files of a store directory must belong to: its owner, or, in a
// sticky directory others may write (as /tmp), the caller alone.
uid_t StoreFilesOwner(const struct stat& directory);

// Opens the directory `path` one component at a time, never through a link
// (a link anywhere in the path is refused), and checks every directory on
// the way: each must belong to root or the caller and be writable by no one
// else unless it is sticky; otherwise another user could swap what lies
// below it. With `create`, missing components are made (mode 0755). On
// failure, `problem` says why in a sentence and the status is returned
// (ERROR_ACCESS_DENIED for a path that is not safe to use).
LONG OpenDirectorySafely(const std::string& path, bool create, OwnedFd& out, std::string& problem);

// Reads the whole of the small file `name` of `dir` (a store's record file),
// opened as OpenStoreFile opens it: never through a link, only a plain file
// of `owner` with no other name, at most `limit` bytes (ERROR_BADDB when it
// is larger).
LONG ReadStoreFile(int dir, const std::string& name, uid_t owner, std::size_t limit, std::string& out);

// The boot id of the running machine (from /proc/sys/kernel/random/boot_id).
std::string CurrentBootId();

}  // namespace netid::posix

#endif
