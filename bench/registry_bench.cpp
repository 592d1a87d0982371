// SPDX-License-Identifier: LGPL-2.1-or-later
// Timings of the registry calls and of CRegistry on top of them: open, set,
// query and close; typed values; creating and enumerating keys; deleting a
// tree of 10,000 keys; enumerating HKEY_CLASSES_ROOT's merged view and
// HKEY_USERS; and how long a change in one process takes to wake a
// waiter in another.
//
// On Linux the store lives in a fresh temporary directory unless
// NETID_REGISTRY_DIR names one.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "registry/registry.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const char* const kBase = "Software\\NetidBench";

std::string BenchPath(const std::string& leaf)
{
    return std::string(kBase) + "\\" + leaf + "." + std::to_string(GetCurrentProcessId());
}

// A fresh key under HKEY_CURRENT_USER for one benchmark, deleted afterwards.
class BenchKey {
public:
    explicit BenchKey(const std::string& leaf) : m_path(BenchPath(leaf))
    {
        DeleteKeyTree(HKEY_CURRENT_USER, m_path.c_str());
        RegCreateKeyExA(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &m_key, nullptr);
    }
    ~BenchKey()
    {
        RegCloseKey(m_key);
        DeleteKeyTree(HKEY_CURRENT_USER, m_path.c_str());
    }
    HKEY Get() const { return m_key; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    HKEY m_key = nullptr;
};

void BM_OpenSetQueryClose(benchmark::State& state)
{
    BenchKey key("OpenSetQueryClose");
    DWORD value = 0;
    for (auto _ : state) {
        HKEY handle = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, key.Path().c_str(), 0, KEY_ALL_ACCESS, &handle) != 0) {
            state.SkipWithError("open failed");
            break;
        }
        ++value;
        RegSetValueExA(handle, "v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4);
        DWORD out = 0;
        DWORD size = 4;
        RegQueryValueExA(handle, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(&out), &size);
        benchmark::DoNotOptimize(out);
        RegCloseKey(handle);
    }
}
BENCHMARK(BM_OpenSetQueryClose);

void BM_OpenClose(benchmark::State& state)
{
    BenchKey key("OpenClose");
    for (auto _ : state) {
        HKEY handle = nullptr;
        RegOpenKeyExA(HKEY_CURRENT_USER, key.Path().c_str(), 0, KEY_READ, &handle);
        RegCloseKey(handle);
    }
}
BENCHMARK(BM_OpenClose);

void BM_SetValue(benchmark::State& state)
{
    BenchKey key("SetValue");
    DWORD value = 0;
    for (auto _ : state) {
        ++value;
        RegSetValueExA(key.Get(), "v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4);
    }
}
BENCHMARK(BM_SetValue);

void BM_QueryValue(benchmark::State& state)
{
    BenchKey key("QueryValue");
    DWORD value = 7;
    RegSetValueExA(key.Get(), "v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4);
    for (auto _ : state) {
        DWORD out = 0;
        DWORD size = 4;
        RegQueryValueExA(key.Get(), "v", nullptr, nullptr, reinterpret_cast<BYTE*>(&out), &size);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_QueryValue);

// A REG_SZ read through the A calls: the store keeps it as UTF-16, so this
// is BM_QueryValue plus the conversion, for plain ASCII (0) and for text
// beyond it (1: Latin, the euro sign, CJK).
void BM_QueryText(benchmark::State& state)
{
    BenchKey key("QueryText");
    const std::string text = state.range(0) == 0
                                 ? "a text of a typical length for a setting"
                                 : "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC 5 \xE4\xB8\xAD\xE6\x96\x87 "
                                   "f\xC3\xBCr alle Nutzer der Anlage";
    RegSetValueExA(key.Get(), "s", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
    for (auto _ : state) {
        char out[128];
        DWORD size = sizeof out;
        RegQueryValueExA(key.Get(), "s", nullptr, nullptr, reinterpret_cast<BYTE*>(out), &size);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_QueryText)->Arg(0)->Arg(1);

void BM_TypedGetDword(benchmark::State& state)
{
    BenchKey key("TypedGetDword");
    CRegistry reg;
    reg.Connect(HKEY_CURRENT_USER, nullptr);
    reg.OpenKey(key.Path().c_str(), KEY_ALL_ACCESS);
    reg.SetDwordValue("n", 42);
    for (auto _ : state) {
        DWORD out = 0;
        reg.GetDwordValue("n", out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_TypedGetDword);

void BM_TypedSetString(benchmark::State& state)
{
    BenchKey key("TypedSetString");
    CRegistry reg;
    reg.Connect(HKEY_CURRENT_USER, nullptr);
    reg.OpenKey(key.Path().c_str(), KEY_ALL_ACCESS);
    CString text("a text of a typical length for a setting");
    for (auto _ : state) {
        reg.SetStringValue("s", text);
    }
}
BENCHMARK(BM_TypedSetString);

void BM_TypedGetMultiString(benchmark::State& state)
{
    BenchKey key("TypedGetMulti");
    CRegistry reg;
    reg.Connect(HKEY_CURRENT_USER, nullptr);
    reg.OpenKey(key.Path().c_str(), KEY_ALL_ACCESS);
    CStringArray texts;
    for (int i = 0; i < 8; ++i) texts.Add(CString("entry"));
    reg.SetMultiStringValue("m", texts);
    for (auto _ : state) {
        CStringArray out;
        reg.GetMultiStringValue("m", out);
        benchmark::DoNotOptimize(out.GetSize());
    }
}
BENCHMARK(BM_TypedGetMultiString);

void BM_CreateKey(benchmark::State& state)
{
    BenchKey key("CreateKey");
    long n = 0;
    for (auto _ : state) {
        HKEY handle = nullptr;
        std::string name = "k" + std::to_string(n++);
        RegCreateKeyExA(key.Get(), name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                        nullptr);
        RegCloseKey(handle);
    }
}
BENCHMARK(BM_CreateKey);

void MakeChildren(HKEY parent, int count)
{
    for (int i = 0; i < count; ++i) {
        HKEY handle = nullptr;
        std::string name = "child" + std::to_string(i);
        RegCreateKeyExA(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                        nullptr);
        RegCloseKey(handle);
    }
}

// Enumerates every sub-key of a key with range(0) sub-keys.
void BM_EnumerateKeys(benchmark::State& state)
{
    BenchKey key("EnumerateKeys");
    MakeChildren(key.Get(), static_cast<int>(state.range(0)));
    for (auto _ : state) {
        char name[MAX_PATH];
        DWORD i = 0;
        while (RegEnumKeyA(key.Get(), i, name, sizeof name) == ERROR_SUCCESS) ++i;
        benchmark::DoNotOptimize(i);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EnumerateKeys)->Arg(100)->Arg(1000);

void BM_EnumerateValues(benchmark::State& state)
{
    BenchKey key("EnumerateValues");
    const int count = static_cast<int>(state.range(0));
    for (int i = 0; i < count; ++i) {
        DWORD value = static_cast<DWORD>(i);
        std::string name = "v" + std::to_string(i);
        RegSetValueExA(key.Get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4);
    }
    for (auto _ : state) {
        char name[64];
        DWORD i = 0;
        for (;; ++i) {
            DWORD length = sizeof name;
            if (RegEnumValueA(key.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
        }
        benchmark::DoNotOptimize(i);
    }
    state.SetItemsProcessed(state.iterations() * count);
}
// Per value, enumerating a key of 10,000 values costs what it costs for 100.
BENCHMARK(BM_EnumerateValues)->Arg(100)->Arg(10000);

// 100 keys of 99 keys each, plus the top: 10,000 keys deleted per iteration.
void BM_DeleteKeyTree10000(benchmark::State& state)
{
    BenchKey key("DeleteTree");
    for (auto _ : state) {
        state.PauseTiming();
        HKEY top = nullptr;
        RegCreateKeyExA(key.Get(), "tree", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &top, nullptr);
        for (int i = 0; i < 100; ++i) {
            HKEY mid = nullptr;
            std::string name = "m" + std::to_string(i);
            RegCreateKeyExA(top, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &mid,
                            nullptr);
            MakeChildren(mid, 99);
            RegCloseKey(mid);
        }
        RegCloseKey(top);
        state.ResumeTiming();
        if (DeleteKeyTree(key.Get(), "tree") != ERROR_SUCCESS) {
            state.SkipWithError("DeleteKeyTree failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_DeleteKeyTree10000)->Iterations(2)->Unit(benchmark::kMillisecond);

// Enumerates HKEY_CLASSES_ROOT's view of a class of range(0) sub-keys, half
// of them the user's and half the machine's: the merged listing is worked
// out once per enumeration, not once per index.
void BM_EnumerateClassesRoot(benchmark::State& state)
{
    const std::string name = "NetidBench." + std::to_string(GetCurrentProcessId());
    const std::string path = "Software\\Classes\\" + name;
    const int count = static_cast<int>(state.range(0));
    HKEY user = nullptr, machine = nullptr, merged = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &user, nullptr);
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &machine, nullptr);
    MakeChildren(user, count / 2);
    for (int i = count / 2; i < count; ++i) {
        HKEY handle = nullptr;
        std::string child = "child" + std::to_string(i);
        RegCreateKeyExA(machine, child.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr);
        RegCloseKey(handle);
    }
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, KEY_READ, &merged) != ERROR_SUCCESS) {
        state.SkipWithError("the class is not in HKEY_CLASSES_ROOT");
    } else {
        for (auto _ : state) {
            char child[MAX_PATH];
            DWORD i = 0;
            while (RegEnumKeyA(merged, i, child, sizeof child) == ERROR_SUCCESS) ++i;
            if (i != static_cast<DWORD>(count)) {
                state.SkipWithError("the view lists another number of sub-keys");
                break;
            }
        }
        RegCloseKey(merged);
    }
    RegCloseKey(user);
    RegCloseKey(machine);
    DeleteKeyTree(HKEY_CURRENT_USER, path.c_str());
    DeleteKeyTree(HKEY_LOCAL_MACHINE, path.c_str());
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_EnumerateClassesRoot)->Arg(100)->Arg(1000);

#ifndef _WIN32
bool EnablePrivilege(const char* name)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool ok = LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid) &&
              AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
              GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

// Enumerates HKEY_USERS holding range(0) loaded hives (and the default
// user's and this user's): the listing is kept between calls.
void BM_EnumerateUsers(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    if (!EnablePrivilege(SE_BACKUP_NAME) || !EnablePrivilege(SE_RESTORE_NAME)) {
        state.SkipWithError("the backup and restore privileges are not held");
        return;
    }
    BenchKey key("UsersHive");
    // A hive file is loaded once at a time: one file each.
    const std::string stem = "/tmp/netid-bench-users." + std::to_string(GetCurrentProcessId()) + ".";
    std::vector<std::string> loaded;
    LONG status = ERROR_SUCCESS;
    for (int i = 0; i < count && status == ERROR_SUCCESS; ++i) {
        const std::string file = stem + std::to_string(i);
        const std::string name = "NetidBench" + std::to_string(GetCurrentProcessId()) + "." + std::to_string(i);
        unlink(file.c_str());
        status = RegSaveKeyA(key.Get(), file.c_str(), nullptr);
        if (status == ERROR_SUCCESS) status = RegLoadKeyA(HKEY_USERS, name.c_str(), file.c_str());
        if (status == ERROR_SUCCESS) loaded.push_back(name);
    }
    if (status != ERROR_SUCCESS) state.SkipWithError(("loading a hive failed: " + std::to_string(status)).c_str());
    for (auto _ : state) {
        if (status != ERROR_SUCCESS) break;
        char name[MAX_PATH];
        DWORD i = 0;
        while (RegEnumKeyA(HKEY_USERS, i, name, sizeof name) == ERROR_SUCCESS) ++i;
        benchmark::DoNotOptimize(i);
    }
    for (const std::string& name : loaded) RegUnLoadKeyA(HKEY_USERS, name.c_str());
    for (int i = 0; i < count; ++i) unlink((stem + std::to_string(i)).c_str());
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_EnumerateUsers)->Arg(30)->Arg(300)->Unit(benchmark::kMicrosecond);

// The writer process of the latency benchmark: sets a value under PATH for
// every byte that arrives on its standard input.
int RunWriter(const char* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return 1;
    }
    char byte = 0;
    DWORD n = 0;
    while (read(0, &byte, 1) == 1) {
        ++n;
        RegSetValueExA(key, "tick", 0, REG_DWORD, reinterpret_cast<BYTE*>(&n), 4);
    }
    RegCloseKey(key);
    return 0;
}

std::string g_self;

// From a change in another process to the wake-up of a waiter here.
void BM_CrossProcessWakeLatency(benchmark::State& state)
{
    BenchKey key("WakeLatency");
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        state.SkipWithError("pipe failed");
        return;
    }
    pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[0], 0);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execl(g_self.c_str(), g_self.c_str(), "--writer", key.Path().c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[0]);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // One round before timing, so the writer has opened its store.
    for (auto _ : state) {
        ResetEvent(event);
        RegNotifyChangeKeyValue(key.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE);
        auto start = std::chrono::steady_clock::now();
        char byte = 1;
        if (write(pipeFds[1], &byte, 1) != 1 || WaitForSingleObject(event, 10000) != WAIT_OBJECT_0) {
            state.SkipWithError("no wake-up within 10 s");
            break;
        }
        auto elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
    }
    close(pipeFds[1]);
    int status = 0;
    waitpid(child, &status, 0);
    CloseHandle(event);
}
BENCHMARK(BM_CrossProcessWakeLatency)->UseManualTime()->Unit(benchmark::kMicrosecond);
#endif

}  // namespace

int main(int argc, char** argv)
{
#ifndef _WIN32
    if (argc == 3 && std::strcmp(argv[1], "--writer") == 0) {
        return RunWriter(argv[2]);
    }
    g_self = "/proc/self/exe";
    if (getenv("NETID_REGISTRY_DIR") == nullptr) {
        char pattern[] = "/tmp/netid-bench-XXXXXX";
        if (mkdtemp(pattern) != nullptr) setenv("NETID_REGISTRY_DIR", pattern, 1);
    }
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
