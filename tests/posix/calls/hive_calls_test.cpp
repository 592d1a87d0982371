// SPDX-License-Identifier: LGPL-2.1-or-later
// The hive calls against the store: save, restore, load, unload, replace.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/posix/regf/hive_file.h"
#include "platform/posix/base/text.h"
#include "platform/posix/calls/hive_records.h"
#include "platform/posix/calls/reg_trees.h"
#include "registry/registry.h"
#include "support/environment.h"
#include "support/privileges.h"
#include "support/scratch_key.h"

using netid::posix::ExportKeyTree;
using netid::posix::RegTree;
namespace hive = netid::posix::hive;

namespace {

std::vector<BYTE> Pattern(std::size_t n)
{
    std::vector<BYTE> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(i * 13 + i / 97);
    return v;
}

void Set(HKEY key, const char* name, DWORD type, const std::vector<BYTE>& data)
{
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())));
}

// A tree of every value type beneath `key`.
void Fill(HKEY key)
{
    Set(key, "", REG_SZ, {'d', 0});
    Set(key, "none", REG_NONE, {1});
    Set(key, "sz", REG_SZ, {'a', 'b', 0});
    Set(key, "expand", REG_EXPAND_SZ, {'%', 'X', '%', 0});
    Set(key, "bin", REG_BINARY, {0, 1, 0xFE});
    Set(key, "dw", REG_DWORD, {4, 3, 2, 1});
    Set(key, "dwbe", REG_DWORD_BIG_ENDIAN, {1, 2, 3, 4});
    Set(key, "multi", REG_MULTI_SZ, {'a', 0, 'b', 0, 0});
    Set(key, "qw", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    Set(key, "empty", REG_BINARY, {});
    Set(key, "large", REG_BINARY, Pattern(70000));
    HKEY sub = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(key, "Sub\\Deeper", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr));
    Set(sub, "x", REG_DWORD, {9, 0, 0, 0});
    RegCloseKey(sub);
}

// Keys, values, types and data alike (names of the top keys aside).
void ExpectSameContents(const RegTree& a, const RegTree& b, const std::string& where = "")
{
    ASSERT_EQ(a.values.size(), b.values.size()) << where;
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        EXPECT_EQ(a.values[i].name, b.values[i].name) << where;
        EXPECT_EQ(a.values[i].type, b.values[i].type) << where << netid::posix::Utf16ToUtf8(a.values[i].name);
        EXPECT_EQ(a.values[i].data, b.values[i].data) << where << netid::posix::Utf16ToUtf8(a.values[i].name);
    }
    ASSERT_EQ(a.subkeys.size(), b.subkeys.size()) << where;
    for (std::size_t i = 0; i < a.subkeys.size(); ++i) {
        EXPECT_EQ(a.subkeys[i].name, b.subkeys[i].name) << where;
        ExpectSameContents(a.subkeys[i], b.subkeys[i], where + "\\" + netid::posix::Utf16ToUtf8(a.subkeys[i].name));
    }
}

RegTree Export(HKEY key)
{
    RegTree t;
    EXPECT_EQ(ERROR_SUCCESS, ExportKeyTree(key, t));
    return t;
}

// The machine starting again, as far as hives are concerned: a boot id of
// its own, then the work a new boot brings.
void SimulateNewBoot(const std::string& bootId)
{
    const char* old = getenv("NETID_BOOT_ID");
    std::string saved = old != nullptr ? old : "";
    setenv("NETID_BOOT_ID", bootId.c_str(), 1);
    hive::CarryOutBootWork();
    if (old != nullptr) {
        setenv("NETID_BOOT_ID", saved.c_str(), 1);
    } else {
        unsetenv("NETID_BOOT_ID");
    }
}

class HiveCallsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SetPrivilege(SE_BACKUP_NAME, true));
        ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, true));
        char pattern[] = "/tmp/netid-hivecalls-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { RunProcess("rm -rf '" + m_dir + "'"); }
    std::string File(const std::string& name) const { return m_dir + "/" + name; }
    std::string Unique(const std::string& name) const
    {
        return name + "." + std::to_string(getpid()) + "." +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }

    std::string m_dir;
};

TEST_F(HiveCallsTest, SaveAndRestoreRoundTrip)
{
    ScratchKey source("HiveSave"), target("HiveRestore");
    Fill(source.Handle());
    Set(target.Handle(), "stale", REG_SZ, {'s', 0});
    ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyA(source.Handle(), File("s.hiv").c_str(), nullptr));
    // The file is a hive in its own right.
    RegTree fromFile;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("s.hiv"), fromFile));
    ExpectSameContents(Export(source.Handle()), fromFile);

    ASSERT_EQ(ERROR_SUCCESS, RegRestoreKeyA(target.Handle(), File("s.hiv").c_str(), 0));
    ExpectSameContents(Export(source.Handle()), Export(target.Handle()));
}

TEST_F(HiveCallsTest, SaveRefusals)
{
    ScratchKey key("HiveSaveRefuse");
    Fill(key.Handle());
    {
        std::ofstream(File("exists")) << "keep";
    }
    EXPECT_EQ(ERROR_ALREADY_EXISTS, RegSaveKeyA(key.Handle(), File("exists").c_str(), nullptr));
    std::ifstream in(File("exists"));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ("keep", text);

    ASSERT_TRUE(SetPrivilege(SE_BACKUP_NAME, false));
    EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, RegSaveKeyA(key.Handle(), File("np.hiv").c_str(), nullptr));
    EXPECT_NE(0, access(File("np.hiv").c_str(), F_OK));
    ASSERT_TRUE(SetPrivilege(SE_BACKUP_NAME, true));
    ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, false));
    ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyA(key.Handle(), File("np.hiv").c_str(), nullptr));
    EXPECT_EQ(ERROR_PRIVILEGE_NOT_HELD, RegRestoreKeyA(key.Handle(), File("np.hiv").c_str(), 0));
}

TEST_F(HiveCallsTest, BrokenFilesLeaveTheKeyAsItWas)
{
    ScratchKey source("HiveBrokenSrc"), key("HiveBroken");
    Fill(source.Handle());
    Fill(key.Handle());
    Set(key.Handle(), "mine", REG_DWORD, {1, 0, 0, 0});
    ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyA(source.Handle(), File("good.hiv").c_str(), nullptr));
    std::ifstream in(File("good.hiv"), std::ios::binary);
    std::vector<char> good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    RegTree before = Export(key.Handle());

    struct Case {
        const char* what;
        std::vector<char> bytes;
        LONG status;
    };
    std::vector<char> corrupt = good;
    // The top key's value list pointing far outside the file.
    const std::size_t valueList = 4096 + 32 + 4 + 0x28;
    corrupt[valueList] = '\xF0';
    corrupt[valueList + 1] = corrupt[valueList + 2] = '\xFF';
    corrupt[valueList + 3] = '\x7F';
    std::vector<Case> cases = {
        {"truncated", std::vector<char>(good.begin(), good.begin() + good.size() / 2), ERROR_BADDB},
        {"not a hive", std::vector<char>(10000, 'x'), ERROR_BADDB},
        {"corrupt cell", corrupt, ERROR_REGISTRY_CORRUPT},
    };
    for (const Case& c : cases) {
        {
            std::ofstream out(File("bad.hiv"), std::ios::binary | std::ios::trunc);
            out.write(c.bytes.data(), static_cast<std::streamsize>(c.bytes.size()));
        }
        LONG status = RegRestoreKeyA(key.Handle(), File("bad.hiv").c_str(), 0);
        EXPECT_TRUE(status == ERROR_BADDB || status == ERROR_REGISTRY_CORRUPT) << c.what << " " << status;
        ExpectSameContents(before, Export(key.Handle()), c.what);
    }
}

TEST_F(HiveCallsTest, OpenHandlesBeneathNeedForceRestore)
{
    ScratchKey source("HiveForceSrc"), key("HiveForce");
    Set(source.Handle(), "v", REG_DWORD, {7, 0, 0, 0});
    ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyA(source.Handle(), File("f.hiv").c_str(), nullptr));
    HKEY child = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(key.Handle(), "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr));
    RegTree before = Export(key.Handle());
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegRestoreKeyA(key.Handle(), File("f.hiv").c_str(), 0));
    ExpectSameContents(before, Export(key.Handle()));
    EXPECT_EQ(ERROR_SUCCESS, RegRestoreKeyA(key.Handle(), File("f.hiv").c_str(), REG_FORCE_RESTORE));
    RegCloseKey(child);
    ExpectSameContents(Export(source.Handle()), Export(key.Handle()));
    // With no other handle open the plain restore goes through.
    EXPECT_EQ(ERROR_SUCCESS, RegRestoreKeyA(key.Handle(), File("f.hiv").c_str(), 0));
}

TEST_F(HiveCallsTest, LoadAndUnloadWriteChangesBack)
{
    ScratchKey source("HiveLoadSrc");
    Fill(source.Handle());
    ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyA(source.Handle(), File("l.hiv").c_str(), nullptr));
    const std::string name = Unique("NetidLoad");

    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegLoadKeyA(HKEY_CURRENT_USER, name.c_str(), File("l.hiv").c_str()));
    ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyA(HKEY_LOCAL_MACHINE, name.c_str(), File("l.hiv").c_str()));
    EXPECT_EQ(ERROR_SHARING_VIOLATION, RegLoadKeyA(HKEY_USERS, name.c_str(), File("l.hiv").c_str()));

    HKEY loaded = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, name.c_str(), 0, KEY_ALL_ACCESS, &loaded));
    ExpectSameContents(Export(source.Handle()), Export(loaded));
    Set(loaded, "added", REG_SZ, {'n', 'e', 'w', 0});
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(loaded, "dw"));
    RegTree changed = Export(loaded);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegUnLoadKeyA(HKEY_LOCAL_MACHINE, name.c_str()));
    RegCloseKey(loaded);

    ASSERT_EQ(ERROR_SUCCESS, RegUnLoadKeyA(HKEY_LOCAL_MACHINE, name.c_str()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, name.c_str(), 0, KEY_READ, &loaded));
    RegTree file;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("l.hiv"), file));
    ExpectSameContents(changed, file);
    // A key that is not a loaded hive cannot be unloaded.
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "Software"));
}

TEST_F(HiveCallsTest, LoadedHivesGoBackToTheirFilesAtTheNextStart)
{
    ScratchKey source("HiveBootLoadSrc");
    Fill(source.Handle());
    ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyA(source.Handle(), File("b.hiv").c_str(), nullptr));
    const std::string name = Unique("NetidBootLoad");
    ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyA(HKEY_USERS, name.c_str(), File("b.hiv").c_str()));
    HKEY loaded = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_USERS, name.c_str(), 0, KEY_ALL_ACCESS, &loaded));
    Set(loaded, "changed", REG_DWORD, {3, 0, 0, 0});
    RegTree changed = Export(loaded);
    RegCloseKey(loaded);

    hive::CarryOutBootWork();  // the same run of the machine: still loaded
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_USERS, name.c_str(), 0, KEY_READ, &loaded));
    RegCloseKey(loaded);

    SimulateNewBoot(Unique("boot"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_USERS, name.c_str(), 0, KEY_READ, &loaded));
    RegTree file;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("b.hiv"), file));
    ExpectSameContents(changed, file);
}

TEST_F(HiveCallsTest, ReplaceIsCarriedOutAtTheNextStart)
{
    ScratchKey fresh("HiveReplaceNew");
    Fill(fresh.Handle());
    ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyA(fresh.Handle(), File("new.hiv").c_str(), nullptr));

    const std::string path = "Software\\" + Unique("NetidReplace");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    Set(key, "old", REG_DWORD, {1, 0, 0, 0});
    RegTree before = Export(key);

    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegReplaceKeyA(HKEY_CURRENT_USER, "Software", File("new.hiv").c_str(), File("old.hiv").c_str()));
    ASSERT_EQ(ERROR_SUCCESS,
              RegReplaceKeyA(HKEY_LOCAL_MACHINE, path.c_str(), File("new.hiv").c_str(), File("old.hiv").c_str()));
    // Nothing changes until the machine starts again.
    hive::CarryOutBootWork();
    ExpectSameContents(before, Export(key));
    EXPECT_NE(0, access(File("old.hiv").c_str(), F_OK));

    SimulateNewBoot(Unique("boot-1"));
    ExpectSameContents(Export(fresh.Handle()), Export(key));
    RegTree old;
    ASSERT_EQ(ERROR_SUCCESS, hive::ReadHiveFile(File("old.hiv"), old));
    ExpectSameContents(before, old);
    // Done once only.
    Set(key, "later", REG_DWORD, {2, 0, 0, 0});
    SimulateNewBoot(Unique("boot-2"));
    RegTree after;
    ASSERT_EQ(ERROR_SUCCESS, ExportKeyTree(key, after));
    EXPECT_EQ(u"later", after.values.back().name);
    RegCloseKey(key);
}

TEST_F(HiveCallsTest, UnloadAndReplaceTakeAnOpenHandleInsteadOfARoot)
{
    ScratchKey source("HiveByHandleSrc");
    Fill(source.Handle());
    ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyA(source.Handle(), File("h.hiv").c_str(), nullptr));

    // The class unloads through its open key: here the root key itself.
    const std::string name = Unique("NetidLoadByHandle");
    CRegistry reg;
    ASSERT_TRUE(reg.Connect(HKEY_LOCAL_MACHINE, nullptr));
    ASSERT_TRUE(reg.LoadKey(name.c_str(), File("h.hiv").c_str())) << reg.GetStatus();
    ASSERT_TRUE(reg.OpenKey("", KEY_READ));
    EXPECT_TRUE(reg.UnLoadKey(name.c_str())) << reg.GetStatus();
    HKEY gone = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, name.c_str(), 0, KEY_READ, &gone));

    // A key beneath the root: not a place hives are unloaded from, but the
    // parent of a key to replace.
    const std::string child = Unique("NetidReplaceByHandle");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("Software\\" + child).c_str(), 0,
                                             nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_TRUE(reg.OpenKey("Software", KEY_READ));
    EXPECT_FALSE(reg.UnLoadKey(child.c_str()));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, reg.GetStatus());
    ASSERT_TRUE(reg.ReplaceKey(child.c_str(), File("h.hiv").c_str(), File("was.hiv").c_str()))
        << reg.GetStatus();
    SimulateNewBoot(Unique("boot"));
    ExpectSameContents(Export(source.Handle()), Export(key));
    RegCloseKey(key);
}

}  // namespace
