// SPDX-License-Identifier: LGPL-2.1-or-later
// The registry calls on values: setting, querying, deleting and enumerating.
// Each checks its arguments, resolves the handle and hands the work to the
// store, converting names and string data between the A calls' UTF-8 and the
// stored UTF-16 (reg_text.h); the calls on keys are in reg_keys.cpp.
#include <string>
#include <vector>

#include "platform/posix/calls/reg_handles.h"
#include "platform/posix/calls/reg_remote.h"
#include "platform/posix/base/reg_limits.h"
#include "platform/posix/calls/reg_text.h"
#include "platform/posix/base/text.h"

using namespace netid::posix;

namespace {

using Lock = std::unique_lock<std::mutex>;

}  // namespace

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData)
{
    return Contained([&]() -> LONG {
        (void)Reserved;
        if (lpData == nullptr && cbData != 0) {
            return ERROR_NOACCESS;
        }
        if (remote::IsRemote(hKey)) return remote::SetValue(hKey, lpValueName, dwType, lpData, cbData);
        if (IsDynData(hKey)) {
            return ERROR_INVALID_HANDLE;
        }
        if (IsPerformanceData(hKey)) {
            return ERROR_INVALID_HANDLE;
        }
        const std::u16string name = NameFromA(lpValueName);
        if (name.size() > kMaxValueNameLength) {
            return ERROR_INVALID_PARAMETER;
        }
        const std::vector<BYTE> data = DataFromA(dwType, lpData, SizeWithTerminator(dwType, lpData, cbData));
        return Guarded([&](Registry& reg, Lock&) -> LONG {
            Handle handle = reg.Require(hKey, KEY_SET_VALUE);
            return reg.engine.Commit(handle.key, [&](store::Batch& b) -> LONG {
                if (b.View().Find(handle.key.id) == nullptr) return ERROR_KEY_DELETED;
                b.SetValue(handle.key.id, name, dwType, data);
                return ERROR_SUCCESS;
            });
        });
    });
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
    return Contained([&]() -> LONG {
        if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
            return ERROR_INVALID_PARAMETER;
        }
        if (remote::IsRemote(hKey)) return remote::QueryValue(hKey, lpValueName, lpType, lpData, lpcbData);
        if (IsDynData(hKey)) {
            return ERROR_INVALID_HANDLE;
        }
        if (IsPerformanceData(hKey)) {
            return ERROR_FILE_NOT_FOUND;
        }
        // The buffer's size is read before anything is written: the type and the
        // size may be one variable.
        const DWORD capacity = lpcbData != nullptr ? *lpcbData : 0;
        const std::u16string upper = Upcase(NameFromA(lpValueName));
        return Guarded([&](Registry& reg, Lock&) -> LONG {
            Handle handle = reg.Require(hKey, KEY_QUERY_VALUE);
            const store::Value* value = reg.Current(handle.key).FindValue(upper);
            if (value == nullptr) {
                if (lpData == nullptr && lpcbData != nullptr) *lpcbData = 0;
                return ERROR_FILE_NOT_FOUND;
            }
            if (lpType != nullptr) *lpType = value->type;
            return DeliverData(value->type, DataToA(value->type, value->data), lpData, capacity, lpcbData);
        });
    });
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    return Contained([&]() -> LONG {
        if (remote::IsRemote(hKey)) return remote::DeleteValue(hKey, lpValueName);
        if (IsDynData(hKey)) {
            return ERROR_INVALID_HANDLE;
        }
        if (IsPerformanceData(hKey)) {
            return ERROR_INVALID_HANDLE;
        }
        const std::u16string name = NameFromA(lpValueName);
        return Guarded([&](Registry& reg, Lock&) -> LONG {
            Handle handle = reg.Require(hKey, KEY_SET_VALUE);
            return reg.engine.Commit(handle.key, [&](store::Batch& b) -> LONG {
                const store::Key* key = b.View().Find(handle.key.id);
                if (key == nullptr) return ERROR_KEY_DELETED;
                if (key->FindValue(Upcase(name)) == nullptr) return ERROR_FILE_NOT_FOUND;
                b.DeleteValue(handle.key.id, name);
                return ERROR_SUCCESS;
            });
        });
    });
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    return Contained([&]() -> LONG {
        if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
            (lpData != nullptr && lpcbData == nullptr)) {
            return ERROR_INVALID_PARAMETER;
        }
        if (remote::IsRemote(hKey)) return remote::EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
        if (IsDynData(hKey)) {
            return ERROR_INVALID_HANDLE;
        }
        if (IsPerformanceData(hKey)) {
            return ERROR_NO_MORE_ITEMS;
        }
        const DWORD capacity = lpcbData != nullptr ? *lpcbData : 0;
        return Guarded([&](Registry& reg, Lock&) -> LONG {
            Handle handle = reg.Require(hKey, KEY_QUERY_VALUE);
            const store::Value* found = reg.ValueAt(handle, dwIndex);
            if (found == nullptr) {
                return ERROR_NO_MORE_ITEMS;
            }
            const store::Value& value = *found;
            const std::string name = NameToA(value.name);
            const std::vector<BYTE> data = DataToA(value.type, value.data);
            // A name or data that does not fit leaves the name buffer and its
            // length as they were, and still tells the type and the data's size.
            // Data that fits is delivered even when the name does not, as the
            // platform delivers it.
            const bool nameFits = name.size() < *lpcchValueName;
            if (!nameFits || (lpData != nullptr && capacity < data.size())) {
                if (lpType != nullptr) *lpType = value.type;
                if (!nameFits) DeliverData(value.type, data, lpData, capacity, lpcbData);
                if (lpcbData != nullptr) *lpcbData = static_cast<DWORD>(data.size());
                return ERROR_MORE_DATA;
            }
            CopyToBuffer(name, lpValueName, *lpcchValueName);
            *lpcchValueName = static_cast<DWORD>(name.size());
            if (lpType != nullptr) *lpType = value.type;
            return DeliverData(value.type, data, lpData, capacity, lpcbData);
        });
    });
}
