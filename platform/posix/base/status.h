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
// The calls outside the registry (events, tokens, text) run in
// ContainedOr below, which answers their own way of failing.
#ifndef NETID_PLATFORM_POSIX_STATUS_H
#define NETID_PLATFORM_POSIX_STATUS_H

#include <new>

#include "platform/posix/windows.h"

namespace netid::posix {

struct StatusError {
    LONG code;
};

[[noreturn]] inline void Fail(LONG code) { throw StatusError{code}; }

void SetLastErrorCode(DWORD code);  // process.h

// Runs `body()` for a Win32 call that fails by its result and the last
// error: where an exception would leave it (its caller may be C), the last
// error tells what happened (a shortage of memory, or a fault inside the
// platform) and `failure` is answered.
template <typename Result, typename Body>
Result ContainedOr(Result failure, Body body) noexcept
{
    try {
        return body();
    } catch (const StatusError& e) {
        SetLastErrorCode(static_cast<DWORD>(e.code));
    } catch (const std::bad_alloc&) {
        SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        SetLastErrorCode(ERROR_EXCEPTION_IN_SERVICE);
    }
    return failure;
}

}  // namespace netid::posix

#endif
