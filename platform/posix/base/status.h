// SPDX-License-Identifier: LGPL-2.1-or-later
// Failing with a Win32 status from deep inside a registry call.
//
// The platform layer has one way to fail: a function answers a LONG status.
// StatusError is a shortcut that never crosses a layer's interface: the call
// layer throws it (Registry::Resolve, Require, Current, Walk) and the wrapper
// every call runs in (Guarded, reg_handles.h) turns it back into the call's
// status; the hive file reader and writer throw it within their own file and
// answer a status at their interface. The store never throws it. Any other
// exception that reaches the wrapper becomes ERROR_EXCEPTION_IN_SERVICE.
#ifndef NETID_PLATFORM_POSIX_STATUS_H
#define NETID_PLATFORM_POSIX_STATUS_H

#include "platform/posix/windows.h"

namespace netid::posix {

struct StatusError {
    LONG code;
};

[[noreturn]] inline void Fail(LONG code) { throw StatusError{code}; }

}  // namespace netid::posix

#endif
