// The Win32 registry calls in the corner cases programs run into: string
// terminators, buffers too small, predefined handles and paths,
// HKEY_PERFORMANCE_DATA, loading hives, arming a notification and
// HKEY_CLASSES_ROOT as the merged view of the user's and the machine's
// classes. Windows' answers are expected; where Wine answers otherwise the
// test names the deviation and expects Wine's answer there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "registry/registry.h"
#include "support/environment.h"
#include "support/key_handle.h"
#include "support/privileges.h"
#include "support/scratch_key.h"

namespace {

const BYTE kUnwritten = 0xBD;

LONG SetBytes(HKEY key, const char* name, DWORD type, const std::string& bytes, DWORD count)
{
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()), count);
}

LONG SetText(HKEY key, const char* name, const char* text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(std::strlen(text) + 1));
}

// What a query delivered into a buffer of `capacity` bytes (filled with
// kUnwritten beforehand), with the byte after the data.
struct Delivered {
    LONG status = -1;
    DWORD type = 0;
    DWORD size = 0;
    std::string data;  // `size` bytes when the call succeeded
    BYTE after = 0;    // the buffer's byte just past them
};

Delivered Query(HKEY key, const char* name, DWORD capacity)
{
    std::vector<BYTE> buffer(capacity + 1, kUnwritten);
    Delivered out;
    out.size = capacity;
    out.status = RegQueryValueExA(key, name, nullptr, &out.type, buffer.data(), &out.size);
    if (out.status == ERROR_SUCCESS) {
        out.data.assign(reinterpret_cast<char*>(buffer.data()), out.size);
        out.after = buffer[out.size];
    }
    return out;
}

Delivered EnumFirst(HKEY key, DWORD capacity)
{
    std::vector<BYTE> buffer(capacity + 1, kUnwritten);
    char name[64];
    DWORD length = sizeof name;
    Delivered out;
    out.size = capacity;
    out.status = RegEnumValueA(key, 0, name, &length, nullptr, &out.type, buffer.data(), &out.size);
    if (out.status == ERROR_SUCCESS) {
        out.data.assign(reinterpret_cast<char*>(buffer.data()), out.size);
        out.after = buffer[out.size];
    }
    return out;
}

std::string Text(HKEY key, const char* name)
{
    Delivered got = Query(key, name, 64);
    return got.status == ERROR_SUCCESS ? std::string(got.data.c_str()) : "<" + std::to_string(got.status) + ">";
}

bool Exists(HKEY root, const std::string& path)
{
    Key key;
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Out()) == ERROR_SUCCESS;
}

// ------------------------------------------------------------ strings
TEST(Win32Conformance, SetValueStoresTheTerminatorItsCountLeftOut)
{
    ScratchKey scratch("ConfTerminator");
    struct Case {
        const char* label;
        DWORD type;
        std::string buffer;
        DWORD count;
        std::string stored;
    } cases[] = {
        {"sz, NUL past the count", REG_SZ, std::string("abc\0", 4), 3, std::string("abc\0", 4)},
        {"expand sz, NUL past the count", REG_EXPAND_SZ, std::string("%x%\0", 4), 3, std::string("%x%\0", 4)},
        {"multi sz, NUL past the count", REG_MULTI_SZ, std::string("a\0b\0", 4), 3, std::string("a\0b\0", 4)},
        {"sz, text past the count", REG_SZ, std::string("abcd\0", 5), 3, "abc"},
        {"sz, count takes its NUL", REG_SZ, std::string("ab\0\0", 4), 3, std::string("ab\0", 3)},
        {"binary, NUL past the count", REG_BINARY, std::string("ab\0", 3), 2, "ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(ERROR_SUCCESS, SetBytes(scratch.Handle(), "v", c.type, c.buffer, c.count));
        Delivered got = Query(scratch.Handle(), "v", 64);
        ASSERT_EQ(ERROR_SUCCESS, got.status);
        EXPECT_EQ(c.stored, got.data);
    }
    // Data that fills its allocation exactly: what lies past it is not the
    // caller's (the sanitizer build checks that it is not read), and the
    // text is kept whatever it holds.
    std::vector<BYTE> exact{'x', 'y'};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "exact", 0, REG_SZ, exact.data(), 2));
    Delivered got = Query(scratch.Handle(), "exact", 64);
    ASSERT_EQ(ERROR_SUCCESS, got.status);
    EXPECT_EQ("xy", got.data.substr(0, 2));
    EXPECT_LE(got.size, 3u);
}

TEST(Win32Conformance, UnterminatedTextIsTerminatedWhenTheBufferHasRoom)
{
    ScratchKey scratch("ConfUnterminated");
    const char* text = "FullString";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "s", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 9));
    for (auto read : {&Query, +[](HKEY key, const char*, DWORD capacity) { return EnumFirst(key, capacity); }}) {
        Delivered exact = read(scratch.Handle(), "s", 9);
        ASSERT_EQ(ERROR_SUCCESS, exact.status);
        EXPECT_EQ("FullStrin", exact.data);
        EXPECT_EQ(kUnwritten, exact.after) << "no room: nothing past the data";
        Delivered roomy = read(scratch.Handle(), "s", 10);
        ASSERT_EQ(ERROR_SUCCESS, roomy.status);
        EXPECT_EQ(9u, roomy.size) << "the size stays the stored one";
        EXPECT_EQ(0, roomy.after);
    }
}

// ------------------------------------------------------------ buffers too small
TEST(Win32Conformance, EnumValueWithABufferTooSmallTellsTypeAndSizeAndDeliversDataThatFits)
{
    ScratchKey scratch("ConfEnumSmall");
    ASSERT_EQ(ERROR_SUCCESS, SetText(scratch.Handle(), "Test", "foobar"));
    struct Case {
        const char* label;
        DWORD nameLength;
        DWORD dataSize;
    } cases[] = {
        {"name too small", 3, 20},
        {"no room for a name", 0, 20},
        {"data too small", 20, 2},
        {"both too small", 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        char name[20] = "xxxxxxxxxx";
        BYTE data[20] = "xxxxxxxxxx";
        DWORD nameLength = c.nameLength;
        DWORD size = c.dataSize;
        DWORD type = 1234;
        EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(scratch.Handle(), 0, name, &nameLength, nullptr, &type, data, &size));
        EXPECT_EQ(c.nameLength, nameLength);
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
        EXPECT_EQ(7u, size);
        const bool dataFits = c.dataSize >= 7;
        if (!dataFits) {
            // With the data too small the name stays as it was.
            EXPECT_STREQ("xxxxxxxxxx", name);
        }
        // Data that fits is delivered though the name does not fit.
        EXPECT_STREQ(dataFits ? "foobar" : "xxxxxxxxxx", reinterpret_cast<char*>(data));
    }
}

TEST(Win32Conformance, QueryValueOfAMissingValueAndOneVariableForTypeAndSize)
{
    ScratchKey scratch("ConfQuerySizes");
    DWORD type = 0xDEADBEEF;
    DWORD size = 0xDEADBEEF;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(scratch.Handle(), "absent", nullptr, &type, nullptr, &size));
    EXPECT_EQ(0u, size) << "no buffer: the size is set to 0";
    BYTE buffer[10];
    size = sizeof buffer;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(scratch.Handle(), "absent", nullptr, &type, buffer, &size));
    EXPECT_EQ(sizeof buffer, size) << "with a buffer the size stays";

    const BYTE four[4] = {1, 2, 3, 4};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "bin", 0, REG_BINARY, four, 4));
    DWORD both = 4;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(scratch.Handle(), "bin", nullptr, &both, buffer, &both));
    EXPECT_EQ(0, std::memcmp(buffer, four, 4));
}

TEST(Win32Conformance, QueryInfoKeyMeasuresTextInUtf16AndCutsTheClassToFit)
{
    ScratchKey scratch("ConfInfo");
    Key sub;
    char subClass[] = "subkey class";
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), "sub", 0, subClass, 0, KEY_ALL_ACCESS, nullptr,
                                             sub.Out(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, SetText(sub.Get(), "", "abcd"));
    ASSERT_EQ(ERROR_SUCCESS, SetBytes(sub.Get(), "bin", REG_BINARY, "123456", 6));
    DWORD maxValue = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(sub.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, &maxValue, nullptr, nullptr));
    EXPECT_EQ(10u, maxValue) << "\"abcd\" and its NUL as UTF-16";

    struct Case {
        const char* label;
        DWORD capacity;
        LONG status;
        DWORD length;
        std::string delivered;  // then kUnwritten
    } cases[] = {
        {"no room at all", 0, ERROR_SUCCESS, 0, ""},
        {"room for the NUL alone", 1, ERROR_MORE_DATA, 0, std::string("\0", 1)},
        {"one short", 12, ERROR_MORE_DATA, 11, std::string("subkey clas\0", 12)},
        {"room for all", 13, ERROR_SUCCESS, 12, std::string("subkey class\0", 13)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        char buffer[32];
        std::memset(buffer, kUnwritten, sizeof buffer);
        DWORD length = c.capacity;
        EXPECT_EQ(c.status, RegQueryInfoKeyA(sub.Get(), buffer, &length, nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, nullptr, nullptr, nullptr));
        if (c.capacity == 0 && RunningUnderWine()) {
            // Wine deviation: Wine reports the whole class's length here.
            EXPECT_EQ(12u, length);
        } else {
            EXPECT_EQ(c.length, length);
        }
        EXPECT_EQ(c.delivered + static_cast<char>(kUnwritten), std::string(buffer, c.delivered.size() + 1));
    }
    DWORD length = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(sub.Get(), nullptr, &length, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(12u, length) << "no buffer: the whole length";
}

// ------------------------------------------------------------ handles and paths
TEST(Win32Conformance, PredefinedHandlesAreKnownByTheirLow32Bits)
{
    if (sizeof(HKEY) < 8) {
        GTEST_SKIP() << "a 32-bit handle has no bits above bit 31";
    }
    ScratchKey scratch("ConfLow32");
    ASSERT_EQ(ERROR_SUCCESS, SetText(scratch.Handle(), "marker", "low"));
    const std::uint64_t low = 0x80000001u;
    for (std::uint64_t high : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{0xDEADBEEF}}) {
        SCOPED_TRACE(high);
        HKEY user = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(low | (high << 32)));
        Key key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(user, scratch.Path().c_str(), 0, KEY_READ, key.Out()));
        EXPECT_EQ("low", Text(key.Get(), "marker"));
        EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(user));
    }
}

TEST(Win32Conformance, OpeningClassesRootWithoutAPathAndOpeningWithoutAHandle)
{
    for (const char* path : {static_cast<const char*>(nullptr), ""}) {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_QUERY_VALUE, &key));
        EXPECT_EQ(HKEY_CLASSES_ROOT, key) << "the root itself";
    }
    Key slash;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, "\\", 0, KEY_QUERY_VALUE, slash.Out()));
    EXPECT_NE(HKEY_CLASSES_ROOT, slash.Get()) << "a new handle";
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(slash.Release()));

    ScratchKey scratch("ConfNullHandle");
    for (const char* path : {"Software", ""}) {
        HKEY result = scratch.Handle();
        EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA(nullptr, path, 0, KEY_READ, &result));
        EXPECT_EQ(scratch.Handle(), result) << "the caller's variable stays as it was";
    }
    Key again;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(scratch.Handle(), "", 0, KEY_READ, again.Out()));
    EXPECT_NE(scratch.Handle(), again.Get()) << "any other key opened so is a new handle";
}

TEST(Win32Conformance, PathsMayEndInTwoBackslashesAndStartWithOneBeneathClassesRoot)
{
    ScratchKey scratch("ConfSlashes");
    Key made;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), "made\\\\", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             made.Out(), &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_EQ((std::vector<std::string>{"made"}), SubKeyNames(scratch.Handle()));
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, scratch.Sub("made\\\\")));

    EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, "\\CLSID"));
    // Elsewhere a leading backslash is a malformed path.
    Key bad;
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegOpenKeyExA(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, bad.Out()));
}

TEST(Win32Conformance, PerformanceDataIsNoKeyToOpenSetOrEnumerate)
{
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA(HKEY_PERFORMANCE_DATA, "Global", 0, KEY_READ, &key));
    const LONG opened = RegOpenKeyExA(HKEY_PERFORMANCE_DATA, nullptr, 0, KEY_READ, &key);
    if (RunningUnderWine()) {
        // Wine deviation: Wine opens HKEY_PERFORMANCE_DATA itself with no path.
        EXPECT_EQ(ERROR_SUCCESS, opened);
    } else {
        EXPECT_EQ(ERROR_INVALID_HANDLE, opened);
    }
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegSetValueExA(HKEY_PERFORMANCE_DATA, "Global", 0, REG_SZ,
                                                   reinterpret_cast<const BYTE*>("dummy"), 6));
    char name[64];
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegEnumKeyA(HKEY_PERFORMANCE_DATA, 0, name, sizeof name));
    // Nor one to make keys beneath or to delete from.
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCreateKeyExA(HKEY_PERFORMANCE_DATA, "made", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                    nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegDeleteKeyA(HKEY_PERFORMANCE_DATA, "made"));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegDeleteValueA(HKEY_PERFORMANCE_DATA, "Global"));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_PERFORMANCE_DATA));
}

// ------------------------------------------------------------ hives and notification
TEST(Win32Conformance, LoadingAndUnloadingNeedOnlyTheRestorePrivilege)
{
    const bool backup = PrivilegeIsEnabled(SE_BACKUP_NAME);
    const bool restore = PrivilegeIsEnabled(SE_RESTORE_NAME);
    if (!SetPrivilege(SE_BACKUP_NAME, true) || !SetPrivilege(SE_RESTORE_NAME, true)) {
        GTEST_SKIP() << "the process token does not hold the backup and restore privileges";
    }
    namespace fs = std::filesystem;
    const std::string tag = std::to_string(GetCurrentProcessId());
    const fs::path file = fs::temp_directory_path() / ("netid-conf-" + tag + ".hiv");
    std::error_code ec;
    fs::remove(file, ec);
    ScratchKey scratch("ConfLoad");
    ASSERT_EQ(ERROR_SUCCESS, SetText(scratch.Handle(), "marker", "loaded"));
    ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyA(scratch.Handle(), file.string().c_str(), nullptr));

    const std::string name = "NetidConfLoad." + tag;
    ASSERT_TRUE(SetPrivilege(SE_BACKUP_NAME, false));
    ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, false));
    EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, RegLoadKeyA(HKEY_LOCAL_MACHINE, name.c_str(), file.string().c_str()));
    ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, true));
    EXPECT_EQ(ERROR_SUCCESS, RegLoadKeyA(HKEY_LOCAL_MACHINE, name.c_str(), file.string().c_str()));
    {
        Key loaded;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, name.c_str(), 0, KEY_READ, loaded.Out()));
        EXPECT_EQ("loaded", Text(loaded.Get(), "marker"));
    }
    EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyA(HKEY_LOCAL_MACHINE, name.c_str()));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, name));
    // Beneath HKEY_USERS, whose enumeration shows the hive while it is loaded.
    const std::string user = "NetidConfUser." + tag;
    auto listed = [&] {
        const std::vector<std::string> names = SubKeyNames(HKEY_USERS);
        return std::find(names.begin(), names.end(), user) != names.end();
    };
    EXPECT_FALSE(listed());
    ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyA(HKEY_USERS, user.c_str(), file.string().c_str()));
    EXPECT_TRUE(listed());
    EXPECT_EQ(ERROR_SUCCESS, RegUnLoadKeyA(HKEY_USERS, user.c_str()));
    EXPECT_FALSE(listed());
    if (RunningUnderWine()) {
        // Wine deviation: Wine unloads the default user's hive (and its server
        // fails afterwards), so it is not asked to.
    } else {
        EXPECT_EQ(ERROR_ACCESS_DENIED, RegUnLoadKeyA(HKEY_USERS, ".DEFAULT")) << "the default user's hive stays";
        EXPECT_TRUE(Exists(HKEY_USERS, ".DEFAULT"));
    }
    SetPrivilege(SE_BACKUP_NAME, backup);
    SetPrivilege(SE_RESTORE_NAME, restore);
    fs::remove(file, ec);
}

TEST(Win32Conformance, ArmingANotificationClearsItsEvent)
{
    ScratchKey scratch("ConfNotifyReset");
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // signalled from the start
    ASSERT_NE(nullptr, event);
    ASSERT_EQ(ERROR_SUCCESS, RegNotifyChangeKeyValue(scratch.Handle(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0)) << "the old signal is gone";
    ASSERT_EQ(ERROR_SUCCESS, SetText(scratch.Handle(), "v", "changed"));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, 10000));
    CloseHandle(event);
}

// Arms a watch on `key` from a thread of its own, which then ends.
LONG ArmFromAThreadThatEnds(HKEY key, DWORD filter, HANDLE event)
{
    LONG armed = -1;
    std::thread([&] { armed = RegNotifyChangeKeyValue(key, FALSE, filter, event, TRUE); }).join();
    return armed;
}

TEST(Win32Conformance, AWatchEndsWithItsThreadUnlessItIsThreadAgnostic)
{
    ScratchKey scratch("ConfNotifyThread");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);

    // Thread-agnostic: the thread's end is no change; a change still fires.
    ASSERT_EQ(ERROR_SUCCESS, ArmFromAThreadThatEnds(scratch.Handle(),
                                                    REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_THREAD_AGNOSTIC, event));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0)) << "signalled by the thread's end";
    ASSERT_EQ(ERROR_SUCCESS, SetText(scratch.Handle(), "v", "changed"));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, 120000));

    // Without the flag the watch is cancelled with its thread, which
    // signals the event with no change at all.
    ASSERT_EQ(ERROR_SUCCESS, ArmFromAThreadThatEnds(scratch.Handle(), REG_NOTIFY_CHANGE_LAST_SET, event));
    if (RunningUnderWine()) {
        // Wine deviation: Wine keeps the watch after its thread has ended.
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
    } else {
        EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, 120000));
    }
    CloseHandle(event);
}

// ------------------------------------------------------------ HKEY_CLASSES_ROOT
// A class of this process's own in the user's classes, the machine's or both.
class ClassesRoot : public ::testing::Test {
protected:
    void TearDown() override
    {
        DeleteKeyTree(HKEY_CURRENT_USER, Path().c_str());
        DeleteKeyTree(HKEY_LOCAL_MACHINE, Path().c_str());
    }
    const std::string& Name() const { return m_name; }
    // The class's path, or one beneath it, below HKEY_CURRENT_USER or
    // HKEY_LOCAL_MACHINE.
    std::string Path(const std::string& below = "") const
    {
        const std::string path = "Software\\Classes\\" + m_name;
        return below.empty() ? path : path + "\\" + below;
    }
    static LONG Make(HKEY root, const std::string& path, HKEY* out)
    {
        return RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, out, nullptr);
    }
    // True when the merged view is there; under Wine, which has none, says so.
    static bool Merged(LONG openedUserOnlyClass)
    {
        if (RunningUnderWine()) {
            // Wine deviation: Wine's HKEY_CLASSES_ROOT is the machine's classes
            // alone; a class only the user has is not found there.
            EXPECT_EQ(ERROR_FILE_NOT_FOUND, openedUserOnlyClass);
            return false;
        }
        EXPECT_EQ(ERROR_SUCCESS, openedUserOnlyClass);
        return openedUserOnlyClass == ERROR_SUCCESS;
    }

private:
    std::string m_name = "NetidConf." + std::to_string(GetCurrentProcessId());
};

TEST_F(ClassesRoot, ReadsAndWritesTheUsersKeyWhereThereIsOne)
{
    Key user;
    ASSERT_EQ(ERROR_SUCCESS, Make(HKEY_CURRENT_USER, Path(), user.Out()));
    ASSERT_EQ(ERROR_SUCCESS, SetText(user.Get(), "val", "user"));
    Key merged;
    if (!Merged(RegOpenKeyExA(HKEY_CLASSES_ROOT, Name().c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, merged.Out()))) {
        return;
    }
    EXPECT_EQ("user", Text(merged.Get(), "val"));
    ASSERT_EQ(ERROR_SUCCESS, SetText(merged.Get(), "written", "through the view"));
    EXPECT_EQ("through the view", Text(user.Get(), "written"));

    // The machine's key of the same name does not hide the user's.
    Key machine;
    ASSERT_EQ(ERROR_SUCCESS, Make(HKEY_LOCAL_MACHINE, Path(), machine.Out()));
    ASSERT_EQ(ERROR_SUCCESS, SetText(machine.Get(), "val", "machine"));
    EXPECT_EQ("user", Text(merged.Get(), "val"));
    ASSERT_EQ(ERROR_SUCCESS, SetText(merged.Get(), "val", "again"));
    EXPECT_EQ("again", Text(user.Get(), "val"));
    EXPECT_EQ("machine", Text(machine.Get(), "val"));

    // A handle opened while only the machine had a key reads the user's
    // once the user has one too.
    Key machineSub;
    ASSERT_EQ(ERROR_SUCCESS, Make(machine.Get(), "sub", machineSub.Out()));
    ASSERT_EQ(ERROR_SUCCESS, SetText(machineSub.Get(), "subval", "machine"));
    Key mergedSub;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(merged.Get(), "sub", 0, KEY_QUERY_VALUE | KEY_SET_VALUE, mergedSub.Out()));
    EXPECT_EQ("machine", Text(mergedSub.Get(), "subval"));
    Key userSub;
    ASSERT_EQ(ERROR_SUCCESS, Make(user.Get(), "sub", userSub.Out()));
    ASSERT_EQ(ERROR_SUCCESS, SetText(userSub.Get(), "subval", "user"));
    EXPECT_EQ("user", Text(mergedSub.Get(), "subval"));
    ASSERT_EQ(ERROR_SUCCESS, SetText(mergedSub.Get(), "subval", "written"));
    EXPECT_EQ("written", Text(userSub.Get(), "subval"));
    EXPECT_EQ("machine", Text(machineSub.Get(), "subval"));

    // Deleting through the view takes the user's key first, then the machine's.
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(merged.Get(), "sub"));
    EXPECT_FALSE(Exists(user.Get(), "sub"));
    EXPECT_TRUE(Exists(machine.Get(), "sub"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(merged.Get(), "sub"));
    EXPECT_FALSE(Exists(machine.Get(), "sub"));
}

// The platform marks a handle of the merged view with (value & 3) == 2.
bool MarkedAsClasses(HKEY key) { return (reinterpret_cast<std::uintptr_t>(key) & 3) == 2; }

TEST_F(ClassesRoot, HandlesOpenedBeneathItAreMarked)
{
    Key machine;
    ASSERT_EQ(ERROR_SUCCESS, Make(HKEY_LOCAL_MACHINE, Path(), machine.Out()));
    Key user;
    ASSERT_EQ(ERROR_SUCCESS, Make(HKEY_CURRENT_USER, Path(), user.Out()));
    Key opened, created, openedBelow, createdBelow;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, Name().c_str(), 0, KEY_ALL_ACCESS, opened.Out()));
    ASSERT_EQ(ERROR_SUCCESS, Make(HKEY_CLASSES_ROOT, Name() + "\\made", created.Out()));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(opened.Get(), "made", 0, KEY_READ, openedBelow.Out()));
    ASSERT_EQ(ERROR_SUCCESS, Make(created.Get(), "deeper", createdBelow.Out()));
    const bool marks = !RunningUnderWine();  // Wine deviation: Wine marks no handle
    EXPECT_EQ(marks, MarkedAsClasses(opened.Get()));
    EXPECT_EQ(marks, MarkedAsClasses(created.Get()));
    EXPECT_EQ(marks, MarkedAsClasses(openedBelow.Get()));
    EXPECT_EQ(marks, MarkedAsClasses(createdBelow.Get()));
    // The same keys opened beneath the user's or the machine's root are not.
    EXPECT_FALSE(MarkedAsClasses(user.Get()));
    EXPECT_FALSE(MarkedAsClasses(machine.Get()));
    Key plain;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path("made").c_str(), 0, KEY_READ, plain.Out()));
    EXPECT_FALSE(MarkedAsClasses(plain.Get()));
    // A marked handle is an ordinary handle to every call.
    ASSERT_EQ(ERROR_SUCCESS, SetText(createdBelow.Get(), "v", "through a marked handle"));
    Key check;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path("made\\deeper").c_str(), 0, KEY_READ, check.Out()));
    EXPECT_EQ("through a marked handle", Text(check.Get(), "v"));
}

TEST_F(ClassesRoot, EnumerationListsTheUnionInTheRegistrysOrder)
{
    Key user, machine, merged, sub;
    ASSERT_EQ(ERROR_SUCCESS, Make(HKEY_CURRENT_USER, Path(), user.Out()));
    if (!Merged(RegOpenKeyExA(HKEY_CLASSES_ROOT, Name().c_str(), 0, KEY_READ, merged.Out()))) return;
    ASSERT_EQ(ERROR_SUCCESS, SetText(user.Get(), "X", "AA"));
    ASSERT_EQ(ERROR_SUCCESS, SetText(user.Get(), "Y", "B"));
    for (const char* name : {"A", "B"}) ASSERT_EQ(ERROR_SUCCESS, Make(user.Get(), name, sub.Out()));
    ASSERT_EQ(ERROR_SUCCESS, Make(HKEY_LOCAL_MACHINE, Path(), machine.Out()));
    ASSERT_EQ(ERROR_SUCCESS, SetText(machine.Get(), "X", "AB"));
    ASSERT_EQ(ERROR_SUCCESS, SetText(machine.Get(), "Z", "C"));
    for (const char* name : {"a", "C"}) ASSERT_EQ(ERROR_SUCCESS, Make(machine.Get(), name, sub.Out()));
    sub.Reset();

    EXPECT_EQ((std::vector<std::string>{"X", "Y", "Z"}), ValueNames(merged.Get()));
    EXPECT_EQ((std::vector<std::string>{"A", "B", "C"}), SubKeyNames(merged.Get()));
    DWORD subKeys = 0, values = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(merged.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                              &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(3u, subKeys);
    EXPECT_EQ(3u, values);

    // The user's key gone, a handle opened on it answers so; opened anew the
    // view shows the machine's alone.
    user.Reset();
    ASSERT_EQ(ERROR_SUCCESS, DeleteKeyTree(HKEY_CURRENT_USER, Path().c_str()));
    char name[8];
    EXPECT_EQ(ERROR_KEY_DELETED, RegEnumKeyA(merged.Get(), 0, name, sizeof name));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, Name().c_str(), 0, KEY_READ, merged.Out()));
    EXPECT_EQ((std::vector<std::string>{"X", "Z"}), ValueNames(merged.Get()));
    EXPECT_EQ((std::vector<std::string>{"a", "C"}), SubKeyNames(merged.Get()));
}

TEST_F(ClassesRoot, EnumerationSeesKeysAddedAndDeletedBetweenCalls)
{
    Key user, machine, merged, sub;
    ASSERT_EQ(ERROR_SUCCESS, Make(HKEY_CURRENT_USER, Path(), user.Out()));
    ASSERT_EQ(ERROR_SUCCESS, Make(HKEY_LOCAL_MACHINE, Path(), machine.Out()));
    ASSERT_EQ(ERROR_SUCCESS, Make(user.Get(), "b", sub.Out()));
    ASSERT_EQ(ERROR_SUCCESS, Make(machine.Get(), "d", sub.Out()));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, Name().c_str(), 0, KEY_READ, merged.Out()));
    // Wine deviation: Wine's view is the machine's classes alone.
    const bool wine = RunningUnderWine();
    using Names = std::vector<std::string>;
    EXPECT_EQ((wine ? Names{"d"} : Names{"b", "d"}), SubKeyNames(merged.Get()));
    char name[8];
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(merged.Get(), 0, name, sizeof name));
    EXPECT_STREQ(wine ? "d" : "b", name);
    // A key added in the middle of an enumeration moves those after it.
    ASSERT_EQ(ERROR_SUCCESS, Make(machine.Get(), "a", sub.Out()));
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyA(merged.Get(), 1, name, sizeof name));
    EXPECT_STREQ(wine ? "d" : "b", name);
    EXPECT_EQ((wine ? Names{"a", "d"} : Names{"a", "b", "d"}), SubKeyNames(merged.Get()));
    // On either side.
    ASSERT_EQ(ERROR_SUCCESS, Make(user.Get(), "c", sub.Out()));
    EXPECT_EQ((wine ? Names{"a", "d"} : Names{"a", "b", "c", "d"}), SubKeyNames(merged.Get()));
    sub.Reset();
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(user.Get(), "b"));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(machine.Get(), "a"));
    EXPECT_EQ((wine ? Names{"d"} : Names{"c", "d"}), SubKeyNames(merged.Get()));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(merged.Get(), wine ? 1 : 2, name, sizeof name));
}

TEST_F(ClassesRoot, NewKeysGoBeneathTheMachinesClassesUnlessOnlyTheUserHasTheParent)
{
    // The machine's class: keys made through the view are the machine's.
    Key machine, made;
    ASSERT_EQ(ERROR_SUCCESS, Make(HKEY_LOCAL_MACHINE, Path(), machine.Out()));
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, (Name() + "\\made").c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, made.Out(), &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, Path("made")));
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, Path("made")));

    // The user has the class too: still the machine's.
    Key user;
    ASSERT_EQ(ERROR_SUCCESS, Make(HKEY_CURRENT_USER, Path(), user.Out()));
    Key merged;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, Name().c_str(), 0, KEY_ALL_ACCESS, merged.Out()));
    ASSERT_EQ(ERROR_SUCCESS, Make(merged.Get(), "second", made.Out()));
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, Path("second")));
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, Path("second")));

    // A key only the user has: what is made beneath it is the user's.
    Key userOnly;
    ASSERT_EQ(ERROR_SUCCESS, Make(user.Get(), "mine", userOnly.Out()));
    const LONG created = RegCreateKeyExA(HKEY_CLASSES_ROOT, (Name() + "\\mine\\deeper").c_str(), 0, nullptr, 0,
                                         KEY_ALL_ACCESS, nullptr, made.Out(), &disposition);
    ASSERT_EQ(ERROR_SUCCESS, created);
    if (RunningUnderWine()) {
        // Wine deviation: without the merged view Wine makes it among the
        // machine's classes.
        EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, Path("mine\\deeper")));
        return;
    }
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, Path("mine\\deeper")));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, Path("mine")));
}

}  // namespace
