// The registry calls on a key's security descriptor: reading and changing it.
// Which right each part needs is decided here; the descriptors themselves
// are taken apart and put together in security.cpp.
#include "platform/posix/reg_handles.h"
#include "platform/posix/security.h"

using namespace netid::posix;

namespace {

using Lock = std::unique_lock<std::mutex>;

}  // namespace

LONG WINAPI RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor,
                              LPDWORD lpcbSecurityDescriptor)
{
    if (lpcbSecurityDescriptor == nullptr) {
        return ERROR_NOACCESS;
    }
    if (IsDynData(hKey) || IsPerformanceData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        DWORD needed = 0;
        if (SecurityInformation & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                   DACL_SECURITY_INFORMATION)) {
            needed |= READ_CONTROL;
        }
        if (SecurityInformation & SACL_SECURITY_INFORMATION) {
            needed |= ACCESS_SYSTEM_SECURITY;
        }
        Handle handle = reg.Require(hKey, needed);
        KeyRow row;
        if (!reg.engine.LoadKey(handle.keyId, row)) return ERROR_KEY_DELETED;
        return ExtractSecurity(row.security, SecurityInformation, pSecurityDescriptor,
                               lpcbSecurityDescriptor);
    });
}

LONG WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor)
{
    if (pSecurityDescriptor == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (IsDynData(hKey) || IsPerformanceData(hKey)) {
        return ERROR_INVALID_HANDLE;
    }
    if (ValidateSecurityDescriptor(pSecurityDescriptor, 0) != ERROR_SUCCESS) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        DWORD needed = 0;
        if (SecurityInformation & OWNER_SECURITY_INFORMATION) needed |= WRITE_OWNER;
        if (SecurityInformation & GROUP_SECURITY_INFORMATION) needed |= WRITE_OWNER;
        if (SecurityInformation & DACL_SECURITY_INFORMATION) needed |= WRITE_DAC;
        if (SecurityInformation & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
        Handle handle = reg.Require(hKey, needed);
        if (reg.ReadOnly()) {
            return ERROR_ACCESS_DENIED;
        }
        return reg.engine.SetSecurity(handle.keyId, [&](std::vector<BYTE>& security) {
            return MergeSecurity(security, SecurityInformation, pSecurityDescriptor);
        });
    });
}
