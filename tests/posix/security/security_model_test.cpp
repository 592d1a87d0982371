// Who may read and write what, as real processes of other users beside
// root: each user's own hive, the machine's hive readable by all and
// writable by root, key descriptors enforced when a key is opened, and a
// store directory no other user can slip files or links into.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

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
    for (const char* name : {"machine.hive", "machine.shm", "machine.lock", "hku.hive", "default.hive",
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

}  // namespace
