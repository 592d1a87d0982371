// SPDX-License-Identifier: LGPL-2.1-or-later
// Registry calls in a program short of memory: each call is run with its
// 1st, 2nd, 3rd ... allocation failing, until it runs through without one
// failing. Whichever allocation fails, the call answers (the shortage as
// ERROR_NOT_ENOUGH_MEMORY, or success where it could do without), no
// exception leaves it, and what it was asked to change is either done whole
// or not at all; the calls after it work. This program replaces the global
// allocator to do so, which is why it is a program of its own.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include "platform/win32.h"
#include "support/privileges.h"
#include "support/scratch_key.h"
#include "support/temp_dir.h"

namespace {

// Only the testing thread's allocations fail, and only while armed.
thread_local long t_failIn = 0;  // 0: none; n: the nth allocation from now fails
thread_local bool t_failed = false;

}  // namespace

// The replacement pairs malloc with free, which the compiler cannot see
// through once it inlines these.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size)
{
    if (t_failIn > 0 && --t_failIn == 0) {
        t_failed = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// The first call of a process opens the store. This program, started anew
// with NETID_OOM_FIRST_CALL=n, makes that first call with its nth
// allocation failing, then a second call, and exits with what it saw:
//   0  no allocation failed and the call worked: n is past the last one
//   1  the first call failed for memory and the second worked
//   2  anything else
const int g_firstCallChild = [] {
    const char* at = std::getenv("NETID_OOM_FIRST_CALL");
    if (at == nullptr) return 0;
    t_failed = false;
    t_failIn = std::atol(at);
    HKEY key = nullptr;
    const LONG first = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key);
    t_failIn = 0;
    if (first == ERROR_SUCCESS) RegCloseKey(key);
    if (!t_failed) std::_Exit(first == ERROR_SUCCESS ? 0 : 2);
    if (first != ERROR_SUCCESS && first != ERROR_NOT_ENOUGH_MEMORY) std::_Exit(2);
    const LONG second = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key);
    std::_Exit(second == ERROR_SUCCESS ? 1 : 2);
}();

// Runs `call` failing its nth allocation for n = 1, 2, ..., and `check`
// after each run, given its status; ends at the first run that succeeds
// (one in which no allocation failed must).
template <typename Call, typename Check>
void UnderEveryFailure(const char* what, Call call, Check check)
{
    for (long n = 1; n <= 100000; ++n) {
        t_failed = false;
        t_failIn = n;
        const LONG status = call();
        t_failIn = 0;
        const bool failed = t_failed;
        SCOPED_TRACE(std::string(what) + ", allocation " + std::to_string(n) + " failing: " + std::to_string(status));
        if (failed) {
            EXPECT_TRUE(status == ERROR_NOT_ENOUGH_MEMORY || status == ERROR_SUCCESS) << status;
        } else {
            EXPECT_EQ(ERROR_SUCCESS, status);
        }
        check(status);
        if (::testing::Test::HasFailure() || !failed || status == ERROR_SUCCESS) return;
    }
    ADD_FAILURE() << what << " never ran through";
}

std::string QueryString(HKEY key, const char* name)
{
    char data[64] = {};
    DWORD size = sizeof data - 1;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS) {
        return "<none>";
    }
    return std::string(data);
}

bool Exists(HKEY parent, const char* path)
{
    HKEY k = nullptr;
    if (RegOpenKeyExA(parent, path, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

TEST(OutOfMemory, ASetValueIsWholeOrNotAtAll)
{
    ScratchKey scratch("OomSet");
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "v", 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>("old"), 4));
    UnderEveryFailure(
        "RegSetValueExA",
        [&] { return RegSetValueExA(scratch.Handle(), "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("new"), 4); },
        [&](LONG status) { EXPECT_EQ(status == ERROR_SUCCESS ? "new" : "old", QueryString(scratch.Handle(), "v")); });
}

TEST(OutOfMemory, ACreateOfThreeLevelsMakesAllOrNone)
{
    ScratchKey scratch("OomCreate");
    UnderEveryFailure(
        "RegCreateKeyExA",
        [&] {
            HKEY made = nullptr;
            LONG status = RegCreateKeyExA(scratch.Handle(), "a\\b\\c", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                          &made, nullptr);
            if (status == ERROR_SUCCESS) RegCloseKey(made);
            return status;
        },
        [&](LONG status) {
            // The three levels are made in one commit, or none is. (The call
            // may still find no memory for its handle once they are made.)
            const bool all = Exists(scratch.Handle(), "a\\b\\c");
            EXPECT_EQ(all, Exists(scratch.Handle(), "a"));
            if (status == ERROR_SUCCESS) {
                EXPECT_TRUE(all);
            }
        });
    EXPECT_TRUE(Exists(scratch.Handle(), "a\\b\\c"));
}

TEST(OutOfMemory, ADeleteRemovesTheKeyOrLeavesItWhole)
{
    ScratchKey scratch("OomDelete");
    HKEY made = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), "gone", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &made, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(made, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("kept"), 5));
    RegCloseKey(made);
    UnderEveryFailure(
        "RegDeleteKeyA", [&] { return RegDeleteKeyA(scratch.Handle(), "gone"); },
        [&](LONG status) {
            if (status == ERROR_SUCCESS) {
                EXPECT_FALSE(Exists(scratch.Handle(), "gone"));
            } else {
                HKEY k = nullptr;
                ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(scratch.Handle(), "gone", 0, KEY_READ, &k));
                EXPECT_EQ("kept", QueryString(k, "v"));
                RegCloseKey(k);
            }
        });
}

TEST(OutOfMemory, ReadsAnswerAndLeaveTheHandleUsable)
{
    ScratchKey scratch("OomRead");
    HKEY made = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), "child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &made, nullptr));
    RegCloseKey(made);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2));
    UnderEveryFailure(
        "RegQueryValueExA",
        [&] {
            char data[8] = {};
            DWORD size = sizeof data;
            return RegQueryValueExA(scratch.Handle(), "v", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
        },
        [](LONG) {});
    UnderEveryFailure(
        "RegEnumKeyExA",
        [&] {
            char name[32] = {};
            DWORD size = sizeof name;
            return RegEnumKeyExA(scratch.Handle(), 0, name, &size, nullptr, nullptr, nullptr, nullptr);
        },
        [](LONG) {});
    UnderEveryFailure(
        "RegOpenKeyExA",
        [&] {
            HKEY k = nullptr;
            LONG status = RegOpenKeyExA(scratch.Handle(), "child", 0, KEY_READ, &k);
            if (status == ERROR_SUCCESS) RegCloseKey(k);
            return status;
        },
        [](LONG) {});
    EXPECT_EQ("x", QueryString(scratch.Handle(), "v"));
}

TEST(OutOfMemory, ASaveLeavesAWholeFileOrNone)
{
    ASSERT_TRUE(SetPrivilege(SE_BACKUP_NAME, true));
    ScratchKey scratch("OomSave");
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2));
    TempDir dir("netid-oom");
    const std::string file = dir.Path() + "/saved.hiv";
    UnderEveryFailure(
        "RegSaveKeyA", [&] { return RegSaveKeyA(scratch.Handle(), file.c_str(), nullptr); },
        [&](LONG status) {
            // Nothing but the finished file, and that only when the call succeeded.
            std::size_t entries = 0;
            for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
                (void)e;
                ++entries;
            }
            EXPECT_EQ(status == ERROR_SUCCESS ? 1u : 0u, entries);
        });
    SetPrivilege(SE_BACKUP_NAME, false);
}

TEST(OutOfMemory, SecurityNotificationAndHivesAnswerAndLeaveNoHalfWork)
{
    ASSERT_TRUE(SetPrivilege(SE_BACKUP_NAME, true));
    ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, true));
    ScratchKey scratch("OomHives");
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2));
    BYTE security[512];
    DWORD size = sizeof security;
    ASSERT_EQ(ERROR_SUCCESS, RegGetKeySecurity(scratch.Handle(), DACL_SECURITY_INFORMATION, security, &size));
    UnderEveryFailure(
        "RegSetKeySecurity",
        [&] { return RegSetKeySecurity(scratch.Handle(), DACL_SECURITY_INFORMATION, security); }, [](LONG) {});
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    UnderEveryFailure(
        "RegNotifyChangeKeyValue",
        [&] { return RegNotifyChangeKeyValue(scratch.Handle(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE); },
        [](LONG) {});
    // The watch armed by the run that succeeded still fires.
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "w", 0, REG_SZ, reinterpret_cast<const BYTE*>("y"), 2));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 60000));
    CloseHandle(event);

    TempDir dir("netid-oom");
    const std::string file = dir.Path() + "/hive.hiv";
    ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyA(scratch.Handle(), file.c_str(), nullptr));
    const std::string name = "NetidOom" + std::to_string(getpid());
    UnderEveryFailure(
        "RegLoadKeyA", [&] { return RegLoadKeyA(HKEY_LOCAL_MACHINE, name.c_str(), file.c_str()); },
        [&](LONG status) {
            // Mounted whole, with its value, or not at all.
            HKEY k = nullptr;
            LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, name.c_str(), 0, KEY_READ, &k);
            EXPECT_EQ(status == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND, opened);
            if (opened == ERROR_SUCCESS) {
                EXPECT_EQ("x", QueryString(k, "v"));
                RegCloseKey(k);
            }
        });
    UnderEveryFailure(
        "RegUnLoadKeyA", [&] { return RegUnLoadKeyA(HKEY_LOCAL_MACHINE, name.c_str()); },
        [&](LONG status) { EXPECT_EQ(status != ERROR_SUCCESS, Exists(HKEY_LOCAL_MACHINE, name.c_str())); });
    UnderEveryFailure(
        "RegRestoreKeyA", [&] { return RegRestoreKeyA(scratch.Handle(), file.c_str(), 0); },
        [&](LONG) { EXPECT_EQ("x", QueryString(scratch.Handle(), "v")); });
    SetPrivilege(SE_RESTORE_NAME, false);
    SetPrivilege(SE_BACKUP_NAME, false);
}

TEST(OutOfMemory, EventsAndTextFailAsTheirCallsFail)
{
    // A call that fails by its result says why in the last error.
    auto lastError = [] { return static_cast<LONG>(GetLastError()); };
    UnderEveryFailure(
        "CreateEventA, SetEvent, WaitForSingleObject",
        [&]() -> LONG {
            HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            if (event == nullptr) return lastError();
            LONG status = SetEvent(event) ? ERROR_SUCCESS : lastError();
            if (status == ERROR_SUCCESS && WaitForSingleObject(event, 0) != WAIT_OBJECT_0) status = lastError();
            CloseHandle(event);
            return status;
        },
        [](LONG) {});
    UnderEveryFailure(
        "FormatMessageA",
        [&]() -> LONG {
            char text[256];
            return FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  ERROR_ACCESS_DENIED, 0, text, sizeof text, nullptr) != 0
                       ? ERROR_SUCCESS
                       : lastError();
        },
        [](LONG) {});
    UnderEveryFailure(
        "MultiByteToWideChar",
        [&]() -> LONG {
            WCHAR wide[16];
            return MultiByteToWideChar(CP_ACP, 0, "Gr\xc3\xbc\xc3\x9f", -1, wide, 16) != 0 ? ERROR_SUCCESS : lastError();
        },
        [](LONG) {});
}

TEST(OutOfMemory, TheFirstCallOfAProcessIsTriedAgainAfterAShortage)
{
    // The children open one store, made by a first child that fails nothing.
    TempDir store("netid-oom-store");
    for (long n = 0; n <= 100000; ++n) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            setenv("NETID_REGISTRY_DIR", store.Path().c_str(), 1);
            setenv("NETID_OOM_FIRST_CALL", std::to_string(n).c_str(), 1);
            execl("/proc/self/exe", "netid_memory_tests", "--gtest_list_tests", static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(WIFEXITED(status)) << "allocation " << n << " failing: the process died of signal "
                                       << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        ASSERT_NE(2, WEXITSTATUS(status)) << "allocation " << n << " failing: a wrong answer";
        ASSERT_NE(127, WEXITSTATUS(status)) << "the program could not be started again";
        if (n > 0 && WEXITSTATUS(status) == 0) return;
    }
    ADD_FAILURE() << "the first call never ran through";
}

}  // namespace
