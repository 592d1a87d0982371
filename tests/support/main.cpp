// SPDX-License-Identifier: LGPL-2.1-or-later
#include <gtest/gtest.h>

#include "support/environment.h"

int main(int argc, char** argv)
{
    PrepareTestRegistry();
    ::testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    CleanupTestRegistry();
    return status;
}
