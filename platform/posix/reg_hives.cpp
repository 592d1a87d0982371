// The registry calls on hives: saving a key to a hive file, restoring one
// from a file, loading and unloading a hive, and replacing one at the next
// start of the machine. Hive files are read and written by hive_file.cpp,
// the records of loads and replacements kept by hive_records.cpp.
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/posix/files.h"
#include "platform/posix/hive_file.h"
#include "platform/posix/hive_records.h"
#include "platform/posix/kernel.h"
#include "platform/posix/reg_trees.h"
#include "platform/posix/text.h"

using namespace netid::posix;
using namespace netid::posix::hive;

namespace {

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

bool IsOneName(const std::string& name)
{
    return !name.empty() && name.find('\\') == std::string::npos;
}

}  // namespace

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
    LONG status = ReadHiveFile(lpFile, tree);
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
    LONG status = ReadHiveFile(file, tree);
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
    LONG status = ReadHiveFile(lpNewFile, fresh);
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
