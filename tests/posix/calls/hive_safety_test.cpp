// SPDX-License-Identifier: LGPL-2.1-or-later
// Hives that are safe to load, unload and save: no hang after a restart, a
// fresh machine's first call may be a load, a loaded hive's top key is never
// deleted, what did not change is not rewritten, a process killed at the
// dangerous moment strands nothing, the directory a hive came from is the
// one it goes back to, and one depth limit holds everywhere.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/posix/regf/hive_file.h"
#include "platform/win32.h"
#include "support/environment.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using netid::posix::RegTree;
using netid::posix::RegValue;

const std::string kHelper = NETID_TEST_HELPER_EXE;

// Runs the helper against the store `store` in the boot `boot`; its output
// without the last line end. A helper that does not end within a minute is
// stopped: the answer is then "hang".
std::string InStore(const std::string& store, const std::string& boot, const std::string& arguments)
{
    std::string out;
    int status = RunProcess("NETID_REGISTRY_DIR='" + store + "' NETID_BOOT_ID=" + boot + " timeout 60 " + kHelper +
                                " " + arguments,
                            &out);
    if (status == 124) return "hang";
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// A hive file of a few keys, as another machine wrote it.
void WriteSampleHive(const std::string& path, std::size_t subkeys = 3)
{
    RegTree tree;
    tree.name = u"Sample";
    tree.values = {{u"v", REG_DWORD, {1, 0, 0, 0}}};
    for (std::size_t i = 0; i < subkeys; ++i) {
        RegTree sub;
        std::string name = "k" + std::to_string(100000 + i);
        sub.name = std::u16string(name.begin(), name.end());
        sub.values = {{u"x", REG_BINARY, {1, 2, 3}}};
        tree.subkeys.push_back(sub);
    }
    std::vector<BYTE> image;
    ASSERT_EQ(ERROR_SUCCESS, netid::posix::hive::HiveImage(tree, image));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                 static_cast<std::streamsize>(image.size()));
}

std::vector<std::string> Listing(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(HiveSafety, TheFirstCallOfANewStartMayBeALoadOrAnUnload)
{
    TempDir dir("netid-hives");
    std::string store = dir.Path() + "/store";
    std::string file = dir.Path() + "/a.hiv";
    WriteSampleHive(file);
    // A fresh machine: the very first call is a load, before any store exists.
    EXPECT_EQ("0", InStore(store, "boot-a", "load HKLM Loaded '" + file + "'"));
    EXPECT_EQ("0", InStore(store, "boot-a", "open 'HKLM\\Loaded\\k100000' 0x20019"));
    EXPECT_EQ("0", InStore(store, "boot-a", "save 'HKLM\\Loaded' '" + dir.Path() + "/saved.hiv'"));
    // After a restart the first call loads again: the boot work (the hive
    // loaded before goes back to its file) runs first and does not hang.
    EXPECT_EQ("0", InStore(store, "boot-b", "load HKLM Again '" + dir.Path() + "/saved.hiv'"));
    EXPECT_EQ("2", InStore(store, "boot-b", "open 'HKLM\\Loaded' 0x20019")) << "a hive loaded in the last start";
    // And when the first call of the next start unloads, the boot work has
    // already taken the hive back to its file.
    EXPECT_EQ("2", InStore(store, "boot-c", "unload HKLM Again"));
}

TEST(HiveSafety, ALoadedHivesTopKeyIsNeverDeleted)
{
    TempDir dir("netid-hives");
    std::string store = dir.Path() + "/store";
    std::string file = dir.Path() + "/a.hiv";
    WriteSampleHive(file, 0);
    ASSERT_EQ("0", InStore(store, "b", "load HKLM Loaded '" + file + "'"));
    // Deleting it as a key is refused, as Windows refuses it.
    int status = 0;
    std::string out;
    status = RunProcess("NETID_REGISTRY_DIR='" + store + "' NETID_BOOT_ID=b " + kHelper + " probe HKLM Loaded", &out);
    ASSERT_EQ(0, status);
    EXPECT_NE(std::string::npos, out.find("delete_key=5")) << out;
    // It is still a loaded hive: it unloads (the probe changed it), and
    // loads again; unchanged, its file is not written.
    EXPECT_EQ("0", InStore(store, "b", "unload HKLM Loaded"));
    const std::string before = ReadAll(file);
    EXPECT_EQ("0", InStore(store, "b", "load HKLM Loaded '" + file + "'"));
    EXPECT_EQ("0", InStore(store, "b", "unload HKLM Loaded"));
    EXPECT_TRUE(before == ReadAll(file)) << "nothing changed, yet the file was written";
}

TEST(HiveSafety, AChangedHiveGoesBackToItsFileAndOnlyThere)
{
    TempDir dir("netid-hives");
    std::string store = dir.Path() + "/store";
    std::string home = dir.Path() + "/home";
    fs::create_directories(home);
    std::string file = home + "/a.hiv";
    WriteSampleHive(file);
    ASSERT_EQ("0", InStore(store, "b", "load HKLM Loaded '" + file + "'"));
    ASSERT_EQ("0", InStore(store, "b", "create 'HKLM\\Loaded\\New' plain"));
    ASSERT_EQ("0", InStore(store, "b", "unload HKLM Loaded"));
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, netid::posix::hive::ReadHiveFile(file, back));
    EXPECT_EQ(4u, back.subkeys.size());

    // The directory is swapped for a link to another while the hive is
    // loaded: the changed hive is not written through the link.
    ASSERT_EQ("0", InStore(store, "b", "load HKLM Loaded '" + file + "'"));
    ASSERT_EQ("0", InStore(store, "b", "create 'HKLM\\Loaded\\Newer' plain"));
    std::string elsewhere = dir.Path() + "/elsewhere";
    fs::create_directories(elsewhere);
    fs::rename(home, dir.Path() + "/moved");
    fs::create_directory_symlink(elsewhere, home);
    EXPECT_EQ("5", InStore(store, "b", "unload HKLM Loaded"));
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST(HiveSafety, AProcessKilledWhileSavingLeavesNothingBehind)
{
    if (RunProcess("strace -V") != 0) {
        GTEST_SKIP() << "strace is not installed: it stops the save at the dangerous moment";
    }
    TempDir dir("netid-hives");
    std::string store = dir.Path() + "/store";
    std::string file = dir.Path() + "/big.hiv";
    WriteSampleHive(file, 2000);
    ASSERT_EQ("0", InStore(store, "b", "load HKLM Big '" + file + "'"));
    const std::string before = ReadAll(file);
    ASSERT_EQ("0", InStore(store, "b", "create 'HKLM\\Big\\Changed' plain"));
    // A save killed while its file is written, or written whole but not yet
    // named: nothing appears beside the target.
    auto killedAt = [&](const std::string& moment, const std::string& arguments) {
        std::string strace = "strace -f -qq -o /dev/null -e trace=" + moment + " -e inject=" + moment + ":signal=SIGKILL";
        RunProcess("NETID_REGISTRY_DIR='" + store + "' NETID_BOOT_ID=b " + strace + " " + kHelper + " " + arguments);
    };
    for (const char* moment : {"write", "linkat"}) {
        SCOPED_TRACE(moment);
        std::string out = dir.Path() + "/out-" + moment;
        fs::create_directories(out);
        killedAt(moment, "save 'HKLM\\Big' '" + out + "/saved.hiv'");
        EXPECT_TRUE(fs::is_empty(out)) << Listing(out).front();
    }
    // An unload that writes the changed hive back, killed at any of its
    // moments: the file is the old one or the new one, whole.
    auto copies = [&] {
        std::vector<std::string> files = Listing(dir.Path());
        return std::count_if(files.begin(), files.end(),
                             [](const std::string& n) { return n.find("big.hiv") != std::string::npos; });
    };
    for (const char* moment : {"write", "linkat", "renameat,renameat2"}) {
        SCOPED_TRACE(moment);
        killedAt(moment, "unload HKLM Big");
        RegTree tree;
        EXPECT_EQ(ERROR_SUCCESS, netid::posix::hive::ReadHiveFile(file, tree));
        EXPECT_TRUE(ReadAll(file) == before) << "the old file was replaced before the new one was whole";
    }
    // The copy a kill before the rename left under a name of its own goes at
    // the next writing of that file.
    EXPECT_EQ("0", InStore(store, "b", "unload HKLM Big"));
    EXPECT_EQ(1, copies());
    EXPECT_FALSE(ReadAll(file) == before);
}

TEST(HiveSafety, RegctlReplacesASavedFileInOneStep)
{
    if (RunProcess("strace -V") != 0) {
        GTEST_SKIP() << "strace is not installed: it stops regctl at the dangerous moment";
    }
    TempDir dir("netid-hives");
    std::string store = dir.Path() + "/store";
    ASSERT_EQ("0", InStore(store, "b", "create 'HKLM\\Software\\Saved' plain"));
    std::string file = dir.Path() + "/saved.hiv";
    std::ofstream(file) << "the user's file";
    // Killed as it puts the new file in place: the old one is still whole.
    const std::string regctl = NETID_REGCTL_EXE;
    RunProcess("NETID_REGISTRY_DIR='" + store + "' NETID_BOOT_ID=b strace -f -qq -o /dev/null " +
               "-e trace=rename,renameat,renameat2 -e inject=rename,renameat,renameat2:signal=SIGKILL " + regctl +
               " save 'HKLM\\Software\\Saved' '" + file + "' /y");
    EXPECT_TRUE(ReadAll(file) == "the user's file") << "the user's file was lost";
    // Not killed, it replaces it with the saved hive.
    EXPECT_EQ(0, RunProcess("NETID_REGISTRY_DIR='" + store + "' NETID_BOOT_ID=b " + regctl +
                            " save 'HKLM\\Software\\Saved' '" + file + "' /y"));
    RegTree tree;
    EXPECT_EQ(ERROR_SUCCESS, netid::posix::hive::ReadHiveFile(file, tree));
}

TEST(HiveSafety, AHiveFileNoKeyNamesIsRemovedAtTheNextStart)
{
    TempDir dir("netid-hives");
    std::string store = dir.Path() + "/store";
    ASSERT_EQ("0", InStore(store, "a", "create 'HKLM\\Software\\X' plain"));
    // What a load killed between making the hive and hanging it in place
    // leaves: a loaded hive's files that no key names.
    for (const char* ext : {".hive", ".shm", ".lock"}) {
        std::string stray = store + "/loaded-deadbeef" + ext;
        std::ofstream(stray) << "x";
        // Old enough not to be a load under way.
        struct timespec times[2] = {{1000, 0}, {1000, 0}};
        utimensat(AT_FDCWD, stray.c_str(), times, 0);
    }
    EXPECT_EQ("0", InStore(store, "b", "open 'HKLM\\Software\\X' 0x20019"));
    EXPECT_FALSE(fs::exists(store + "/loaded-deadbeef.hive"));
}

TEST(HiveSafety, OneDepthLimitHoldsWhereverKeysAreMade)
{
    TempDir dir("netid-hives");
    std::string store = dir.Path() + "/store";
    std::string deep;
    for (int i = 0; i < 511; ++i) deep += (deep.empty() ? "" : "\\") + std::string("d");
    // 511 levels below SOFTWARE: 512 below the root.
    EXPECT_EQ("0", InStore(store, "b", "create 'HKLM\\SOFTWARE\\" + deep + "' plain"));
    EXPECT_EQ("87", InStore(store, "b", "create 'HKLM\\SOFTWARE\\" + deep + "\\e' plain"));
    // Saved and loaded again whole.
    EXPECT_EQ("0", InStore(store, "b", "save 'HKLM\\SOFTWARE\\d' '" + dir.Path() + "/deep.hiv'"));
    EXPECT_EQ("0", InStore(store, "b", "load HKU Deep '" + dir.Path() + "/deep.hiv'"));
}

}  // namespace
