// SPDX-License-Identifier: LGPL-2.1-or-later
// A child process for the tests that need more than one process:
//   netid_test_helper write PATH PREFIX COUNT
//     writes COUNT REG_DWORD values PREFIX0.. under HKEY_CURRENT_USER\PATH,
//     one registry call each; exit status 0 when every write succeeded. With
//     NETID_TEST_FLUSH_AT=N and NETID_TEST_FLUSH_MARK=FILE in the environment
//     it flushes the key after value N-1 and then creates FILE.
// PATH is beneath HKEY_CURRENT_USER, or beneath HKEY_LOCAL_MACHINE when it
// begins with "HKLM\" (write, create, exists, names).
//   netid_test_helper names PATH
//     prints the names of the values of PATH, one a line.
//   netid_test_helper dump PATH
//     prints each value of PATH as the A calls give it, one a line: the name,
//     the type and the data in hex, apart by tabs; then each sub-key's name
//     after "key", one a line.
//   netid_test_helper create PATH volatile|plain
//     creates HKEY_CURRENT_USER\PATH; prints the status, exit status 0 on success.
//   netid_test_helper exists PATH
//     exit status 0 when HKEY_CURRENT_USER\PATH opens, 1 when it is missing,
//     2 on any other failure.
//   netid_test_helper wait PATH READYFILE TIMEOUT_MS
//     asks to be told of any change in HKEY_CURRENT_USER\PATH and its subtree,
//     then creates READYFILE and waits; exit status 0 when woken, 1 on timeout,
//     2 when the request failed.
//   netid_test_helper probe ROOT PATH
//     prints NAME=STATUS for a fixed list of calls on ROOT\PATH (ROOT is
//     HKCU, HKLM or HKU; the query reads the value "probe0"), one a line
//     (read and write attempts); exit status 0.
//   netid_test_helper open PATH SAM [backup]
//     opens PATH with the access mask SAM (a number), with
//     REG_OPTION_BACKUP_RESTORE and the backup and restore privileges when
//     "backup" follows; prints the status; exit status 0.
//   netid_test_helper deny-all PATH
//     gives PATH an empty DACL (it grants no one anything); prints the status.
//   netid_test_helper grant-only PATH SID...
//     gives PATH a DACL granting reading to those SIDs alone (every right to
//     Administrators, S-1-5-32-544), inherited beneath; prints the status.
//   netid_test_helper load ROOT NAME FILE | unload ROOT NAME | replace ROOT SUBKEY NEWFILE OLDFILE | save PATH FILE
//   netid_test_helper replace ROOT SUBKEY NEWFILE OLDFILE
//     the hive calls with the backup and restore privileges enabled (ROOT is
//     HKLM or HKU; PATH as for write); prints the status, exit status 0.
//   netid_test_helper durable PATH COUNT SIZE EVERY [TIMES]
//     creates PATH and sets COUNT REG_BINARY values d0.. of SIZE bytes each
//     (their contents follow from their number; before each, TIMES-1 values
//     of the same size set over one another in PATH\draft: what a store
//     must clear away), flushing
//     the key after every EVERY values and then printing "acked N" (N values
//     flushed) on a line of its own; exit status 0 when every call succeeded.
//   netid_test_helper verify PATH SIZE ACKED
//     checks what a "durable" run left: PATH opens (or is missing when
//     ACKED is 0), its values are d0..dK-1 with the contents that run gave
//     them and nothing else, and K >= ACKED. Prints "ok K" (exit status 0) or
//     what is wrong (1).
//   netid_test_helper churn PATH COUNT
//     COUNT times creates PATH (RegCreateKeyEx) and deletes it again, as
//     other processes may do at the same time; prints each status of a
//     create other than success, one a line; exit status 0.
//   netid_test_helper set-owner PATH SID
//     makes SID (its text, S-1-5-32-544 or S-1-22-1-<uid>) the owner of PATH;
//     prints the status, then the status of opening PATH for WRITE_DAC.
//   netid_test_helper create-closed PATH
//     lets everyone add sub-keys to PATH and nothing else (no entry inherited),
//     then creates PATH\made asking for KEY_ALL_ACCESS and sets a value
//     through the handle; prints both statuses.
//   netid_test_helper cmdline [ANY...]
//     prints the process's raw command line as the platform gives it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "registry/registry.h"

namespace {

// The root a PATH argument lies beneath, and the path below it.
HKEY RootOf(const char*& path)
{
    if (std::strncmp(path, "HKLM\\", 5) == 0) {
        path += 5;
        return HKEY_LOCAL_MACHINE;
    }
    return HKEY_CURRENT_USER;
}

int WriteValues(const char* path, const char* prefix, int count)
{
    CRegistry registry;
    HKEY root = RootOf(path);
    if (!registry.Connect(root, nullptr) || !registry.OpenKey(path, KEY_SET_VALUE)) {
        std::fprintf(stderr, "open %s: %ld\n", path, static_cast<long>(registry.GetStatus()));
        return 1;
    }
    const char* flushAt = std::getenv("NETID_TEST_FLUSH_AT");
    const char* flushMark = std::getenv("NETID_TEST_FLUSH_MARK");
    for (int i = 0; i < count; ++i) {
        std::string name = std::string(prefix) + std::to_string(i);
        if (!registry.SetDwordValue(name.c_str(), static_cast<DWORD>(i))) {
            std::fprintf(stderr, "set %s: %ld\n", name.c_str(),
                         static_cast<long>(registry.GetStatus()));
            return 1;
        }
        if (flushAt != nullptr && flushMark != nullptr && i + 1 == std::atoi(flushAt)) {
            if (!registry.Flush()) return 1;
            if (FILE* mark = std::fopen(flushMark, "w")) std::fclose(mark);
        }
    }
    return 0;
}

int CreateKey(const char* path, const char* kind)
{
    HKEY key = nullptr;
    DWORD options = std::strcmp(kind, "volatile") == 0 ? REG_OPTION_VOLATILE : 0;
    HKEY root = RootOf(path);
    LONG status = RegCreateKeyExA(root, path, 0, nullptr, options, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr);
    std::printf("%ld\n", static_cast<long>(status));
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return status == ERROR_SUCCESS ? 0 : 1;
}

int Exists(const char* path)
{
    HKEY key = nullptr;
    HKEY root = RootOf(path);
    LONG status = RegOpenKeyExA(root, path, 0, KEY_READ, &key);
    if (status == ERROR_SUCCESS) {
        RegCloseKey(key);
        return 0;
    }
    std::printf("%ld\n", static_cast<long>(status));
    return status == ERROR_FILE_NOT_FOUND ? 1 : 2;
}

int WaitForChange(const char* path, const char* readyFile, DWORD timeout)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_NOTIFY, &key) != ERROR_SUCCESS) {
        return 2;
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LONG status = RegNotifyChangeKeyValue(key, TRUE,
                                          REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                          event, TRUE);
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "notify: %ld\n", static_cast<long>(status));
        return 2;
    }
    if (FILE* ready = std::fopen(readyFile, "w")) {
        std::fclose(ready);
    }
    DWORD result = WaitForSingleObject(event, timeout);
    CloseHandle(event);
    RegCloseKey(key);
    return result == WAIT_OBJECT_0 ? 0 : 1;
}

// Prints the values of the key at `path` one a line: their names alone, or
// (`full`) name, type and data in hex, followed by the sub-keys' names.
int ListKey(const char* path, bool full)
{
    HKEY key = nullptr;
    HKEY root = RootOf(path);
    LONG status = RegOpenKeyExA(root, path, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "open %s: %ld\n", path, static_cast<long>(status));
        return 2;
    }
    for (DWORD i = 0;; ++i) {
        char name[1024];
        DWORD size = sizeof name;
        BYTE data[4096];
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        status = RegEnumValueA(key, i, name, &size, nullptr, &type, full ? data : nullptr,
                               full ? &dataSize : nullptr);
        if (status != ERROR_SUCCESS) break;
        if (!full) {
            std::printf("%s\n", name);
            continue;
        }
        std::printf("%s\t%lu\t", name, static_cast<unsigned long>(type));
        for (DWORD b = 0; b < dataSize; ++b) std::printf("%02X", data[b]);
        std::printf("\n");
    }
    if (status != ERROR_NO_MORE_ITEMS) {
        RegCloseKey(key);
        return 2;
    }
    for (DWORD i = 0; full; ++i) {
        char name[1024];
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        std::printf("key\t%s\n", name);
    }
    RegCloseKey(key);
    return 0;
}

// The contents the "durable" run gives its value number `index`.
std::string DurableData(int index, std::size_t size)
{
    std::string data(size, '\0');
    for (std::size_t b = 0; b < size; ++b) data[b] = static_cast<char>((index * 131 + b * 7) & 0xFF);
    return data;
}

int WriteDurable(const char* path, int count, std::size_t size, int every, int times)
{
    HKEY root = RootOf(path);
    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "create %s: %ld\n", path, static_cast<long>(status));
        return 1;
    }
    HKEY draft = nullptr;
    if (status == ERROR_SUCCESS && times > 1) {
        status = RegCreateKeyExA(key, "draft", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &draft, nullptr);
    }
    for (int i = 0; i < count && status == ERROR_SUCCESS; ++i) {
        for (int t = 1; t < times && status == ERROR_SUCCESS; ++t) {
            std::string data = DurableData(i + 1000 * t, size);
            status = RegSetValueExA(draft, "d", 0, REG_BINARY, reinterpret_cast<const BYTE*>(data.data()),
                                    static_cast<DWORD>(data.size()));
        }
        if (status != ERROR_SUCCESS) break;
        std::string data = DurableData(i, size);
        std::string name = "d" + std::to_string(i);
        status = RegSetValueExA(key, name.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE*>(data.data()),
                                static_cast<DWORD>(data.size()));
        if (status == ERROR_SUCCESS && every > 0 && (i + 1) % every == 0) {
            status = RegFlushKey(key);
            if (status == ERROR_SUCCESS) {
                std::printf("acked %d\n", i + 1);
                std::fflush(stdout);
            }
        }
    }
    if (draft != nullptr) RegCloseKey(draft);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) std::fprintf(stderr, "write: %ld\n", static_cast<long>(status));
    return status == ERROR_SUCCESS ? 0 : 1;
}

int VerifyDurable(const char* path, std::size_t size, int acked)
{
    HKEY root = RootOf(path);
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(root, path, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        if (status == ERROR_FILE_NOT_FOUND && acked == 0) {
            std::printf("ok 0\n");
            return 0;
        }
        std::printf("open %s: %ld (%d values were acknowledged)\n", path, static_cast<long>(status), acked);
        return 1;
    }
    DWORD values = 0;
    status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                              nullptr, nullptr, nullptr);
    int found = 0;
    std::string data(size + 1, '\0');
    for (; status == ERROR_SUCCESS; ++found) {
        std::string name = "d" + std::to_string(found);
        DWORD type = 0;
        DWORD got = static_cast<DWORD>(data.size());
        LONG s = RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &got);
        if (s == ERROR_FILE_NOT_FOUND) break;
        if (s != ERROR_SUCCESS || type != REG_BINARY || got != size ||
            data.compare(0, size, DurableData(found, size)) != 0) {
            std::printf("%s: status %ld, type %lu, %lu bytes, not as written\n", name.c_str(),
                        static_cast<long>(s), static_cast<unsigned long>(type), static_cast<unsigned long>(got));
            RegCloseKey(key);
            return 1;
        }
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        std::printf("query %s: %ld\n", path, static_cast<long>(status));
        return 1;
    }
    if (static_cast<int>(values) != found) {
        std::printf("%lu values, but only d0..d%d follow one another\n", static_cast<unsigned long>(values), found - 1);
        return 1;
    }
    if (found < acked) {
        std::printf("%d values, but %d were acknowledged as flushed\n", found, acked);
        return 1;
    }
    std::printf("ok %d\n", found);
    return 0;
}

int Churn(const char* path, int count)
{
    HKEY root = RootOf(path);
    for (int i = 0; i < count; ++i) {
        HKEY key = nullptr;
        LONG status = RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (status == ERROR_SUCCESS) {
            RegCloseKey(key);
        } else {
            std::printf("%ld\n", static_cast<long>(status));
        }
        RegDeleteKeyA(root, path);
    }
    return 0;
}

void EnableHivePrivileges()
{
    for (const char* privilege : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
        HANDLE token = nullptr;
        TOKEN_PRIVILEGES tp{};
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token) &&
            LookupPrivilegeValueA(nullptr, privilege, &tp.Privileges[0].Luid)) {
            tp.PrivilegeCount = 1;
            tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
        }
        if (token != nullptr) CloseHandle(token);
    }
}

int HiveCall(int argc, char** argv)
{
    EnableHivePrivileges();
    HKEY root = std::strcmp(argv[2], "HKU") == 0 ? HKEY_USERS : HKEY_LOCAL_MACHINE;
    LONG status = ERROR_INVALID_PARAMETER;
    if (std::strcmp(argv[1], "load") == 0 && argc == 5) {
        status = RegLoadKeyA(root, argv[3], argv[4]);
    } else if (std::strcmp(argv[1], "unload") == 0 && argc == 4) {
        status = RegUnLoadKeyA(root, argv[3]);
    } else if (std::strcmp(argv[1], "replace") == 0 && argc == 6) {
        status = RegReplaceKeyA(root, argv[3], argv[4], argv[5]);
    } else if (std::strcmp(argv[1], "save") == 0 && argc == 4) {
        const char* path = argv[2];
        HKEY base = RootOf(path);
        HKEY key = nullptr;
        status = RegOpenKeyExA(base, path, 0, KEY_READ, &key);
        if (status == ERROR_SUCCESS) {
            status = RegSaveKeyA(key, argv[3], nullptr);
            RegCloseKey(key);
        }
    }
    std::printf("%ld\n", static_cast<long>(status));
    return 0;
}

int OpenWith(const char* path, DWORD sam, bool backup)
{
    HKEY root = RootOf(path);
    if (backup) EnableHivePrivileges();
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(root, path, backup ? REG_OPTION_BACKUP_RESTORE : 0, sam, &key);
    std::printf("%ld\n", static_cast<long>(status));
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return 0;
}

int DenyAll(const char* path)
{
    HKEY root = RootOf(path);
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(root, path, 0, WRITE_DAC, &key);
    if (status == ERROR_SUCCESS) {
        // Revision, control (self-relative, DACL present), no owner, group or
        // SACL; a DACL of no entries right after the header.
        BYTE descriptor[28] = {1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0,
                               2, 0, 8, 0, 0, 0, 0, 0};
        status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    std::printf("%ld\n", static_cast<long>(status));
    return status == ERROR_SUCCESS ? 0 : 1;
}

// Appends the binary form of the SID text S-1-<authority>-<sub>-<sub>...;
// false when it is not one.
bool AppendSid(const char* sidText, std::vector<BYTE>& out)
{
    std::vector<unsigned long> parts;
    for (const char* p = sidText + 2; *p != '\0';) {
        char* end = nullptr;
        parts.push_back(std::strtoul(p, &end, 10));
        p = *end == '-' ? end + 1 : end;
        if (*end != '-' && *end != '\0') return false;
    }
    if (parts.size() < 3) return false;
    out.push_back(static_cast<BYTE>(parts[0]));
    out.push_back(static_cast<BYTE>(parts.size() - 2));
    for (int i = 0; i < 5; ++i) out.push_back(0);
    out.push_back(static_cast<BYTE>(parts[1]));
    for (std::size_t i = 2; i < parts.size(); ++i) {
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<BYTE>(parts[i] >> (8 * b)));
    }
    return true;
}

// Gives the key a DACL that grants KEY_READ (and, to Administrators, every
// right), inherited by keys made beneath it, to the SIDs given, and no one else.
int GrantOnly(const char* path, char** sids, int count)
{
    std::vector<BYTE> descriptor(28, 0);
    descriptor[0] = 1;     // revision
    descriptor[2] = 0x04;  // DACL present
    descriptor[3] = 0x80;  // self-relative
    descriptor[16] = 20;   // the DACL right after the header
    descriptor[20] = 2;    // its revision
    for (int i = 0; i < count; ++i) {
        std::vector<BYTE> sid;
        if (!AppendSid(sids[i], sid)) return 2;
        const DWORD mask = std::strcmp(sids[i], "S-1-5-32-544") == 0 ? KEY_ALL_ACCESS : KEY_READ;
        const std::size_t size = 8 + sid.size();
        descriptor.insert(descriptor.end(), {0 /* allowed */, 0x2 /* container inherit */,
                                             static_cast<BYTE>(size), static_cast<BYTE>(size >> 8)});
        for (int b = 0; b < 4; ++b) descriptor.push_back(static_cast<BYTE>(mask >> (8 * b)));
        descriptor.insert(descriptor.end(), sid.begin(), sid.end());
    }
    const std::size_t aclSize = descriptor.size() - 20;
    descriptor[22] = static_cast<BYTE>(aclSize);
    descriptor[23] = static_cast<BYTE>(aclSize >> 8);
    descriptor[24] = static_cast<BYTE>(count);
    HKEY key = nullptr;
    HKEY root = RootOf(path);
    LONG status = RegOpenKeyExA(root, path, 0, WRITE_DAC, &key);
    if (status == ERROR_SUCCESS) {
        status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data());
        RegCloseKey(key);
    }
    std::printf("%ld\n", static_cast<long>(status));
    return status == ERROR_SUCCESS ? 0 : 1;
}

// A self-relative descriptor naming only an owner, from the owner's text.
int SetOwner(const char* path, const char* sidText)
{
    std::vector<BYTE> descriptor(20, 0);
    descriptor[0] = 1;                   // revision
    descriptor[2] = 0x00;
    descriptor[3] = 0x80;                // self-relative
    descriptor[4] = 20;                  // the owner right after the header
    if (!AppendSid(sidText, descriptor)) return 2;
    HKEY root = RootOf(path);
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(root, path, 0, WRITE_OWNER, &key);
    if (status == ERROR_SUCCESS) {
        status = RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION, descriptor.data());
        RegCloseKey(key);
    }
    std::printf("%ld\n", static_cast<long>(status));
    status = RegOpenKeyExA(root, path, 0, WRITE_DAC, &key);
    std::printf("%ld\n", static_cast<long>(status));
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return 0;
}

int CreateInClosedKey(const char* path)
{
    HKEY root = RootOf(path);
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(root, path, 0, WRITE_DAC, &key);
    if (status == ERROR_SUCCESS) {
        // A DACL of one entry, not inherited: Everyone (S-1-1-0) may add
        // sub-keys (KEY_CREATE_SUB_KEY, 0x4).
        BYTE descriptor[48] = {1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0,
                               2, 0, 28, 0, 1, 0, 0, 0,                      // ACL: revision, size, one entry
                               0, 0, 20, 0, 4, 0, 0, 0,                      // allowed, no flags, mask
                               1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};          // S-1-1-0
        status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    HKEY made = nullptr;
    if (status == ERROR_SUCCESS) {
        std::string child = std::string(path) + "\\made";
        status = RegCreateKeyExA(root, child.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr);
    }
    std::printf("%ld\n", static_cast<long>(status));
    DWORD value = 1;
    std::printf("%ld\n", static_cast<long>(made != nullptr ? RegSetValueExA(made, "v", 0, REG_DWORD,
                                                                            reinterpret_cast<BYTE*>(&value), 4)
                                                           : status));
    if (made != nullptr) RegCloseKey(made);
    return 0;
}

void Report(const char* name, LONG status)
{
    std::printf("%s=%ld\n", name, static_cast<long>(status));
}

int Probe(HKEY root, const char* path)
{
    HKEY read = nullptr;
    LONG status = RegOpenKeyExA(root, path, 0, KEY_READ, &read);
    Report("open_read", status);
    DWORD size = 0;
    Report("query", status == ERROR_SUCCESS
                        ? RegQueryValueExA(read, "probe0", nullptr, nullptr, nullptr, &size)
                        : status);
    HKEY write = nullptr;
    status = RegOpenKeyExA(root, path, 0, KEY_WRITE, &write);
    Report("open_write", status);
    if (status == ERROR_SUCCESS) RegCloseKey(write);
    status = RegOpenKeyExA(root, path, 0, MAXIMUM_ALLOWED, &write);
    Report("open_maximum", status);
    if (status == ERROR_SUCCESS) {
        DWORD value = 1;
        Report("set_maximum",
               RegSetValueExA(write, "x", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4));
        RegCloseKey(write);
    }
    HKEY created = nullptr;
    std::string child = std::string(path) + "\\probe-child";
    status = RegCreateKeyExA(root, child.c_str(), 0, nullptr, 0, KEY_READ, nullptr,
                             &created, nullptr);
    Report("create", status);
    if (status == ERROR_SUCCESS) RegCloseKey(created);
    DWORD value = 7;
    Report("set_predefined", RegSetValueExA(HKEY_LOCAL_MACHINE, "probe", 0, REG_DWORD,
                                            reinterpret_cast<BYTE*>(&value), 4));
    Report("delete_key", RegDeleteKeyA(root, path));
    if (read != nullptr) RegCloseKey(read);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "write") == 0) {
        return WriteValues(argv[2], argv[3], std::atoi(argv[4]));
    }
    if (argc == 4 && std::strcmp(argv[1], "create") == 0) {
        return CreateKey(argv[2], argv[3]);
    }
    if (argc == 3 && std::strcmp(argv[1], "exists") == 0) {
        return Exists(argv[2]);
    }
    if (argc == 3 && std::strcmp(argv[1], "names") == 0) {
        return ListKey(argv[2], false);
    }
    if (argc == 3 && std::strcmp(argv[1], "dump") == 0) {
        return ListKey(argv[2], true);
    }
    if (argc == 5 && std::strcmp(argv[1], "wait") == 0) {
        return WaitForChange(argv[2], argv[3], static_cast<DWORD>(std::atol(argv[4])));
    }
    if (argc == 4 && std::strcmp(argv[1], "probe") == 0) {
        HKEY root = std::strcmp(argv[2], "HKLM") == 0  ? HKEY_LOCAL_MACHINE
                    : std::strcmp(argv[2], "HKU") == 0 ? HKEY_USERS
                                                       : HKEY_CURRENT_USER;
        return Probe(root, argv[3]);
    }
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "open") == 0) {
        return OpenWith(argv[2], static_cast<DWORD>(std::strtoul(argv[3], nullptr, 0)),
                        argc == 5 && std::strcmp(argv[4], "backup") == 0);
    }
    if (argc == 3 && std::strcmp(argv[1], "deny-all") == 0) {
        return DenyAll(argv[2]);
    }
    if (argc >= 4 && std::strcmp(argv[1], "grant-only") == 0) {
        return GrantOnly(argv[2], argv + 3, argc - 3);
    }
    if (argc >= 4 && (std::strcmp(argv[1], "load") == 0 || std::strcmp(argv[1], "unload") == 0 ||
                      std::strcmp(argv[1], "save") == 0 || std::strcmp(argv[1], "replace") == 0)) {
        return HiveCall(argc, argv);
    }
    if ((argc == 6 || argc == 7) && std::strcmp(argv[1], "durable") == 0) {
        return WriteDurable(argv[2], std::atoi(argv[3]), static_cast<std::size_t>(std::atol(argv[4])),
                            std::atoi(argv[5]), argc == 7 ? std::max(1, std::atoi(argv[6])) : 1);
    }
    if (argc == 5 && std::strcmp(argv[1], "verify") == 0) {
        return VerifyDurable(argv[2], static_cast<std::size_t>(std::atol(argv[3])), std::atoi(argv[4]));
    }
    if (argc == 4 && std::strcmp(argv[1], "churn") == 0) {
        return Churn(argv[2], std::atoi(argv[3]));
    }
    if (argc == 4 && std::strcmp(argv[1], "set-owner") == 0) {
        return SetOwner(argv[2], argv[3]);
    }
    if (argc == 3 && std::strcmp(argv[1], "create-closed") == 0) {
        return CreateInClosedKey(argv[2]);
    }
    if (argc >= 2 && std::strcmp(argv[1], "cmdline") == 0) {
        std::printf("%s", GetCommandLineA());
        return 0;
    }
    std::fprintf(stderr,
                 "usage: netid_test_helper write PATH PREFIX COUNT | create PATH volatile|plain"
                 " | exists PATH | names PATH | dump PATH | open PATH SAM [backup] | deny-all PATH | grant-only PATH SID... | load ROOT NAME FILE | unload ROOT NAME | replace ROOT SUBKEY NEWFILE OLDFILE | set-owner PATH SID | create-closed PATH | save PATH FILE | durable PATH COUNT SIZE EVERY | verify PATH SIZE ACKED | churn PATH COUNT | wait PATH READYFILE TIMEOUT_MS | probe ROOT PATH | cmdline ...\n");
    return 2;
}
