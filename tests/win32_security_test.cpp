// SPDX-License-Identifier: LGPL-2.1-or-later
// The Win32 calls on a key's security: RegGetKeySecurity and
// RegSetKeySecurity, buffer sizes and malformed descriptors. Where Wine
// answers otherwise than Windows the test names the deviation.
#include <gtest/gtest.h>

#include <vector>

#include "platform/win32.h"
#include "support/environment.h"
#include "support/scratch_key.h"

namespace {

TEST(Win32Security, KeySecurityBufferSizesAndMalformedDescriptors)
{
    ScratchKey scratch("Security");
    HKEY key = scratch.Handle();
    DWORD needed = 0;
    BYTE tiny[4];
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER,
              RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, tiny,
                                &needed));
    ASSERT_GT(needed, static_cast<DWORD>(SECURITY_DESCRIPTOR_MIN_LENGTH));
    std::vector<BYTE> before(needed);
    DWORD size = needed;
    ASSERT_EQ(ERROR_SUCCESS,
              RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                before.data(), &size));
    EXPECT_EQ(needed, size);

    // A descriptor of a revision that does not exist.
    BYTE malformed[64] = {};
    malformed[0] = 9;
    // Wine deviation: Wine answers ERROR_UNKNOWN_REVISION.
    const LONG wineUnknownRevision = 1305;  // ERROR_UNKNOWN_REVISION
    EXPECT_EQ(RunningUnderWine() ? wineUnknownRevision : LONG(ERROR_INVALID_SECURITY_DESCR),
              RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, malformed));
    std::vector<BYTE> after(needed);
    size = needed;
    ASSERT_EQ(ERROR_SUCCESS,
              RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                after.data(), &size));
    EXPECT_EQ(before, after);
    // Writing back what was read is accepted.
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, before.data()));
}

}  // namespace
