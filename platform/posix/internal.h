// What the parts of the POSIX platform layer offer one another. Nothing here
// is part of the Win32 surface; programs never include this header.
#ifndef NETID_PLATFORM_POSIX_INTERNAL_H
#define NETID_PLATFORM_POSIX_INTERNAL_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/windows.h"

namespace netid::posix {

// ------------------------------------------------------------ a key tree in memory
// A key with everything beneath it, as hive files carry it.
struct RegValue {
    std::string name;  // "" is the default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct RegTree {
    std::string name;
    std::string keyClass;
    std::vector<BYTE> security;  // self-relative descriptor; empty: inherit the default
    std::uint64_t lastWrite = 0;  // FILETIME as one 64-bit count of 100 ns since 1601
    std::vector<RegValue> values;  // in creation order
    std::vector<RegTree> subkeys;
};

// ------------------------------------------------------------ the store (store.cpp)
// The full path of the key behind `key`, beginning with "HKEY_LOCAL_MACHINE"
// or "HKEY_USERS" (the other roots live beneath these two).
LONG KeyFullPath(HKEY key, std::string& path);
// Copies the key behind `key` and everything beneath it.
LONG ExportKeyTree(HKEY key, RegTree& out);
// Replaces the values and sub-keys of the key behind `key` with those of
// `tree` (the key's own name is kept) in one transaction: on failure nothing
// has changed. `volatileKeys` makes every restored sub-key volatile.
LONG ReplaceKeyContents(HKEY key, const RegTree& tree, bool volatileKeys);
// True when some handle of this process is open on `key` or a key beneath it,
// other than `except`.
bool HandlesOpenBeneath(HKEY key, HKEY except);
// The boot id of the running machine (from /proc/sys/kernel/random/boot_id).
std::string CurrentBootId();
// The directory that holds the store.
std::string StoreDirectory();

// ------------------------------------------------------------ hives (hive.cpp)
// Called by the store once, when it is first opened on a new boot (after the
// volatile keys of the old boot are gone), outside the store's lock and
// before the call that opened it goes on: carries out recorded replacements.
void OnNewBoot();

// ------------------------------------------------------------ time
// Now as a FILETIME count.
std::uint64_t NowAsFileTime();

// ------------------------------------------------------------ security (security.cpp)
// The descriptor a new key gets: its parent's inheritable entries, or a
// sensible default for a root. Self-relative.
std::vector<BYTE> DefaultKeySecurity(const std::vector<BYTE>* parent);
// ERROR_SUCCESS when `descriptor` is a well-formed descriptor (absolute or
// self-relative) whose parts lie within `length` bytes (length 0: unknown).
LONG ValidateSecurityDescriptor(const void* descriptor, DWORD length);
// Writes into `stored` the parts of `incoming` that `info` names.
LONG MergeSecurity(std::vector<BYTE>& stored, SECURITY_INFORMATION info, const void* incoming);
// The parts of `stored` that `info` asks for, as a self-relative descriptor,
// with Win32's buffer rules (ERROR_INSUFFICIENT_BUFFER and the size needed).
LONG ExtractSecurity(const std::vector<BYTE>& stored, SECURITY_INFORMATION info,
                     PSECURITY_DESCRIPTOR out, LPDWORD size);

// ------------------------------------------------------------ tokens and events (kernel.cpp)
// True when the process token holds the named privilege and it is enabled.
bool PrivilegeEnabled(const char* privilegeName);
// Signals an event object; false when `event` is not one.
bool SignalEventObject(HANDLE event);
// True when `event` is an event object of this process.
bool IsEventObject(HANDLE event);

// ------------------------------------------------------------ the last error (process.cpp)
void SetLastErrorCode(DWORD code);

}  // namespace netid::posix

#endif
