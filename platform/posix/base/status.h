// Failing with a Win32 status from deep inside a registry call: thrown by the
// storage engine and the call layer, turned back into the call's status by
// the wrapper every call runs in (Guarded, reg_handles.h).
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
