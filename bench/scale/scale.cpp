// SPDX-License-Identifier: LGPL-2.1-or-later
// What a large hive costs: builds HKLM\Software\Scale with N keys and
// measures, each in the process it is run in, the work a program does at that
// size. Plain Win32 A calls, so the same source runs on our platform layer and
// under Wine; bench/scale.sh runs it at several sizes.
//
// The keys: Software\Scale\g<G>\b<B>\key<K>, a thousand keys a branch and a
// hundred branches a group (100,000 keys), each key with a REG_DWORD "n" and a
// short REG_SZ "s". The group level lets one group stand for a subtree of
// 100,000 keys at every size.
//
//   netid_scale build N       makes the keys (at least key0, so that an
//                             "empty" store holds the one key probed) and
//                             the Net ID's key
//   netid_scale first         open g0\b0\key0, query "n", close: microseconds
//                             from before the open to after the close, then
//                             the process's resident and peak memory in KiB
//   netid_scale enum          enumerates the 1,000 sub-keys of g0\b0
//   netid_scale save FILE     RegSaveKeyA of g0 (at most 100,000 keys)
//   netid_scale save FILE all RegSaveKeyA of the whole of Software\Scale:
//                             the hive file `load` loads
//   netid_scale load FILE     RegLoadKeyA of FILE as HKU\NetidScale
//   netid_scale beneath       as `first`, of HKU\NetidScale\g0\b0\key0
//   netid_scale unload        RegUnLoadKeyA of HKU\NetidScale
//   netid_scale deltree       deletes g0\b0 .. g0\b9 (10,010 keys)
// Each prints one line: the microseconds, and what it saw.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win32.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr long kKeysPerBranch = 1000;
constexpr long kBranchesPerGroup = 100;
const char kScale[] = "Software\\Scale";
// Where `load` hangs the hive: beneath HKEY_USERS, as a user's hive is.
const char kLoaded[] = "NetidScale";

long Micros(Clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - since).count());
}

[[noreturn]] void Die(const char* what, LONG status)
{
    std::fprintf(stderr, "netid_scale: %s: status %ld\n", what, static_cast<long>(status));
    std::exit(1);
}

HKEY Create(HKEY parent, const std::string& path)
{
    HKEY key = nullptr;
    LONG s = RegCreateKeyExA(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (s != ERROR_SUCCESS) Die(path.c_str(), s);
    return key;
}

std::string Branch(long g, long b)
{
    return std::string(kScale) + "\\g" + std::to_string(g) + "\\b" + std::to_string(b);
}

int Build(long count)
{
    Clock::time_point start = Clock::now();
    HKEY system = Create(HKEY_LOCAL_MACHINE, "Software\\Zadizovi\\REdiVOR\\System");
    RegCloseKey(system);
    if (count < 1) count = 1;
    for (long made = 0; made < count;) {
        long g = made / (kKeysPerBranch * kBranchesPerGroup);
        long b = made / kKeysPerBranch % kBranchesPerGroup;
        HKEY branch = Create(HKEY_LOCAL_MACHINE, Branch(g, b));
        for (long k = 0; k < kKeysPerBranch && made < count; ++k, ++made) {
            HKEY key = Create(branch, "key" + std::to_string(k));
            DWORD n = static_cast<DWORD>(made);
            const char s[] = "scale";
            LONG st = RegSetValueExA(key, "n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), sizeof n);
            if (st == ERROR_SUCCESS) st = RegSetValueExA(key, "s", 0, REG_SZ, reinterpret_cast<const BYTE*>(s), sizeof s);
            if (st != ERROR_SUCCESS) Die("set", st);
            RegCloseKey(key);
        }
        RegCloseKey(branch);
    }
    std::printf("%ld us, %ld keys\n", Micros(start), count);
    return 0;
}

// Resident and peak memory of this process in KiB, where /proc tells them.
void Memory(long& rss, long& peak)
{
    rss = peak = -1;
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return;
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) rss = std::atol(line + 6);
        if (std::strncmp(line, "VmHWM:", 6) == 0) peak = std::atol(line + 6);
    }
    std::fclose(f);
}

// Opens `path` below `root`, queries "n" and closes it, as the first call of
// a new process.
int First(HKEY root, const std::string& path)
{
    Clock::time_point start = Clock::now();
    HKEY key = nullptr;
    LONG s = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key);
    if (s != ERROR_SUCCESS) Die("open", s);
    DWORD n = 0, size = sizeof n, type = 0;
    s = RegQueryValueExA(key, "n", nullptr, &type, reinterpret_cast<BYTE*>(&n), &size);
    if (s != ERROR_SUCCESS) Die("query", s);
    RegCloseKey(key);
    long us = Micros(start);
    long rss, peak;
    Memory(rss, peak);
    std::printf("%ld us, rss %ld KiB, peak %ld KiB, n=%lu\n", us, rss, peak, static_cast<unsigned long>(n));
    return 0;
}

int Enumerate()
{
    HKEY branch = nullptr;
    LONG s = RegOpenKeyExA(HKEY_LOCAL_MACHINE, Branch(0, 0).c_str(), 0, KEY_READ, &branch);
    if (s != ERROR_SUCCESS) Die("open", s);
    Clock::time_point start = Clock::now();
    DWORD index = 0;
    for (;; ++index) {
        char name[64];
        DWORD length = sizeof name;
        s = RegEnumKeyExA(branch, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (s != ERROR_SUCCESS) break;
    }
    long us = Micros(start);
    RegCloseKey(branch);
    if (s != ERROR_NO_MORE_ITEMS) Die("enumerate", s);
    std::printf("%ld us, %lu sub-keys\n", us, static_cast<unsigned long>(index));
    return 0;
}

bool EnablePrivilege(const char* name)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES tp = {};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool ok = LookupPrivilegeValueA(nullptr, name, &tp.Privileges[0].Luid) &&
              AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr) && GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

int Save(const char* file, bool all)
{
    if (!EnablePrivilege("SeBackupPrivilege")) Die("backup privilege", static_cast<LONG>(GetLastError()));
    HKEY group = nullptr;
    const std::string path = all ? std::string(kScale) : std::string(kScale) + "\\g0";
    LONG s = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &group);
    if (s != ERROR_SUCCESS) Die("open", s);
    Clock::time_point start = Clock::now();
    s = RegSaveKeyA(group, file, nullptr);
    long us = Micros(start);
    RegCloseKey(group);
    if (s != ERROR_SUCCESS) Die("save", s);
    std::printf("%ld us\n", us);
    return 0;
}

// Loads FILE as HKU\NetidScale; what it saw is the number of groups at the
// loaded hive's top, counted after the time is taken.
int Load(const char* file)
{
    if (!EnablePrivilege("SeRestorePrivilege")) Die("restore privilege", static_cast<LONG>(GetLastError()));
    Clock::time_point start = Clock::now();
    LONG s = RegLoadKeyA(HKEY_USERS, kLoaded, file);
    long us = Micros(start);
    if (s != ERROR_SUCCESS) Die("load", s);
    HKEY top = nullptr;
    DWORD groups = 0;
    s = RegOpenKeyExA(HKEY_USERS, kLoaded, 0, KEY_READ, &top);
    if (s == ERROR_SUCCESS) {
        s = RegQueryInfoKeyA(top, nullptr, nullptr, nullptr, &groups, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr);
        RegCloseKey(top);
    }
    if (s != ERROR_SUCCESS) Die("loaded hive", s);
    std::printf("%ld us, %lu groups\n", us, static_cast<unsigned long>(groups));
    return 0;
}

int Unload()
{
    if (!EnablePrivilege("SeRestorePrivilege")) Die("restore privilege", static_cast<LONG>(GetLastError()));
    Clock::time_point start = Clock::now();
    LONG s = RegUnLoadKeyA(HKEY_USERS, kLoaded);
    long us = Micros(start);
    if (s != ERROR_SUCCESS) Die("unload", s);
    std::printf("%ld us\n", us);
    return 0;
}

// Deletes `path` below `parent` with everything beneath it, deepest first.
LONG DeleteTree(HKEY parent, const std::string& path)
{
    HKEY key = nullptr;
    LONG s = RegOpenKeyExA(parent, path.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (s != ERROR_SUCCESS) return s;
    for (;;) {
        char name[64];
        DWORD length = sizeof name;
        s = RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (s != ERROR_SUCCESS) break;
        s = DeleteTree(key, name);
        if (s != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    if (s != ERROR_NO_MORE_ITEMS) return s;
    return RegDeleteKeyA(parent, path.c_str());
}

int DeleteBranches()
{
    Clock::time_point start = Clock::now();
    for (long b = 0; b < 10; ++b) {
        LONG s = DeleteTree(HKEY_LOCAL_MACHINE, Branch(0, b));
        if (s != ERROR_SUCCESS) Die("delete", s);
    }
    std::printf("%ld us, 10010 keys\n", Micros(start));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "build" && argc == 3) return Build(std::atol(argv[2]));
    if (verb == "first" && argc == 2) return First(HKEY_LOCAL_MACHINE, Branch(0, 0) + "\\key0");
    if (verb == "enum" && argc == 2) return Enumerate();
    if (verb == "save" && argc == 3) return Save(argv[2], false);
    if (verb == "save" && argc == 4 && std::strcmp(argv[3], "all") == 0) return Save(argv[2], true);
    if (verb == "load" && argc == 3) return Load(argv[2]);
    if (verb == "beneath" && argc == 2) return First(HKEY_USERS, std::string(kLoaded) + "\\g0\\b0\\key0");
    if (verb == "unload" && argc == 2) return Unload();
    if (verb == "deltree" && argc == 2) return DeleteBranches();
    std::fprintf(stderr,
                 "usage: netid_scale build N | first | enum | save FILE [all] | load FILE | beneath | unload | "
                 "deltree\n");
    return 2;
}
