// SPDX-License-Identifier: LGPL-2.1-or-later
// Text as the platform's registry keeps it, on Linux where the A calls speak
// UTF-8: names and texts of any character pass through the A calls, hive
// files and the conversion of an earlier store unchanged; names compare as
// the platform compares them.
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/posix/regf/hive_file.h"
#include "platform/posix/base/text.h"
#include "platform/win32.h"
#include "support/environment.h"
#include "support/temp_dir.h"
#include "support/privileges.h"
#include "support/scratch_key.h"

namespace {

namespace fs = std::filesystem;
using netid::posix::RegTree;
using netid::posix::RegValue;
using Bytes = std::vector<BYTE>;

const std::string kHelper = NETID_TEST_HELPER_EXE;

// Every kind of character the store must keep: Latin-1, Windows-1252 only,
// Greek, CJK and one beyond the BMP (a surrogate pair in UTF-16).
const std::string kText = "\xE2\x84\xA2 \xE2\x82\xAC \xC3\x84 \xC3\xA4 \xC3\x9F \xCE\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80";

Bytes Utf16Le(const std::u16string& text, bool terminated)
{
    Bytes out;
    for (char16_t unit : text) {
        out.push_back(static_cast<BYTE>(unit));
        out.push_back(static_cast<BYTE>(unit >> 8));
    }
    if (terminated) {
        out.push_back(0);
        out.push_back(0);
    }
    return out;
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

TEST(Unicode, NamesAndTextsOfEveryKindPassThroughTheACalls)
{
    ScratchKey scratch("Unicode");
    HKEY key = nullptr;
    std::string sub = "Key " + kText;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    std::string name = "Value " + kText;
    std::string data = kText + std::string(1, '\0');
    std::string multi = kText + std::string(1, '\0') + "\xE4\xB8\xAD" + std::string(2, '\0');
    for (DWORD type : {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ}) {
        SCOPED_TRACE(type);
        const std::string& text = type == REG_MULTI_SZ ? multi : data;
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name.c_str(), 0, type,
                                                reinterpret_cast<const BYTE*>(text.data()),
                                                static_cast<DWORD>(text.size())));
        char buffer[256] = {};
        DWORD size = sizeof buffer;
        DWORD got = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, name.c_str(), nullptr, &got,
                                                  reinterpret_cast<BYTE*>(buffer), &size));
        EXPECT_EQ(type, got);
        EXPECT_EQ(Hex(text), Hex(std::string(buffer, size)));
        // The size asked for alone is the size of the UTF-8 form.
        DWORD needed = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, name.c_str(), nullptr, nullptr, nullptr, &needed));
        EXPECT_EQ(text.size(), needed);
        DWORD tooSmall = 3;
        EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, name.c_str(), nullptr, nullptr,
                                                    reinterpret_cast<BYTE*>(buffer), &tooSmall));
        EXPECT_EQ(text.size(), tooSmall);
    }
    char enumerated[256];
    DWORD length = sizeof enumerated;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(key, 0, enumerated, &length, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(name, std::string(enumerated, length));
    length = sizeof enumerated;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExA(scratch.Handle(), 0, enumerated, &length, nullptr, nullptr,
                                           nullptr, nullptr));
    EXPECT_EQ(sub, std::string(enumerated, length));
    RegCloseKey(key);
}

TEST(Unicode, NamesCompareByUnicodeUpperCase)
{
    ScratchKey scratch("Folding");
    struct Case {
        const char* made;
        const char* asked;
        bool same;
    } cases[] = {
        {"\xC3\x84", "\xC3\xA4", true},        // Ä ä
        {"\xCE\xA3", "\xCF\x83", true},        // Σ σ
        {"\xCE\xA3x", "\xCF\x82x", true},      // Σ ς: final sigma upper-cases to Σ too
        {"\xD0\x96", "\xD0\xB6", true},        // Ж ж
        {"Stra\xC3\x9F" "e", "STRASSE", false},  // ß is not SS
        {"\xC3\x9F", "\xE1\xBA\x9E", false},   // ß keeps no upper case of its own
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.made);
        HKEY made = nullptr;
        DWORD disposition = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch.Handle(), c.made, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &made, &disposition));
        EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
        RegCloseKey(made);
        HKEY asked = nullptr;
        LONG status = RegOpenKeyExA(scratch.Handle(), c.asked, 0, KEY_READ, &asked);
        EXPECT_EQ(c.same ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND, status);
        if (status == ERROR_SUCCESS) RegCloseKey(asked);
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(scratch.Handle(), c.made));
    }
    // Values alike: one value, found by either name, keeping the first.
    DWORD one = 1, two = 2;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "\xC3\x84", 0, REG_DWORD,
                                            reinterpret_cast<BYTE*>(&one), 4));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "\xC3\xA4", 0, REG_DWORD,
                                            reinterpret_cast<BYTE*>(&two), 4));
    char name[16];
    DWORD length = sizeof name;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(scratch.Handle(), 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ("\xC3\x84", std::string(name, length));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueA(scratch.Handle(), 1, name, &length, nullptr, nullptr, nullptr, nullptr));
}

// A hive as Windows might have written it: names that differ only above
// U+00FF, texts of odd length and without their terminator. Each is kept,
// byte for byte, through loading, saving, restoring and unloading; an
// unchanged hive goes back to its file untouched.
TEST(Unicode, HiveFilesKeepEveryNameAndTextByteForByte)
{
    ASSERT_TRUE(SetPrivilege(SE_BACKUP_NAME, true));
    ASSERT_TRUE(SetPrivilege(SE_RESTORE_NAME, true));
    TempDir dir("netid-text");
    RegTree tree;
    tree.name = u"Top";
    tree.values = {
        {u"v\u2122", REG_SZ, Utf16Le(u"trade", true)},
        {u"v\u20AC", REG_SZ, Utf16Le(u"euro \u20AC \U0001F600", true)},
        {u"odd", REG_SZ, Bytes{'a', 0, 'b'}},
        {u"unterminated", REG_EXPAND_SZ, Utf16Le(u"%X%", false)},
        {u"lone", REG_SZ, Utf16Le(std::u16string(1, char16_t(0xD800)) + u"x", true)},
        {u"multi", REG_MULTI_SZ, Utf16Le(std::u16string(u"a\0\u4E2D\0", 4), true)},
    };
    RegTree a;
    a.name = u"a\u2122";
    RegTree b;
    b.name = u"a?";
    tree.subkeys = {b, a};  // the registry's order: '?' < '™'
    std::string file = dir.Path() + "/win.hiv";
    {
        Bytes image;
        ASSERT_EQ(ERROR_SUCCESS, netid::posix::hive::HiveImage(tree, image));
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                     static_cast<std::streamsize>(image.size()));
    }
    const std::string before = ReadAll(file);

    std::string name = "NetidUnicode" + std::to_string(getpid());
    ASSERT_EQ(ERROR_SUCCESS, RegLoadKeyA(HKEY_LOCAL_MACHINE, name.c_str(), file.c_str()));
    HKEY loaded = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, name.c_str(), 0, KEY_ALL_ACCESS, &loaded));
    DWORD values = 0, keys = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(loaded, nullptr, nullptr, nullptr, &keys, nullptr, nullptr,
                                              &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(6u, values);
    EXPECT_EQ(2u, keys);
    // Saved again, the file holds what was loaded.
    std::string saved = dir.Path() + "/saved.hiv";
    ASSERT_EQ(ERROR_SUCCESS, RegSaveKeyA(loaded, saved.c_str(), nullptr));
    RegTree back;
    ASSERT_EQ(ERROR_SUCCESS, netid::posix::hive::ReadHiveFile(saved, back));
    ASSERT_EQ(tree.values.size(), back.values.size());
    for (std::size_t i = 0; i < tree.values.size(); ++i) {
        EXPECT_EQ(tree.values[i].name, back.values[i].name) << i;
        EXPECT_EQ(tree.values[i].data, back.values[i].data) << i;
    }
    ASSERT_EQ(2u, back.subkeys.size());
    EXPECT_EQ(u"a?", back.subkeys[0].name);
    EXPECT_EQ(u"a\u2122", back.subkeys[1].name);
    RegCloseKey(loaded);
    ASSERT_EQ(ERROR_SUCCESS, RegUnLoadKeyA(HKEY_LOCAL_MACHINE, name.c_str()));
    EXPECT_EQ(before, ReadAll(file)) << "unloading an unchanged hive rewrote its file";
}

// A store of the earlier format: 8-bit names and texts, as its A calls
// wrote them and its hive files showed them (Latin-1).
void MakeEarlierStore(const std::string& dir)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((dir + "/registry.db").c_str(), &db));
    const char* schema =
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
        "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
        " name TEXT NOT NULL, uname TEXT NOT NULL, class TEXT NOT NULL DEFAULT '',"
        " volatile INTEGER NOT NULL DEFAULT 0, last_write INTEGER NOT NULL, security BLOB);"
        "CREATE TABLE vals(id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
        " name TEXT NOT NULL, uname TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL);"
        "CREATE TABLE changes(seq INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
        " filter INTEGER NOT NULL, chain TEXT NOT NULL, time INTEGER NOT NULL);"
        "INSERT INTO meta VALUES ('format', 'netid-registry 1'), ('boot_id', 'boot-old');"
        "INSERT INTO keys(id, parent, name, uname, last_write) VALUES"
        " (1, 0, 'MACHINE', 'MACHINE', 1), (2, 0, 'USER', 'USER', 1),"
        " (3, 1, 'SOFTWARE', 'SOFTWARE', 1), (4, 3, 'Caf' || x'E9', 'CAF' || x'E9', 132500000000000000),"
        " (5, 2, '.DEFAULT', '.DEFAULT', 1), (6, 2, 'S-1-22-1-0', 'S-1-22-1-0', 1),"
        " (7, 6, 'Software', 'SOFTWARE', 1);"
        "INSERT INTO keys(id, parent, name, uname, volatile, last_write) VALUES"
        " (8, 3, 'Fleeting', 'FLEETING', 1, 1);"
        "INSERT INTO vals(key, name, uname, type, data) VALUES"
        " (4, x'E9' || 't' || x'E9', x'C9' || 'T' || x'C9', 1, x'E974E900'),"
        " (4, 'bin', 'BIN', 3, x'C0A8000A0101'),"
        " (7, 'mine', 'MINE', 4, x'07000000');";
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, schema, nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

std::string Dump(const std::string& dir, const std::string& path)
{
    std::string out;
    int status = RunProcess("NETID_REGISTRY_DIR='" + dir + "' NETID_BOOT_ID=boot-new " + kHelper +
                                " dump '" + path + "'",
                            &out);
    return status == 0 ? out : "status " + std::to_string(status);
}

TEST(Unicode, AStoreOfTheEarlierFormatIsConvertedOnceWithItsTextAsMeant)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "the earlier store's user hive belongs to root here: needs root";
    }
    TempDir dir("netid-text");
    MakeEarlierStore(dir.Path());
    // Latin-1 as written: é is U+00E9, in UTF-8 C3 A9; the data likewise.
    const std::string expected = "\xC3\xA9t\xC3\xA9\t1\tC3A974C3A900\nbin\t3\tC0A8000A0101\n";
    EXPECT_EQ(expected, Dump(dir.Path(), "HKLM\\SOFTWARE\\Caf\xC3\xA9"));
    EXPECT_EQ("mine\t4\t07000000\n", Dump(dir.Path(), "Software"));  // HKEY_CURRENT_USER of root
    EXPECT_TRUE(fs::exists(dir.Path() + "/registry.db.converted"));
    EXPECT_FALSE(fs::exists(dir.Path() + "/registry.db"));
    // The volatile key of the earlier start of the machine is gone.
    EXPECT_EQ(std::string::npos, Dump(dir.Path(), "HKLM\\SOFTWARE").find("Fleeting"));
}

TEST(Unicode, AConversionCutShortIsDoneAgainFromTheOldStore)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "the earlier store's user hive belongs to root here: needs root";
    }
    TempDir dir("netid-text");
    MakeEarlierStore(dir.Path());
    // What a conversion killed before its last step leaves: some hives made,
    // the machine's not, the old database in place.
    std::ofstream(dir.Path() + "/default.hive") << "half written";
    std::ofstream(dir.Path() + "/hku.hive") << "";
    const std::string expected = "\xC3\xA9t\xC3\xA9\t1\tC3A974C3A900\nbin\t3\tC0A8000A0101\n";
    EXPECT_EQ(expected, Dump(dir.Path(), "HKLM\\SOFTWARE\\Caf\xC3\xA9"));
    EXPECT_EQ("mine\t4\t07000000\n", Dump(dir.Path(), "Software"));
    EXPECT_TRUE(fs::exists(dir.Path() + "/registry.db.converted"));
}

// RegSetValueExA looks at the byte just past string data whose count left
// out the terminator, as the platform does. Data ending at the end of a page
// whose next page cannot be read must not fault the caller; where the next
// page can be read, its first byte counts as on any other page.
TEST(Unicode, TheByteAfterStringDataIsReadOnlyWhereThatIsSafe)
{
    ScratchKey scratch("UnicodePageEnd");
    const long page = ::sysconf(_SC_PAGESIZE);
    void* map = ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, map);
    auto* bytes = static_cast<BYTE*>(map);
    BYTE* data = bytes + page - 2;
    data[0] = 'a';
    data[1] = 'b';
    struct Case {
        const char* label;
        int nextPage;  // protection of the page after the data
        DWORD stored;
    } cases[] = {
        {"next page unreadable", PROT_NONE, 2},
        {"next page starts with NUL", PROT_READ, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(0, ::mprotect(bytes + page, page, c.nextPage));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.Handle(), "edge", 0, REG_SZ, data, 2));
        BYTE back[8] = {};
        DWORD size = sizeof back;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(scratch.Handle(), "edge", nullptr, nullptr, back, &size));
        EXPECT_EQ(c.stored, size);
        EXPECT_EQ(0, std::memcmp(back, "ab", 2));
    }
    ::munmap(map, 2 * page);
}

}  // namespace
