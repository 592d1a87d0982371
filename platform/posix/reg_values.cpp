// The registry calls on values: setting, querying, deleting and enumerating.
// Each checks its arguments, resolves the handle and hands the work to one
// engine primitive; the calls on keys are in reg_keys.cpp.
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/reg_handles.h"
#include "platform/posix/reg_limits.h"

using namespace netid::posix;

namespace {

using Lock = std::unique_lock<std::mutex>;

std::string ValueName(LPCSTR name) { return name == nullptr ? std::string() : std::string(name); }

}  // namespace

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData)
{
    (void)Reserved;
    if (lpData == nullptr && cbData != 0) {
        return ERROR_NOACCESS;
    }
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_ACCESS_DENIED;
    }
    std::string name = ValueName(lpValueName);
    if (name.size() > kMaxValueNameLength) {
        return ERROR_INVALID_PARAMETER;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle handle = reg.Require(hKey, KEY_SET_VALUE);
        reg.engine.SetValue(handle.keyId, name, dwType, lpData, cbData);
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::string name = ValueName(lpValueName);
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle handle = reg.Require(hKey, KEY_QUERY_VALUE);
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        if (!reg.engine.QueryValue(handle.keyId, name, type, data)) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (lpType != nullptr) *lpType = type;
        if (lpcbData == nullptr) {
            return ERROR_SUCCESS;
        }
        auto size = static_cast<DWORD>(data.size());
        if (lpData == nullptr) {
            *lpcbData = size;
            return ERROR_SUCCESS;
        }
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size != 0) std::memcpy(lpData, data.data(), size);
        *lpcbData = size;
        return ERROR_SUCCESS;
    });
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_ACCESS_DENIED;
    }
    std::string name = ValueName(lpValueName);
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle handle = reg.Require(hKey, KEY_SET_VALUE);
        return reg.engine.DeleteValue(handle.keyId, name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (IsDynData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (IsPerformanceData(hKey)) {
        return ERROR_NO_MORE_ITEMS;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle handle = reg.Require(hKey, KEY_QUERY_VALUE);
        const RegValue* value = reg.ValueAt(hKey, handle.keyId, dwIndex);
        if (value == nullptr) {
            return ERROR_NO_MORE_ITEMS;
        }
        const std::string& name = value->name;
        const std::vector<BYTE>& data = value->data;
        if (!CopyName(name, lpValueName, *lpcchValueName)) {
            return ERROR_MORE_DATA;
        }
        *lpcchValueName = static_cast<DWORD>(name.size());
        if (lpType != nullptr) *lpType = value->type;
        if (lpcbData == nullptr) {
            return ERROR_SUCCESS;
        }
        auto size = static_cast<DWORD>(data.size());
        if (lpData != nullptr) {
            if (*lpcbData < size) {
                *lpcbData = size;
                return ERROR_MORE_DATA;
            }
            if (size != 0) std::memcpy(lpData, data.data(), size);
        }
        *lpcbData = size;
        return ERROR_SUCCESS;
    });
}
