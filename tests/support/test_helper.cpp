// A child process for the tests that need more than one process:
//   netid_test_helper write PATH PREFIX COUNT
//     writes COUNT REG_DWORD values PREFIX0.. under HKEY_CURRENT_USER\PATH,
//     one registry call each; exit status 0 when every write succeeded.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "registry/registry.h"

namespace {

int WriteValues(const char* path, const char* prefix, int count)
{
    CRegistry registry;
    if (!registry.Connect(HKEY_CURRENT_USER, nullptr) || !registry.OpenKey(path, KEY_SET_VALUE)) {
        std::fprintf(stderr, "open %s: %ld\n", path, static_cast<long>(registry.GetStatus()));
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        std::string name = std::string(prefix) + std::to_string(i);
        if (!registry.SetDwordValue(name.c_str(), static_cast<DWORD>(i))) {
            std::fprintf(stderr, "set %s: %ld\n", name.c_str(),
                         static_cast<long>(registry.GetStatus()));
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "write") == 0) {
        return WriteValues(argv[2], argv[3], std::atoi(argv[4]));
    }
    std::fprintf(stderr, "usage: netid_test_helper write PATH PREFIX COUNT\n");
    return 2;
}
