// SPDX-License-Identifier: LGPL-2.1-or-later
// The tool end to end: the framework seam in-process, and setnetid as a
// process against the registry (its exit status, its silence, the value).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/run.h"
#include "registry/registry.h"
#include "support/environment.h"

namespace {

const char kKeyPath[] = "Software\\Zadizovi\\REdiVOR\\System";
const char kValueName[] = "AmsNetId";
const std::vector<BYTE> kSentinel = {0xEE, 0xEE};

BOOL FailingInit(HINSTANCE, HINSTANCE, LPSTR, int) { return FALSE; }

int g_initCalls = 0;
HINSTANCE g_initInstance = nullptr;
LPSTR g_initCommandLine = nullptr;
int g_initShow = -1;

BOOL RecordingInit(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    ++g_initCalls;
    g_initInstance = instance;
    g_initCommandLine = commandLine;
    g_initShow = show;
    return previous == nullptr ? FALSE : TRUE;  // fail, to stop before the registry
}

TEST(RunSequence, FrameworkFailurePrintsTheMessageAndEndsWithOne)
{
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int status = RunSequence(FailingInit);
    std::string err = ::testing::internal::GetCapturedStderr();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(1, status);
    EXPECT_EQ("Fatal Error: MFC initialization failed\n", err);
    EXPECT_EQ("", out);
}

TEST(RunSequence, InitialisationGetsModuleCommandLineAndShowZero)
{
    ::testing::internal::CaptureStderr();
    RunSequence(RecordingInit);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(1, g_initCalls);
    EXPECT_EQ(GetModuleHandleA(nullptr), g_initInstance);
    EXPECT_STREQ(GetCommandLineA(), g_initCommandLine);
    EXPECT_EQ(0, g_initShow);
}

// The runtime's key, made afresh (or removed) for each case.
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override { DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\Zadizovi"); }
    void TearDown() override { DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\Zadizovi"); }

    static void CreateRuntimeKey()
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, kValueName, 0, REG_BINARY,
                                                kSentinel.data(),
                                                static_cast<DWORD>(kSentinel.size())));
        RegCloseKey(key);
    }

    static std::vector<BYTE> StoredRecord()
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return {};
        }
        BYTE data[64] = {};
        DWORD size = sizeof data;
        DWORD type = 0;
        LONG status = RegQueryValueExA(key, kValueName, nullptr, &type, data, &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS || type != REG_BINARY) {
            return {};
        }
        return std::vector<BYTE>(data, data + size);
    }

    static bool KeyExists(const char* path)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return false;
        }
        RegCloseKey(key);
        return true;
    }

    // Runs the tool with `arguments` appended to its path; expects silence.
    static int Run(const std::string& tool, const std::string& arguments)
    {
        std::string out;
        std::string err;
        int status = RunProcess("\"" + tool + "\" " + arguments, &out, &err);
        EXPECT_EQ("", out) << arguments;
        EXPECT_EQ("", err) << arguments;
        return status;
    }
};

struct ToolCase {
    const char* arguments;
    std::vector<BYTE> record;  // empty: nothing is written
};

const ToolCase kToolCases[] = {
    {"IP 192.168.0.10", {192, 168, 0, 10, 1, 1}},
    {"IP 10.1.2.300", {10, 1, 2, 44, 1, 1}},
    {"IP 10.1.2.-1", {10, 1, 2, 255, 1, 1}},
    {"IP 10.1.2", {10, 1, 2, 0, 1, 1}},
    {"IP \" 10 . 1 . 2 . 3\"", {0, 1, 2, 3, 1, 1}},  // the quotes stay in the fields
    {"IP abc", {0, 0, 0, 0, 1, 1}},
    {"IP 0255.1.2.3", {255, 255, 255, 255, 1, 1}},
    {"IP1.2.3.4", {1, 2, 3, 4, 1, 1}},
    {"x IP 1.2.3.4 IP 9.9.9.9", {1, 2, 3, 4, 1, 1}},
    {"IP", {}},
    {"IP 256.1.1.1", {}},
    {"IP -5.1.1.1", {}},
    {"IP 1234.5.6.7", {}},
    {"ip 1.2.3.4", {}},
    {"1.2.3.4", {}},
    {"", {}},
};

class ToolCommandLineTest : public ToolTest, public ::testing::WithParamInterface<ToolCase> {};

TEST_P(ToolCommandLineTest, WritesTheRecordOrNothing)
{
    const ToolCase& c = GetParam();
    CreateRuntimeKey();
    EXPECT_EQ(0, Run(NETID_SETNETID_EXE, c.arguments));
    EXPECT_EQ(c.record.empty() ? kSentinel : c.record, StoredRecord()) << c.arguments;
}

INSTANTIATE_TEST_SUITE_P(CommandLines, ToolCommandLineTest, ::testing::ValuesIn(kToolCases));

TEST_F(ToolTest, WithoutTheKeyCreatesNothing)
{
    EXPECT_EQ(0, Run(NETID_SETNETID_EXE, "IP 192.168.0.10"));
    EXPECT_FALSE(KeyExists("Software\\Zadizovi"));
}

TEST_F(ToolTest, MarkerInTheProgramPathIsTheOneUsed)
{
    CreateRuntimeKey();
    namespace fs = std::filesystem;
    fs::path source(NETID_SETNETID_EXE);
    fs::path dir = fs::temp_directory_path() / ("netid-" + std::to_string(GetCurrentProcessId())) /
                   "SHIP";
    fs::create_directories(dir);
    fs::path copy = dir / source.filename();
    fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
    // The address argument is the text after "SHIP"'s "IP": it starts with
    // the path separator, so its leading number is 0 and the five-character
    // rest gives the same whole text to every field.
    EXPECT_EQ(0, Run(copy.string(), "IP 192.168.0.10"));
    EXPECT_EQ((std::vector<BYTE>{0, 0, 0, 0, 1, 1}), StoredRecord());
    std::error_code ignored;
    fs::remove_all(dir.parent_path(), ignored);
}

}  // namespace
