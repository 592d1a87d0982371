// SPDX-License-Identifier: LGPL-2.1-or-later
// The process services of the POSIX layer: the command line as Windows shows
// it, the computer name and the module handle.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/win32.h"
#include "support/environment.h"

namespace {

struct CommandLineCase {
    const char* shellArguments;  // as typed to the shell
    const char* windowsTail;     // what follows the program in GetCommandLineA
};

const CommandLineCase kCommandLineCases[] = {
    {"", ""},
    {"IP 192.168.0.10", " IP 192.168.0.10"},
    {"IP '192.168.0.10 '", " IP \"192.168.0.10 \""},
    {"'a b' c", " \"a b\" c"},
    {"''", " \"\""},
    {"'tab\there'", " \"tab\there\""},
    {"'say \"hi\"'", " \"say \\\"hi\\\"\""},
    {"'dir\\ x\\'", " \"dir\\ x\\\\\""},
    {"'back\\slash'", " back\\slash"},
};

class CommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineTest, ArgumentsAreJoinedAndQuotedAsWindowsShowsThem)
{
    std::string out;
    std::string command = std::string(NETID_TEST_HELPER_EXE) + " cmdline " +
                          GetParam().shellArguments;
    ASSERT_EQ(0, RunProcess(command, &out));
    EXPECT_EQ(std::string(NETID_TEST_HELPER_EXE) + " cmdline" + GetParam().windowsTail, out);
}

INSTANTIATE_TEST_SUITE_P(Arguments, CommandLineTest, ::testing::ValuesIn(kCommandLineCases));

TEST(Process, ComputerNameIsTheHostsFirstLabel)
{
    char host[256] = {};
    ASSERT_EQ(0, gethostname(host, sizeof host - 1));
    std::string expected(host);
    expected = expected.substr(0, expected.find('.'));

    char name[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    EXPECT_EQ(expected, name);
    EXPECT_EQ(expected.size(), size);

    // Too small a buffer: failure with the size needed, NUL included.
    DWORD small = static_cast<DWORD>(expected.size());
    EXPECT_FALSE(GetComputerNameA(name, &small));
    EXPECT_EQ(expected.size() + 1, small);
}

TEST(Process, ModuleHandleOfTheProgramAndLastError)
{
    EXPECT_NE(nullptr, GetModuleHandleA(nullptr));
    EXPECT_EQ(GetModuleHandleA(nullptr), GetModuleHandleA(nullptr));
    SetLastError(0);
    EXPECT_EQ(nullptr, GetModuleHandleA("no-such-module.dll"));
    EXPECT_NE(0u, GetLastError());
    SetLastError(1234);
    EXPECT_EQ(1234u, GetLastError());
}

}  // namespace
