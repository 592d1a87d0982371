// Whole key trees behind handles, for the hive calls and the boot work of the
// hives: a key's full path, copying a key with everything beneath it, putting
// a tree in its place, deleting a key with everything beneath it, and the
// handles open beneath a key. Each runs as one registry call of its own.
// Hive files themselves are hive_file's business.
#ifndef NETID_PLATFORM_POSIX_REG_TREES_H
#define NETID_PLATFORM_POSIX_REG_TREES_H

#include <string>

#include "platform/posix/reg_tree.h"
#include "platform/posix/windows.h"

namespace netid::posix {

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
// Removes `name` beneath `parent` with everything beneath it.
LONG DeleteTree(HKEY parent, const std::string& name);

// A key handle closed when it goes out of scope.
struct KeyHandle {
    HKEY key = nullptr;
    KeyHandle() = default;
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    ~KeyHandle()
    {
        if (key != nullptr) RegCloseKey(key);
    }
};

}  // namespace netid::posix

#endif
