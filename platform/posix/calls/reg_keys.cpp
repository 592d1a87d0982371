// The registry calls on keys: connecting, opening, creating, closing,
// deleting, enumerating sub-keys, asking about a key and flushing. Each
// checks its arguments, resolves the handle, checks the access the key's
// descriptor grants and hands the work to the store; values, security,
// notification and hives have files of their own.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/security/access.h"
#include "platform/posix/security/kernel.h"
#include "platform/posix/base/process.h"
#include "platform/posix/calls/reg_handles.h"
#include "platform/posix/calls/reg_remote.h"
#include "platform/posix/base/reg_limits.h"
#include "platform/posix/calls/reg_text.h"
#include "platform/posix/security/security.h"
#include "platform/posix/base/text.h"

using namespace netid::posix;

namespace {

using Lock = std::unique_lock<std::mutex>;

}  // namespace

LONG WINAPI RegConnectRegistryA(LPCSTR lpMachineName, HKEY hKey, PHKEY phkResult)
{
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (lpMachineName != nullptr && *lpMachineName != '\0') {
        const char* name = lpMachineName;
        while (*name == '\\') ++name;
        char own[MAX_PATH + 1] = {};
        DWORD size = MAX_PATH;
        if (!GetComputerNameA(own, &size) || !SameName(name, own)) {
            return remote::Connect(name, Canonical(hKey), phkResult);
        }
    }
    hKey = Canonical(hKey);
    if (hKey == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    // Locally the connection is the key itself, as the platform's own
    // connection to the local machine answers.
    if (IsPredefined(hKey)) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        reg.Resolve(hKey);
        *phkResult = hKey;
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult)
{
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (remote::IsRemote(hKey)) return remote::OpenKey(hKey, lpSubKey, ulOptions, samDesired, phkResult);
    hKey = Canonical(hKey);
    if (hKey == nullptr) {
        return ERROR_INVALID_HANDLE;  // the caller's variable stays as it was
    }
    *phkResult = nullptr;
    if (IsDynData(hKey) || IsPerformanceData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (hKey == HKEY_CLASSES_ROOT) {
        // HKEY_CLASSES_ROOT opened with no path is itself, and a path beneath
        // it may start with a backslash.
        if (lpSubKey == nullptr || *lpSubKey == '\0') {
            *phkResult = HKEY_CLASSES_ROOT;
            return ERROR_SUCCESS;
        }
        if (*lpSubKey == '\\') ++lpSubKey;
    }
    std::vector<std::u16string> names;
    LONG split = SplitPath(lpSubKey, names);
    if (split != ERROR_SUCCESS) {
        return split;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle opened = reg.Open(reg.Resolve(hKey), names);
        DWORD access = reg.Grant(opened.key, reg.Current(opened.key), samDesired, ulOptions);
        *phkResult = reg.NewHandle(opened, access);
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    (void)Reserved;
    if (phkResult == nullptr || lpSubKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    if (remote::IsRemote(hKey)) return remote::CreateKey(hKey, lpSubKey, lpClass, dwOptions, samDesired, lpSecurityAttributes, phkResult, lpdwDisposition);
    hKey = Canonical(hKey);
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_INVALID_HANDLE;  // performance data is no key to make keys beneath
    }
    if (hKey == HKEY_CLASSES_ROOT && *lpSubKey == '\\') {
        ++lpSubKey;  // a path beneath HKEY_CLASSES_ROOT may start with a backslash
    }
    if ((dwOptions & ~static_cast<DWORD>(REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK |
                                         REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK)) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((dwOptions & REG_OPTION_CREATE_LINK) != 0) {
        // Symbolic links are not kept by this store.
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<std::u16string> names;
    LONG split = SplitPath(lpSubKey, names);
    if (split != ERROR_SUCCESS) {
        return split;
    }
    for (const std::u16string& name : names) {
        if (name.size() > kMaxKeyNameLength) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    const void* requested =
        lpSecurityAttributes != nullptr ? lpSecurityAttributes->lpSecurityDescriptor : nullptr;
    if (requested != nullptr && ValidateSecurityDescriptor(requested, 0) != ERROR_SUCCESS) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    const bool wantVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
    const std::u16string keyClass = NameFromA(lpClass);
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle base = reg.Resolve(hKey);
        if ((samDesired & ACCESS_SYSTEM_SECURITY) != 0 && !PrivilegeEnabled("SeSecurityPrivilege")) {
            return ERROR_PRIVILEGE_NOT_HELD;
        }
        // The common case first: the key is there and is only opened.
        Registry::Reach reach = reg.Follow(base, names);
        const std::size_t found = reach.found;
        store::KeyRef at = reach.parent;  // where the missing levels are made
        Handle result = reach.reached;
        DWORD disposition = REG_OPENED_EXISTING_KEY;
        if (found < names.size()) {
            const store::Key& parent = reg.Current(at);
            // The parent's descriptor decides who may add to it (not the
            // access of the handle the path starts from).
            reg.Grant(at, parent, KEY_CREATE_SUB_KEY, dwOptions);
            if (reg.engine.IsUsersRoot(at)) {
                return ERROR_ACCESS_DENIED;  // HKEY_USERS holds hives, not keys
            }
            if (reg.engine.Depth(at) + (names.size() - found) > kMaxDepth) {
                return ERROR_INVALID_PARAMETER;
            }
            if (parent.IsVolatile() && !wantVolatile && found + 1 == names.size()) {
                return ERROR_CHILD_MUST_BE_VOLATILE;
            }
            std::uint64_t now = NowAsFileTime();
            const Sid owner = DefaultOwner();
            store::KeyId created = 0;
            bool madeMeanwhile = false;
            LONG status = reg.engine.Commit(at, [&](store::Batch& b) -> LONG {
                const store::Model& model = b.View();
                store::KeyId id = at.id;
                for (std::size_t i = found; i < names.size(); ++i) {
                    const store::Key* p = model.Find(id);
                    if (p == nullptr) return ERROR_KEY_DELETED;
                    const bool last = i + 1 == names.size();
                    if (last && p->IsVolatile() && !wantVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
                    if (store::KeyId there = model.Child(*p, Upcase(names[i])); there != 0) {
                        if (!last || !model.Find(there)->mount.empty()) return ERROR_ALREADY_EXISTS;
                        // Another process made the key meanwhile: it is
                        // opened, in the same step (it may be gone again
                        // by the time a later step would look).
                        created = there;
                        madeMeanwhile = true;
                        return ERROR_SUCCESS;
                    }
                    // Levels made on the way are lasting keys unless they lie
                    // beneath a volatile one.
                    const bool isVolatile = last ? wantVolatile : p->IsVolatile();
                    const store::Bytes* ps = p->security != 0 ? model.Security(p->security) : nullptr;
                    std::vector<BYTE> security = DefaultKeySecurity(ps, &owner);
                    if (last && requested != nullptr) {
                        // The caller's owner and group where it names them,
                        // and its access list.
                        MergeSecurity(security, OWNER_SECURITY_INFORMATION, requested);
                        MergeSecurity(security, GROUP_SECURITY_INFORMATION, requested);
                        LONG merged = MergeSecurity(security, DACL_SECURITY_INFORMATION, requested);
                        if (merged != ERROR_SUCCESS) return merged;
                    }
                    id = b.CreateKey(id, names[i], last ? keyClass : std::u16string(),
                                     isVolatile ? store::kKeyVolatile : 0, security, now);
                }
                created = id;
                return ERROR_SUCCESS;
            });
            if (status == ERROR_ALREADY_EXISTS) {
                // Another process made it meanwhile: open what is there now.
                result = reg.Open(base, names);
            } else if (status != ERROR_SUCCESS) {
                return status;
            } else {
                result = reg.Made(base, names, reach, store::KeyRef{at.slot, created});
                disposition = madeMeanwhile ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
            }
        }
        DWORD access = reg.Grant(result.key, reg.Current(result.key), samDesired, dwOptions);
        *phkResult = reg.NewHandle(result, access);
        if (lpdwDisposition != nullptr) {
            *lpdwDisposition = disposition;
        }
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    if (remote::IsRemote(hKey)) return remote::CloseKey(hKey);
    if (IsPredefined(hKey)) {
        return ERROR_SUCCESS;
    }
    if (hKey == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    Registry& reg = TheRegistry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.CloseHandleValue(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                             LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                             LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                             LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime)
{
    if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (remote::IsRemote(hKey)) return remote::QueryInfoKey(hKey, lpClass, lpcchClass, lpcSubKeys, lpcbMaxSubKeyLen,
                                                        lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen,
                                                        lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    auto put = [](LPDWORD out, DWORD value) {
        if (out != nullptr) *out = value;
    };
    if (IsPerformanceData(hKey)) {
        if (lpClass != nullptr && *lpcchClass > 0) *lpClass = '\0';
        put(lpcchClass, 0);
        put(lpcSubKeys, 0);
        put(lpcbMaxSubKeyLen, 0);
        put(lpcbMaxClassLen, 0);
        put(lpcValues, 0);
        put(lpcbMaxValueNameLen, 0);
        put(lpcbMaxValueLen, 0);
        put(lpcbSecurityDescriptor, 0);
        CopyFileTime(0, lpftLastWriteTime);
        return ERROR_SUCCESS;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle handle = reg.Require(hKey, KEY_QUERY_VALUE);
        // Lengths in UTF-16 units and data sizes as stored (texts in UTF-16),
        // as the platform reports them to the A calls too.
        std::vector<store::SubKeyInfo> subKeys = reg.SubKeys(handle);
        DWORD maxSubKey = 0, maxClass = 0;
        for (const store::SubKeyInfo& info : subKeys) {
            maxSubKey = std::max(maxSubKey, static_cast<DWORD>(info.name.size()));
            maxClass = std::max(maxClass, static_cast<DWORD>(info.keyClass.size()));
        }
        std::vector<const store::Value*> values = reg.Values(handle);
        DWORD maxValueName = 0, maxValueData = 0;
        for (const store::Value* v : values) {
            maxValueName = std::max(maxValueName, static_cast<DWORD>(v->name.size()));
            maxValueData = std::max(maxValueData, static_cast<DWORD>(v->data.size()));
        }
        const store::Key& key = reg.Current(handle.key);
        LONG status = ERROR_SUCCESS;
        if (lpcchClass != nullptr) {
            std::string keyClass = NameToA(key.keyClass);
            if (lpClass == nullptr) {
                *lpcchClass = static_cast<DWORD>(keyClass.size());
            } else if (*lpcchClass == 0) {
                *lpcchClass = 0;  // no room even for the terminator: nothing is written
            } else if (!CopyToBuffer(keyClass, lpClass, *lpcchClass)) {
                // What fits is delivered, terminated, with its length.
                std::string cut = TruncatedA(keyClass, *lpcchClass - 1);
                CopyToBuffer(cut, lpClass, *lpcchClass);
                *lpcchClass = static_cast<DWORD>(cut.size());
                status = ERROR_MORE_DATA;
            } else {
                *lpcchClass = static_cast<DWORD>(keyClass.size());
            }
        }
        put(lpcSubKeys, static_cast<DWORD>(subKeys.size()));
        put(lpcbMaxSubKeyLen, maxSubKey);
        put(lpcbMaxClassLen, maxClass);
        put(lpcValues, static_cast<DWORD>(values.size()));
        put(lpcbMaxValueNameLen, maxValueName);
        put(lpcbMaxValueLen, maxValueData);
        put(lpcbSecurityDescriptor, static_cast<DWORD>(reg.engine.SecurityOf(handle.key, key).size()));
        CopyFileTime(key.lastWrite, lpftLastWriteTime);
        return status;
    });
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    if (lpSubKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (remote::IsRemote(hKey)) return remote::DeleteKey(hKey, lpSubKey);
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    std::vector<std::u16string> names;
    LONG split = SplitPath(lpSubKey, names);
    if (split != ERROR_SUCCESS) {
        return split;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        // Beneath HKEY_CLASSES_ROOT the user's key goes where there is one.
        store::KeyRef ref = reg.Open(reg.Resolve(hKey), names).key;
        const store::Key& key = reg.Current(ref);
        // The top key of a hive is never deleted (a loaded hive is unloaded).
        if (reg.engine.IsHiveRoot(ref)) {
            return ERROR_ACCESS_DENIED;
        }
        // The key is opened for DELETE, which its descriptor must grant.
        reg.Grant(ref, key, DELETE, 0);
        if (!key.children.empty()) {
            return ERROR_ACCESS_DENIED;
        }
        return reg.engine.Commit(ref, [&](store::Batch& b) -> LONG {
            const store::Key* now = b.View().Find(ref.id);
            if (now == nullptr) return ERROR_FILE_NOT_FOUND;  // gone meanwhile
            if (!now->children.empty()) return ERROR_ACCESS_DENIED;
            b.DeleteKey(ref.id);
            return ERROR_SUCCESS;
        });
    });
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime)
{
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
        (lpClass != nullptr && lpcchClass == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (remote::IsRemote(hKey)) return remote::EnumKey(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime);
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle handle = reg.Require(hKey, KEY_ENUMERATE_SUB_KEYS);
        store::SubKeyInfo entry;
        LONG status = reg.SubKeyAt(hKey, handle, dwIndex, entry);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        std::string name = NameToA(entry.name);
        std::string keyClass = NameToA(entry.keyClass);
        if (!CopyToBuffer(name, lpName, *lpcchName)) {
            return ERROR_MORE_DATA;
        }
        if (lpClass != nullptr) {
            if (!CopyToBuffer(keyClass, lpClass, *lpcchClass)) {
                *lpcchClass = static_cast<DWORD>(keyClass.size());
                return ERROR_MORE_DATA;
            }
        }
        *lpcchName = static_cast<DWORD>(name.size());
        if (lpcchClass != nullptr) *lpcchClass = static_cast<DWORD>(keyClass.size());
        CopyFileTime(entry.lastWrite, lpftLastWriteTime);
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName)
{
    DWORD size = cchName;
    return RegEnumKeyExA(hKey, dwIndex, lpName, &size, nullptr, nullptr, nullptr, nullptr);
}

LONG WINAPI RegFlushKey(HKEY hKey)
{
    if (remote::IsRemote(hKey)) return remote::FlushKey(hKey);
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_SUCCESS;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle handle = reg.Resolve(hKey);
        return reg.engine.Flush(handle.key);
    });
}
