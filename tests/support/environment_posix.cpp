// SPDX-License-Identifier: LGPL-2.1-or-later
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/environment.h"

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

namespace {
std::string g_madeDirectory;
}

void PrepareTestRegistry()
{
    if (getenv("NETID_REGISTRY_DIR") == nullptr) {
        char pattern[] = "/tmp/netid-test-XXXXXX";
        const char* dir = mkdtemp(pattern);
        if (dir != nullptr) {
            g_madeDirectory = dir;
            setenv("NETID_REGISTRY_DIR", dir, 1);
        }
    }
}

void CleanupTestRegistry()
{
    if (!g_madeDirectory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(g_madeDirectory, ignored);
    }
}

std::string TestRegistryDirectory()
{
    const char* dir = getenv("NETID_REGISTRY_DIR");
    return dir != nullptr ? dir : "";
}

int RunProcess(const std::string& commandLine, std::string* out, std::string* err, const std::string* input)
{
    char outPattern[] = "/tmp/netid-out-XXXXXX";
    char errPattern[] = "/tmp/netid-err-XXXXXX";
    char inPattern[] = "/tmp/netid-in-XXXXXX";
    int outFd = mkstemp(outPattern);
    int errFd = mkstemp(errPattern);
    int inFd = mkstemp(inPattern);
    if (outFd >= 0) close(outFd);
    if (errFd >= 0) close(errFd);
    if (inFd >= 0) {
        if (input != nullptr && write(inFd, input->data(), input->size()) != static_cast<ssize_t>(input->size())) {
            close(inFd);
            inFd = -1;
        } else {
            close(inFd);
        }
    }
    std::string full = commandLine + " >" + outPattern + " 2>" + errPattern + " <" + inPattern;
    int raw = inFd >= 0 ? std::system(full.c_str()) : -1;
    if (out != nullptr) *out = ReadFile(outPattern);
    if (err != nullptr) *err = ReadFile(errPattern);
    std::remove(outPattern);
    std::remove(errPattern);
    std::remove(inPattern);
    if (raw == -1 || !WIFEXITED(raw)) {
        return -1;
    }
    return WEXITSTATUS(raw);
}

bool RunningUnderWine() { return false; }
