// SPDX-License-Identifier: LGPL-2.1-or-later
// The registry calls on another machine's keys: RegConnectRegistryA with a
// name that is not this machine's loads the remote module (remote/remote.h)
// with dlopen, and every call on a handle it gave goes there. Such handles
// are told apart from local ones by their value alone, so that a local call
// pays one comparison and never loads the module.
//
// The module is found at NETID_REMOTE_MODULE when that is set (the tests
// point it into the build tree), else where it is installed
// (<libdir>/netid/libnetid-remote.so). Who logs on: the environment as
// Samba's tools read it (USER, PASSWD, PASSWD_FILE, KRB5CCNAME), or the
// file named by NETID_REMOTE_AUTH in the format of an smbclient
// authentication file ("username = ...", "password = ...", "domain = ...").
#ifndef NETID_PLATFORM_POSIX_CALLS_REG_REMOTE_H
#define NETID_PLATFORM_POSIX_CALLS_REG_REMOTE_H

#include <cstdint>
#include <string>

#include "platform/posix/windows.h"

namespace netid::posix::remote {

// Remote handles carry the low bit, as the platform tags them; local ones
// are multiples of 4, with 2 added for a handle of HKEY_CLASSES_ROOT's merged
// view, and the predefined ones are never remote.
inline bool IsRemote(HKEY key)
{
    auto value = reinterpret_cast<std::uintptr_t>(key);
    auto low = static_cast<std::uint32_t>(value);
    return (value & 1u) == 1u && !(low >= 0x80000000u && low <= 0x80000006u);
}

// Why the module could not be loaded ("" when it was, or was not tried).
std::string ModuleProblem();

LONG Connect(const char* machine, HKEY root, PHKEY result);
LONG OpenKey(HKEY key, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY result);
LONG CreateKey(HKEY key, LPCSTR subKey, LPSTR keyClass, DWORD options, REGSAM sam,
               LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
LONG CloseKey(HKEY key);
LONG QueryInfoKey(HKEY key, LPSTR keyClass, LPDWORD classChars, LPDWORD subKeys,
                  LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values,
                  LPDWORD maxValueNameLen, LPDWORD maxValueLen, LPDWORD securitySize,
                  PFILETIME lastWrite);
LONG EnumKey(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPSTR keyClass,
             LPDWORD classChars, PFILETIME lastWrite);
LONG EnumValue(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD type, LPBYTE data,
               LPDWORD size);
LONG QueryValue(HKEY key, LPCSTR name, LPDWORD type, LPBYTE data, LPDWORD size);
LONG SetValue(HKEY key, LPCSTR name, DWORD type, const BYTE* data, DWORD size);
LONG DeleteKey(HKEY key, LPCSTR subKey);
LONG DeleteValue(HKEY key, LPCSTR name);
LONG FlushKey(HKEY key);
LONG GetSecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                 LPDWORD size);
LONG SetSecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
LONG Notify(HKEY key, BOOL subtree, DWORD filter, BOOL asynchronous);
LONG SaveKey(HKEY key, LPCSTR file);
LONG RestoreKey(HKEY key, LPCSTR file, DWORD flags);
LONG LoadKey(HKEY key, LPCSTR subKey, LPCSTR file);
LONG UnLoadKey(HKEY key, LPCSTR subKey);
LONG ReplaceKey(HKEY key, LPCSTR subKey, LPCSTR newFile, LPCSTR oldFile);

}  // namespace netid::posix::remote

#endif
