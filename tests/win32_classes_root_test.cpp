// SPDX-License-Identifier: LGPL-2.1-or-later
// HKEY_CLASSES_ROOT as the merged view of the user's classes
// (HKCU\Software\Classes) over the machine's (HKLM\Software\Classes), as
// every Win32 call sees it: reading and writing, enumerating, making keys,
// and the mark its handles carry. Wine has no merged view; the tests name
// that deviation and expect Wine's answers there.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "registry/registry.h"
#include "support/environment.h"
#include "support/key_handle.h"
#include "support/reg_calls.h"

namespace {

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
