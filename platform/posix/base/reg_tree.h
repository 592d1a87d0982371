// SPDX-License-Identifier: LGPL-2.1-or-later
// A key with everything beneath it, held in memory: what hive files carry,
// what the store exports and takes back whole. Names and texts are kept as
// the registry keeps them: names and classes as UTF-16 units (any units),
// value data as the bytes stored (string types as UTF-16LE). Only the data;
// reading and writing it live in hive_file and the storage engine.
#ifndef NETID_PLATFORM_POSIX_REG_TREE_H
#define NETID_PLATFORM_POSIX_REG_TREE_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/windows.h"

namespace netid::posix {

struct RegValue {
    std::u16string name;  // u"" is the default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct RegTree {
    std::u16string name;
    std::u16string keyClass;
    std::vector<BYTE> security;  // self-relative descriptor; empty: none of its own
    std::uint64_t lastWrite = 0;  // FILETIME as one 64-bit count of 100 ns since 1601
    bool isVolatile = false;      // the store's alone: hive files never carry it
    std::vector<RegValue> values;  // in creation order
    std::vector<RegTree> subkeys;  // in the registry's order (by upper-cased name)
};

}  // namespace netid::posix

#endif
