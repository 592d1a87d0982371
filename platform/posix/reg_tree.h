// A key with everything beneath it, held in memory: what hive files carry,
// what the store exports and takes back whole. Only the data; reading and
// writing it live in hive_file and the storage engine.
#ifndef NETID_PLATFORM_POSIX_REG_TREE_H
#define NETID_PLATFORM_POSIX_REG_TREE_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/windows.h"

namespace netid::posix {

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

}  // namespace netid::posix

#endif
