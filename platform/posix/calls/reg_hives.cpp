// SPDX-License-Identifier: LGPL-2.1-or-later
// The registry calls on hives: saving a key to a hive file, restoring one
// from a file, loading and unloading a hive, and replacing one at the next
// start of the machine. Hive files are read and written by hive_read.cpp
// and hive_write.cpp; a loaded hive is a hive of the store of its own, hung
// at a key of the root it was loaded under, with where it came from
// (hive_records.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/posix/base/files.h"
#include "platform/posix/regf/hive_file.h"
#include "platform/posix/calls/hive_records.h"
#include "platform/posix/security/kernel.h"
#include "platform/posix/calls/reg_handles.h"
#include "platform/posix/calls/reg_remote.h"
#include "platform/posix/calls/reg_text.h"
#include "platform/posix/calls/reg_trees.h"
#include "platform/posix/store/store_trees.h"
#include "platform/posix/base/text.h"

using namespace netid::posix;
using namespace netid::posix::hive;

namespace {

using Lock = std::unique_lock<std::mutex>;

// The root under which hives are loaded that `key` stands for: its own
// predefined handle, or a handle open on that root's top key. Null for any
// other key.
HKEY HiveRoot(HKEY key)
{
    key = Canonical(key);
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_USERS) return key;
    if (key == nullptr || IsPredefined(key)) return nullptr;
    HKEY root = nullptr;
    Guarded([&](Registry& reg, Lock&) -> LONG {
        store::KeyRef ref = reg.Resolve(key).key;
        store::KeyRef users;
        if (ref == reg.engine.Machine()) root = HKEY_LOCAL_MACHINE;
        if (reg.engine.Users(users) == ERROR_SUCCESS && ref == users) root = HKEY_USERS;
        return ERROR_SUCCESS;
    });
    return root;
}

// The root name as the record of a replacement keeps it, and the path of
// `key` beneath that root; false when `key` is not below one.
bool HiveLocation(HKEY key, std::string& rootName, std::string& path)
{
    rootName.clear();
    path.clear();
    key = Canonical(key);
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_USERS) {
        rootName = key == HKEY_USERS ? "HKEY_USERS" : "HKEY_LOCAL_MACHINE";
        return true;
    }
    if (key == nullptr || IsPredefined(key)) return false;
    LONG status = Guarded([&](Registry& reg, Lock&) -> LONG {
        store::KeyRef at = reg.Resolve(key).key;
        std::vector<std::u16string> names;
        store::KeyRef users;
        reg.engine.Users(users);
        // Up through the hives to HKEY_LOCAL_MACHINE or HKEY_USERS.
        while (!(at == reg.engine.Machine()) && !(at == users)) {
            at = reg.engine.MountPoint(at);
            const store::Key& key = reg.Current(at);
            if (at.id == store::kRootKey && !at.slot->parent) {
                // A user's own hive hangs below HKEY_USERS by its name.
                names.push_back(key.name);
                at = users;
                break;
            }
            names.push_back(key.name);
            at = store::KeyRef{at.slot, key.parent};
        }
        rootName = at == users ? "HKEY_USERS" : "HKEY_LOCAL_MACHINE";
        for (auto it = names.rbegin(); it != names.rend(); ++it) {
            if (!path.empty()) path += '\\';
            path += NameToA(*it);
        }
        return ERROR_SUCCESS;
    });
    return status == ERROR_SUCCESS;
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

bool IsOneName(const std::string& name) { return !name.empty() && name.find('\\') == std::string::npos; }

}  // namespace

LONG WINAPI RegSaveKeyA(HKEY hKey, LPCSTR lpFile, LPSECURITY_ATTRIBUTES)
{
    return Contained([&]() -> LONG {
        if (lpFile == nullptr || *lpFile == '\0') return ERROR_INVALID_PARAMETER;
        if (remote::IsRemote(hKey)) return remote::SaveKey(hKey, lpFile);
        RegTree tree;
        LONG status = ExportKeyTree(hKey, tree);
        if (status != ERROR_SUCCESS) return status;
        std::string file(lpFile);
        if (FileExists(file)) return ERROR_ALREADY_EXISTS;
        if (!PrivilegeEnabled(SE_BACKUP_NAME)) return ERROR_PRIVILEGE_NOT_HELD;
        return WriteHiveFile(file, tree, false);
    });
}

LONG WINAPI RegRestoreKeyA(HKEY hKey, LPCSTR lpFile, DWORD dwFlags)
{
    return Contained([&]() -> LONG {
        const DWORD known = REG_WHOLE_HIVE_VOLATILE | REG_REFRESH_HIVE | REG_NO_LAZY_FLUSH | REG_FORCE_RESTORE;
        if (lpFile == nullptr || *lpFile == '\0' || (dwFlags & ~known) != 0) {
            return ERROR_INVALID_PARAMETER;
        }
        if (remote::IsRemote(hKey)) return remote::RestoreKey(hKey, lpFile, dwFlags);
        bool wholeVolatile = (dwFlags & REG_WHOLE_HIVE_VOLATILE) != 0;
        if (wholeVolatile && HiveRoot(hKey) == nullptr) return ERROR_INVALID_PARAMETER;
        if (!PrivilegeEnabled(SE_RESTORE_NAME)) return ERROR_PRIVILEGE_NOT_HELD;

        RegTree tree;
        LONG status = ReadHiveFile(lpFile, tree);
        if (status != ERROR_SUCCESS) return status;
        if ((dwFlags & REG_FORCE_RESTORE) == 0 && HandlesOpenBeneath(hKey, hKey)) {
            return ERROR_ACCESS_DENIED;
        }
        return ReplaceKeyContents(hKey, tree, wholeVolatile);
    });
}

LONG WINAPI RegLoadKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpFile)
{
    return Contained([&]() -> LONG {
        if (lpSubKey == nullptr || lpFile == nullptr || *lpFile == '\0') return ERROR_INVALID_PARAMETER;
        if (remote::IsRemote(hKey)) return remote::LoadKey(hKey, lpSubKey, lpFile);
        HKEY root = HiveRoot(hKey);
        std::string name(lpSubKey);
        if (root == nullptr || !IsOneName(name)) return ERROR_INVALID_PARAMETER;
        // Loading and unloading need the restore privilege alone.
        if (!PrivilegeEnabled(SE_RESTORE_NAME)) return ERROR_PRIVILEGE_NOT_HELD;
        Origin origin;
        origin.boot = CurrentBootId();
        // The directory's absolute name; the file's own name is not resolved,
        // so that a link there is refused below rather than followed.
        {
            const std::string given = lpFile;
            const std::string::size_type slash = given.rfind('/');
            std::string dir = AbsolutePath(slash == std::string::npos ? std::string(".") : DirectoryOf(given));
            if (dir.empty() || dir.back() != '/') dir += '/';
            origin.file = dir + (slash == std::string::npos ? given : given.substr(slash + 1));
        }
        // The file is opened once, never through a link, and what was opened is
        // what is checked, read and recorded: a name swapped for a link meanwhile
        // is refused, not followed.
        RegTree tree;
        mode_t mode = 0600;
        {
            OwnedFd dir;
            std::string base;
            LONG status = OpenParentDirectory(origin.file, dir, base);
            if (status != ERROR_SUCCESS) return status;
            OwnedFd file(::openat(dir.get(), base.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!file.valid()) return StatusFromErrno(errno);
            struct stat st {};
            struct stat fileStat {};
            if (::fstat(dir.get(), &st) != 0 || ::fstat(file.get(), &fileStat) != 0) return StatusFromErrno(errno);
            if (!S_ISREG(fileStat.st_mode)) return ERROR_ACCESS_DENIED;
            origin.dirDevice = st.st_dev;
            origin.dirInode = st.st_ino;
            origin.fileDevice = fileStat.st_dev;
            origin.fileInode = fileStat.st_ino;
            // The store's copy is never more readable than the file: others read
            // it only where they may read the file; the group only where the
            // copy's group (this process's) is the file's and may read it.
            const bool othersRead = (fileStat.st_mode & S_IROTH) != 0;
            const bool groupRead = (fileStat.st_mode & S_IRGRP) != 0 && fileStat.st_gid == ::getegid();
            mode = 0600 | (othersRead ? S_IROTH : 0) | (groupRead ? S_IRGRP : 0);
            status = ReadHiveDescriptor(file.get(), tree);
            if (status != ERROR_SUCCESS) return status;
        }
        const std::u16string keyName = NameFromA(lpSubKey);
        return Guarded([&](Registry& reg, Lock&) -> LONG {
            store::KeyRef top = reg.Resolve(root).key;
            const store::Key& parent = reg.Current(top);
            // A file is loaded once at a time.
            const store::Model& model = top.slot->hive->View();
            for (HKEY other : {HKEY_LOCAL_MACHINE, HKEY_USERS}) {
                store::KeyRef otherTop = reg.Resolve(other).key;
                const store::Model& m = otherTop.slot->hive->View();
                for (const store::ChildRef& c : reg.Current(otherTop).Children()) {
                    Origin loaded;
                    const store::Key* k = m.Find(c.id);
                    if (k != nullptr && DecodeOrigin(k->mountOrigin, loaded) &&
                        ((loaded.fileInode != 0 && loaded.fileDevice == origin.fileDevice &&
                          loaded.fileInode == origin.fileInode) ||
                         loaded.file == origin.file)) {
                        return ERROR_SHARING_VIOLATION;
                    }
                }
            }
            if (model.Child(parent, Upcase(keyName)) != 0) return ERROR_ALREADY_EXISTS;
            if (store::CheckTree(tree, 1) != ERROR_SUCCESS) return ERROR_BADDB;
            // The hive's files are made whole first and hung in place in one
            // commit: a crash in between leaves a file no key names, which the
            // next start removes.
            std::string hiveName;
            LONG s = reg.engine.CreateLoadedHive(mode, tree.name, tree.security,
                                                 [&](store::Batch& b) -> LONG {
                                                     store::ImportTree(b, store::kRootKey, tree, false);
                                                     b.SetTime(store::kRootKey, tree.lastWrite);
                                                     return ERROR_SUCCESS;
                                                 },
                                                 hiveName);
            if (s != ERROR_SUCCESS) return s;
            return reg.engine.Mount(top, keyName, hiveName, EncodeOrigin(origin));
        });
    });
}

LONG WINAPI RegUnLoadKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    return Contained([&]() -> LONG {
        if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
        if (hKey == nullptr) return ERROR_INVALID_HANDLE;
        if (remote::IsRemote(hKey)) return remote::UnLoadKey(hKey, lpSubKey);
        HKEY root = HiveRoot(hKey);
        std::string name = CleanPath(lpSubKey);
        if (root == nullptr || !IsOneName(name)) return ERROR_INVALID_PARAMETER;
        // Loading and unloading need the restore privilege alone.
        if (!PrivilegeEnabled(SE_RESTORE_NAME)) return ERROR_PRIVILEGE_NOT_HELD;
        return Unload(root, NameFromA(name.c_str()), true);
    });
}

LONG WINAPI RegReplaceKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpNewFile, LPCSTR lpOldFile)
{
    return Contained([&]() -> LONG {
        if (lpSubKey == nullptr || lpNewFile == nullptr || lpOldFile == nullptr || *lpNewFile == '\0' ||
            *lpOldFile == '\0') {
            return ERROR_INVALID_PARAMETER;
        }
        if (remote::IsRemote(hKey)) return remote::ReplaceKey(hKey, lpSubKey, lpNewFile, lpOldFile);
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
        std::string staged = records.Dir() + "/.staged-" + std::to_string(Random64()) + ".hiv";
        status = WriteHiveFile(staged, fresh, false);
        if (status != ERROR_SUCCESS) return status;
        std::vector<Record> reps = records.Read(kReplacements);
        reps.push_back({rootName, path, staged, oldFile, CurrentBootId()});
        status = records.Write(kReplacements, reps);
        if (status != ERROR_SUCCESS) ::unlink(staged.c_str());
        return status;
    });
}
