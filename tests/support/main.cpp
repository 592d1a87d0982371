#include <gtest/gtest.h>

#include "support/environment.h"

int main(int argc, char** argv)
{
    PrepareTestRegistry();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
