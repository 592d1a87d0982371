// Saving, restoring, loading, unloading and replacing hives.
//
// A loaded hive lives in the store like any other key while it is loaded;
// the file it came from gets the key's contents back when it is unloaded, or
// at the next start of the machine if it never was. Loads and pending
// replacements are kept in two small record files in the store directory,
// changed under a lock so that several processes agree on them.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/hive_boot.h"
#include "platform/posix/hive_file.h"
#include "platform/posix/internal.h"

namespace netid::posix {
namespace {

// ------------------------------------------------------------ small helpers
std::string Lower(std::string s)
{
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

bool SameName(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

// Where `key` stands: the root under which hives live ("HKEY_LOCAL_MACHINE"
// or "HKEY_USERS") and the path beneath it. False for any other handle.
bool HiveLocation(HKEY key, std::string& rootName, std::string& path)
{
    rootName.clear();
    path.clear();
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_USERS) {
        rootName = key == HKEY_USERS ? "HKEY_USERS" : "HKEY_LOCAL_MACHINE";
        return true;
    }
    // The other predefined roots are views into these two, not hive roots.
    if (key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_CONFIG ||
        key == HKEY_PERFORMANCE_DATA || key == HKEY_DYN_DATA) {
        return false;
    }
    std::string full;
    if (KeyFullPath(key, full) != ERROR_SUCCESS) return false;
    size_t cut = full.find('\\');
    rootName = full.substr(0, cut);
    if (cut != std::string::npos) path = full.substr(cut + 1);
    return true;
}

// The name of a root under which hives may be loaded, given by its own
// handle or by an open handle on that root key; empty for any other.
std::string HiveRootName(HKEY key)
{
    std::string rootName;
    std::string path;
    if (!HiveLocation(key, rootName, path) || !path.empty()) return std::string();
    return rootName;
}

HKEY HiveRootHandle(const std::string& name)
{
    return name == "HKEY_USERS" ? HKEY_USERS : HKEY_LOCAL_MACHINE;
}

// A sub-key path with its backslashes trimmed at both ends; empty when a
// component is empty.
std::string CleanPath(const char* path)
{
    std::string p(path);
    while (!p.empty() && p.front() == '\\') p.erase(p.begin());
    while (!p.empty() && p.back() == '\\') p.pop_back();
    if (p.find("\\\\") != std::string::npos) return std::string();
    return p;
}

std::string DirectoryOf(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The absolute form of a file name, for comparing and for recording.
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

void SyncDirectory(const std::string& dir)
{
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// A fresh, unused file name beside `path`.
LONG TempBeside(const std::string& path, std::string& temp)
{
    std::string pattern = DirectoryOf(path) + "/.hive-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    int fd = ::mkstemp(buf.data());
    if (fd < 0) return hive::StatusFromErrno(errno);
    ::close(fd);
    temp = buf.data();
    return ERROR_SUCCESS;
}

// Writes `tree` as a hive at `path`. With `overwrite` false an existing file
// is left alone and ERROR_ALREADY_EXISTS returned; either way the file
// appears whole or not at all.
LONG WriteHiveAtomically(const std::string& path, const RegTree& tree, bool overwrite)
{
    if (!overwrite && FileExists(path)) return ERROR_ALREADY_EXISTS;
    std::string temp;
    LONG status = TempBeside(path, temp);
    if (status != ERROR_SUCCESS) return status;
    status = hive::WriteHiveFile(temp, tree);
    if (status == ERROR_SUCCESS) {
        int rc = overwrite ? ::rename(temp.c_str(), path.c_str()) : ::link(temp.c_str(), path.c_str());
        if (rc != 0) status = hive::StatusFromErrno(errno);
    }
    if (status != ERROR_SUCCESS || !overwrite) ::unlink(temp.c_str());
    if (status == ERROR_SUCCESS) SyncDirectory(DirectoryOf(path));
    return status;
}

struct KeyHandle {
    HKEY key = nullptr;
    ~KeyHandle()
    {
        if (key != nullptr) RegCloseKey(key);
    }
};

// Removes `name` beneath `parent` with everything beneath it.
LONG DeleteTree(HKEY parent, const std::string& name)
{
    KeyHandle k;
    LONG status = RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, &k.key);
    if (status != ERROR_SUCCESS) return status;
    for (;;) {
        char child[256];
        DWORD len = sizeof child;
        status = RegEnumKeyExA(k.key, 0, child, &len, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) return status;
        status = DeleteTree(k.key, child);
        if (status != ERROR_SUCCESS) return status;
    }
    return RegDeleteKeyA(parent, name.c_str());
}

// ------------------------------------------------------------ record files
// One record a line, fields apart by tabs; backslash escapes a tab, a line
// end or itself inside a field.
using Record = std::vector<std::string>;

std::string Escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::vector<Record> ParseRecords(const std::string& text)
{
    std::vector<Record> out;
    Record rec;
    std::string field;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            char n = text[++i];
            field += n == 't' ? '\t' : n == 'n' ? '\n' : n;
        } else if (c == '\t') {
            rec.push_back(field);
            field.clear();
        } else if (c == '\n') {
            rec.push_back(field);
            out.push_back(rec);
            rec.clear();
            field.clear();
        } else {
            field += c;
        }
    }
    // A last line without its end was never written whole: it is dropped.
    return out;
}

// The store directory's record files, held under an exclusive lock for the
// life of this object.
class Records {
public:
    Records()
    {
        m_dir = StoreDirectory();
        std::string lock = m_dir + "/hives.lock";
        m_lock = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_lock >= 0) {
            while (::flock(m_lock, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~Records()
    {
        if (m_lock >= 0) ::close(m_lock);
    }
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;

    bool Ok() const { return m_lock >= 0; }
    std::string Dir() const { return m_dir; }

    std::vector<Record> Read(const char* name) const
    {
        std::string path = m_dir + "/" + name;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return {};
        std::string text;
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
        return ParseRecords(text);
    }

    LONG Write(const char* name, const std::vector<Record>& records) const
    {
        std::string text;
        for (const Record& r : records) {
            for (std::size_t i = 0; i < r.size(); ++i) {
                if (i > 0) text += '\t';
                text += Escape(r[i]);
            }
            text += '\n';
        }
        std::string path = m_dir + "/" + name;
        std::string temp = path + ".new";
        int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return hive::StatusFromErrno(errno);
        std::size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                int e = errno;
                ::close(fd);
                return hive::StatusFromErrno(e);
            }
            done += static_cast<std::size_t>(n);
        }
        bool synced = ::fsync(fd) == 0;
        ::close(fd);
        if (!synced || ::rename(temp.c_str(), path.c_str()) != 0) return ERROR_CANTWRITE;
        SyncDirectory(m_dir);
        return ERROR_SUCCESS;
    }

private:
    std::string m_dir;
    int m_lock = -1;
};

// Loaded hives: root, key name, file, boot id at loading.
constexpr const char* kMounts = "hives.loaded";
constexpr std::size_t kMountFields = 4;
// Pending replacements: root, key path, staged copy of the new file, old
// file, boot id at recording.
constexpr const char* kReplacements = "hives.replace";
constexpr std::size_t kReplacementFields = 5;

// ------------------------------------------------------------ carrying things out
// Writes a loaded hive back to its file and takes it out of the store.
LONG Detach(const Record& mount)
{
    HKEY root = HiveRootHandle(mount[0]);
    KeyHandle k;
    LONG status = RegOpenKeyExA(root, mount[1].c_str(), 0, KEY_READ, &k.key);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;  // already gone
    if (status != ERROR_SUCCESS) return status;
    RegTree tree;
    status = ExportKeyTree(k.key, tree);
    if (status != ERROR_SUCCESS) return status;
    tree.name = mount[1];
    status = WriteHiveAtomically(mount[2], tree, true);
    if (status != ERROR_SUCCESS) return status;
    RegCloseKey(k.key);
    k.key = nullptr;
    return DeleteTree(root, mount[1]);
}

// One pending replacement, on a new boot: the key's contents go to the old
// file, the staged new contents take their place. A loaded hive's own file
// gets the new contents instead of the store.
LONG CarryOut(const Record& rep, std::vector<Record>& mounts)
{
    RegTree fresh;
    LONG status = hive::ReadHiveFile(rep[2], fresh);
    if (status != ERROR_SUCCESS) return status;
    HKEY root = HiveRootHandle(rep[0]);
    KeyHandle k;
    status = RegOpenKeyExA(root, rep[1].c_str(), 0, KEY_ALL_ACCESS, &k.key);
    if (status != ERROR_SUCCESS) return status;
    RegTree old;
    status = ExportKeyTree(k.key, old);
    if (status != ERROR_SUCCESS) return status;
    std::string::size_type slash = rep[1].rfind('\\');
    old.name = slash == std::string::npos ? rep[1] : rep[1].substr(slash + 1);
    status = WriteHiveAtomically(rep[3], old, false);
    if (status != ERROR_SUCCESS) return status;  // the old contents must be kept first

    for (auto it = mounts.begin(); it != mounts.end(); ++it) {
        if ((*it)[0] == rep[0] && SameName((*it)[1], rep[1])) {
            fresh.name = (*it)[1];
            status = WriteHiveAtomically((*it)[2], fresh, true);
            if (status != ERROR_SUCCESS) return status;
            RegCloseKey(k.key);
            k.key = nullptr;
            status = DeleteTree(root, (*it)[1]);
            if (status == ERROR_SUCCESS) mounts.erase(it);
            return status;
        }
    }
    return ReplaceKeyContents(k.key, fresh, false);
}

bool IsOneName(const std::string& name)
{
    return !name.empty() && name.find('\\') == std::string::npos;
}

}  // namespace

void hive::CarryOutBootWork()
{
    Records records;
    if (!records.Ok()) return;
    // Only what was recorded during an earlier run of the machine is due.
    const std::string boot = CurrentBootId();
    std::vector<Record> mounts = records.Read(kMounts);
    std::vector<Record> reps = records.Read(kReplacements);
    std::vector<Record> keptReps;
    for (const Record& rep : reps) {
        if (rep.size() != kReplacementFields) continue;
        if (rep[4] == boot) {
            keptReps.push_back(rep);
        } else if (CarryOut(rep, mounts) == ERROR_SUCCESS) {
            ::unlink(rep[2].c_str());
        } else {
            keptReps.push_back(rep);  // tried again at the next start
        }
    }
    // Loaded hives do not outlive the machine's run: each goes back to its file.
    std::vector<Record> keptMounts;
    for (const Record& m : mounts) {
        if (m.size() != kMountFields) continue;
        if (m[3] == boot || Detach(m) != ERROR_SUCCESS) keptMounts.push_back(m);
    }
    records.Write(kReplacements, keptReps);
    records.Write(kMounts, keptMounts);
}

void OnNewBoot() { hive::CarryOutBootWork(); }

}  // namespace netid::posix

using namespace netid::posix;

LONG WINAPI RegSaveKeyA(HKEY hKey, LPCSTR lpFile, LPSECURITY_ATTRIBUTES)
{
    if (lpFile == nullptr || *lpFile == '\0') return ERROR_INVALID_PARAMETER;
    RegTree tree;
    LONG status = ExportKeyTree(hKey, tree);
    if (status != ERROR_SUCCESS) return status;
    std::string file(lpFile);
    if (FileExists(file)) return ERROR_ALREADY_EXISTS;
    if (!PrivilegeEnabled(SE_BACKUP_NAME)) return ERROR_PRIVILEGE_NOT_HELD;
    return WriteHiveAtomically(file, tree, false);
}

LONG WINAPI RegRestoreKeyA(HKEY hKey, LPCSTR lpFile, DWORD dwFlags)
{
    const DWORD known = REG_WHOLE_HIVE_VOLATILE | REG_REFRESH_HIVE | REG_NO_LAZY_FLUSH | REG_FORCE_RESTORE;
    if (lpFile == nullptr || *lpFile == '\0' || (dwFlags & ~known) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    bool wholeVolatile = (dwFlags & REG_WHOLE_HIVE_VOLATILE) != 0;
    if (wholeVolatile && HiveRootName(hKey).empty()) return ERROR_INVALID_PARAMETER;
    if (!PrivilegeEnabled(SE_RESTORE_NAME)) return ERROR_PRIVILEGE_NOT_HELD;

    RegTree tree;
    LONG status = hive::ReadHiveFile(lpFile, tree);
    if (status != ERROR_SUCCESS) return status;
    if ((dwFlags & REG_FORCE_RESTORE) == 0 && HandlesOpenBeneath(hKey, hKey)) {
        return ERROR_ACCESS_DENIED;
    }
    return ReplaceKeyContents(hKey, tree, wholeVolatile);
}

LONG WINAPI RegLoadKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpFile)
{
    if (lpSubKey == nullptr || lpFile == nullptr || *lpFile == '\0') return ERROR_INVALID_PARAMETER;
    std::string rootName = HiveRootName(hKey);
    std::string name(lpSubKey);
    if (rootName.empty() || !IsOneName(name)) return ERROR_INVALID_PARAMETER;
    if (!PrivilegeEnabled(SE_BACKUP_NAME) || !PrivilegeEnabled(SE_RESTORE_NAME)) {
        return ERROR_PRIVILEGE_NOT_HELD;
    }
    std::string file = AbsolutePath(lpFile);

    Records records;
    if (!records.Ok()) return ERROR_REGISTRY_IO_FAILED;
    std::vector<Record> mounts = records.Read(kMounts);
    for (const Record& m : mounts) {
        if (m.size() == kMountFields && m[2] == file) return ERROR_SHARING_VIOLATION;  // in use already
    }

    RegTree tree;
    LONG status = hive::ReadHiveFile(file, tree);
    if (status != ERROR_SUCCESS) return status;

    KeyHandle k;
    DWORD disposition = 0;
    status = RegCreateKeyExA(hKey, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                             nullptr, &k.key, &disposition);
    if (status != ERROR_SUCCESS) return status;
    if (disposition != REG_CREATED_NEW_KEY) return ERROR_ALREADY_EXISTS;
    status = ReplaceKeyContents(k.key, tree, false);
    if (status == ERROR_SUCCESS) {
        mounts.push_back({rootName, name, file, CurrentBootId()});
        status = records.Write(kMounts, mounts);
    }
    if (status != ERROR_SUCCESS) {
        RegCloseKey(k.key);
        k.key = nullptr;
        DeleteTree(hKey, name);
    }
    return status;
}

LONG WINAPI RegUnLoadKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::string rootName = HiveRootName(hKey);
    std::string name = CleanPath(lpSubKey);
    if (hKey == nullptr) return ERROR_INVALID_HANDLE;
    if (rootName.empty() || !IsOneName(name)) return ERROR_INVALID_PARAMETER;
    if (!PrivilegeEnabled(SE_BACKUP_NAME) || !PrivilegeEnabled(SE_RESTORE_NAME)) {
        return ERROR_PRIVILEGE_NOT_HELD;
    }

    Records records;
    if (!records.Ok()) return ERROR_REGISTRY_IO_FAILED;
    std::vector<Record> mounts = records.Read(kMounts);
    auto it = mounts.begin();
    for (; it != mounts.end(); ++it) {
        if (it->size() == kMountFields && (*it)[0] == rootName && SameName((*it)[1], name)) break;
    }
    KeyHandle k;
    LONG status = RegOpenKeyExA(hKey, name.c_str(), 0, KEY_READ, &k.key);
    if (status != ERROR_SUCCESS) return status;
    if (it == mounts.end()) return ERROR_INVALID_PARAMETER;  // not a loaded hive
    if (HandlesOpenBeneath(k.key, k.key)) return ERROR_ACCESS_DENIED;
    RegCloseKey(k.key);
    k.key = nullptr;

    status = Detach(*it);
    if (status != ERROR_SUCCESS) return status;
    mounts.erase(it);
    return records.Write(kMounts, mounts);
}

LONG WINAPI RegReplaceKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpNewFile, LPCSTR lpOldFile)
{
    if (lpSubKey == nullptr || lpNewFile == nullptr || lpOldFile == nullptr || *lpNewFile == '\0' ||
        *lpOldFile == '\0') {
        return ERROR_INVALID_PARAMETER;
    }
    std::string rootName;
    std::string base;
    std::string path = CleanPath(lpSubKey);
    if (!HiveLocation(hKey, rootName, base) || path.empty()) return ERROR_INVALID_PARAMETER;
    if (!base.empty()) path = base + "\\" + path;
    if (!PrivilegeEnabled(SE_BACKUP_NAME) || !PrivilegeEnabled(SE_RESTORE_NAME)) {
        return ERROR_PRIVILEGE_NOT_HELD;
    }
    {
        KeyHandle k;
        LONG status = RegOpenKeyExA(HiveRootHandle(rootName), path.c_str(), 0, KEY_READ, &k.key);
        if (status != ERROR_SUCCESS) return status;
    }
    std::string oldFile = AbsolutePath(lpOldFile);
    if (FileExists(oldFile)) return ERROR_ALREADY_EXISTS;

    // The new file is checked now and a copy of it kept, so that what is put
    // in place at the next start is what was handed over today.
    RegTree fresh;
    LONG status = hive::ReadHiveFile(lpNewFile, fresh);
    if (status != ERROR_SUCCESS) return status;

    Records records;
    if (!records.Ok()) return ERROR_REGISTRY_IO_FAILED;
    std::string staged;
    status = TempBeside(records.Dir() + "/x", staged);
    if (status != ERROR_SUCCESS) return status;
    ::unlink(staged.c_str());
    status = WriteHiveAtomically(staged, fresh, false);
    if (status != ERROR_SUCCESS) return status;
    std::vector<Record> reps = records.Read(kReplacements);
    reps.push_back({rootName, path, staged, oldFile, CurrentBootId()});
    status = records.Write(kReplacements, reps);
    if (status != ERROR_SUCCESS) ::unlink(staged.c_str());
    return status;
}
