// SPDX-License-Identifier: LGPL-2.1-or-later
// Who the calling process is to a key's security descriptor, and what that
// descriptor grants it: the token's security identifiers and the access
// check of a discretionary access list, as the platform's kernel makes it
// when a key is opened. Privileges and file permissions are the callers'
// business; descriptors are neither built nor changed here.
#ifndef NETID_PLATFORM_POSIX_ACCESS_H
#define NETID_PLATFORM_POSIX_ACCESS_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/windows.h"

namespace netid::posix {

using Sid = std::vector<BYTE>;

// The calling process's identity: its user (S-1-22-1-<uid>), its groups
// (S-1-22-2-<gid>), Everyone, Authenticated Users and Users; root is also a
// member of Administrators.
struct Identity {
    Sid user;
    std::vector<Sid> groups;
    bool administrator = false;
    bool Has(const BYTE* sid, std::size_t size) const;
};
const Identity& CurrentIdentity();

// Well-known identifiers.
Sid MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities);
Sid UserSid(std::uint32_t uid);   // S-1-22-1-<uid>
Sid SystemSid();                  // S-1-5-18
Sid AdministratorsSid();          // S-1-5-32-544
Sid UsersSid();                   // S-1-5-32-545
Sid CreatorOwnerSid();            // S-1-3-0
// The owner of a key this process makes: Administrators for root, else the
// user, as the platform's default owner of an administrator's token and of
// a user's is.
Sid DefaultOwner();
// "S-1-5-..." as text.
std::string SidText(const Sid& sid);

// Maps GENERIC_* bits to the key rights they stand for.
ACCESS_MASK MapGenericKeyRights(ACCESS_MASK mask);

// The access that the self-relative `descriptor` grants `who` for
// `desired` (generic rights mapped; MAXIMUM_ALLOWED asks for all it can
// get). ERROR_SUCCESS with `granted` set, or ERROR_ACCESS_DENIED. The owner
// may always read and change the descriptor (READ_CONTROL, WRITE_DAC)
// unless an OWNER RIGHTS entry says otherwise. ACCESS_SYSTEM_SECURITY is
// not the descriptor's to grant and is left to the caller.
LONG CheckAccess(const std::vector<BYTE>& descriptor, const Identity& who, ACCESS_MASK desired,
                 ACCESS_MASK& granted);

// True when the descriptor lets every local user, whoever they are, read
// the key: its values and its sub-keys (KEY_QUERY_VALUE and
// KEY_ENUMERATE_SUB_KEYS), through what every user holds (Everyone,
// Authenticated Users, Users), with no entry that denies a right to read
// to anyone. Only such a key may be kept in a file every user can read.
bool EveryLocalUserMayRead(const std::vector<BYTE>& descriptor);

}  // namespace netid::posix

#endif
