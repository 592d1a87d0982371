// File system and host helpers of the registry (see files.h); no registry
// logic.
#include "platform/posix/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
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
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
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
    int fd = ::mkstemp(buf.data());
    if (fd < 0) return StatusFromErrno(errno);
    ::close(fd);
    temp = buf.data();
    return ERROR_SUCCESS;
}

LONG StatusFromErrno(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT: return ERROR_CANTWRITE;
    default: return ERROR_REGISTRY_IO_FAILED;
    }
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
