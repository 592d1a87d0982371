// SPDX-License-Identifier: LGPL-2.1-or-later
// File system and host helpers of the registry (see files.h); no registry
// logic.
#include "platform/posix/base/files.h"

#include "platform/file_write.h"
#include "platform/posix/base/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

namespace netid::posix {

namespace {

constexpr const char* kDefaultDirectory = "/var/lib/netid/registry";

}  // namespace

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
        if (!partial.empty()) {
            if (mkdir(partial.c_str(), 0755) == 0) {
                // A directory made is durable only once its parent is synced.
                SyncDirectory(DirectoryOf(partial));
            } else if (errno != EEXIST) {
                return false;
            }
        }
        start = end + 1;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void SyncDirectory(const std::string& dir)
{
    OwnedFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) ::fsync(fd.get());
}

std::string DirectoryOf(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string AbsolutePath(const std::string& path)
{
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

bool FileExists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

LONG TempBeside(const std::string& path, std::string& temp)
{
    std::string pattern = DirectoryOf(path) + "/.hive-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    OwnedFd fd(::mkstemp(buf.data()));
    if (!fd.valid()) return StatusFromErrno(errno);
    temp = buf.data();
    return ERROR_SUCCESS;
}

void OwnedFd::reset(int descriptor)
{
    if (fd >= 0 && fd != descriptor) ::close(fd);
    fd = descriptor;
}

bool ListDirectory(int dir, const char* sub, std::vector<std::string>& names)
{
    names.clear();
    OwnedFd fd(sub != nullptr ? ::openat(dir, sub, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                              : ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return false;
    std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(fd.get()), &::closedir);
    if (!stream) return false;
    fd.release();  // the stream owns it now
    while (const dirent* e = ::readdir(stream.get())) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    }
    return true;
}

LONG StatusFromErrno(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ELOOP: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT: return ERROR_CANTWRITE;
    default: return ERROR_REGISTRY_IO_FAILED;
    }
}

std::uint64_t Random64()
{
    std::uint64_t value = 0;
    while (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
        if (errno != EINTR) {
            // No entropy to be had: the time and the process still differ.
            value ^= static_cast<std::uint64_t>(::time(nullptr)) * 0x9E3779B97F4A7C15ull ^
                     (static_cast<std::uint64_t>(::getpid()) << 32) ^ reinterpret_cast<std::uintptr_t>(&value);
            break;
        }
    }
    return value;
}

// Opens an existing file of the hive without following a link, and checks
// that it is a plain file of the expected owner with no other name.
OwnedFd OpenStoreFile(int dir, const std::string& name, int flags, uid_t owner, LONG& status)
{
    OwnedFd fd(::openat(dir, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        status = StatusFromErrno(errno);
        return fd;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != owner || st.st_nlink != 1) {
        status = ERROR_ACCESS_DENIED;
        return OwnedFd();
    }
    status = ERROR_SUCCESS;
    return fd;
}

// Makes a new file under a fresh name of its own; the name is returned.
OwnedFd CreateFreshFile(int dir, const std::string& base, mode_t mode, uid_t owner, std::string& name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(Random64()));
        name = "." + base + suffix;
        OwnedFd fd(::openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd.valid()) {
            // Files made for another user (root making a user's hive) are theirs.
            if (owner != ::geteuid() && ::fchown(fd.get(), owner, static_cast<gid_t>(-1)) != 0) {
                ::unlinkat(dir, name.c_str(), 0);
                errno = EPERM;
                return OwnedFd();
            }
            ::fchmod(fd.get(), mode);
            return fd;
        }
        if (errno != EEXIST) return OwnedFd();
    }
    errno = EEXIST;
    return OwnedFd();
}

int PlaceFreshFile(int dir, const std::string& fresh, const std::string& name)
{
    // One step where the file system has it: the file never has two names,
    // which a process killed (or a machine switched off) between a link and
    // an unlink would leave, and which every later opening refuses.
    if (::renameat2(dir, fresh.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
    if (::linkat(dir, fresh.c_str(), dir, name.c_str(), 0) != 0) return -1;
    ::unlinkat(dir, fresh.c_str(), 0);
    return 0;
}

// Opens a fixed-name companion file, making it (and nothing else) when it
// is missing.
OwnedFd OpenOrMakeStoreFile(int dir, const std::string& name, int flags, mode_t mode, uid_t owner,
                            std::size_t size, LONG& status)
{
    OwnedFd fd = OpenStoreFile(dir, name, flags, owner, status);
    if (fd.valid() || status != ERROR_FILE_NOT_FOUND) return fd;
    std::string temp;
    OwnedFd fresh = CreateFreshFile(dir, name, mode, owner, temp);
    if (!fresh.valid()) {
        status = StatusFromErrno(errno);
        return fresh;
    }
    if (size != 0 && ::ftruncate(fresh.get(), static_cast<off_t>(size)) != 0) {
        status = StatusFromErrno(errno);
        ::unlinkat(dir, temp.c_str(), 0);
        return OwnedFd();
    }
    // Put in place only when no other process did first; theirs is used then.
    int linked = PlaceFreshFile(dir, temp, name);
    int error = errno;
    if (linked != 0) ::unlinkat(dir, temp.c_str(), 0);
    if (linked != 0 && error != EEXIST) {
        status = StatusFromErrno(error);
        return OwnedFd();
    }
    return OpenStoreFile(dir, name, flags, owner, status);
}

namespace {

// Removes files named ".NAME.<16 hex digits>" of the caller's own from `dir`:
// what a writer of NAME killed before its rename left there.
void RemoveLeftCopies(int dir, const std::string& name)
{
    std::vector<std::string> names;
    if (!ListDirectory(dir, nullptr, names)) return;
    const std::string prefix = "." + name + ".";
    std::vector<std::string> left;
    for (const std::string& entry : names) {
        if (entry.size() != prefix.size() + 16 || entry.compare(0, prefix.size(), prefix) != 0 ||
            entry.find_first_not_of("0123456789abcdef", prefix.size()) != std::string::npos) {
            continue;
        }
        struct stat st {};
        if (::fstatat(dir, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == ::geteuid() && st.st_nlink == 1) {
            left.push_back(entry);
        }
    }
    for (const std::string& entry : left) ::unlinkat(dir, entry.c_str(), 0);
}

}  // namespace

LONG WriteFileAtomically(int dir, const std::string& name, const void* data, std::size_t size,
                         bool overwrite, mode_t mode)
{
    // The file is written without a name of its own (O_TMPFILE) where the
    // file system allows: a process killed while writing leaves nothing
    // behind. Elsewhere it is written under a fresh name. A copy that an
    // earlier writer, killed just before its rename, left under such a name
    // goes now.
    RemoveLeftCopies(dir, name);
    std::string temp;
    OwnedFd fd(::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    const bool unnamed = fd.valid();
    if (unnamed) {
        ::fchmod(fd.get(), mode);
    } else {
        fd = CreateFreshFile(dir, name, mode, ::geteuid(), temp);
        if (!fd.valid()) return StatusFromErrno(errno);
    }
    LONG status = ERROR_SUCCESS;
    std::size_t done = 0;
    while (done < size && status == ERROR_SUCCESS) {
        ssize_t n = ::write(fd.get(), static_cast<const char*>(data) + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) status = n < 0 ? StatusFromErrno(errno) : ERROR_CANTWRITE;
        else done += static_cast<std::size_t>(n);
    }
    if (status == ERROR_SUCCESS && ::fsync(fd.get()) != 0) status = StatusFromErrno(errno);
    if (status == ERROR_SUCCESS && unnamed) {
        // Given a name: the final one where nothing may be overwritten, else
        // a fresh one to be renamed over the old file at once.
        const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (!overwrite) {
                temp.clear();
                if (::linkat(AT_FDCWD, self.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
                    status = StatusFromErrno(errno);
                }
                break;
            }
            char suffix[24];
            std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(Random64()));
            temp = "." + name + suffix;
            if (::linkat(AT_FDCWD, self.c_str(), dir, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
            if (errno != EEXIST) {
                status = StatusFromErrno(errno);
                temp.clear();
                break;
            }
        }
    }
    fd.reset();
    if (status == ERROR_SUCCESS && !temp.empty()) {
        int rc = overwrite ? ::renameat(dir, temp.c_str(), dir, name.c_str()) : PlaceFreshFile(dir, temp, name);
        if (rc != 0) status = StatusFromErrno(errno);
    }
    if (!temp.empty() && status != ERROR_SUCCESS) ::unlinkat(dir, temp.c_str(), 0);
    if (status == ERROR_SUCCESS) ::fsync(dir);
    return status;
}

LONG OpenParentDirectory(const std::string& path, OwnedFd& dir, std::string& name)
{
    std::string::size_type slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return ERROR_INVALID_PARAMETER;
    dir.reset(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.valid() ? ERROR_SUCCESS : StatusFromErrno(errno);
}

mode_t ModeUnderUmask(mode_t mode)
{
    // The umask is read where the kernel shows it (Linux 4.7 and later):
    // setting it to read it back would race with other threads making files.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            unsigned long mask = std::strtoul(line.c_str() + 6, nullptr, 8);
            return mode & ~static_cast<mode_t>(mask) & 0777;
        }
    }
    return mode & 0700;  // not known: the owner alone
}

uid_t StoreFilesOwner(const struct stat& directory)
{
    const bool othersWrite = (directory.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return othersWrite ? ::geteuid() : directory.st_uid;
}

LONG OpenDirectorySafely(const std::string& path, bool create, OwnedFd& out, std::string& problem)
{
    if (path.empty()) {
        problem = "no store directory is named";
        return ERROR_PATH_NOT_FOUND;
    }
    const uid_t me = ::geteuid();
    OwnedFd dir(::open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string walked = path[0] == '/' ? "/" : ".";
    std::size_t start = 0;
    for (;;) {
        if (!dir.valid()) {
            problem = "the directory " + walked + " cannot be opened: " + std::strerror(errno);
            return ERROR_ACCESS_DENIED;
        }
        struct stat st {};
        if (::fstat(dir.get(), &st) != 0) {
            problem = "the directory " + walked + " cannot be examined: " + std::strerror(errno);
            return ERROR_ACCESS_DENIED;
        }
        const bool last = path.find_first_not_of('/', start) == std::string::npos;
        // Every directory on the way must be safe from other users; the
        // last one's own mode is judged by its user (it may be a sticky
        // directory shared by all, or a store of another user's).
        if (!last && st.st_uid != 0 && st.st_uid != me) {
            problem = "the store directory " + path + " lies in " + walked +
                      ", which belongs to another user (uid " + std::to_string(st.st_uid) + ")";
            return ERROR_ACCESS_DENIED;
        }
        if (!last && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
            problem = "the store directory " + path + " lies in " + walked + ", which other users may write";
            return ERROR_ACCESS_DENIED;
        }
        if (last) break;
        start = path.find_first_not_of('/', start);
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string name = path.substr(start, end - start);
        start = end;
        walked += (walked.back() == '/' ? "" : "/") + name;
        if (name == "..") {
            problem = "the store directory " + path + " is named through \"..\"";
            return ERROR_ACCESS_DENIED;
        }
        if (name == ".") continue;
        int next = ::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(dir.get(), name.c_str(), 0755) != 0 && errno != EEXIST) {
                problem = "the store directory " + path + " does not exist and cannot be made";
                return ERROR_ACCESS_DENIED;
            }
            next = ::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) {
            const int error = errno;
            if (error == ELOOP || error == ENOTDIR) {
                struct stat link {};
                if (::fstatat(dir.get(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode)) {
                    problem = "the store directory " + path + " is reached through a link (" + walked +
                              "); name the directory itself";
                    return ERROR_ACCESS_DENIED;
                }
            }
            if (error == ENOENT) {
                problem = "the store directory " + path + " does not exist";
                return ERROR_PATH_NOT_FOUND;
            }
            problem = "the directory " + walked + " cannot be opened: " + std::strerror(error);
            return ERROR_ACCESS_DENIED;
        }
        dir.reset(next);
    }
    out = std::move(dir);
    return ERROR_SUCCESS;
}

LONG ReadStoreFile(int dir, const std::string& name, uid_t owner, std::size_t limit, std::string& out)
{
    out.clear();
    LONG status = ERROR_SUCCESS;
    OwnedFd fd = OpenStoreFile(dir, name, O_RDONLY | O_NONBLOCK, owner, status);
    if (!fd.valid()) return status;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return StatusFromErrno(errno);
    if (static_cast<std::uint64_t>(st.st_size) > limit) return ERROR_BADDB;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return StatusFromErrno(errno);
        if (n == 0) break;
        if (out.size() + static_cast<std::size_t>(n) > limit) return ERROR_BADDB;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return ERROR_SUCCESS;
}

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

}  // namespace netid::posix

// ------------------------------------------------------------ programs' files
namespace netid {

bool WriteWholeFile(const std::string& file, const std::string& content)
{
    posix::OwnedFd dir;
    std::string name;
    if (posix::OpenParentDirectory(file, dir, name) != ERROR_SUCCESS) return false;
    return posix::WriteFileAtomically(dir.get(), name, content.data(), content.size(), true,
                                      posix::ModeUnderUmask(0666)) == ERROR_SUCCESS;
}

}  // namespace netid

// ------------------------------------------------------------ the Win32 call
BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags)
{
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr ||
        (dwFlags & ~static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING)) != 0) {
        netid::posix::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Replacing is one step (rename); otherwise an existing file is never
    // touched (link, then the old name goes).
    int rc = 0;
    if ((dwFlags & MOVEFILE_REPLACE_EXISTING) != 0) {
        rc = ::rename(lpExistingFileName, lpNewFileName);
    } else {
        rc = ::link(lpExistingFileName, lpNewFileName);
        if (rc == 0) ::unlink(lpExistingFileName);
    }
    if (rc != 0) {
        netid::posix::SetLastErrorCode(static_cast<DWORD>(netid::posix::StatusFromErrno(errno)));
        return FALSE;
    }
    return TRUE;
}
