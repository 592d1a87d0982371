// SPDX-License-Identifier: LGPL-2.1-or-later
// Security descriptors of keys (security.cpp): the default a new key gets,
// checking what callers hand in, merging the parts a caller sets and
// extracting the parts a caller asks for. Which handle may read or write
// which part is checked by the calls, not here.
#ifndef NETID_PLATFORM_POSIX_SECURITY_H
#define NETID_PLATFORM_POSIX_SECURITY_H

#include <vector>

#include "platform/posix/windows.h"

namespace netid::posix {

// The descriptor a new key gets, self-relative: its parent's inheritable
// entries, or, for a root (`parent` null) or a parent whose descriptor is
// unreadable, the default of a fresh registry (owner Administrators, group
// SYSTEM; SYSTEM and Administrators have full access, Users may read; all
// entries inherited by sub-keys). `owner`, when given, is the owner of the
// new key (its creator, as the platform makes it); else the parent's.
std::vector<BYTE> DefaultKeySecurity(const std::vector<BYTE>* parent,
                                     const std::vector<BYTE>* owner = nullptr);
// The descriptor of the top key of a hive that belongs to one user (their
// own hive, or a store of their own): owned by `owner`, full access for the
// owner, SYSTEM and Administrators, all of it inherited by sub-keys.
std::vector<BYTE> OwnedHiveSecurity(const std::vector<BYTE>& owner);
// ERROR_SUCCESS when `descriptor` is a well-formed descriptor (absolute or
// self-relative) whose parts lie within `length` bytes (length 0: unknown).
LONG ValidateSecurityDescriptor(const void* descriptor, DWORD length);
// Writes into `stored` the parts of `incoming` that `info` names.
LONG MergeSecurity(std::vector<BYTE>& stored, SECURITY_INFORMATION info, const void* incoming);
// ERROR_SUCCESS when the caller may make the owner that `incoming` names
// the owner of a key: itself, or a group of its token that may own objects
// (Administrators, for root), unless it holds the restore or take-ownership
// privilege; ERROR_INVALID_OWNER (1307) otherwise.
LONG CheckOwnerAssignable(const void* incoming);
// The parts of `stored` that `info` asks for, as a self-relative descriptor,
// with Win32's buffer rules (ERROR_INSUFFICIENT_BUFFER and the size needed).
LONG ExtractSecurity(const std::vector<BYTE>& stored, SECURITY_INFORMATION info,
                     PSECURITY_DESCRIPTOR out, LPDWORD size);

}  // namespace netid::posix

#endif
