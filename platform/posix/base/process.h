// SPDX-License-Identifier: LGPL-2.1-or-later
// What process.cpp offers the rest of the platform layer: the calling
// thread's last error, the time now, and whether this is a child of fork(). The Win32 calls are in windows.h.
#ifndef NETID_PLATFORM_POSIX_PROCESS_H
#define NETID_PLATFORM_POSIX_PROCESS_H

#include <cstdint>

#include "platform/posix/windows.h"

namespace netid::posix {

void SetLastErrorCode(DWORD code);

// Now as a FILETIME count (100 ns since 1601).
std::uint64_t NowAsFileTime();

// Moves on in a child of fork(): what a process keeps of itself (its locks,
// its identity) is taken anew when this changed, without a system call.
std::uint64_t ForkGeneration();

}  // namespace netid::posix

#endif
