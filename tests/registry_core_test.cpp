// SPDX-License-Identifier: LGPL-2.1-or-later
// CRegistry's life, connection, the open key, its facts and the raw write.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/environment.h"
#include "support/probe_registry.h"
#include "support/scratch_key.h"

namespace {

std::string LocalComputerName()
{
    char name[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    return GetComputerNameA(name, &size) ? name : "";
}

TEST(RegistryConnect, LocalMachineGoesThroughThePlatform)
{
    ProbeRegistry reg;
    ASSERT_TRUE(reg.Connect(HKEY_LOCAL_MACHINE, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, reg.GetStatus());
    EXPECT_NE(nullptr, reg.m_hRegistry);
    CString text;
    reg.GetRootName(text);
    EXPECT_STREQ("HKEY_LOCAL_MACHINE", text);
    reg.GetMachineName(text);
    EXPECT_EQ(LocalComputerName(), std::string(text));
    EXPECT_FALSE(text.IsEmpty());
}

struct RootCase {
    HKEY root;
    const char* name;
};

const RootCase kLocalRoots[] = {
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"}, {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},
    {HKEY_USERS, "HKEY_USERS"},                 {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"},
};

class RegistryRootTest : public ::testing::TestWithParam<RootCase> {};

TEST_P(RegistryRootTest, ConnectRecordsTheRootName)
{
    ProbeRegistry reg;
    ASSERT_TRUE(reg.Connect(GetParam().root, nullptr)) << reg.GetStatus();
    CString name;
    reg.GetRootName(name);
    EXPECT_STREQ(GetParam().name, name);
    EXPECT_TRUE(reg.Close());
}

TEST_P(RegistryRootTest, RootKeyFromNameFindsTheHandle)
{
    CRegistry reg;
    EXPECT_EQ(GetParam().root, reg.RootKeyFromName(GetParam().name));
}

INSTANTIATE_TEST_SUITE_P(Roots, RegistryRootTest, ::testing::ValuesIn(kLocalRoots));

TEST(RegistryConnect, RootKeyFromNameIsExactAndCaseSensitive)
{
    CRegistry reg;
    EXPECT_EQ(HKEY_PERFORMANCE_DATA, reg.RootKeyFromName("HKEY_PERFORMANCE_DATA"));
    EXPECT_EQ(HKEY_DYN_DATA, reg.RootKeyFromName("HKEY_DYN_DATA"));
    for (const char* name : {"hkey_local_machine", "HKLM", "HKEY_LOCAL_MACHINE ", "", "Unknown"}) {
        EXPECT_EQ(nullptr, reg.RootKeyFromName(name)) << name;
    }
}

TEST(RegistryConnect, CurrentUserLocallyIsThePredefinedHandleItself)
{
    ProbeRegistry reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    EXPECT_EQ(HKEY_CURRENT_USER, reg.m_hRegistry);
    EXPECT_EQ(ERROR_SUCCESS, reg.GetStatus());
}

TEST(RegistryConnect, ClassesRootOfAnotherComputerIsRefusedWithoutChange)
{
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER}) {
        ProbeRegistry reg;
        ASSERT_TRUE(reg.Connect(HKEY_LOCAL_MACHINE, nullptr));
        HKEY before = reg.m_hRegistry;
        EXPECT_FALSE(reg.Connect(root, "elsewhere"));
        EXPECT_EQ(ERROR_INVALID_HANDLE, reg.GetStatus());
        EXPECT_EQ(before, reg.m_hRegistry);
        EXPECT_STREQ("HKEY_LOCAL_MACHINE", reg.m_strRootName);
        EXPECT_EQ(LocalComputerName(), std::string(reg.m_strComputer));
    }
}

TEST(RegistryConnect, ThisMachineByNameIsLocal)
{
    ProbeRegistry reg;
    std::string self = "\\\\" + LocalComputerName();
    ASSERT_TRUE(reg.Connect(HKEY_LOCAL_MACHINE, self.c_str())) << reg.GetStatus();
    EXPECT_STREQ(self.c_str(), reg.m_strComputer);
}

TEST(RegistryConnect, UnknownComputerFailsWithThePlatformStatus)
{
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine has no network registry service to ask";
    }
    ProbeRegistry reg;
    EXPECT_FALSE(reg.Connect(HKEY_LOCAL_MACHINE, "\\\\no-such-computer-netid"));
    EXPECT_EQ(ERROR_BAD_NETPATH, reg.GetStatus());
    EXPECT_EQ(nullptr, reg.m_hRegistry);
    EXPECT_TRUE(reg.m_strRootName.IsEmpty());
}

TEST(RegistryClose, NeverConnectedKeepsTheStatus)
{
    ProbeRegistry reg;
    EXPECT_FALSE(reg.SetValue("x", REG_BINARY, nullptr, 0));
    EXPECT_TRUE(reg.Close());
    EXPECT_EQ(ERROR_INVALID_PARAMETER, reg.GetStatus());
}

TEST(RegistryClose, SuccessForgetsEverything)
{
    ScratchKey scratch("CloseForgets");
    ProbeRegistry reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    ASSERT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_ALL_ACCESS));
    ASSERT_TRUE(reg.SetDwordValue("v", 1));
    ASSERT_TRUE(reg.QueryInfoKey());
    EXPECT_EQ(1u, reg.GetValueCount());
    EXPECT_TRUE(reg.Close());
    EXPECT_EQ(nullptr, reg.m_hKey);
    EXPECT_EQ(nullptr, reg.m_hRegistry);
    EXPECT_EQ(0, reg.GetStatus());
    EXPECT_EQ(0u, reg.GetValueCount());
    EXPECT_EQ(0u, reg.GetSubKeyCount());
    EXPECT_EQ(0u, reg.m_nMaxValueLen);
    EXPECT_EQ(0u, reg.m_ftLastWrite.dwLowDateTime);
    EXPECT_EQ(0u, reg.m_ftLastWrite.dwHighDateTime);
    for (const CString* s : {&reg.m_strClass, &reg.m_strComputer, &reg.m_strKeyPath,
                             &reg.m_strRootName}) {
        EXPECT_TRUE(s->IsEmpty());
    }
}

TEST(RegistryOpenKey, ReadsTheKeyFacts)
{
    ScratchKey scratch("OpenFacts");
    HKEY child = nullptr;
    char keyClass[] = "NetidClass";
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), "child-with-long-name", 0, keyClass,
                                             0, KEY_ALL_ACCESS, nullptr, &child, nullptr));
    RegCloseKey(child);
    const BYTE data[10] = {1, 2, 3};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "abc", 0, REG_BINARY, data, 10));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "a", 0, REG_BINARY, data, 3));

    ProbeRegistry reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    ASSERT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_READ));
    EXPECT_EQ(ERROR_SUCCESS, reg.GetStatus());
    EXPECT_EQ(1u, reg.GetSubKeyCount());
    EXPECT_EQ(2u, reg.GetValueCount());
    EXPECT_EQ(10u, reg.m_nMaxValueLen);
    if (RunningUnderWine()) {
        // Wine deviation: Wine reports no security descriptor size (0).
        EXPECT_EQ(0u, reg.m_nSecurityLen);
    } else {
        EXPECT_NE(0u, reg.m_nSecurityLen);
    }
    EXPECT_NE(0u, reg.m_ftLastWrite.dwHighDateTime);
    CString path;
    reg.GetKeyPath(path);
    EXPECT_EQ(scratch.Path(), std::string(path));
    EXPECT_EQ((std::vector<std::string>{"OpenKey", "QueryInfoKey"}), reg.calls);
}

TEST(RegistryOpenKey, ClassTextOfTheOpenKey)
{
    ScratchKey scratch("OpenClass");
    HKEY child = nullptr;
    char keyClass[] = "NetidClass";
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), "c", 0, keyClass, 0,
                                             KEY_ALL_ACCESS, nullptr, &child, nullptr));
    RegCloseKey(child);
    ProbeRegistry reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    ASSERT_TRUE(reg.OpenKey(scratch.Sub("c").c_str(), KEY_READ));
    CString text;
    reg.GetKeyClass(text);
    EXPECT_STREQ("NetidClass", text);
}

TEST(RegistryOpenKey, WriteOnlyAccessOpensButTheFactQueryIsRefused)
{
    ScratchKey scratch("OpenWriteOnly");
    ProbeRegistry reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    EXPECT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_WRITE));
    if (RunningUnderWine()) {
        // Wine deviation: Wine answers the fact query on a write-only handle.
        EXPECT_EQ(ERROR_SUCCESS, reg.GetStatus());
    } else {
        EXPECT_EQ(ERROR_ACCESS_DENIED, reg.GetStatus());
    }
    EXPECT_NE(nullptr, reg.m_hKey);
    // The handle may write all the same.
    EXPECT_TRUE(reg.SetDwordValue("written", 5)) << reg.GetStatus();
}

TEST(RegistryOpenKey, MissingPathClosesTheOldKey)
{
    ScratchKey scratch("OpenMissing");
    ProbeRegistry reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    ASSERT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_READ));
    HKEY old = reg.m_hKey;
    EXPECT_FALSE(reg.OpenKey(scratch.Sub("absent").c_str(), KEY_READ));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, reg.GetStatus());
    EXPECT_EQ(nullptr, reg.m_hKey);
    EXPECT_EQ(scratch.Path(), std::string(reg.m_strKeyPath));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(old)) << "the old key was closed";
}

TEST(RegistryOpenKey, NullPathOpensTheRootItself)
{
    ProbeRegistry reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    EXPECT_TRUE(reg.OpenKey(nullptr, KEY_READ)) << reg.GetStatus();
    EXPECT_NE(nullptr, reg.m_hKey);
}

TEST(RegistryWrite, NullArgumentsAreRefusedWithoutACall)
{
    ScratchKey scratch("WriteNull");
    ProbeRegistry reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    ASSERT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_ALL_ACCESS));
    const BYTE byte = 1;
    EXPECT_FALSE(reg.SetValue("v", REG_BINARY, nullptr, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, reg.GetStatus());
    EXPECT_FALSE(reg.SetValue(nullptr, REG_BINARY, &byte, 1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, reg.GetStatus());
    reg.calls.clear();
    CByteArray bytes;
    EXPECT_FALSE(reg.SetBinaryValue(nullptr, bytes));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, reg.GetStatus());
    EXPECT_TRUE(reg.calls.empty());
    DWORD count = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(scratch.Handle(), nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                                              nullptr));
    EXPECT_EQ(0u, count);
}

TEST(RegistryWrite, BinaryValueGoesThroughTheRawWrite)
{
    ScratchKey scratch("WriteBinary");
    ProbeRegistry reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    ASSERT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_ALL_ACCESS));
    for (const std::vector<BYTE>& record :
         {std::vector<BYTE>{192, 168, 0, 10, 1, 1}, std::vector<BYTE>{}}) {
        CByteArray bytes;
        for (BYTE b : record) {
            bytes.SetAtGrow(bytes.GetSize(), b);
        }
        reg.calls.clear();
        ASSERT_TRUE(reg.SetBinaryValue("AmsNetId", bytes));
        EXPECT_EQ((std::vector<std::string>{"SetValue"}), reg.calls);
        BYTE data[16] = {};
        DWORD size = sizeof data;
        DWORD type = 0;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegQueryValueExA(scratch.Handle(), "AmsNetId", nullptr, &type, data, &size));
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
        EXPECT_EQ(std::vector<BYTE>(data, data + size), record);
    }
}

TEST(RegistryLife, DestroyingAConnectedObjectClosesItsHandles)
{
    HKEY key = nullptr;
    HKEY root = nullptr;
    {
        ProbeRegistry reg;
        ASSERT_TRUE(reg.Connect(HKEY_LOCAL_MACHINE, nullptr));
        ASSERT_TRUE(reg.OpenKey("Software", KEY_READ));
        key = reg.m_hKey;
        root = reg.m_hRegistry;
    }
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
    // A predefined root answers a close with success whatever happened
    // before, so the root's close is seen on a root that is a key of its
    // own: the local connection to a key is that key.
    EXPECT_EQ(HKEY_LOCAL_MACHINE, root);
    ScratchKey scratch("LifeRoot");
    HKEY own = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, scratch.Path().c_str(), 0, KEY_READ, &own));
    {
        ProbeRegistry reg;
        ASSERT_TRUE(reg.Connect(own, nullptr));
        ASSERT_EQ(own, reg.m_hRegistry);
        ASSERT_TRUE(reg.OpenKey("", KEY_READ));
        key = reg.m_hKey;
        ASSERT_NE(own, key);
    }
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(own)) << "the destructor left its root open";
}

TEST(RegistryLife, ConstructionStartsIdle)
{
    ProbeRegistry reg;
    EXPECT_EQ(nullptr, reg.m_hKey);
    EXPECT_EQ(nullptr, reg.m_hRegistry);
    EXPECT_EQ(0, reg.GetStatus());
    EXPECT_EQ(0u, reg.GetSubKeyCount());
    EXPECT_EQ(0u, reg.GetValueCount());
}

}  // namespace
