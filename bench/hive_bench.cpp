// SPDX-License-Identifier: LGPL-2.1-or-later
// Saving and restoring a tree of 10,000 keys as a hive file, and one key
// with 1,000 or 10,000 sub-keys: through the calls, and (on Linux) the hive
// file module alone.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/win32.h"
#ifndef _WIN32
// The hive file module is the Linux platform layer's own.
#include "platform/posix/regf/hive_file.h"
#endif

namespace {

constexpr int kBranches = 100;
constexpr int kLeaves = 99;  // with the branches themselves: 10,000 keys

bool EnablePrivilege(const char* name)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES record{};
    record.PrivilegeCount = 1;
    LookupPrivilegeValueA(nullptr, name, &record.Privileges[0].Luid);
    record.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &record, 0, nullptr, nullptr);
    bool ok = GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

// A store of its own, the tree to save, and a key to restore into.
struct Setup {
    std::string dir;
    HKEY source = nullptr;
    HKEY target = nullptr;
    bool ok = false;

    Setup()
    {
        char pattern[] = "/tmp/netid-hive-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        dir = pattern;
        if (getenv("NETID_REGISTRY_DIR") == nullptr) {
            setenv("NETID_REGISTRY_DIR", (dir + "/store").c_str(), 1);
        }
        if (!EnablePrivilege(SE_BACKUP_NAME) || !EnablePrivilege(SE_RESTORE_NAME)) return;
        std::string base = "Software\\NetidHiveBench." + std::to_string(getpid());
        if (RegCreateKeyExA(HKEY_CURRENT_USER, (base + "\\Source").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &source, nullptr) != ERROR_SUCCESS ||
            RegCreateKeyExA(HKEY_CURRENT_USER, (base + "\\Target").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &target, nullptr) != ERROR_SUCCESS) {
            return;
        }
        for (int b = 0; b < kBranches; ++b) {
            HKEY branch = nullptr;
            std::string name = "Branch" + std::to_string(b);
            if (RegCreateKeyExA(source, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &branch,
                                nullptr) != ERROR_SUCCESS) {
                return;
            }
            for (int l = 0; l < kLeaves; ++l) {
                HKEY leaf = nullptr;
                std::string leafName = "Leaf" + std::to_string(l);
                if (RegCreateKeyExA(branch, leafName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &leaf,
                                    nullptr) != ERROR_SUCCESS) {
                    return;
                }
                DWORD value = static_cast<DWORD>(b * 1000 + l);
                RegSetValueExA(leaf, "dword", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
                RegSetValueExA(leaf, "text", 0, REG_SZ, reinterpret_cast<const BYTE*>(leafName.c_str()),
                               static_cast<DWORD>(leafName.size() + 1));
                RegCloseKey(leaf);
            }
            RegCloseKey(branch);
        }
        ok = true;
    }
};

Setup& TheSetup()
{
    static Setup setup;
    return setup;
}

void BM_SaveKey10000Keys(benchmark::State& state)
{
    Setup& s = TheSetup();
    if (!s.ok) {
        state.SkipWithError("could not build the tree");
        return;
    }
    std::string file = s.dir + "/save.hiv";
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(file.c_str());
        state.ResumeTiming();
        if (RegSaveKeyA(s.source, file.c_str(), nullptr) != ERROR_SUCCESS) {
            state.SkipWithError("save failed");
            break;
        }
    }
    state.counters["keys"] = kBranches * (kLeaves + 1);
}
BENCHMARK(BM_SaveKey10000Keys)->Unit(benchmark::kMillisecond);

void BM_RestoreKey10000Keys(benchmark::State& state)
{
    Setup& s = TheSetup();
    if (!s.ok) {
        state.SkipWithError("could not build the tree");
        return;
    }
    std::string file = s.dir + "/restore.hiv";
    std::remove(file.c_str());
    if (RegSaveKeyA(s.source, file.c_str(), nullptr) != ERROR_SUCCESS) {
        state.SkipWithError("save failed");
        return;
    }
    for (auto _ : state) {
        if (RegRestoreKeyA(s.target, file.c_str(), REG_FORCE_RESTORE) != ERROR_SUCCESS) {
            state.SkipWithError("restore failed");
            break;
        }
    }
    state.counters["keys"] = kBranches * (kLeaves + 1);
}
BENCHMARK(BM_RestoreKey10000Keys)->Unit(benchmark::kMillisecond);

// One key with range(0) sub-keys, each holding one value: saved, then
// restored, through the calls. Counters: the file's size.
void BM_SaveRestoreFlatKey(benchmark::State& state)
{
    Setup& s = TheSetup();
    if (!s.ok) {
        state.SkipWithError("could not build the tree");
        return;
    }
    const int count = static_cast<int>(state.range(0));
    const std::string name = "Flat" + std::to_string(count);
    HKEY flat = nullptr;
    if (RegCreateKeyExA(s.source, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &flat, nullptr) !=
        ERROR_SUCCESS) {
        state.SkipWithError("could not create the key");
        return;
    }
    for (int i = 0; i < count; ++i) {
        HKEY sub = nullptr;
        if (RegCreateKeyExA(flat, ("Sub" + std::to_string(i)).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub,
                            nullptr) != ERROR_SUCCESS) {
            state.SkipWithError("could not create a sub-key");
            RegCloseKey(flat);
            return;
        }
        DWORD value = static_cast<DWORD>(i);
        RegSetValueExA(sub, "n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(sub);
    }
    const std::string file = s.dir + "/" + name + ".hiv";
    for (auto _ : state) {
        std::remove(file.c_str());
        if (RegSaveKeyA(flat, file.c_str(), nullptr) != ERROR_SUCCESS ||
            RegRestoreKeyA(s.target, file.c_str(), REG_FORCE_RESTORE) != ERROR_SUCCESS) {
            state.SkipWithError("save or restore failed");
            break;
        }
    }
    RegCloseKey(flat);
    if (FILE* f = std::fopen(file.c_str(), "rb")) {
        std::fseek(f, 0, SEEK_END);
        state.counters["file_bytes"] = static_cast<double>(std::ftell(f));
        std::fclose(f);
    }
}
BENCHMARK(BM_SaveRestoreFlatKey)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

#ifndef _WIN32
netid::posix::RegTree FlatTree(int count)
{
    netid::posix::RegTree tree;
    tree.name = u"Flat";
    for (int i = 0; i < count; ++i) {
        netid::posix::RegTree sub;
        for (char c : "Sub" + std::to_string(i)) sub.name += static_cast<char16_t>(c);
        sub.values = {{u"n", REG_DWORD, {static_cast<BYTE>(i), 0, 0, 0}}};
        tree.subkeys.push_back(sub);
    }
    return tree;
}

// The same key laid out as a hive file in memory, and read back, by the hive
// file module alone.
void BM_HiveImageFlatKey(benchmark::State& state)
{
    const netid::posix::RegTree tree = FlatTree(static_cast<int>(state.range(0)));
    std::vector<BYTE> image;
    for (auto _ : state) {
        if (netid::posix::hive::HiveImage(tree, image) != ERROR_SUCCESS) {
            state.SkipWithError("image failed");
            break;
        }
    }
    state.counters["file_bytes"] = static_cast<double>(image.size());
}
BENCHMARK(BM_HiveImageFlatKey)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_ReadHiveImageFlatKey(benchmark::State& state)
{
    std::vector<BYTE> image;
    if (netid::posix::hive::HiveImage(FlatTree(static_cast<int>(state.range(0))), image) != ERROR_SUCCESS) {
        state.SkipWithError("image failed");
        return;
    }
    for (auto _ : state) {
        netid::posix::RegTree tree;
        if (netid::posix::hive::ReadHiveImage(image.data(), image.size(), tree) != ERROR_SUCCESS) {
            state.SkipWithError("read failed");
            break;
        }
    }
}
BENCHMARK(BM_ReadHiveImageFlatKey)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
