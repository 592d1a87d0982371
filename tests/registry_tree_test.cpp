// SPDX-License-Identifier: LGPL-2.1-or-later
// CRegistry's key-tree operations: CreateKey, DeleteKey, DeleteKeyTree,
// EnumKey, Flush and NotifyChange, with the state each outcome leaves behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry/registry.h"
#include "support/scratch_key.h"
#include "support/wait.h"

namespace {

// Lets the tests see which key the object holds open.
class Probe : public CRegistry {
public:
    HKEY OpenHandle() const { return m_hKey; }
    HKEY Root() const { return m_hRegistry; }
    FILETIME LastWrite() const { return m_ftLastWrite; }
    CString Path()
    {
        CString path;
        GetKeyPath(path);
        return path;
    }
};

std::uint64_t AsNumber(const FILETIME& time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool Exists(const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

void MakeKey(const std::string& path, DWORD options = 0)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, options,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr))
        << path;
    RegCloseKey(key);
}

DWORD SubKeyCount(const std::string& path)
{
    HKEY key = nullptr;
    DWORD count = 0;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(key);
    }
    return count;
}

// ------------------------------------------------------------ CreateKey
TEST(RegistryTree, CreateKeyOpensTheNewKeyAndReportsTheDisposition)
{
    ScratchKey scratch("TreeCreate");
    Probe reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    DWORD disposition = 0;
    std::string path = scratch.Sub("made");
    ASSERT_TRUE(reg.CreateKey(path.c_str(), nullptr, 0, KEY_ALL_ACCESS, nullptr, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_NE(nullptr, reg.OpenHandle());
    EXPECT_EQ(CString(path.c_str()), reg.Path());
    ASSERT_TRUE(reg.CreateKey(path.c_str(), nullptr, 0, KEY_ALL_ACCESS, nullptr, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    // A null disposition is allowed.
    EXPECT_TRUE(reg.CreateKey(path.c_str(), nullptr, 0, KEY_ALL_ACCESS, nullptr, nullptr));
    // A null class is the empty class.
    ASSERT_TRUE(reg.OpenKey(path.c_str(), KEY_READ));
    CString keyClass("stale");
    reg.GetKeyClass(keyClass);
    EXPECT_TRUE(keyClass.IsEmpty());
}

TEST(RegistryTree, CreateKeyKeepsTheClassText)
{
    ScratchKey scratch("TreeClass");
    Probe reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    char keyClass[] = "MyClass";
    std::string path = scratch.Sub("classy");
    ASSERT_TRUE(reg.CreateKey(path.c_str(), keyClass, 0, KEY_ALL_ACCESS, nullptr, nullptr));
    ASSERT_TRUE(reg.OpenKey(path.c_str(), KEY_READ));
    CString seen;
    reg.GetKeyClass(seen);
    EXPECT_EQ(CString("MyClass"), seen);
}

TEST(RegistryTree, CreateKeyWithNullPathLeavesTheOpenKeyOpen)
{
    ScratchKey scratch("TreeNull");
    Probe reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    ASSERT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_READ));
    HKEY before = reg.OpenHandle();
    EXPECT_FALSE(reg.CreateKey(nullptr, nullptr, 0, KEY_ALL_ACCESS, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, reg.GetStatus());
    EXPECT_EQ(before, reg.OpenHandle());
    EXPECT_EQ(CString(scratch.Path().c_str()), reg.Path());
}

TEST(RegistryTree, CreateKeyRefusedLeavesNoKeyOpenAndThePathUnchanged)
{
    ScratchKey scratch("TreeRefused");
    MakeKey(scratch.Sub("fleeting"), REG_OPTION_VOLATILE);
    Probe reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    ASSERT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_READ));
    std::string lasting = scratch.Sub("fleeting\\lasting");
    DWORD disposition = 12345;
    EXPECT_FALSE(reg.CreateKey(lasting.c_str(), nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                               nullptr, &disposition));
    EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE, reg.GetStatus());
    EXPECT_EQ(nullptr, reg.OpenHandle());
    EXPECT_EQ(CString(scratch.Path().c_str()), reg.Path());
    EXPECT_EQ(12345u, disposition);
}

TEST(RegistryTree, CreateKeyDoesNotRefreshTheKeyFacts)
{
    ScratchKey scratch("TreeFacts");
    MakeKey(scratch.Sub("a"));
    MakeKey(scratch.Sub("b"));
    Probe reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    ASSERT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_READ));
    ASSERT_EQ(2u, reg.GetSubKeyCount());
    std::string leaf = scratch.Sub("a\\leaf");
    ASSERT_TRUE(reg.CreateKey(leaf.c_str(), nullptr, 0, KEY_ALL_ACCESS, nullptr, nullptr));
    EXPECT_EQ(2u, reg.GetSubKeyCount());
}

// ------------------------------------------------------------ DeleteKey
TEST(RegistryTree, DeleteKeyRemovesTheWholeTreeAndLeavesTheParentOpen)
{
    ScratchKey scratch("TreeDelete");
    MakeKey(scratch.Sub("victim\\a\\deep\\er"));
    MakeKey(scratch.Sub("victim\\b"));
    MakeKey(scratch.Sub("sibling"));
    Probe reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    std::string path = scratch.Sub("victim");
    EXPECT_TRUE(reg.DeleteKey(path.c_str()));
    EXPECT_EQ(ERROR_SUCCESS, reg.GetStatus());
    EXPECT_FALSE(Exists(path));
    EXPECT_TRUE(Exists(scratch.Sub("sibling")));
    // The parent is open; its facts are those from before the deletion.
    EXPECT_NE(nullptr, reg.OpenHandle());
    EXPECT_EQ(CString(scratch.Path().c_str()), reg.Path());
    EXPECT_EQ(2u, reg.GetSubKeyCount());
    EXPECT_EQ(1u, SubKeyCount(scratch.Path()));
}

TEST(RegistryTree, DeleteKeyWithoutBackslashWorksBeneathTheOpenKey)
{
    ScratchKey scratch("TreeRelative");
    MakeKey(scratch.Sub("child\\grandchild"));
    Probe reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    // No key open: the platform's answer for a null handle, nothing deleted.
    EXPECT_FALSE(reg.DeleteKey("child"));
    EXPECT_EQ(ERROR_INVALID_HANDLE, reg.GetStatus());
    EXPECT_TRUE(Exists(scratch.Sub("child")));

    ASSERT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_ALL_ACCESS));
    HKEY open = reg.OpenHandle();
    EXPECT_TRUE(reg.DeleteKey("child"));
    EXPECT_FALSE(Exists(scratch.Sub("child")));
    EXPECT_EQ(open, reg.OpenHandle());
    EXPECT_EQ(CString(scratch.Path().c_str()), reg.Path());
}

TEST(RegistryTree, DeleteKeyWithALeadingBackslashWorksBeneathTheRoot)
{
    std::string name = "NetidTestsRootLevel." + std::to_string(GetCurrentProcessId());
    MakeKey(name + "\\inner");
    Probe reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    EXPECT_TRUE(reg.DeleteKey(("\\" + name).c_str()));
    EXPECT_FALSE(Exists(name));
    EXPECT_NE(nullptr, reg.OpenHandle());
    EXPECT_TRUE(reg.Path().IsEmpty());
}

TEST(RegistryTree, DeleteKeyWhoseParentIsMissingLeavesNoKeyOpen)
{
    ScratchKey scratch("TreeNoParent");
    Probe reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    ASSERT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_READ));
    std::string path = scratch.Sub("missing\\child");
    EXPECT_FALSE(reg.DeleteKey(path.c_str()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, reg.GetStatus());
    EXPECT_EQ(nullptr, reg.OpenHandle());
    EXPECT_EQ(CString(scratch.Path().c_str()), reg.Path());
}

TEST(RegistryTree, DeleteKeyTreeOfAMissingKeyDeletesNothing)
{
    ScratchKey scratch("TreeMissing");
    MakeKey(scratch.Sub("kept"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeleteKeyTree(scratch.Handle(), "absent"));
    EXPECT_TRUE(Exists(scratch.Sub("kept")));
}

TEST(RegistryTree, DeleteKeyTreeRemovesDeepAndWideTrees)
{
    struct Case {
        const char* label;
        int depth;
        int width;
    } cases[] = {
        {"deep", 60, 1},
        {"wide", 1, 400},
        {"bushy", 4, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchKey scratch("TreeShape");
        // Build the tree level by level through the raw calls.
        std::vector<std::string> level{scratch.Sub("tree")};
        MakeKey(level.front());
        int made = 1;
        for (int d = 0; d < c.depth; ++d) {
            std::vector<std::string> next;
            for (const std::string& parent : level) {
                for (int w = 0; w < c.width; ++w) {
                    next.push_back(parent + "\\k" + std::to_string(w));
                    MakeKey(next.back());
                    ++made;
                }
            }
            level = std::move(next);
        }
        ASSERT_GT(made, 40);
        EXPECT_EQ(ERROR_SUCCESS, DeleteKeyTree(scratch.Handle(), "tree"));
        EXPECT_FALSE(Exists(scratch.Sub("tree")));
        EXPECT_EQ(0u, SubKeyCount(scratch.Path()));
    }
}

// ------------------------------------------------------------ EnumKey
TEST(RegistryTree, EnumKeyReportsNameClassAndTheSubKeysTime)
{
    ScratchKey scratch("TreeEnum");
    {
        HKEY key = nullptr;
        char keyClass[] = "kind";
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), "Only", 0, keyClass, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        FILETIME created = {0, 0};
        ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  &created));
        RegCloseKey(key);
        ASSERT_TRUE(WaitForRegistryClockPast(AsNumber(created)));
    }
    // Touch the parent after the child, so the two times differ.
    DWORD value = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "later", 0, REG_DWORD,
                                            reinterpret_cast<BYTE*>(&value), 4));
    Probe reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    ASSERT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_READ));
    std::uint64_t parentTime = AsNumber(reg.LastWrite());
    CString name;
    CString keyClass;
    ASSERT_TRUE(reg.EnumKey(0, name, keyClass));
    EXPECT_EQ(CString("Only"), name);
    EXPECT_EQ(CString("kind"), keyClass);
    std::uint64_t childTime = AsNumber(reg.LastWrite());
    EXPECT_LT(childTime, parentTime);
    EXPECT_NE(0u, childTime);

    CString keepName("keep");
    CString keepClass("keepclass");
    EXPECT_FALSE(reg.EnumKey(1, keepName, keepClass));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, reg.GetStatus());
    EXPECT_EQ(CString("keep"), keepName);
    EXPECT_EQ(CString("keepclass"), keepClass);
}

// ------------------------------------------------------------ Flush and NotifyChange
TEST(RegistryTree, FlushSucceedsOnTheOpenKey)
{
    ScratchKey scratch("TreeFlush");
    Probe reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    ASSERT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_ALL_ACCESS));
    ASSERT_TRUE(reg.SetDwordValue("v", 3));
    EXPECT_TRUE(reg.Flush());
    EXPECT_EQ(ERROR_SUCCESS, reg.GetStatus());
}

TEST(RegistryTree, NotifyChangeHandsItsArgumentsOnInThePlatformsOrder)
{
    // Taken in the wrong order the filter would be NAME (the TRUE of
    // watchSubtree) and a value set beneath the key would not be reported.
    ScratchKey scratch("TreeNotify");
    MakeKey(scratch.Sub("below"));
    Probe reg;
    ASSERT_TRUE(reg.Connect(HKEY_CURRENT_USER, nullptr));
    ASSERT_TRUE(reg.OpenKey(scratch.Path().c_str(), KEY_READ));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(reg.NotifyChange(event, REG_NOTIFY_CHANGE_LAST_SET, TRUE, TRUE));
    {
        CRegistry writer;
        ASSERT_TRUE(writer.Connect(HKEY_CURRENT_USER, nullptr));
        ASSERT_TRUE(writer.OpenKey(scratch.Sub("below").c_str(), KEY_SET_VALUE));
        ASSERT_TRUE(writer.SetDwordValue("changed", 1));
    }
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, 10000));
    CloseHandle(event);
}

}  // namespace
