// SPDX-License-Identifier: LGPL-2.1-or-later
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
    return Contained([&]() -> LONG {
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
    });
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult)
{
    return Contained([&]() -> LONG {
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
    });
}

namespace {

// What RegCreateKeyEx was asked to make, its arguments checked.
struct CreateRequest {
    std::vector<std::u16string> names;
    std::u16string keyClass;
    DWORD options = 0;
    const void* security = nullptr;  // the caller's descriptor for the last level, or null
    bool wantVolatile = false;
};

// The arguments of RegCreateKeyEx that do not need the registry.
LONG CheckCreateArguments(HKEY hKey, LPCSTR subKey, LPSTR keyClass, DWORD options,
                          LPSECURITY_ATTRIBUTES attributes, CreateRequest& request)
{
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_INVALID_HANDLE;  // performance data is no key to make keys beneath
    }
    if (hKey == HKEY_CLASSES_ROOT && *subKey == '\\') {
        ++subKey;  // a path beneath HKEY_CLASSES_ROOT may start with a backslash
    }
    if ((options & ~static_cast<DWORD>(REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK |
                                       REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK)) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((options & REG_OPTION_CREATE_LINK) != 0) {
        // Symbolic links are not kept by this store.
        return ERROR_INVALID_PARAMETER;
    }
    LONG split = SplitPath(subKey, request.names);
    if (split != ERROR_SUCCESS) {
        return split;
    }
    for (const std::u16string& name : request.names) {
        if (name.size() > kMaxKeyNameLength) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    request.security = attributes != nullptr ? attributes->lpSecurityDescriptor : nullptr;
    if (request.security != nullptr && ValidateSecurityDescriptor(request.security, 0) != ERROR_SUCCESS) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    request.options = options;
    request.wantVolatile = (options & REG_OPTION_VOLATILE) != 0;
    request.keyClass = NameFromA(keyClass);
    return ERROR_SUCCESS;
}

// Makes the levels `found`.. of the request beneath `at`, in one commit;
// the id of the last is returned. The parent's descriptor decides who may
// add to it (not the access of the handle the path starts from).
LONG CreateMissingKeys(Registry& reg, const store::KeyRef& at, std::size_t found, const CreateRequest& request,
                       store::KeyId& created, bool& madeMeanwhile)
{
    const std::vector<std::u16string>& names = request.names;
    const store::Key& parent = reg.Current(at);
    reg.Grant(at, parent, KEY_CREATE_SUB_KEY, request.options);
    if (reg.engine.IsUsersRoot(at)) {
        return ERROR_ACCESS_DENIED;  // HKEY_USERS holds hives, not keys
    }
    if (reg.engine.Depth(at) + (names.size() - found) > kMaxDepth) {
        return ERROR_INVALID_PARAMETER;
    }
    if (parent.IsVolatile() && !request.wantVolatile && found + 1 == names.size()) {
        return ERROR_CHILD_MUST_BE_VOLATILE;
    }
    const std::uint64_t now = NowAsFileTime();
    const Sid owner = DefaultOwner();
    return reg.engine.Commit(at, [&](store::Batch& b) -> LONG {
        const store::Model& model = b.View();
        store::KeyId id = at.id;
        for (std::size_t i = found; i < names.size(); ++i) {
            const store::Key* p = model.Find(id);
            if (p == nullptr) return ERROR_KEY_DELETED;
            const bool last = i + 1 == names.size();
            if (last && p->IsVolatile() && !request.wantVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
            if (store::KeyId there = model.Child(*p, Upcase(names[i])); there != 0) {
                if (!last || !model.Find(there)->mount.empty()) return ERROR_ALREADY_EXISTS;
                // Another process made the key meanwhile: it is opened, in
                // the same step (it may be gone again by the time a later
                // step would look).
                created = there;
                madeMeanwhile = true;
                return ERROR_SUCCESS;
            }
            // Levels made on the way are lasting keys unless they lie
            // beneath a volatile one.
            const bool isVolatile = last ? request.wantVolatile : p->IsVolatile();
            const store::Bytes* ps = model.Security(p->security);
            std::vector<BYTE> security = DefaultKeySecurity(ps, &owner);
            if (last && request.security != nullptr) {
                // The caller's owner and group where it names them, and its
                // access list.
                MergeSecurity(security, OWNER_SECURITY_INFORMATION, request.security);
                MergeSecurity(security, GROUP_SECURITY_INFORMATION, request.security);
                LONG merged = MergeSecurity(security, DACL_SECURITY_INFORMATION, request.security);
                if (merged != ERROR_SUCCESS) return merged;
            }
            id = b.CreateKey(id, names[i], last ? request.keyClass : std::u16string(),
                             isVolatile ? store::kKeyVolatile : 0, security, now);
        }
        created = id;
        return ERROR_SUCCESS;
    });
}

// Opens the key of the request beneath `base`, making what is missing.
LONG OpenOrCreateKey(Registry& reg, const Handle& base, const CreateRequest& request, Handle& result,
                     DWORD& disposition)
{
    // The common case first: the key is there and is only opened.
    Registry::Reach reach = reg.Follow(base, request.names);
    result = reach.reached;
    disposition = REG_OPENED_EXISTING_KEY;
    if (reach.found == request.names.size()) return ERROR_SUCCESS;
    store::KeyId created = 0;
    bool madeMeanwhile = false;
    LONG status = CreateMissingKeys(reg, reach.parent, reach.found, request, created, madeMeanwhile);
    if (status == ERROR_ALREADY_EXISTS) {
        // Another process made it meanwhile: open what is there now.
        result = reg.Open(base, request.names);
        return ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) return status;
    result = reg.Made(base, request.names, reach, store::KeyRef{reach.parent.slot, created});
    disposition = madeMeanwhile ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    return ERROR_SUCCESS;
}

// What the creator of a new key is granted on it: what it asked for,
// whatever the key's inherited descriptor says, as the platform grants the
// creator of any object (with MAXIMUM_ALLOWED, also what the descriptor
// allows). The key was made, so its hive is writable.
DWORD CreatorAccess(Registry& reg, const Handle& made, REGSAM sam, DWORD options)
{
    const DWORD desired = sam & ~static_cast<DWORD>(KEY_WOW64_RES);
    DWORD granted = MapGenericKeyRights(desired & ~static_cast<DWORD>(MAXIMUM_ALLOWED | ACCESS_SYSTEM_SECURITY));
    if ((desired & MAXIMUM_ALLOWED) != 0) {
        try {
            granted |= reg.Grant(made.key, reg.Current(made.key), MAXIMUM_ALLOWED, options);
        } catch (const StatusError&) {
            // The descriptor allows nothing more: the creator keeps what it asked for.
        }
    }
    if ((desired & ACCESS_SYSTEM_SECURITY) != 0) granted |= ACCESS_SYSTEM_SECURITY;  // privilege checked first
    return granted & kAllRights;
}

}  // namespace

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    return Contained([&]() -> LONG {
        (void)Reserved;
        if (phkResult == nullptr || lpSubKey == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        *phkResult = nullptr;
        if (remote::IsRemote(hKey)) return remote::CreateKey(hKey, lpSubKey, lpClass, dwOptions, samDesired, lpSecurityAttributes, phkResult, lpdwDisposition);
        hKey = Canonical(hKey);
        CreateRequest request;
        LONG checked = CheckCreateArguments(hKey, lpSubKey, lpClass, dwOptions, lpSecurityAttributes, request);
        if (checked != ERROR_SUCCESS) {
            return checked;
        }
        return Guarded([&](Registry& reg, Lock&) -> LONG {
            Handle base = reg.Resolve(hKey);
            if ((samDesired & ACCESS_SYSTEM_SECURITY) != 0 && !PrivilegeEnabled("SeSecurityPrivilege")) {
                return ERROR_PRIVILEGE_NOT_HELD;
            }
            Handle result;
            DWORD disposition = 0;
            DWORD access = 0;
            // Another process may delete the key (or a level of its path) between
            // finding it and opening it: the key is then looked for, or made,
            // again, as Windows makes or opens it in one step. Bounded, so that a
            // base key that is really gone still answers ERROR_KEY_DELETED.
            auto attempt = [&]() -> LONG {
                try {
                    LONG status = OpenOrCreateKey(reg, base, request, result, disposition);
                    if (status != ERROR_SUCCESS) return status;
                    access = disposition == REG_CREATED_NEW_KEY
                                 ? CreatorAccess(reg, result, samDesired, dwOptions)
                                 : reg.Grant(result.key, reg.Current(result.key), samDesired, dwOptions);
                    return ERROR_SUCCESS;
                } catch (const StatusError& e) {
                    return e.code;
                }
            };
            constexpr int kAttempts = 64;
            LONG status = attempt();
            for (int i = 1; i < kAttempts && status == ERROR_KEY_DELETED; ++i) status = attempt();
            if (status != ERROR_SUCCESS) return status;
            *phkResult = reg.NewHandle(result, access);
            if (lpdwDisposition != nullptr) {
                *lpdwDisposition = disposition;
            }
            return ERROR_SUCCESS;
        });
    });
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    return Contained([&]() -> LONG {
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
    });
}

LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                             LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                             LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                             LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime)
{
    return Contained([&]() -> LONG {
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
            // Refused without an exception: a key opened only to be written
            // and then asked what it holds is a common case, and unwinding
            // costs a short-lived process more than the rest of the call.
            Handle handle = reg.Resolve(hKey);
            if ((handle.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
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
    });
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    return Contained([&]() -> LONG {
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
            if (key.ChildCount() != 0) {
                return ERROR_ACCESS_DENIED;
            }
            return reg.engine.Commit(ref, [&](store::Batch& b) -> LONG {
                const store::Key* now = b.View().Find(ref.id);
                if (now == nullptr) return ERROR_FILE_NOT_FOUND;  // gone meanwhile
                if (now->ChildCount() != 0) return ERROR_ACCESS_DENIED;
                b.DeleteKey(ref.id);
                return ERROR_SUCCESS;
            });
        });
    });
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime)
{
    return Contained([&]() -> LONG {
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
    });
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName)
{
    DWORD size = cchName;
    return RegEnumKeyExA(hKey, dwIndex, lpName, &size, nullptr, nullptr, nullptr, nullptr);
}

LONG WINAPI RegFlushKey(HKEY hKey)
{
    return Contained([&]() -> LONG {
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
    });
}
