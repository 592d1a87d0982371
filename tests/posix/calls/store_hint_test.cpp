// SPDX-License-Identifier: LGPL-2.1-or-later
// regctl names the store's directory, and how to choose another, when the
// store itself fails; other failures get no such line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/environment.h"

#ifdef NETID_REGCTL_EXE

namespace {

const char* const kHintEnd = " Set NETID_REGISTRY_DIR to use another directory.\n";

std::string Query(const std::string& storeDir, const std::string& key, int& status)
{
    std::string err;
    status = RunProcess("NETID_REGISTRY_DIR='" + storeDir + "' " NETID_REGCTL_EXE " query '" + key + "'", nullptr,
                        &err);
    return err;
}

TEST(RegctlStoreHint, NamesTheStoreDirectoryWhenTheStoreFails)
{
    char file[] = "/tmp/netid-hint-XXXXXX";
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    int status = 0;
    // A file where the directory should be, and a directory beneath that file.
    EXPECT_EQ(Query(file, "HKLM\\Software", status),
              "ERROR: Access is denied.\nThe registry store directory " + std::string(file) +
                  " (from NETID_REGISTRY_DIR) is not a directory." + kHintEnd);
    EXPECT_EQ(status, 1);
    std::string beneath = std::string(file) + "/store";
    std::string err = Query(beneath, "HKLM\\Software", status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err.rfind("ERROR: Access is denied.\nThe registry store directory " + beneath, 0), 0u) << err;
    EXPECT_NE(err.find(kHintEnd), std::string::npos) << err;
    std::remove(file);
}

TEST(RegctlStoreHint, SaysNothingMoreWhenTheStoreIsFine)
{
    int status = 0;
    EXPECT_EQ(Query(TestRegistryDirectory(), "HKLM\\Software\\NetidNoSuchKey", status),
              "ERROR: The system was unable to find the specified registry key or value.\n");
    EXPECT_EQ(status, 1);
}

}  // namespace

#endif
