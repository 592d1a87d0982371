// SPDX-License-Identifier: LGPL-2.1-or-later
// The registry calls on a key's security descriptor: reading and changing it.
// Which right each part needs is decided here; the descriptors themselves
// are taken apart and put together in security.cpp.
#include "platform/posix/calls/reg_handles.h"
#include "platform/posix/calls/reg_remote.h"
#include "platform/posix/security/security.h"

using namespace netid::posix;

namespace {

using Lock = std::unique_lock<std::mutex>;

}  // namespace

LONG WINAPI RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor,
                              LPDWORD lpcbSecurityDescriptor)
{
    return Contained([&]() -> LONG {
        if (lpcbSecurityDescriptor == nullptr) {
            return ERROR_NOACCESS;
        }
        if (remote::IsRemote(hKey)) return remote::GetSecurity(hKey, SecurityInformation, pSecurityDescriptor, lpcbSecurityDescriptor);
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
            const store::Key& key = reg.Current(handle.key);
            return ExtractSecurity(reg.engine.SecurityOf(handle.key, key), SecurityInformation,
                                   pSecurityDescriptor, lpcbSecurityDescriptor);
        });
    });
}

LONG WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                              PSECURITY_DESCRIPTOR pSecurityDescriptor)
{
    return Contained([&]() -> LONG {
        if (pSecurityDescriptor == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        if (IsDynData(hKey) || IsPerformanceData(hKey)) {
            return ERROR_INVALID_HANDLE;
        }
        if (ValidateSecurityDescriptor(pSecurityDescriptor, 0) != ERROR_SUCCESS) {
            return ERROR_INVALID_SECURITY_DESCR;
        }
        if (remote::IsRemote(hKey)) return remote::SetSecurity(hKey, SecurityInformation, pSecurityDescriptor);
        return Guarded([&](Registry& reg, Lock&) -> LONG {
            DWORD needed = 0;
            if (SecurityInformation & OWNER_SECURITY_INFORMATION) needed |= WRITE_OWNER;
            if (SecurityInformation & GROUP_SECURITY_INFORMATION) needed |= WRITE_OWNER;
            if (SecurityInformation & DACL_SECURITY_INFORMATION) needed |= WRITE_DAC;
            if (SecurityInformation & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
            Handle handle = reg.Require(hKey, needed);
            if (!handle.key.slot->hive->Writable()) {
                return ERROR_ACCESS_DENIED;
            }
            if ((SecurityInformation & OWNER_SECURITY_INFORMATION) != 0) {
                LONG owner = CheckOwnerAssignable(pSecurityDescriptor);
                if (owner != ERROR_SUCCESS) return owner;
            }
            return reg.engine.Commit(handle.key, [&](store::Batch& b) -> LONG {
                const store::Key* key = b.View().Find(handle.key.id);
                if (key == nullptr) return ERROR_KEY_DELETED;
                const store::Bytes* stored = b.View().Security(key->security);
                std::vector<BYTE> security = stored != nullptr ? *stored : std::vector<BYTE>();
                LONG status = MergeSecurity(security, SecurityInformation, pSecurityDescriptor);
                if (status != ERROR_SUCCESS) {
                    return status;  // nothing written: the stored descriptor stays
                }
                b.SetSecurity(handle.key.id, security);
                return ERROR_SUCCESS;
            });
        });
    });
}
