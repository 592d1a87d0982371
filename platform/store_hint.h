// SPDX-License-Identifier: LGPL-2.1-or-later
// What a program can tell its user about the place the registry is kept when
// a registry call fails. On Linux the registry is a store in a directory
// (NETID_REGISTRY_DIR, else /var/lib/netid/registry): the hint names it, says
// what is wrong with it for this user and how to choose another. Windows keeps
// its registry itself: there is nothing to add.
#ifndef NETID_PLATFORM_STORE_HINT_H
#define NETID_PLATFORM_STORE_HINT_H

#include <string>

#include "platform/win32.h"

namespace netid {

#if defined(_WIN32)
inline std::string RegistryStoreHint(LONG) { return std::string(); }
#else
// One line (without its line end) for a failure with `status`, or "" when the
// status does not come from the store (only denied access, a damaged store
// and failed store I/O do) or, for denied access, the directory is usable.
std::string RegistryStoreHint(LONG status);
#endif

}  // namespace netid

#endif
