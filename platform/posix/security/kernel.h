// SPDX-License-Identifier: LGPL-2.1-or-later
// What the token and event objects of kernel.cpp offer the rest of the
// platform layer; the Win32 calls on them are declared in windows.h.
#ifndef NETID_PLATFORM_POSIX_KERNEL_H
#define NETID_PLATFORM_POSIX_KERNEL_H

#include "platform/posix/windows.h"

namespace netid::posix {

// True when the process token holds the named privilege and it is enabled.
bool PrivilegeEnabled(const char* privilegeName);
// Signals an event object; false when `event` is not one.
bool SignalEventObject(HANDLE event);
// True when `event` is an event object of this process.
bool IsEventObject(HANDLE event);

}  // namespace netid::posix

#endif
