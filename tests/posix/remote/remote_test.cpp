// SPDX-License-Identifier: LGPL-2.1-or-later
// Another machine's registry against a real Samba server on 127.0.0.1, which
// with_samba.sh starts for this program and stops after it (its variables
// name the server; NETID_SAMBA_SKIP says why there is none). Logs on with the
// authentication file the script made, as a user of BUILTIN\Administrators.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "registry/registry.h"
#include "platform/win32.h"
#include "support/wait.h"

namespace {

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// \\127.0.0.1:PORT, the machine name every test connects to.
std::string Machine()
{
    return "\\\\" + Env("NETID_SAMBA_HOST") + ":" + Env("NETID_SAMBA_PORT");
}

class RemoteRegistry : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Env("NETID_SAMBA_SKIP").empty()) {
            GTEST_SKIP() << "no Samba server: " << Env("NETID_SAMBA_SKIP");
        }
        ASSERT_FALSE(Env("NETID_SAMBA_HOST").empty()) << "run through with_samba.sh";
        setenv("NETID_REMOTE_AUTH", Env("NETID_SAMBA_PASSWORD_FILE").c_str(), 1);
        ASSERT_EQ(ERROR_SUCCESS, RegConnectRegistryA(Machine().c_str(), HKEY_LOCAL_MACHINE, &m_root));
        // A key of this test's own beneath the server's HKLM\Software.
        const std::string name = std::string("Software\\NetidRemoteTest\\") +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        DWORD disposition = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(m_root, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 &m_key, &disposition));
        m_path = name;
    }
    void TearDown() override
    {
        if (m_key != nullptr) RegCloseKey(m_key);
        if (m_root != nullptr) {
            DeleteTree(m_root, m_path);
            RegCloseKey(m_root);
        }
    }
    static void DeleteTree(HKEY root, const std::string& path)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
            char name[256];
            std::vector<std::string> children;
            for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; ++i) children.push_back(name);
            RegCloseKey(key);
            for (const std::string& child : children) DeleteTree(root, path + "\\" + child);
        }
        RegDeleteKeyA(root, path.c_str());
    }

    HKEY m_root = nullptr;
    HKEY m_key = nullptr;
    std::string m_path;
};

TEST_F(RemoteRegistry, ValuesOfEveryTypeRoundTripAndEnumerate)
{
    const BYTE binary[] = {192, 168, 0, 10, 1, 1};
    const DWORD dword = 0x12345678;
    const unsigned long long qword = 0x1122334455667788ull;
    const char text[] = "Grüße";
    const char multi[] = "one\0zwei\0";
    struct Case {
        const char* name;
        DWORD type;
        const void* data;
        DWORD size;
    } cases[] = {
        {"AmsNetId", REG_BINARY, binary, sizeof binary},
        {"Dword", REG_DWORD, &dword, sizeof dword},
        {"Qword", REG_QWORD, &qword, sizeof qword},
        {"Text", REG_SZ, text, sizeof text},
        {"Expand", REG_EXPAND_SZ, "%PATH%", 7},
        {"Multi", REG_MULTI_SZ, multi, sizeof multi},
        {"", REG_SZ, "default", 8},
        {"Empty", REG_NONE, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(m_key, c.name, 0, c.type, static_cast<const BYTE*>(c.data), c.size));
        DWORD type = 0, size = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(m_key, c.name, nullptr, &type, nullptr, &size));
        EXPECT_EQ(c.type, type);
        EXPECT_EQ(c.size, size);  // strings as the A calls count them
        std::vector<BYTE> back(size + 4, 0xEE);
        DWORD got = static_cast<DWORD>(back.size());
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(m_key, c.name, nullptr, &type, back.data(), &got));
        ASSERT_EQ(c.size, got);
        if (c.size != 0) {
            EXPECT_EQ(0, memcmp(c.data, back.data(), c.size));
        }
        if (c.size > 1) {
            // A buffer one byte short: 234 and the size needed.
            DWORD small = c.size - 1;
            EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(m_key, c.name, nullptr, &type, back.data(), &small));
            EXPECT_EQ(c.size, small);
        }
    }
    DWORD values = 0, subKeys = 99;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(m_key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                              &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, subKeys);
    EXPECT_EQ(sizeof cases / sizeof cases[0], values);
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[64];
        DWORD chars = sizeof name, type = 0, size = 0;
        LONG status = RegEnumValueA(m_key, i, name, &chars, nullptr, &type, nullptr, &size);
        if (status == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(ERROR_SUCCESS, status);
        EXPECT_EQ(strlen(name), chars);
        names.push_back(name);
    }
    EXPECT_EQ(values, names.size());
    EXPECT_NE(std::find(names.begin(), names.end(), "AmsNetId"), names.end());

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(m_key, "Dword"));
    DWORD size = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(m_key, "Dword", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_SUCCESS, RegFlushKey(m_key));
}

TEST_F(RemoteRegistry, KeysAreCreatedEnumeratedAndDeleted)
{
    HKEY child = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(m_key, "Child\\Grandchild", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &child, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    RegCloseKey(child);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(m_key, "Child", 0, nullptr, 0, KEY_READ, nullptr, &child, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    RegCloseKey(child);

    char name[32];
    DWORD chars = sizeof name;
    FILETIME when{};
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExA(m_key, 0, name, &chars, nullptr, nullptr, nullptr, &when));
    EXPECT_STREQ("Child", name);
    chars = sizeof name;
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExA(m_key, 1, name, &chars, nullptr, nullptr, nullptr, nullptr));

    // A key with sub-keys stays; a leaf goes; a missing key answers 2.
    EXPECT_NE(ERROR_SUCCESS, RegDeleteKeyA(m_key, "Child"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(m_key, "Child\\Grandchild"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(m_key, "Child"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(m_key, "Child", 0, KEY_READ, &child));
}

TEST_F(RemoteRegistry, SecurityIsReadAndWritten)
{
    DWORD size = 0;
    BYTE tiny[4];
    DWORD tinySize = sizeof tiny;
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, RegGetKeySecurity(m_key, DACL_SECURITY_INFORMATION, tiny, &tinySize));
    size = tinySize;
    ASSERT_GT(size, static_cast<DWORD>(sizeof tiny));
    std::vector<BYTE> sd(size);
    ASSERT_EQ(ERROR_SUCCESS, RegGetKeySecurity(m_key, DACL_SECURITY_INFORMATION, sd.data(), &size));
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(m_key, DACL_SECURITY_INFORMATION, sd.data()));
}

// Samba's server refuses these; the calls answer what it answers, and the
// connection serves on.
TEST_F(RemoteRegistry, CallsTheServerRefusesAnswerItsStatus)
{
    const LONG samba = 50;  // ERROR_NOT_SUPPORTED, what Samba 4 answers
    EXPECT_NE(ERROR_SUCCESS, RegSaveKeyA(m_key, "C:\\netid-test.hiv", nullptr));
    EXPECT_NE(ERROR_SUCCESS, RegRestoreKeyA(m_key, "C:\\netid-test.hiv", 0));
    EXPECT_NE(ERROR_SUCCESS, RegLoadKeyA(m_root, "NetidTestHive", "C:\\netid-test.hiv"));
    EXPECT_NE(ERROR_SUCCESS, RegUnLoadKeyA(m_root, "NetidTestHive"));
    EXPECT_NE(ERROR_SUCCESS, RegReplaceKeyA(m_root, "Software", "C:\\a.hiv", "C:\\b.hiv"));
    EXPECT_EQ(samba, RegNotifyChangeKeyValue(m_key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE));
    // Asynchronous waits are not offered for another machine's keys.
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegNotifyChangeKeyValue(m_key, TRUE, REG_NOTIFY_CHANGE_LAST_SET,
                                                               nullptr, TRUE));
    DWORD values = 99;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(m_key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              &values, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(RemoteRegistry, CRegistryWorksThroughARemoteRoot)
{
    CRegistry reg;
    ASSERT_TRUE(reg.Connect(HKEY_LOCAL_MACHINE, Machine().c_str())) << reg.GetStatus();
    ASSERT_TRUE(reg.CreateKey((m_path + "\\System").c_str(), nullptr, 0, KEY_ALL_ACCESS, nullptr, nullptr))
        << reg.GetStatus();
    CByteArray id;
    for (BYTE b : {192, 168, 0, 10, 1, 1}) id.Add(b);
    ASSERT_TRUE(reg.SetBinaryValue("AmsNetId", id)) << reg.GetStatus();
    ASSERT_TRUE(reg.SetStringValue("Name", CString("Linie 3"))) << reg.GetStatus();
    CByteArray back;
    ASSERT_TRUE(reg.GetBinaryValue("AmsNetId", back)) << reg.GetStatus();
    ASSERT_EQ(6, back.GetSize());
    EXPECT_EQ(10, back[3]);
    CString name;
    ASSERT_TRUE(reg.GetStringValue("Name", name));
    EXPECT_STREQ("Linie 3", static_cast<LPCSTR>(name));
    ASSERT_TRUE(reg.QueryInfoKey());
    EXPECT_EQ(2u, reg.GetValueCount());
    EXPECT_TRUE(reg.Close());
}

// Runs a command; its output and errors in `out`, its exit status back.
int RunCommand(const std::string& command, std::string& out)
{
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    out.clear();
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(RemoteRegistry, RegctlReadsAndWritesAnotherMachine)
{
    const std::string key = Machine() + "\\HKLM\\" + m_path + "\\System";
    auto run = RunCommand;
    std::string out;
    ASSERT_EQ(0, run(std::string(NETID_REGCTL_EXE) + " add '" + key + "' /v AmsNetId /t REG_BINARY /d C0A8000A0101 /f",
                     out)) << out;
    ASSERT_EQ(0, run(std::string(NETID_REGCTL_EXE) + " query '" + key + "' /v AmsNetId", out)) << out;
    EXPECT_NE(out.find("AmsNetId    REG_BINARY    C0A8000A0101"), std::string::npos) << out;
    // HKCU of another machine is refused as the tool refuses it.
    EXPECT_EQ(1, run(std::string(NETID_REGCTL_EXE) + " query '" + Machine() + "\\HKCU\\Software'", out)) << out;
}

// Save names a file of the other machine's, which the server writes; Samba's
// server refuses the call (whatever the path), and regctl reports the
// server's answer, the same RegSaveKeyA gives.
TEST_F(RemoteRegistry, RegctlSavesOnTheServerSide)
{
    const LONG server = RegSaveKeyA(m_key, "netid-remote-test.hiv", nullptr);
    ASSERT_NE(ERROR_SUCCESS, server) << "Samba's server saves hives now: expect the file on its side";
    const std::string key = "'" + Machine() + "\\HKLM\\" + m_path + "'";
    const std::string regctl = NETID_REGCTL_EXE;
    char dir[] = "/tmp/netid-save.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string here = std::string("cd ") + dir + " && ";
    std::string out;
    EXPECT_EQ(1, RunCommand(here + regctl + " save " + key + " netid-remote-test.hiv /y", out));
    EXPECT_EQ(0u, out.find("ERROR: ")) << out;
    if (server == 161) {  // ERROR_BAD_PATHNAME: what Samba 4.17's server answers to any file
        EXPECT_EQ("ERROR: The specified path is invalid.\n", out);
    }
    // Nothing is written on this side.
    EXPECT_NE(0, access((std::string(dir) + "/netid-remote-test.hiv").c_str(), F_OK));
    EXPECT_EQ(0, rmdir(dir));  // empty: nothing was written
}

// Two connections used from two threads at once: each thread reads back
// exactly what it wrote, through its own connection.
TEST_F(RemoteRegistry, TwoConnectionsServeTwoThreadsAtOnce)
{
    constexpr int kRounds = 40;
    std::atomic<int> ready{0};
    std::atomic<int> done{0};
    std::vector<std::string> failures(2);
    std::vector<std::thread> threads;
    JoinAtExit joiner(threads);
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            std::string& failure = failures[t];
            HKEY root = nullptr, key = nullptr;
            LONG status = RegConnectRegistryA(Machine().c_str(), HKEY_LOCAL_MACHINE, &root);
            if (status == ERROR_SUCCESS) {
                status = RegCreateKeyExA(root, (m_path + "\\Thread" + std::to_string(t)).c_str(), 0, nullptr, 0,
                                         KEY_ALL_ACCESS, nullptr, &key, nullptr);
            }
            ++ready;
            WaitUntil([&] { return ready == 2; });  // both connected before either starts
            for (int i = 0; status == ERROR_SUCCESS && i < kRounds && failure.empty(); ++i) {
                const std::string text = "thread " + std::to_string(t) + " round " + std::to_string(i);
                status = RegSetValueExA(key, "Round", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                        static_cast<DWORD>(text.size() + 1));
                char back[64] = {};
                DWORD size = sizeof back;
                if (status == ERROR_SUCCESS) {
                    status = RegQueryValueExA(key, "Round", nullptr, nullptr, reinterpret_cast<BYTE*>(back), &size);
                }
                if (status == ERROR_SUCCESS && text != back) failure = "read back \"" + std::string(back) + "\"";
            }
            if (status != ERROR_SUCCESS) failure = "status " + std::to_string(status);
            if (key != nullptr) RegCloseKey(key);
            if (root != nullptr) RegCloseKey(root);
            ++done;
        });
    }
    ASSERT_TRUE(WaitUntil([&] { return done == 2; }));
    for (auto& thread : threads) thread.join();
    threads.clear();
    EXPECT_EQ("", failures[0]);
    EXPECT_EQ("", failures[1]);
    HKEY child = nullptr;
    char value[64] = {};
    DWORD size = sizeof value;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(m_key, "Thread1", 0, KEY_READ, &child));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(child, "Round", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size));
    EXPECT_STREQ("thread 1 round 39", value);
    RegCloseKey(child);
}

// A listener that takes connections and never answers them: the connect
// gives up within its own bound (1 s here, by NETID_REMOTE_TIMEOUT) and
// answers 53, long before Samba's own minute. Needs no server.
TEST(RemoteConnect, AHostThatNeverAnswersIsUnreachableWithinTheBound)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, listen(listener, 16));  // the kernel completes connections; nobody reads them
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
    const std::string machine = "\\\\127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    setenv("NETID_REMOTE_TIMEOUT", "1", 1);
    std::atomic<LONG> result{-1};
    std::thread connecting([&] {
        HKEY root = nullptr;
        result = RegConnectRegistryA(machine.c_str(), HKEY_LOCAL_MACHINE, &root);
        if (root != nullptr) RegCloseKey(root);
    });
    // Within half Samba's own bound: only our bound can end it by then.
    const bool answered = WaitUntil([&] { return result != -1; }, std::chrono::seconds(30));
    connecting.join();
    unsetenv("NETID_REMOTE_TIMEOUT");
    close(listener);
    EXPECT_TRUE(answered);
    EXPECT_EQ(ERROR_BAD_NETPATH, result.load());
}

TEST(RemoteConnect, FailuresAnswerAsThePlatformDoes)
{
    if (!Env("NETID_SAMBA_SKIP").empty()) GTEST_SKIP() << "no Samba server: " << Env("NETID_SAMBA_SKIP");
    HKEY root = nullptr;
    // The classes and the current user of another machine are not offered.
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegConnectRegistryA(Machine().c_str(), HKEY_CLASSES_ROOT, &root));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegConnectRegistryA(Machine().c_str(), HKEY_CURRENT_USER, &root));
    // A closed port on this machine: the machine cannot be reached.
    EXPECT_EQ(ERROR_BAD_NETPATH, RegConnectRegistryA("\\\\127.0.0.1:9", HKEY_LOCAL_MACHINE, &root));
    // A wrong password: the logon is refused.
    char path[] = "/tmp/netid-auth.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text = "username = " + Env("NETID_SAMBA_USER") + "\npassword = not-the-password\n";
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
    close(fd);
    setenv("NETID_REMOTE_AUTH", path, 1);
    EXPECT_EQ(1326 /* ERROR_LOGON_FAILURE */, RegConnectRegistryA(Machine().c_str(), HKEY_LOCAL_MACHINE, &root));
    unlink(path);
    unsetenv("NETID_REMOTE_AUTH");
}

// Without the module a remote name answers 53, and regctl names the package
// that brings it.
TEST(RemoteConnect, WithoutTheModuleTheToolNamesThePackage)
{
    const std::string command = "NETID_REMOTE_MODULE=/nonexistent/libnetid-remote.so " +
                                std::string(NETID_REGCTL_EXE) + " query '\\\\192.0.2.1\\HKLM\\Software' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::string out;
    char buffer[1024];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    int status = pclose(pipe);
    EXPECT_EQ(1, WEXITSTATUS(status));
    EXPECT_NE(out.find("The network path was not found."), std::string::npos) << out;
    EXPECT_NE(out.find("netid-remote"), std::string::npos) << out;
}

}  // namespace
