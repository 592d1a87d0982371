// The fields of the "regf" hive file format that hive_file.cpp reads or
// writes itself, by name: the base block, bins, cells, and the nk, vk, sk and
// db records. Offsets of a record's fields count from the start of its cell's
// body (after the cell's size field). The sub-key lists (lf, lh, li, ri) are
// left to libhivex and not named here.
#ifndef NETID_PLATFORM_POSIX_REGF_FORMAT_H
#define NETID_PLATFORM_POSIX_REGF_FORMAT_H

#include <cstddef>

#include "platform/posix/windows.h"

namespace netid::posix::hive::regf {

// ------------------------------------------------------------ base block
// The first block of the file; the bins follow it, and cell offsets count
// from the end of it.
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

// ------------------------------------------------------------ bins
constexpr std::size_t kBinAlignment = 0x1000;  // bins are whole multiples of this
constexpr std::size_t kBinHeaderSize = 0x20;
constexpr std::size_t kBinSignature = 0x00;  // "hbin"
constexpr std::size_t kBinOffset = 0x04;  // of this bin, from the end of the base block
constexpr std::size_t kBinSize = 0x08;
constexpr std::size_t kBinTimestamp = 0x14;

// ------------------------------------------------------------ cells
// Each cell starts with its size as a signed 32-bit number: negative while
// the cell is in use. Sizes are multiples of 8.
constexpr std::size_t kCellSizeField = 4;
constexpr std::size_t kCellAlignment = 8;
constexpr DWORD kNoCell = 0xFFFFFFFF;  // an offset that points nowhere

// ------------------------------------------------------------ nk: a key
constexpr std::size_t kNkSignature = 0x00;  // "nk"
constexpr std::size_t kNkFlags = 0x02;
constexpr std::size_t kNkLastWrite = 0x04;
constexpr std::size_t kNkParent = 0x10;
constexpr std::size_t kNkSubKeyList = 0x1C;
constexpr std::size_t kNkVolatileSubKeyList = 0x20;
constexpr std::size_t kNkValueCount = 0x24;
constexpr std::size_t kNkValueList = 0x28;
constexpr std::size_t kNkSecurity = 0x2C;  // the key's sk cell
constexpr std::size_t kNkClass = 0x30;  // cell of the class name (UTF-16LE)
constexpr std::size_t kNkNameLength = 0x48;
constexpr std::size_t kNkClassLength = 0x4A;  // in bytes
constexpr std::size_t kNkName = 0x4C;
constexpr std::size_t kNkFixedSize = kNkName;  // the record up to its name

constexpr WORD kKeyHiveEntry = 0x0004;
constexpr WORD kKeyNoDelete = 0x0008;
constexpr WORD kKeyCompName = 0x0020;  // the name is 8-bit text

// ------------------------------------------------------------ vk: a value
constexpr std::size_t kVkSignature = 0x00;  // "vk"
constexpr std::size_t kVkDataSize = 0x04;
constexpr std::size_t kVkDataOffset = 0x08;  // cell of the data (or of its db record)
constexpr std::size_t kVkFixedSize = 0x14;  // the record up to its name

// ------------------------------------------------------------ sk: a security descriptor
constexpr std::size_t kSkSignature = 0x00;  // "sk"
constexpr std::size_t kSkNext = 0x04;  // the list of sk cells of the file
constexpr std::size_t kSkPrevious = 0x08;
constexpr std::size_t kSkReferences = 0x0C;  // keys that use it
constexpr std::size_t kSkDescriptorSize = 0x10;
constexpr std::size_t kSkDescriptor = 0x14;  // self-relative
constexpr std::size_t kSkFixedSize = kSkDescriptor;

// ------------------------------------------------------------ db: long value data
// From version 1.4 on, data longer than one segment lies in segments listed
// by a db record.
constexpr std::size_t kDbSignature = 0x00;  // "db"
constexpr std::size_t kDbSegmentCount = 0x02;
constexpr std::size_t kDbSegmentList = 0x04;  // cell of the segments' offsets
constexpr std::size_t kDbSize = 0x0C;
constexpr std::size_t kSegmentSize = 16344;  // data of one segment

}  // namespace netid::posix::hive::regf

#endif
