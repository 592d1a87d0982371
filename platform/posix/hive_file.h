// Hive files: a key tree written to and read from a file in the Windows
// registry's "regf" format, through libhivex.
//
// What a file keeps: every key's name and last write time, every value's
// name, type and data byte for byte (any type number, empty data, the default
// value, data up to kMaxValueData bytes; longer data is refused; texts are
// UTF-16LE in the file, as Windows keeps them, and the store's 8-bit texts
// again when read back), and one security descriptor, that of the top key,
// which the sub-keys written here share. What it does not keep: key classes
// and the security of sub-keys apart from the top key's (both are read from
// files that carry them, but not written), volatility.
//
// Implemented in hive_file.cpp; the file's fields are named in regf_format.h.
// Where hive files come from and go to is the hive calls' business.
#ifndef NETID_PLATFORM_POSIX_HIVE_FILE_H
#define NETID_PLATFORM_POSIX_HIVE_FILE_H

#include <cstddef>
#include <string>
#include <vector>

#include "platform/posix/reg_tree.h"
#include "platform/posix/windows.h"

namespace netid::posix::hive {

// Longest value data a file takes: what libhivex reads back.
constexpr std::size_t kMaxValueData = 8000000;
// The status for longer data (ERROR_FILE_TOO_LARGE).
constexpr LONG kValueTooLarge = 223;

// The bytes of a hive holding only its top key, named `rootName`, whose
// security cell carries `security` (a default descriptor when empty).
std::vector<BYTE> EmptyHiveImage(const std::string& rootName, const std::vector<BYTE>& security);

// Writes `tree` as a new hive file at `path` (created or truncated; the
// caller chooses a fresh name). The top key is named after tree.name.
// ERROR_SUCCESS, or a status naming what failed (the file may then be left
// half written: the caller removes it).
LONG WriteHiveFile(const std::string& path, const RegTree& tree);

// The bytes of the hive file that holds `tree`.
LONG HiveImage(const RegTree& tree, std::vector<BYTE>& out);

// Reads the hive file at `path` into `out`. A file that is not a hive, is cut
// short or does not hold together gives ERROR_BADDB (base block or bins
// wrong) or ERROR_REGISTRY_CORRUPT (cells wrong); `out` is then unspecified.
LONG ReadHiveFile(const std::string& path, RegTree& out);

// The XOR-32 checksum of the first 508 bytes of a base block, with the
// format's two reserved results moved aside.
DWORD BaseBlockChecksum(const BYTE* block);

}  // namespace netid::posix::hive

#endif
