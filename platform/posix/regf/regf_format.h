// SPDX-License-Identifier: LGPL-2.1-or-later
// The fields of the "regf" hive file format, by name: the base block, bins,
// cells, and the nk, vk, sk, db records and the sub-key lists (li, lf, lh,
// ri). Only names and numbers; reading and writing them is
// hive_read.cpp's and hive_write.cpp's.
// Offsets of a record's fields count from the start of its cell's body
// (after the cell's size field); cell offsets count from the end of the base
// block.
#ifndef NETID_PLATFORM_POSIX_REGF_FORMAT_H
#define NETID_PLATFORM_POSIX_REGF_FORMAT_H

#include <cstddef>

#include "platform/posix/windows.h"

namespace netid::posix::hive::regf {

// ------------------------------------------------------------ base block
// The first block of the file; the bins follow it.
constexpr std::size_t kBaseBlockSize = 0x1000;
constexpr std::size_t kBaseSignature = 0x00;  // "regf"
constexpr std::size_t kBasePrimarySeq = 0x04;
constexpr std::size_t kBaseSecondarySeq = 0x08;  // equal to the primary when whole
constexpr std::size_t kBaseTimestamp = 0x0C;
constexpr std::size_t kBaseMajorVersion = 0x14;
constexpr std::size_t kBaseMinorVersion = 0x18;
constexpr std::size_t kBaseFileType = 0x1C;
constexpr std::size_t kBaseFileFormat = 0x20;
constexpr std::size_t kBaseRootCell = 0x24;  // offset of the top key's nk cell
constexpr std::size_t kBaseBinsSize = 0x28;  // bytes of bins after the base block
constexpr std::size_t kBaseClustering = 0x2C;
constexpr std::size_t kBaseChecksum = 0x1FC;  // XOR-32 of everything before it

constexpr DWORD kMajorVersion = 1;
constexpr DWORD kMinMinorVersion = 2;
constexpr DWORD kMaxMinorVersion = 6;
constexpr DWORD kWrittenMinorVersion = 5;
constexpr DWORD kFileTypePrimary = 0;  // not a log
constexpr DWORD kFileFormatDirect = 1;
constexpr DWORD kClustering = 1;
// The most bytes of bins a hive holds: cell offsets are 32-bit and cell
// sizes signed.
constexpr std::size_t kMaxBinsSize = 0x7FFFF000;

// ------------------------------------------------------------ bins
constexpr std::size_t kBinAlignment = 0x1000;  // bins are whole multiples of this
constexpr std::size_t kBinHeaderSize = 0x20;
constexpr std::size_t kBinSignature = 0x00;  // "hbin"
constexpr std::size_t kBinOffset = 0x04;  // of this bin, from the end of the base block
constexpr std::size_t kBinSize = 0x08;
constexpr std::size_t kBinTimestamp = 0x14;

// ------------------------------------------------------------ cells
// Each cell starts with its size as a signed 32-bit number: negative while
// the cell is in use. Sizes are multiples of 8; cells never cross a bin.
constexpr std::size_t kCellSizeField = 4;
constexpr std::size_t kCellAlignment = 8;
constexpr DWORD kNoCell = 0xFFFFFFFF;  // an offset that points nowhere

// ------------------------------------------------------------ nk: a key
constexpr std::size_t kNkSignature = 0x00;  // "nk"
constexpr std::size_t kNkFlags = 0x02;
constexpr std::size_t kNkLastWrite = 0x04;
constexpr std::size_t kNkParent = 0x10;
constexpr std::size_t kNkSubKeyCount = 0x14;
constexpr std::size_t kNkVolatileSubKeyCount = 0x18;  // only in memory: stale in files
constexpr std::size_t kNkSubKeyList = 0x1C;
constexpr std::size_t kNkVolatileSubKeyList = 0x20;
constexpr std::size_t kNkValueCount = 0x24;
constexpr std::size_t kNkValueList = 0x28;
constexpr std::size_t kNkSecurity = 0x2C;  // the key's sk cell
constexpr std::size_t kNkClass = 0x30;  // cell of the class name (UTF-16LE)
constexpr std::size_t kNkMaxNameLength = 0x34;  // longest sub-key name, UTF-16 bytes
constexpr std::size_t kNkMaxClassLength = 0x38;  // longest sub-key class, bytes
constexpr std::size_t kNkMaxValueNameLength = 0x3C;  // longest value name, UTF-16 bytes
constexpr std::size_t kNkMaxValueDataSize = 0x40;
constexpr std::size_t kNkNameLength = 0x48;  // in bytes as stored
constexpr std::size_t kNkClassLength = 0x4A;  // in bytes
constexpr std::size_t kNkName = 0x4C;
constexpr std::size_t kNkFixedSize = kNkName;  // the record up to its name

constexpr WORD kKeyHiveEntry = 0x0004;
constexpr WORD kKeyNoDelete = 0x0008;
constexpr WORD kKeyCompName = 0x0020;  // the name is one byte a character (units below 256)

// ------------------------------------------------------------ vk: a value
constexpr std::size_t kVkSignature = 0x00;  // "vk"
constexpr std::size_t kVkNameLength = 0x02;  // in bytes as stored; 0: the default value
constexpr std::size_t kVkDataSize = 0x04;
constexpr std::size_t kVkDataOffset = 0x08;  // cell of the data (or of its db record)
constexpr std::size_t kVkType = 0x0C;
constexpr std::size_t kVkFlags = 0x10;
constexpr std::size_t kVkName = 0x14;
constexpr std::size_t kVkFixedSize = kVkName;  // the record up to its name

constexpr WORD kValueCompName = 0x0001;  // the name is one byte a character
// In the data size: the data (at most four bytes) lies in the offset field.
constexpr DWORD kDataInline = 0x80000000;
constexpr std::size_t kMaxInlineData = 4;

// ------------------------------------------------------------ sk: a security descriptor
// The sk cells of a file form one circular doubly linked list; each counts
// the keys that use it.
constexpr std::size_t kSkSignature = 0x00;  // "sk"
constexpr std::size_t kSkNext = 0x04;
constexpr std::size_t kSkPrevious = 0x08;
constexpr std::size_t kSkReferences = 0x0C;
constexpr std::size_t kSkDescriptorSize = 0x10;
constexpr std::size_t kSkDescriptor = 0x14;  // self-relative
constexpr std::size_t kSkFixedSize = kSkDescriptor;

// ------------------------------------------------------------ sub-key lists
// A key's sub-keys, sorted by upper-cased name: one leaf (li: offsets; lf:
// offsets and the first four characters; lh: offsets and name hashes), or an
// ri index of leaves.
constexpr std::size_t kListSignature = 0x00;  // "li", "lf", "lh" or "ri"
constexpr std::size_t kListCount = 0x02;
constexpr std::size_t kListEntries = 0x04;
constexpr std::size_t kListFixedSize = kListEntries;
constexpr std::size_t kIndexEntrySize = 4;  // li and ri: the offset
constexpr std::size_t kLeafEntrySize = 8;  // lf and lh: the offset, then the hint or hash
// The most entries of a leaf that fits a bin of one block, as Windows fills them.
constexpr std::size_t kMaxLeafEntries = 507;
// The most entries one list counts.
constexpr std::size_t kMaxListEntries = 0xFFFF;
// lh: hash = hash * 37 + unit, over the upper-cased UTF-16 units of the name.
constexpr DWORD kNameHashMultiplier = 37;

// ------------------------------------------------------------ db: long value data
// From version 1.4 on, data longer than one segment lies in segments listed
// by a db record; each segment but the last holds kSegmentSize bytes.
constexpr DWORD kMinBigDataMinorVersion = 4;
constexpr std::size_t kDbSignature = 0x00;  // "db"
constexpr std::size_t kDbSegmentCount = 0x02;
constexpr std::size_t kDbSegmentList = 0x04;  // cell of the segments' offsets
constexpr std::size_t kDbSize = 0x0C;
constexpr std::size_t kSegmentSize = 16344;  // data of one segment

}  // namespace netid::posix::hive::regf

#endif
