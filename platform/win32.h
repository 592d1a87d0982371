// SPDX-License-Identifier: LGPL-2.1-or-later
// The Win32 surface the rest of the tree is written against.
// On Windows this is the platform's own <windows.h>; elsewhere it is our
// implementation under platform/posix/, with the same names, widths and values.
#ifndef NETID_PLATFORM_WIN32_H
#define NETID_PLATFORM_WIN32_H

#if defined(_WIN32)
#include <windows.h>
#include <mbstring.h>
#else
#include "posix/windows.h"
#endif

#endif
