// SPDX-License-Identifier: LGPL-2.1-or-later
// The wrapper every registry call runs in: no exception leaves a call, and
// what an exception cut short inside a commit is not kept.
#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/posix/calls/reg_handles.h"
#include "platform/win32.h"
#include "support/scratch_key.h"

namespace {

using namespace netid::posix;
using Lock = std::unique_lock<std::mutex>;

TEST(CallWrapper, AnExceptionInsideACallBecomesItsStatusAndUndoesItsCommit)
{
    ScratchKey scratch("Wrapper");
    // Any exception, even one thrown halfway through a commit's operations.
    LONG status = Guarded([&](Registry& reg, Lock&) -> LONG {
        store::KeyRef ref = reg.Resolve(scratch.Handle()).key;
        return reg.engine.Commit(ref, [&](store::Batch& b) -> LONG {
            b.CreateKey(ref.id, u"Half", u"", 0, {}, 1);
            throw std::out_of_range("injected");
        });
    });
    EXPECT_EQ(ERROR_EXCEPTION_IN_SERVICE, status);
    EXPECT_EQ(ERROR_EXCEPTION_IN_SERVICE, Guarded([](Registry&, Lock&) -> LONG { throw 42; }));
    // The registry is not left locked, and the key made before the throw
    // is not there.
    HKEY half = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(scratch.Handle(), "Half", 0, KEY_READ, &half));
    HKEY made = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), "Whole", 0, nullptr, 0, KEY_READ, nullptr,
                                             &made, nullptr));
    RegCloseKey(made);
}

}  // namespace
