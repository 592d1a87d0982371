// SPDX-License-Identifier: LGPL-2.1-or-later
// Who may read and write what, as real processes of other users beside
// root: each user's own hive, the machine's hive readable by all and
// writable by root, key descriptors enforced when a key is opened, and a
// store directory no other user can slip files or links into.
#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "support/environment.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

const std::string kHelper = NETID_TEST_HELPER_EXE;
#ifdef NETID_REGCTL_EXE
const std::string kRegctl = NETID_REGCTL_EXE;
#endif

// Two unprivileged users; setpriv runs a child as either (no account needed).
const unsigned kAlice = 65534;
const unsigned kBob = 65533;

class StoreDir {
public:
    StoreDir()
    {
        char pattern[] = "/tmp/netid-security-XXXXXX";
        m_base = mkdtemp(pattern);
        chmod(m_base.c_str(), 0755);
        m_path = m_base + "/store";
    }
    ~StoreDir()
    {
        std::error_code ignored;
        fs::remove_all(m_base, ignored);
    }
    const std::string& Base() const { return m_base; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_base;
    std::string m_path;
};

// Runs the helper as `uid` (0: as root) against the store `dir`; its output.
std::string As(unsigned uid, const std::string& dir, const std::string& arguments, int* status = nullptr)
{
    std::string who = uid == 0 ? std::string()
                               : "setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(uid) +
                                     " --clear-groups ";
    std::string out;
    int rc = RunProcess(who + "env NETID_REGISTRY_DIR='" + dir + "' " + kHelper + " " + arguments, &out);
    if (status != nullptr) *status = rc;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::map<std::string, std::string> Probe(unsigned uid, const std::string& dir, const std::string& root,
                                         const std::string& path)
{
    std::map<std::string, std::string> result;
    std::string out = As(uid, dir, "probe " + root + " '" + path + "'");
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(start, end - start);
        std::size_t eq = line.find('=');
        if (eq != std::string::npos) result[line.substr(0, eq)] = line.substr(eq + 1);
        start = end + 1;
    }
    return result;
}

// Runs a shell command as `uid` (0: as root); its exit status.
int Shell(unsigned uid, const std::string& command)
{
    std::string who = uid == 0 ? std::string()
                               : "setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(uid) +
                                     " --clear-groups ";
    return RunProcess(who + "sh -c \"" + command + "\"");
}

std::string UserKey(unsigned uid) { return "S-1-22-1-" + std::to_string(uid); }

class SecurityModel : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to run children as other users";
        }
        // Root makes the store, as the machine's own store is made.
        int status = 0;
        As(0, m_store.Path(), "create 'HKLM\\Software\\Shared' plain", &status);
        ASSERT_EQ(0, status);
    }
    StoreDir m_store;
};

TEST_F(SecurityModel, EachUserReadsAndWritesTheirOwnHiveAndNoOneElses)
{
    const std::string& dir = m_store.Path();
    int status = 0;
    EXPECT_EQ("0", As(kAlice, dir, "create 'Software\\Mine' plain", &status));
    EXPECT_EQ(0, status);
    As(kAlice, dir, "write 'Software\\Mine' v 3", &status);
    EXPECT_EQ(0, status);
    EXPECT_EQ("v0\nv1\nv2", As(kAlice, dir, "names 'Software\\Mine'"));
    // The hive is a file of Alice's, hers alone.
    struct stat st {};
    std::string hive = dir + "/users/S-1-22-1-" + std::to_string(kAlice) + "/user.hive";
    ASSERT_EQ(0, stat(hive.c_str(), &st));
    EXPECT_EQ(kAlice, st.st_uid);
    EXPECT_EQ(0600u, st.st_mode & 0777);

    // Bob cannot open it at all, for reading or writing.
    std::string alices = "S-1-22-1-" + std::to_string(kAlice) + "\\Software\\Mine";
    auto bob = Probe(kBob, dir, "HKU", alices);
    EXPECT_EQ("5", bob["open_read"]);
    EXPECT_EQ("5", bob["open_write"]);
    EXPECT_EQ("5", bob["open_maximum"]);
    // HKEY_USERS shows Bob .DEFAULT and his own hive only; root sees all.
    EXPECT_EQ(std::string::npos, As(kBob, dir, "dump HKU").find(std::to_string(kAlice)));
    // (HKU is no path of HKLM: the helper's dump needs a path; use the root itself.)
    auto rootView = Probe(0, dir, "HKU", alices);
    EXPECT_EQ("0", rootView["open_read"]);

    // Root's own hive is closed to users too.
    As(0, dir, "create 'Software\\RootOnly' plain");
    auto intruder = Probe(kAlice, dir, "HKU", "S-1-22-1-0\\Software\\RootOnly");
    EXPECT_EQ("5", intruder["open_read"]);
}

TEST_F(SecurityModel, TheMachinesHiveIsReadByAllAndWrittenByRootAlone)
{
    const std::string& dir = m_store.Path();
    As(0, dir, "write 'HKLM\\Software\\Shared' probe 1");
    const std::string before = ReadAll(dir + "/machine.hive");
    auto alice = Probe(kAlice, dir, "HKLM", "Software\\Shared");
    EXPECT_EQ("0", alice["open_read"]);
    EXPECT_EQ("0", alice["query"]);
    EXPECT_EQ("5", alice["open_write"]);
    EXPECT_EQ("0", alice["open_maximum"]);
    EXPECT_EQ("5", alice["set_maximum"]);
    EXPECT_EQ("5", alice["create"]);
    EXPECT_EQ("5", alice["delete_key"]);
    EXPECT_EQ(before, ReadAll(dir + "/machine.hive"));
    // HKLM\SAM lives in a file for root alone.
    int status = 0;
    EXPECT_EQ("5", As(kAlice, dir, "open 'HKLM\\SAM' 0x20019", &status));
    EXPECT_EQ("0", As(0, dir, "open 'HKLM\\SAM' 0x20019", &status));
}

// True when some file of the store, read raw as `uid` can read it, holds
// `text` (as ASCII or as the UTF-16 the registry keeps names in).
bool AnyStoreFileHolds(unsigned uid, const std::string& dir, const std::string& text)
{
    std::string wide;
    for (char c : text) wide += std::string{c, '\0'};
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        const std::string path = entry.path().string();
        // What the other user can open, read through their own eyes.
        if (Shell(uid, "test -r '" + path + "'") != 0) continue;
        std::string out;
        RunProcess("setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(uid) +
                       " --clear-groups cat '" + path + "'",
                   &out);
        if (out.find(text) != std::string::npos || out.find(wide) != std::string::npos) return true;
    }
    return false;
}

// A key only some may read is kept from every file the others can read:
// its values, its class and its sub-keys' names; made readable by all
// again, it is read by all.
TEST_F(SecurityModel, AKeyOnlySomeMayReadIsInNoFileTheOthersCanRead)
{
    const std::string& dir = m_store.Path();
    const std::string bob = "S-1-22-1-" + std::to_string(kBob);
    // Restricted before the secret is written, and after (the view's earlier
    // records held it then).
    ASSERT_EQ("0", As(0, dir, "create 'HKLM\\Software\\Early' plain"));
    ASSERT_EQ("0", As(0, dir, "grant-only 'HKLM\\Software\\Early' S-1-5-32-544"));
    ASSERT_EQ("", As(0, dir, "write 'HKLM\\Software\\Early' Tr0ub4dorEarly 1"));
    ASSERT_EQ("0", As(0, dir, "create 'HKLM\\Software\\Late\\Hidden9Child' plain"));
    ASSERT_EQ("", As(0, dir, "write 'HKLM\\Software\\Late' Tr0ub4dorLate 1"));
    ASSERT_EQ("", As(0, dir, "write 'HKLM\\Software\\Shared' probe 1"));
    ASSERT_EQ("0", As(0, dir, "grant-only 'HKLM\\Software\\Late' S-1-5-32-544 " + bob));

    // The hive itself is root's alone; its public view is everyone's.
    struct stat st {};
    ASSERT_EQ(0, stat((dir + "/machine.hive").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    ASSERT_EQ(0, stat((dir + "/machine-public.hive").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);
    for (const char* secret : {"Tr0ub4dorEarly", "Tr0ub4dorLate", "Hidden9Child"}) {
        EXPECT_FALSE(AnyStoreFileHolds(kAlice, dir, secret)) << secret;
    }
    // What every user may read is read as before; the restricted keys are
    // refused, to Bob too, whom a DACL entry names (his file holds nothing of it).
    EXPECT_EQ("0", Probe(kAlice, dir, "HKLM", "Software\\Shared")["query"]);
    EXPECT_EQ("5", Probe(kAlice, dir, "HKLM", "Software\\Early")["open_read"]);
    EXPECT_EQ("5", Probe(kBob, dir, "HKLM", "Software\\Late")["open_read"]);
    // Beneath it, as beneath a directory one may not list, there is nothing
    // to them (the key beneath kept the descriptor it had: Windows would
    // let them read it).
    EXPECT_EQ("2", As(kAlice, dir, "open 'HKLM\\Software\\Late\\Hidden9Child' 0x20019"));
    EXPECT_EQ("0", As(kBob, dir, "open 'HKLM\\Software\\Late' 0x20000"));  // READ_CONTROL
    EXPECT_NE(std::string::npos, As(kAlice, dir, "dump 'HKLM\\Software'").find("key\tLate"));
    EXPECT_EQ("Tr0ub4dorLate0", As(0, dir, "names 'HKLM\\Software\\Late'"));

    // Open to all again: every user reads it, sub-keys and all.
    ASSERT_EQ("0", As(0, dir, "grant-only 'HKLM\\Software\\Late' S-1-5-32-544 S-1-1-0"));
    EXPECT_EQ("Tr0ub4dorLate0", As(kAlice, dir, "names 'HKLM\\Software\\Late'"));
    EXPECT_EQ("0", As(kAlice, dir, "open 'HKLM\\Software\\Late\\Hidden9Child' 0x20019"));
}

// A store made before the machine's hive had a public view: root's first
// use writes the hive anew for root alone and makes the view.
TEST_F(SecurityModel, AMachinesHiveReadableByAllIsWrittenAnewForRootAlone)
{
    const std::string& dir = m_store.Path();
    ASSERT_EQ("", As(0, dir, "write 'HKLM\\Software\\Shared' probe 1"));
    for (const char* name : {"machine-public.hive", "machine-public.shm"}) {
        ASSERT_EQ(0, unlink((dir + "/" + name).c_str()));
    }
    ASSERT_EQ(0, chmod((dir + "/machine.hive").c_str(), 0644));
    struct stat before {};
    ASSERT_EQ(0, stat((dir + "/machine.hive").c_str(), &before));
    // Until root comes, a user reads the hive as it was.
    EXPECT_EQ("0", Probe(kAlice, dir, "HKLM", "Software\\Shared")["query"]);
    int status = 1;
    As(0, dir, "exists 'HKLM\\Software\\Shared'", &status);
    ASSERT_EQ(0, status);
    struct stat after {};
    ASSERT_EQ(0, stat((dir + "/machine.hive").c_str(), &after));
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(0600u, after.st_mode & 0777);
    EXPECT_EQ("0", Probe(kAlice, dir, "HKLM", "Software\\Shared")["query"]);
}

TEST_F(SecurityModel, AKeysDescriptorDecidesWhoOpensIt)
{
    const std::string& dir = m_store.Path();
    // Alice shuts everyone out of a key of her own, herself included.
    ASSERT_EQ("0", As(kAlice, dir, "create 'Software\\Shut' plain"));
    ASSERT_EQ("0", As(kAlice, dir, "deny-all 'Software\\Shut'"));
    EXPECT_EQ("5", As(kAlice, dir, "open 'Software\\Shut' 0x20019"));             // KEY_READ
    EXPECT_EQ("5", As(kAlice, dir, "open 'Software\\Shut' 0x2"));                 // KEY_SET_VALUE
    // As its owner she may still read and change its descriptor.
    EXPECT_EQ("0", As(kAlice, dir, "open 'Software\\Shut' 0x20000"));             // READ_CONTROL
    EXPECT_EQ("0", As(kAlice, dir, "open 'Software\\Shut' 0x40000"));             // WRITE_DAC
    // MAXIMUM_ALLOWED gets just those two.
    EXPECT_EQ("0", As(kAlice, dir, "open 'Software\\Shut' 0x2000000"));

    // Root: an empty DACL refuses Administrators as well, but the backup
    // and restore privileges pass with REG_OPTION_BACKUP_RESTORE.
    std::string path = "S-1-22-1-" + std::to_string(kAlice) + "\\Software\\Shut";
    ASSERT_EQ("0", As(0, dir, "create 'HKLM\\Software\\Shut' plain"));
    ASSERT_EQ("0", As(0, dir, "deny-all 'HKLM\\Software\\Shut'"));
    EXPECT_EQ("5", As(0, dir, "open 'HKLM\\Software\\Shut' 0x20019"));
    EXPECT_EQ("0", As(0, dir, "open 'HKLM\\Software\\Shut' 0x20019 backup"));
    EXPECT_EQ("0", As(0, dir, "open 'HKLM\\Software\\Shut' 0x20006 backup"));  // KEY_WRITE
}

TEST_F(SecurityModel, AStoreDirectoryOthersCanWriteIsRefused)
{
    // Open to all and not sticky: anyone could put files in it.
    std::string open = m_store.Base() + "/open";
    ASSERT_EQ(0, mkdir(open.c_str(), 0777));
    ASSERT_EQ(0, chmod(open.c_str(), 0777));
    EXPECT_EQ("5", As(0, open, "create 'HKLM\\Software\\X' plain"));
    EXPECT_TRUE(fs::is_empty(open));
#ifdef NETID_REGCTL_EXE
    // regctl names the directory and says why.
    std::string err;
    RunProcess("NETID_REGISTRY_DIR='" + open + "' " + kRegctl + " query 'HKLM\\Software'", nullptr, &err);
    EXPECT_NE(std::string::npos, err.find(open)) << err;
#endif
    // A store another user made is not used by root.
    std::string theirs = m_store.Base() + "/theirs";
    ASSERT_EQ(0, mkdir(theirs.c_str(), 0755));
    ASSERT_EQ(0, chown(theirs.c_str(), kAlice, kAlice));
    As(kAlice, theirs, "create 'HKLM\\Software\\Planted' plain");
    EXPECT_EQ("5", As(0, theirs, "open 'HKLM\\Software\\Planted' 0x20019"));
    // Alice herself keeps her own store, as before.
    EXPECT_EQ("0", As(kAlice, theirs, "open 'HKLM\\Software\\Planted' 0x20019"));
}

TEST_F(SecurityModel, LinksPlantedInASharedDirectoryAreNeverFollowed)
{
    // A sticky directory open to all (as /tmp is): root's store there may
    // only use root's own files. Alice plants links to a file of root's in
    // every name the store uses, before root ever looks.
    std::string shared = m_store.Base() + "/shared";
    ASSERT_EQ(0, mkdir(shared.c_str(), 0777));
    ASSERT_EQ(0, chmod(shared.c_str(), 01777));
    std::string target = m_store.Base() + "/root-only";
    std::ofstream(target) << "precious";
    ASSERT_EQ(0, chmod(target.c_str(), 0600));
    for (const char* name : {"machine.hive", "machine.shm", "machine.lock", "machine-public.hive", "hku.hive", "default.hive",
                             "sam.hive", "hives.lock", "hives.replace", ".convert.lock", "registry.db"}) {
        std::string link = shared + "/" + name;
        std::string command = "setpriv --reuid=" + std::to_string(kAlice) + " --regid=" + std::to_string(kAlice) +
                              " --clear-groups ln -s '" + target + "' '" + link + "'";
        ASSERT_EQ(0, RunProcess(command)) << name;
    }
    int status = 0;
    std::string answer = As(0, shared, "create 'HKLM\\Software\\X' plain", &status);
    EXPECT_NE("0", answer);
    EXPECT_EQ("precious", ReadAll(target));
    struct stat st {};
    ASSERT_EQ(0, stat(target.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    // In the machine's store, Alice may make directories in users/ but a
    // hive directory of root's name that she made is not root's.
    const std::string& dir = m_store.Path();
    std::string squatted = dir + "/users/S-1-22-1-" + std::to_string(kBob);
    ASSERT_EQ(0, RunProcess("setpriv --reuid=" + std::to_string(kAlice) + " --regid=" + std::to_string(kAlice) +
                            " --clear-groups ln -s '" + m_store.Base() + "' '" + squatted + "'"));
    EXPECT_EQ("5", As(kBob, dir, "create 'Software\\X' plain"));
    EXPECT_TRUE(fs::is_symlink(squatted));
}

// ---------------------------------------------------------------- attacks
// Each test below is an attack another user mounts; it must answer as
// Windows would or be refused, with nothing written where it should not be
// and nothing read that the DACL or the file forbids.

// A directory open to all, sticky (as /tmp is).
std::string SharedDirectory(const StoreDir& store, const std::string& name)
{
    std::string dir = store.Base() + "/" + name;
    mkdir(dir.c_str(), 0777);
    chmod(dir.c_str(), 01777);
    return dir;
}

// A file `bob` plants must stay as it is; the victim of root keeps its bytes.
TEST_F(SecurityModel, ExportAndSaveNeverWriteThroughAPlantedName)
{
#ifdef NETID_REGCTL_EXE
    const std::string& dir = m_store.Path();
    std::string shared = SharedDirectory(m_store, "drop");
    std::string victim = m_store.Base() + "/victim";
    std::ofstream(victim) << "precious";
    ASSERT_EQ(0, chmod(victim.c_str(), 0600));
    std::string out = shared + "/out.reg";
    // Bob plants links at the names a writer might use beside the file, and
    // at the file itself.
    for (const std::string& name : {out + ".regctl-new", out + ".new", out}) {
        ASSERT_EQ(0, Shell(kBob, "ln -s '" + victim + "' '" + name + "'")) << name;
    }
    for (const char* flag : {"", " /y"}) {
        std::string err;
        RunProcess("umask 077; NETID_REGISTRY_DIR='" + dir + "' " + kRegctl + " export 'HKLM\\Software\\Shared' '" +
                       out + "'" + flag + " < /dev/null",
                   nullptr, &err);
    }
    EXPECT_EQ("precious", ReadAll(victim));
    // The export is a file of root's own, as the umask leaves it.
    struct stat st {};
    ASSERT_EQ(0, lstat(out.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_NE(std::string::npos, ReadAll(out).find(std::string("S\0h\0a\0r\0e\0d\0", 12)));
#endif
    // A saved hive, too, is as the umask leaves it (here: root's alone).
    std::string saved = m_store.Base() + "/sam.hiv";
    EXPECT_EQ("0", As(0, m_store.Path(), "save 'HKLM\\Software\\Shared' '" + saved + "'"));
    struct stat hive {};
    ASSERT_EQ(0, stat(saved.c_str(), &hive));
    EXPECT_EQ(0644u, hive.st_mode & 0777);  // the test runs under umask 022
    std::string closed = m_store.Base() + "/closed.hiv";
    RunProcess("umask 077; NETID_REGISTRY_DIR='" + m_store.Path() + "' " + kHelper + " save 'HKLM\\Software\\Shared' '" +
                   closed + "'",
               nullptr);
    ASSERT_EQ(0, stat(closed.c_str(), &hive));
    EXPECT_EQ(0600u, hive.st_mode & 0777);
}

// In a sticky directory shared by users, Bob plants a record of pending
// replacements and a store of the earlier format: Alice's processes read
// neither.
TEST_F(SecurityModel, RecordsAndEarlierStoresOfAnotherUserAreNeverRead)
{
    std::string shared = SharedDirectory(m_store, "sharedstore");
    std::string bobs = m_store.Base() + "/bobs";
    ASSERT_EQ(0, mkdir(bobs.c_str(), 0777));
    ASSERT_EQ(0, chmod(bobs.c_str(), 0777));

    // Bob's earlier-format database, before Alice's first use: it would put
    // his values into her HKLM.
    {
        sqlite3* db = nullptr;
        std::string file = m_store.Base() + "/registry.db";
        ASSERT_EQ(SQLITE_OK, sqlite3_open(file.c_str(), &db));
        const char* schema =
            "CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
            "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL,"
            " class TEXT NOT NULL DEFAULT '', volatile INTEGER NOT NULL DEFAULT 0,"
            " last_write INTEGER NOT NULL, security BLOB);"
            "CREATE TABLE vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL, name TEXT NOT NULL,"
            " type INTEGER NOT NULL, data BLOB NOT NULL);"
            "INSERT INTO meta VALUES ('format', 'netid-registry 1'), ('boot_id', 'old');"
            "INSERT INTO keys(id, parent, name, last_write) VALUES (1, 0, 'MACHINE', 1), (2, 0, 'USER', 1),"
            " (3, 1, 'Software', 1), (4, 3, 'Planted', 1);";
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, schema, nullptr, nullptr, nullptr)) << sqlite3_errmsg(db);
        sqlite3_close(db);
        ASSERT_EQ(0, chown(file.c_str(), kBob, kBob));
        ASSERT_EQ(0, Shell(kBob, "cp '" + file + "' '" + shared + "/registry.db'"));
    }
    int status = 0;
    EXPECT_EQ("0", As(kAlice, shared, "create 'Software\\Secret' plain", &status));
    As(kAlice, shared, "write 'Software\\Secret' v 1");
    std::string ignored;
    EXPECT_EQ(1, RunProcess("setpriv --reuid=" + std::to_string(kAlice) + " --regid=" + std::to_string(kAlice) +
                                " --clear-groups env NETID_REGISTRY_DIR='" + shared + "' " + kHelper +
                                " exists 'HKLM\\Software\\Planted'",
                            &ignored));
    struct stat db {};
    ASSERT_EQ(0, lstat((shared + "/registry.db").c_str(), &db));
    EXPECT_EQ(kBob, db.st_uid);  // his, left as it is

    // Bob's pending replacement of Alice's key by his hive, her old key
    // to be written into his directory; due at her next start.
    std::string fresh = bobs + "/new.hiv";
    ASSERT_EQ("0", As(0, m_store.Path(), "save 'HKLM\\Software\\Shared' '" + fresh + "'"));
    ASSERT_EQ(0, chown(fresh.c_str(), kBob, kBob));
    std::string record = "HKEY_USERS\t" + UserKey(kAlice) + "\\\\Software\\\\Secret\t" + fresh + "\t" + bobs +
                         "/taken.hiv\tsome-earlier-boot\n";
    std::string plant = shared + "/hives.replace";
    ASSERT_EQ(0, Shell(kBob, "printf '%s' '" + record + "' > '" + plant + "'"));
    As(kAlice, shared, "names 'Software\\Secret'");
    RunProcess("setpriv --reuid=" + std::to_string(kAlice) + " --regid=" + std::to_string(kAlice) +
                   " --clear-groups env NETID_BOOT_ID=a-new-start NETID_REGISTRY_DIR='" + shared + "' " + kHelper +
                   " names 'Software\\Secret'",
               &ignored);
    EXPECT_EQ("v0", As(kAlice, shared, "names 'Software\\Secret'"));
    EXPECT_FALSE(fs::exists(bobs + "/taken.hiv"));
    EXPECT_TRUE(fs::exists(fresh));
}

// Root's store directory named through a link in Bob's directory, or lying
// in a directory of Bob's: refused, and nothing is made there.
TEST_F(SecurityModel, AStoreReachedThroughAnotherUsersDirectoryIsRefused)
{
    std::string rootStore = m_store.Base() + "/rootstore";
    ASSERT_EQ(0, mkdir(rootStore.c_str(), 0755));
    std::string bobs = m_store.Base() + "/bobhome";
    ASSERT_EQ(0, mkdir(bobs.c_str(), 0755));
    ASSERT_EQ(0, chown(bobs.c_str(), kBob, kBob));
    ASSERT_EQ(0, Shell(kBob, "ln -s '" + rootStore + "' '" + bobs + "/store'"));
    EXPECT_EQ("5", As(0, bobs + "/store", "create 'HKLM\\Software\\X' plain"));
    EXPECT_TRUE(fs::is_empty(rootStore));
    // A directory of root's inside Bob's: he could swap it at will.
    std::string inside = bobs + "/real";
    ASSERT_EQ(0, mkdir(inside.c_str(), 0755));
    EXPECT_EQ("5", As(0, inside, "create 'HKLM\\Software\\X' plain"));
    EXPECT_TRUE(fs::is_empty(inside));
}

// A hive loaded from a file of the group alone is no more readable in the
// store; a file swapped for a link while it is loaded is never followed.
TEST_F(SecurityModel, ALoadedHiveIsNoMoreReadableThanItsFileAndLinksAreNotLoaded)
{
    const std::string& dir = m_store.Path();
    std::string secret = m_store.Base() + "/secret.hiv";
    ASSERT_EQ("0", As(0, dir, "create 'HKLM\\Software\\Shared\\RootSecret' plain"));
    ASSERT_EQ("0", As(0, dir, "save 'HKLM\\Software\\Shared' '" + secret + "'"));
    ASSERT_EQ(0, chmod(secret.c_str(), 0640));
    ASSERT_EQ(0, chown(secret.c_str(), 0, 4242));  // a group neither root's nor Bob's
    ASSERT_EQ("0", As(0, dir, "load HKLM Group '" + secret + "'"));
    int loadedFiles = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::string name = entry.path().filename();
        if (name.rfind("loaded-", 0) != 0) continue;
        ++loadedFiles;
        struct stat st {};
        ASSERT_EQ(0, stat(entry.path().c_str(), &st));
        EXPECT_EQ(0u, st.st_mode & 0044) << name;
        EXPECT_NE(0, Shell(kBob, "cat '" + entry.path().string() + "' > /dev/null 2>&1")) << name;
    }
    EXPECT_GT(loadedFiles, 0);
    ASSERT_EQ("0", As(0, dir, "unload HKLM Group"));

    // Bob's own hive file, swapped again and again for a link to root's.
    std::string bobs = m_store.Base() + "/bobload";
    ASSERT_EQ(0, mkdir(bobs.c_str(), 0755));
    ASSERT_EQ(0, chown(bobs.c_str(), kBob, kBob));
    ASSERT_EQ("0", As(0, dir, "create 'HKLM\\Software\\Shared\\BobsOwn' plain"));
    std::string plain = bobs + "/plain.hiv";
    ASSERT_EQ("0", As(0, dir, "save 'HKLM\\Software\\Shared\\BobsOwn' '" + plain + "'"));
    ASSERT_EQ(0, chown(plain.c_str(), kBob, kBob));
    std::string stop = bobs + "/stop";
    pid_t swapper = fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
        std::string loop = "while [ ! -e '" + stop + "' ]; do ln -sfn '" + secret + "' '" + bobs +
                           "/l' && mv -T '" + bobs + "/l' '" + bobs + "/h.hiv'; cp '" + plain + "' '" + bobs +
                           "/c' && mv -T '" + bobs + "/c' '" + bobs + "/h.hiv'; done";
        execlp("setpriv", "setpriv", ("--reuid=" + std::to_string(kBob)).c_str(),
               ("--regid=" + std::to_string(kBob)).c_str(), "--clear-groups", "sh", "-c", loop.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    int followed = 0;
    for (int i = 0; i < 60; ++i) {
        if (As(0, dir, "load HKLM Race '" + bobs + "/h.hiv'") != "0") continue;
        if (As(0, dir, "dump 'HKLM\\Race'").find("RootSecret") != std::string::npos) ++followed;
        As(0, dir, "unload HKLM Race");
    }
    std::ofstream(stop) << "";
    int ignored = 0;
    waitpid(swapper, &ignored, 0);
    EXPECT_EQ(0, followed) << "a link's target was loaded";
}

// Bob makes root's hive directory in users/ before root first uses HKCU:
// root's own hive is not there, and Bob's directory is left alone.
TEST_F(SecurityModel, RootsOwnHiveCannotBeSquatted)
{
    std::string fresh = m_store.Base() + "/fresh";
    ASSERT_EQ("0", As(0, fresh, "create 'HKLM\\Software\\Shared' plain"));
    std::string squat = fresh + "/users/S-1-22-1-0";
    ASSERT_EQ(0, Shell(kBob, "mkdir -m 700 '" + squat + "'"));
    EXPECT_EQ("0", As(0, fresh, "create 'Software\\RootsOwn' plain"));
    EXPECT_EQ("0", As(0, fresh, "open 'Software\\RootsOwn' 0x20019"));
    EXPECT_TRUE(fs::is_empty(squat));
    EXPECT_EQ("5", Probe(kBob, fresh, "HKU", "S-1-22-1-0\\Software\\RootsOwn")["open_read"]);
    // A user whose own directory was squatted is told so.
    std::string alices = fresh + "/users/" + UserKey(kAlice);
    ASSERT_EQ(0, Shell(kBob, "mkdir -m 700 '" + alices + "'"));
    EXPECT_EQ("5", As(kAlice, fresh, "create 'Software\\X' plain"));
#ifdef NETID_REGCTL_EXE
    std::string err;
    RunProcess("setpriv --reuid=" + std::to_string(kAlice) + " --regid=" + std::to_string(kAlice) +
                   " --clear-groups env NETID_REGISTRY_DIR='" + fresh + "' " + kRegctl + " add 'HKCU\\Software\\X' /f",
               nullptr, &err);
    EXPECT_NE(std::string::npos, err.find(UserKey(kAlice))) << err;
#endif
}

// Owners as Windows allows them; the creator of a key gets what it asked.
TEST_F(SecurityModel, OwnersAndCreatorsAreGrantedAsWindowsGrantsThem)
{
    const std::string& dir = m_store.Path();
    ASSERT_EQ("0", As(kAlice, dir, "create 'Software\\Owned' plain"));
    EXPECT_EQ("1307\n0", As(kAlice, dir, "set-owner 'Software\\Owned' S-1-5-32-544"));
    EXPECT_EQ("1307\n0", As(kAlice, dir, "set-owner 'Software\\Owned' " + UserKey(kBob)));
    EXPECT_EQ("0\n0", As(kAlice, dir, "set-owner 'Software\\Owned' " + UserKey(kAlice)));
    // Root's token holds Administrators as a group that may own objects.
    ASSERT_EQ("0", As(0, dir, "create 'HKLM\\Software\\Given' plain"));
    EXPECT_EQ("0\n0", As(0, dir, "set-owner 'HKLM\\Software\\Given' S-1-5-32-544"));

    ASSERT_EQ("0", As(kAlice, dir, "create 'Software\\Drop' plain"));
    EXPECT_EQ("0\n0", As(kAlice, dir, "create-closed 'Software\\Drop'"));
}

}  // namespace
