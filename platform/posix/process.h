// What process.cpp offers the rest of the platform layer: the calling
// thread's last error and the time now. The Win32 calls are in windows.h.
#ifndef NETID_PLATFORM_POSIX_PROCESS_H
#define NETID_PLATFORM_POSIX_PROCESS_H

#include <cstdint>

#include "platform/posix/windows.h"

namespace netid::posix {

void SetLastErrorCode(DWORD code);

// Now as a FILETIME count (100 ns since 1601).
std::uint64_t NowAsFileTime();

}  // namespace netid::posix

#endif
