// SPDX-License-Identifier: LGPL-2.1-or-later
// The Linux store itself: several processes and threads at once, users who
// may only read, files that are not a store, a restart of the machine, and
// answers that only our store gives (user hives, the limits of names).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "support/environment.h"
#include "support/temp_dir.h"
#include "support/scratch_key.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;

const std::string kHelper = NETID_TEST_HELPER_EXE;

std::set<std::string> Listing(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// A directory of its own, removed afterwards.
// Runs the helper with extra environment settings in front.
int Helper(const std::string& arguments, const std::string& environment = "",
           std::string* out = nullptr)
{
    std::string err;
    int status = RunProcess(environment + " " + kHelper + " " + arguments, out, &err);
    if (!err.empty()) {
        std::fprintf(stderr, "helper: %s", err.c_str());
    }
    return status;
}

std::map<std::string, long> ParseProbe(const std::string& text)
{
    std::map<std::string, long> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) {
            result[line.substr(0, eq)] = std::atol(line.c_str() + eq + 1);
        }
    }
    return result;
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// Runs a shell script from a file of its own, so that it may quote freely.
int RunScript(const std::string& script)
{
    char pattern[] = "/tmp/netid-script-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) return -1;
    close(fd);
    std::ofstream(pattern) << script << "\n";
    int status = RunProcess(std::string("sh ") + pattern);
    std::remove(pattern);
    return status;
}

DWORD ValueCount(HKEY key)
{
    DWORD values = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, &values, nullptr, nullptr, nullptr,
                                              nullptr));
    return values;
}

// The names of the values of `path` (beneath HKEY_CURRENT_USER) as another
// process reads them beside whatever process is writing; empty when it
// cannot read them.
std::vector<std::string> ValueNames(const std::string& environment, const std::string& path)
{
    std::string out;
    std::vector<std::string> names;
    if (Helper("names " + Quote(path), environment, &out) != 0) return names;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) names.push_back(line);
    return names;
}

// ------------------------------------------------------------ several writers
TEST(Store, ConcurrentProcessesLoseNoWrite)
{
    ScratchKey scratch("Concurrent");
    const int kWriters = 4;
    const int kEach = 150;
    std::string script = "pids=''; ";
    for (int i = 0; i < kWriters; ++i) {
        script += kHelper + " write " + Quote(scratch.Path()) + " w" + std::to_string(i) + "_ " +
                  std::to_string(kEach) + " & pids=\"$pids $!\"; ";
    }
    script += "status=0; for p in $pids; do wait $p || status=1; done; exit $status";
    // This process writes at the same time.
    std::thread local([&] {
        for (int i = 0; i < kEach; ++i) {
            DWORD value = static_cast<DWORD>(i);
            std::string name = "local_" + std::to_string(i);
            EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), name.c_str(), 0, REG_DWORD,
                                                    reinterpret_cast<BYTE*>(&value), 4));
        }
    });
    EXPECT_EQ(0, RunScript(script));
    local.join();
    EXPECT_EQ(static_cast<DWORD>((kWriters + 1) * kEach), ValueCount(scratch.Handle()));
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kEach; i += 37) {
            std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
            DWORD value = 0xFFFF;
            DWORD size = 4;
            EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(scratch.Handle(), name.c_str(), nullptr,
                                                      nullptr, reinterpret_cast<BYTE*>(&value),
                                                      &size));
            EXPECT_EQ(static_cast<DWORD>(i), value);
        }
    }
}

TEST(Store, ThreadsOfOneProcessShareTheStoreSafely)
{
    ScratchKey scratch("Threads");
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                HKEY key = nullptr;
                std::string sub = "t" + std::to_string(t);
                if (RegCreateKeyExA(scratch.Handle(), sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &key, nullptr) != ERROR_SUCCESS) {
                    ++failures;
                    continue;
                }
                DWORD value = static_cast<DWORD>(i);
                std::string name = "v" + std::to_string(i);
                if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD,
                                   reinterpret_cast<BYTE*>(&value), 4) != ERROR_SUCCESS) {
                    ++failures;
                }
                RegCloseKey(key);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    for (int t = 0; t < 4; ++t) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(scratch.Handle(), ("t" + std::to_string(t)).c_str(),
                                               0, KEY_READ, &key));
        EXPECT_EQ(100u, ValueCount(key));
        RegCloseKey(key);
    }
}

TEST(Store, AWriterKilledMidwayLeavesAnIntactStoreWithWholeCalls)
{
    TempDir dir("netid-store");
    std::string env = "NETID_REGISTRY_DIR=" + Quote(dir.Path());
    ASSERT_EQ(0, Helper("create Software\\\\Crash plain", env));
    // Started in the background and killed without warning once it has
    // committed a good number of its values, long before it is done.
    std::string store = "NETID_REGISTRY_DIR=" + dir.Path();
    const char* argv[] = {"env",   store.c_str(), kHelper.c_str(), "write", "Software\\Crash",
                          "v",     "100000",      nullptr};
    pid_t writer = 0;
    ASSERT_EQ(0, posix_spawnp(&writer, "env", nullptr, nullptr, const_cast<char* const*>(argv),
                              environ));
    const std::size_t kCommitted = 100;
    int status = 0;
    bool ended = false;
    bool enough = WaitUntil([&] {
        ended = waitpid(writer, &status, WNOHANG) == writer;
        return ended || ValueNames(env, "Software\\Crash").size() >= kCommitted;
    });
    if (!ended) {
        kill(writer, SIGKILL);
        ASSERT_EQ(writer, waitpid(writer, &status, 0));
    }
    ASSERT_TRUE(enough) << "the writer committed fewer than " << kCommitted << " values";
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the writer ended by itself before it was killed, status " << status;
    // Every call is whole: the values another process finds form an unbroken
    // run v0..vN-1, N at least what was seen committed.
    std::vector<std::string> names = ValueNames(env, "Software\\Crash");
    ASSERT_GE(names.size(), kCommitted);
    std::set<int> seen;
    for (const std::string& name : names) {
        ASSERT_EQ('v', name[0]) << name;
        seen.insert(std::atoi(name.c_str() + 1));
    }
    EXPECT_EQ(names.size(), seen.size());
    EXPECT_EQ(0, *seen.begin());
    EXPECT_EQ(static_cast<int>(seen.size()) - 1, *seen.rbegin());
    // And another process can carry on where it stopped.
    EXPECT_EQ(0, Helper("write 'Software\\Crash' after 3", env));
    EXPECT_EQ(names.size() + 3, ValueNames(env, "Software\\Crash").size());
}

// ------------------------------------------------------------ users and files
TEST(Store, AUserWhoMayOnlyReadIsDeniedEveryWrite)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a child as another user";
    }
    TempDir dir("netid-store");
    std::string env = "NETID_REGISTRY_DIR=" + Quote(dir.Path());
    ASSERT_EQ(0, Helper("create 'HKLM\\Software\\ReadOnly' plain", env));
    ASSERT_EQ(0, Helper("write 'HKLM\\Software\\ReadOnly' probe 1", env));
    ASSERT_EQ(0, chmod(dir.Path().c_str(), 0755));
    std::string before = ReadAll(dir.Path() + "/machine.hive");

    // The probe runs as the unprivileged user "nobody": the machine's hive
    // is theirs to read, not to write.
    std::string out;
    std::string command = "setpriv --reuid=65534 --regid=65534 --clear-groups env " + env + " " +
                          kHelper + " probe HKLM 'Software\\ReadOnly'";
    ASSERT_EQ(0, RunProcess(command, &out));
    std::map<std::string, long> status = ParseProbe(out);
    const std::pair<const char*, long> expected[] = {
        {"open_read", ERROR_SUCCESS},        {"query", ERROR_SUCCESS},
        {"open_write", ERROR_ACCESS_DENIED}, {"open_maximum", ERROR_SUCCESS},
        {"set_maximum", ERROR_ACCESS_DENIED}, {"create", ERROR_ACCESS_DENIED},
        {"set_predefined", ERROR_ACCESS_DENIED}, {"delete_key", ERROR_ACCESS_DENIED},
    };
    for (const auto& [name, code] : expected) {
        ASSERT_TRUE(status.count(name)) << name << " missing in:\n" << out;
        EXPECT_EQ(code, status[name]) << name;
    }
    EXPECT_EQ(before, ReadAll(dir.Path() + "/machine.hive"));
    EXPECT_EQ(0, Helper("exists 'HKLM\\Software\\ReadOnly'", env));
}

TEST(Store, AFileThatIsNotAStoreIsReportedAndLeftAlone)
{
    struct Case {
        const char* label;
        const char* file;
        void (*make)(const std::string& path);
    } cases[] = {
        {"text", "registry.db", [](const std::string& path) { std::ofstream(path) << "not a registry at all\n"; }},
        {"empty", "registry.db", [](const std::string& path) { std::ofstream out(path); }},
        {"another database", "registry.db",
         [](const std::string& path) {
             sqlite3* db = nullptr;
             sqlite3_open(path.c_str(), &db);
             sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES (1);", nullptr, nullptr,
                          nullptr);
             sqlite3_close(db);
         }},
        {"text hive", "machine.hive", [](const std::string& path) { std::ofstream(path) << "not a hive\n"; }},
        {"empty hive", "machine.hive", [](const std::string& path) { std::ofstream out(path); }},
        {"a hive cut short", "machine.hive",
         [](const std::string& path) { std::ofstream(path) << std::string("NETIDHV1") + std::string(100, '\1'); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir("netid-store");
        std::string path = dir.Path() + "/" + c.file;
        c.make(path);
        std::string before = ReadAll(path);
        std::set<std::string> files = Listing(dir.Path());
        std::string out;
        ASSERT_EQ(0, Helper("probe HKLM Software", "NETID_REGISTRY_DIR=" + Quote(dir.Path()),
                            &out));
        std::map<std::string, long> status = ParseProbe(out);
        ASSERT_FALSE(status.empty());
        for (const auto& [name, code] : status) {
            EXPECT_EQ(ERROR_BADDB, code) << name;
        }
        EXPECT_EQ(before, ReadAll(path));
        EXPECT_EQ(files, Listing(dir.Path()));
    }
}

TEST(Store, AMissingStoreIsCreatedWithTheSkeleton)
{
    TempDir dir("netid-store");
    std::string nested = dir.Path() + "/deeper/registry";
    std::string env = "NETID_REGISTRY_DIR=" + Quote(nested);
    EXPECT_EQ(0, Helper("exists 'HKLM\\SOFTWARE\\Classes\\CLSID'", env));
    EXPECT_EQ(0, Helper("exists 'HKLM\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current'", env));
    EXPECT_TRUE(fs::exists(nested + "/machine.hive"));
}

// ------------------------------------------------------------ restarts
TEST(Store, VolatileKeysVanishWhenTheMachineRestarts)
{
    TempDir dir("netid-store");
    std::string store = "NETID_REGISTRY_DIR=" + Quote(dir.Path());
    std::string bootA = store + " NETID_BOOT_ID=boot-a";
    std::string bootB = store + " NETID_BOOT_ID=boot-b";
    ASSERT_EQ(0, Helper("create 'Software\\Fleeting' volatile", bootA));
    ASSERT_EQ(0, Helper("create 'Software\\Fleeting\\Inner' volatile", bootA));
    ASSERT_EQ(0, Helper("create 'Software\\Lasting' plain", bootA));
    ASSERT_EQ(0, Helper("write 'Software\\Fleeting' v 3", bootA));
    EXPECT_EQ(0, Helper("exists 'Software\\Fleeting\\Inner'", bootA));
    // Still the same boot in another process: still there.
    EXPECT_EQ(0, Helper("exists 'Software\\Fleeting'", bootA));
    // After a restart they are gone, the others stay.
    EXPECT_EQ(1, Helper("exists 'Software\\Fleeting'", bootB));
    EXPECT_EQ(1, Helper("exists 'Software\\Fleeting\\Inner'", bootB));
    EXPECT_EQ(0, Helper("exists 'Software\\Lasting'", bootB));
}

// ------------------------------------------------------------ notification across processes
TEST(Store, AFailedCallLeavesNoTraceAndWakesNoWatcher)
{
    ScratchKey scratch("NoTrace");
    HKEY fleeting = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), "Fleeting", 0, nullptr, REG_OPTION_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, &fleeting, nullptr));
    HKEY other = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), "Other", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &other, nullptr));
    HANDLE onFleeting = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE onOther = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(fleeting, TRUE, REG_LEGAL_CHANGE_FILTER, onFleeting, TRUE));
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(other, TRUE, REG_LEGAL_CHANGE_FILTER, onOther, TRUE));
    // Root's own hive lies in root/ of the store, every other user's in users/.
    const std::string file = TestRegistryDirectory() +
                             (geteuid() == 0 ? std::string("/root") : "/users/S-1-22-1-" + std::to_string(geteuid())) +
                             "/user.hive";
    auto bytes = [&] {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string before = bytes();
    ASSERT_FALSE(before.empty()) << file;

    // "a" would be made volatile on the way, then "b" is refused.
    HKEY made = nullptr;
    EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE,
              RegCreateKeyExA(fleeting, "a\\b", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr));
    HKEY a = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(fleeting, "a", 0, KEY_READ, &a));
    EXPECT_EQ(before, bytes());
    // A change of this process reaches its watches within the call that
    // made it: the other watch proves the way, and this one stayed quiet.
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(other, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(onOther, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(onFleeting, 0));
    CloseHandle(onFleeting);
    CloseHandle(onOther);
    RegCloseKey(other);
    RegCloseKey(fleeting);
}

TEST(Store, AChangeByAnotherProcessWakesTheWaiter)
{
    ScratchKey scratch("CrossNotify");
    HKEY watched = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, scratch.Path().c_str(), 0,
                                           KEY_NOTIFY, &watched));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(watched, FALSE, REG_NOTIFY_CHANGE_LAST_SET,
                                                     event, TRUE));
    ASSERT_EQ(0, Helper("write " + Quote(scratch.Path()) + " other 1"));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0),
              WaitForSingleObject(event, static_cast<DWORD>(kGenerousWait.count())));
    CloseHandle(event);
    RegCloseKey(watched);
}

TEST(Store, AWaiterInAnotherProcessIsWokenByOurChange)
{
    ScratchKey scratch("CrossWait");
    TempDir dir("netid-store");
    std::string ready = dir.Path() + "/ready";
    std::atomic<int> exitStatus{-1};
    std::vector<std::thread> waiter;
    JoinAtExit join(waiter);
    waiter.emplace_back([&] {
        exitStatus = Helper("wait " + Quote(scratch.Path()) + " " + Quote(ready) + " " +
                            std::to_string(kGenerousWait.count()));
    });
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(ready); }));
    HKEY child = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), "deeper\\still", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &child, nullptr));
    RegCloseKey(child);
    waiter[0].join();
    EXPECT_EQ(0, exitStatus.load());
}

TEST(Store, EnumerationSeesChangesOfOtherProcessesBetweenCalls)
{
    ScratchKey scratch("EnumFresh");
    for (const char* name : {"b", "d"}) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), name, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        RegCloseKey(key);
    }
    DWORD value = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "first", 0, REG_DWORD,
                                            reinterpret_cast<BYTE*>(&value), 4));
    char name[64];
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(scratch.Handle(), 1, name, sizeof name));
    EXPECT_STREQ("d", name);
    DWORD length = sizeof name;
    ASSERT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueA(scratch.Handle(), 1, name, &length, nullptr,
                                                 nullptr, nullptr, nullptr));
    ASSERT_EQ(0, Helper("create " + Quote(scratch.Sub("c")) + " plain"));
    ASSERT_EQ(0, Helper("write " + Quote(scratch.Path()) + " second 1"));
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(scratch.Handle(), 1, name, sizeof name));
    EXPECT_STREQ("c", name);
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(scratch.Handle(), 2, name, sizeof name));
    EXPECT_STREQ("d", name);
    length = sizeof name;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(scratch.Handle(), 1, name, &length, nullptr, nullptr,
                                           nullptr, nullptr));
    EXPECT_STREQ("second0", name);
}

// ------------------------------------------------------------ our own answers
TEST(Store, CurrentUserIsTheCallersHiveUnderUsers)
{
    ScratchKey scratch("UserHive");
    DWORD value = 0x1234;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "mine", 0, REG_DWORD,
                                            reinterpret_cast<BYTE*>(&value), 4));
    std::string path = "S-1-22-1-" + std::to_string(geteuid()) + "\\" + scratch.Path();
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_USERS, path.c_str(), 0, KEY_READ, &key));
    DWORD seen = 0;
    DWORD size = 4;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "mine", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(&seen), &size));
    EXPECT_EQ(value, seen);
    RegCloseKey(key);
}

TEST(Store, NameLimitsAndMalformedPaths)
{
    ScratchKey scratch("Limits");
    HKEY key = scratch.Handle();
    struct Case {
        std::string label;
        std::string path;
        LONG create;
    } cases[] = {
        {"255 characters", std::string(255, 'k'), ERROR_SUCCESS},
        {"256 characters", std::string(256, 'k'), ERROR_INVALID_PARAMETER},
        {"leading backslash", "\\lead", ERROR_BAD_PATHNAME},
        {"empty name inside", "a\\\\b", ERROR_BAD_PATHNAME},
        {"trailing backslash", "trail\\", ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HKEY out = nullptr;
        EXPECT_EQ(c.create, RegCreateKeyExA(key, c.path.c_str(), 0, nullptr, 0, KEY_READ, nullptr,
                                            &out, nullptr));
        if (out != nullptr) RegCloseKey(out);
    }
    BYTE data = 1;
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key, std::string(16383, 'v').c_str(), 0, REG_BINARY, &data, 1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegSetValueExA(key, std::string(16384, 'v').c_str(), 0, REG_BINARY, &data, 1));
    DWORD longest = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, &longest,
                                              nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr));
    EXPECT_EQ(255u, longest);
}

TEST(Store, HandleValuesAreNeverReused)
{
    ScratchKey scratch("HandleValues");
    std::set<HKEY> seen;
    for (int i = 0; i < 500; ++i) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(scratch.Handle(), "", 0, KEY_READ, &key));
        EXPECT_TRUE(seen.insert(key).second);
        RegCloseKey(key);
    }
}

TEST(Store, PerformanceDataAndDynDataRoots)
{
    HKEY out = nullptr;
    DWORD size = 0;
    DWORD values = 99;
    // The performance root holds no keys or values of its own here.
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(HKEY_PERFORMANCE_DATA, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, &values, nullptr,
                                              nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, values);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(HKEY_PERFORMANCE_DATA, "Global", nullptr,
                                                     nullptr, nullptr, &size));
    // Nor is it a key to make keys beneath.
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCreateKeyExA(HKEY_PERFORMANCE_DATA, "x", 0, nullptr, 0,
                                                    KEY_ALL_ACCESS, nullptr, &out, nullptr));
    // The dynamic-data root of the old 9x line does not exist on this family.
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA(HKEY_DYN_DATA, "", 0, KEY_READ, &out));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExA(HKEY_DYN_DATA, "x", nullptr, nullptr,
                                                     nullptr, &size));
    HKEY connected = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegConnectRegistryA(nullptr, HKEY_PERFORMANCE_DATA, &connected));
    EXPECT_EQ(HKEY_PERFORMANCE_DATA, connected);
}

}  // namespace
