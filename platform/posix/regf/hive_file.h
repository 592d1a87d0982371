// SPDX-License-Identifier: LGPL-2.1-or-later
// Hive files: a key tree written to and read from a file in the Windows
// registry's "regf" format (version 1.5), laid out and parsed here, cell by
// cell.
//
// What a file keeps: every key's name, class, last write time and own
// security descriptor (equal descriptors share one sk cell), every value's
// name, type and data byte for byte (any type number, empty data, the
// default value, long data in db records); names and classes as UTF-16
// units, names one byte a unit where every unit is below 256, as Windows
// writes them. What it does not keep: volatile sub-keys (as on Windows, they
// are not written) and volatility.
//
// Written by hive_write.cpp and read by hive_read.cpp; the file's fields are named in regf_format.h.
// Where hive files come from and go to is the hive calls' business.
#ifndef NETID_PLATFORM_POSIX_HIVE_FILE_H
#define NETID_PLATFORM_POSIX_HIVE_FILE_H

#include <cstddef>
#include <string>
#include <vector>

#include "platform/posix/base/reg_tree.h"
#include "platform/posix/regf/regf_format.h"
#include "platform/posix/windows.h"

namespace netid::posix::hive {

// Longest value data a file takes: what one db record lists (65,535
// segments of 16,344 bytes).
constexpr std::size_t kMaxValueData = std::size_t{0xFFFF} * regf::kSegmentSize;
// The status for longer data, or a tree too big for one hive file
// (ERROR_FILE_TOO_LARGE).
constexpr LONG kValueTooLarge = 223;

// The bytes of the hive file that holds `tree`; the same tree gives the same
// bytes. The top key is named after tree.name ("ROOT" when that is empty);
// a key without a descriptor of its own gets the one a new key beneath its
// parent would get (the top key: the registry's default).
// ERROR_SUCCESS; ERROR_INVALID_PARAMETER for a tree no hive holds (a sub-key
// without a name, a name too long, two sub-keys or two values of one key
// with the same name, nesting deeper than kMaxDepth levels);
// ERROR_INVALID_SECURITY_DESCR for a descriptor that is not a valid
// self-relative one; kValueTooLarge; ERROR_NOT_ENOUGH_MEMORY.
LONG HiveImage(const RegTree& tree, std::vector<BYTE>& out);

// HiveImage written as the file `path`, whole or not at all (a fresh name
// first, synced, then put in place), with the mode the caller's umask gives.
// Without `overwrite` an existing file is left alone (ERROR_ALREADY_EXISTS).
LONG WriteHiveFile(const std::string& path, const RegTree& tree, bool overwrite = true);

// Reads the hive file at `path` into `out`: the sub-keys of each key in the
// registry's order, whatever order the file lists them in. A file whose base
// block sequence numbers differ (a "dirty" hive, as copied from a running
// Windows) is read as it lies, without a log, when everything else checks
// out. A path that is no regular file (a FIFO, a directory) gives
// ERROR_ACCESS_DENIED without waiting on it. A file that is not a hive, is
// cut short or whose base block or bins are wrong gives ERROR_BADDB; one
// whose cells do not hold together (an offset or length out of place, a
// record of the wrong kind, a cell used twice, a count that disagrees,
// nesting deeper than kMaxDepth levels, a descriptor that is not valid)
// gives ERROR_REGISTRY_CORRUPT; `out` is then
// unspecified. Memory is bounded by a multiple of the file's size: a file
// whose keys would copy one large descriptor beyond that bound gives
// ERROR_NOT_ENOUGH_MEMORY.
LONG ReadHiveFile(const std::string& path, RegTree& out);
// The same for a file already opened (the caller keeps the descriptor):
// what was checked is what is read.
LONG ReadHiveDescriptor(int fd, RegTree& out);

// The same for the bytes of a file already in memory.
LONG ReadHiveImage(const BYTE* data, std::size_t size, RegTree& out);

// The XOR-32 checksum of the first 508 bytes of a base block, with the
// format's two reserved results moved aside.
DWORD BaseBlockChecksum(const BYTE* block);

// True for a well-formed self-relative security descriptor, the only form a
// hive file holds.
bool SelfRelativeDescriptor(const BYTE* sd, std::size_t size);

}  // namespace netid::posix::hive

#endif
