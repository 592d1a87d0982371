// The registry calls on keys: connecting, opening, creating, closing,
// deleting, enumerating sub-keys, asking about a key and flushing. Each
// checks its arguments, resolves the handle and hands the work to one engine
// primitive; values, security, notification and hives have files of their own.
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/kernel.h"
#include "platform/posix/reg_handles.h"
#include "platform/posix/reg_limits.h"
#include "platform/posix/security.h"
#include "platform/posix/text.h"

using namespace netid::posix;

namespace {

using Lock = std::unique_lock<std::mutex>;

// Splits a sub-key path into its names. A leading backslash, or an empty name
// inside the path, is a malformed path; one trailing backslash is allowed.
LONG SplitPath(const char* path, std::vector<std::string>& names)
{
    names.clear();
    if (path == nullptr || *path == '\0') {
        return ERROR_SUCCESS;
    }
    if (*path == '\\') {
        return ERROR_BAD_PATHNAME;
    }
    std::string text(path);
    if (text.back() == '\\') {
        text.pop_back();
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\\', start);
        if (end == std::string::npos) end = text.size();
        if (end == start) {
            return ERROR_BAD_PATHNAME;
        }
        names.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

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
            return ERROR_BAD_NETPATH;
        }
    }
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
    (void)ulOptions;
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *phkResult = nullptr;
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        if (lpSubKey == nullptr || *lpSubKey == '\0') {
            *phkResult = hKey;
            return ERROR_SUCCESS;
        }
        return ERROR_FILE_NOT_FOUND;
    }
    std::vector<std::string> names;
    LONG split = SplitPath(lpSubKey, names);
    if (split != ERROR_SUCCESS) {
        return split;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle base = reg.Resolve(hKey);
        std::int64_t id = reg.engine.FindPath(base.keyId, names);
        if (id == 0) {
            return ERROR_FILE_NOT_FOUND;
        }
        DWORD access = MapAccess(samDesired, reg.ReadOnly());
        if ((access & kWriteRights) != 0 && reg.ReadOnly()) {
            return ERROR_ACCESS_DENIED;
        }
        if ((access & ACCESS_SYSTEM_SECURITY) != 0 && !PrivilegeEnabled("SeSecurityPrivilege")) {
            return ERROR_PRIVILEGE_NOT_HELD;
        }
        *phkResult = reinterpret_cast<HKEY>(reg.NewHandle(id, access));
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
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_ACCESS_DENIED;
    }
    if ((dwOptions & ~static_cast<DWORD>(REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK |
                                         REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK)) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((dwOptions & REG_OPTION_CREATE_LINK) != 0) {
        // Symbolic links are not kept by this store.
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<std::string> names;
    LONG split = SplitPath(lpSubKey, names);
    if (split != ERROR_SUCCESS) {
        return split;
    }
    for (const std::string& name : names) {
        if (name.size() > kMaxKeyNameLength) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    const void* requested =
        lpSecurityAttributes != nullptr ? lpSecurityAttributes->lpSecurityDescriptor : nullptr;
    if (requested != nullptr && ValidateSecurityDescriptor(requested, 0) != ERROR_SUCCESS) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    bool wantVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
    std::string keyClass = lpClass != nullptr ? std::string(lpClass) : std::string();
    // What each missing key is made with.
    auto shape = [&](const KeyRow& parent, bool last) {
        if (last && parent.isVolatile && !wantVolatile) {
            Fail(ERROR_CHILD_MUST_BE_VOLATILE);
        }
        NewKey key;
        // Levels made on the way are lasting keys unless they lie beneath a
        // volatile one.
        key.isVolatile = last ? wantVolatile : parent.isVolatile;
        key.security = DefaultKeySecurity(&parent.security);
        if (last && requested != nullptr) {
            // The caller's owner and group where it names them, and its
            // access list.
            MergeSecurity(key.security, OWNER_SECURITY_INFORMATION, requested);
            MergeSecurity(key.security, GROUP_SECURITY_INFORMATION, requested);
            LONG merged = MergeSecurity(key.security, DACL_SECURITY_INFORMATION, requested);
            if (merged != ERROR_SUCCESS) Fail(merged);
        }
        if (last) key.keyClass = keyClass;
        return key;
    };
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle base = reg.Resolve(hKey);
        DWORD access = MapAccess(samDesired, reg.ReadOnly());
        if ((access & ACCESS_SYSTEM_SECURITY) != 0 && !PrivilegeEnabled("SeSecurityPrivilege")) {
            return ERROR_PRIVILEGE_NOT_HELD;
        }
        // The common case first: the key is there and is only opened.
        std::int64_t existing = reg.engine.FindPath(base.keyId, names);
        DWORD disposition = REG_OPENED_EXISTING_KEY;
        if (existing == 0) {
            if ((base.access & KEY_CREATE_SUB_KEY) == 0 || reg.ReadOnly()) {
                return ERROR_ACCESS_DENIED;
            }
            existing = reg.engine.CreatePath(base.keyId, names, shape);
            disposition = REG_CREATED_NEW_KEY;
        }
        if ((access & kWriteRights) != 0 && reg.ReadOnly()) {
            return ERROR_ACCESS_DENIED;
        }
        *phkResult = reinterpret_cast<HKEY>(reg.NewHandle(existing, access));
        if (lpdwDisposition != nullptr) {
            *lpdwDisposition = disposition;
        }
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
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
        KeyFacts facts;
        if (!reg.engine.LoadKeyFacts(handle.keyId, facts)) return ERROR_KEY_DELETED;
        const KeyRow& row = facts.row;
        LONG status = ERROR_SUCCESS;
        if (lpcchClass != nullptr) {
            if (lpClass != nullptr) {
                if (!CopyName(row.keyClass, lpClass, *lpcchClass)) {
                    status = ERROR_MORE_DATA;
                }
            }
            *lpcchClass = static_cast<DWORD>(row.keyClass.size());
        }
        put(lpcSubKeys, facts.subKeys);
        put(lpcbMaxSubKeyLen, facts.maxSubKeyName);
        put(lpcbMaxClassLen, facts.maxClass);
        put(lpcValues, facts.values);
        put(lpcbMaxValueNameLen, facts.maxValueName);
        put(lpcbMaxValueLen, facts.maxValueData);
        put(lpcbSecurityDescriptor, static_cast<DWORD>(row.security.size()));
        CopyFileTime(row.lastWrite, lpftLastWriteTime);
        return status;
    });
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    if (lpSubKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_ACCESS_DENIED;
    }
    std::vector<std::string> names;
    LONG split = SplitPath(lpSubKey, names);
    if (split != ERROR_SUCCESS) {
        return split;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle base = reg.Resolve(hKey);
        // The key is opened for DELETE, which the store grants wherever it
        // may be written.
        std::int64_t id = reg.engine.FindPath(base.keyId, names);
        if (id == 0) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (reg.ReadOnly()) {
            return ERROR_ACCESS_DENIED;
        }
        return reg.engine.DeleteKey(id);
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
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_NO_MORE_ITEMS;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle handle = reg.Require(hKey, KEY_ENUMERATE_SUB_KEYS);
        SubKeyEntry entry;
        if (!reg.SubKeyAt(hKey, handle.keyId, dwIndex, entry)) {
            return ERROR_NO_MORE_ITEMS;
        }
        if (!CopyName(entry.name, lpName, *lpcchName)) {
            return ERROR_MORE_DATA;
        }
        if (lpClass != nullptr) {
            if (!CopyName(entry.keyClass, lpClass, *lpcchClass)) {
                *lpcchClass = static_cast<DWORD>(entry.keyClass.size());
                return ERROR_MORE_DATA;
            }
        }
        *lpcchName = static_cast<DWORD>(entry.name.size());
        if (lpcchClass != nullptr) *lpcchClass = static_cast<DWORD>(entry.keyClass.size());
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
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_SUCCESS;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        reg.Resolve(hKey);
        if (reg.ReadOnly()) {
            return ERROR_SUCCESS;  // nothing of ours is waiting to be written
        }
        reg.engine.Flush();
        return ERROR_SUCCESS;
    });
}
