// SPDX-License-Identifier: LGPL-2.1-or-later
// Whole key trees behind handles, for the hive calls and the boot work of the
// hives: copying a key with everything beneath it, putting a tree in its
// place, and the handles open beneath a key. Each runs as one registry call
// of its own. Hive files themselves are hive_file's business.
#ifndef NETID_PLATFORM_POSIX_REG_TREES_H
#define NETID_PLATFORM_POSIX_REG_TREES_H

#include "platform/posix/base/reg_tree.h"
#include "platform/posix/windows.h"

namespace netid::posix {

// Copies the key behind `key` and everything beneath it.
LONG ExportKeyTree(HKEY key, RegTree& out);
// Replaces the values and sub-keys of the key behind `key` with those of
// `tree` (the key's own name is kept; its descriptor is replaced when the
// tree carries one) in one commit: on failure nothing has changed.
// `volatileKeys` makes every restored sub-key volatile.
LONG ReplaceKeyContents(HKEY key, const RegTree& tree, bool volatileKeys);
// True when some handle of this process is open on `key` or a key beneath it,
// other than `except`.
bool HandlesOpenBeneath(HKEY key, HKEY except);

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
