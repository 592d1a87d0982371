// SPDX-License-Identifier: LGPL-2.1-or-later
// The records of a hive file of the store, laid out and checked: a record's
// header, payload and checksums; the anchors that name the newest checkpoint;
// the note of how far the file is known to be on the disk; how far a file
// really holds data; and reading and writing a file whole. What each field is, is store_format.h's.
#ifndef NETID_PLATFORM_POSIX_STORE_STORE_RECORDS_H
#define NETID_PLATFORM_POSIX_STORE_STORE_RECORDS_H

#include <cstddef>
#include <sys/types.h>

#include <cstdint>

#include "platform/posix/store/store_model.h"
#include "platform/posix/windows.h"

namespace netid::posix::store {

struct RecordView {
    std::uint32_t type = 0;
    std::uint64_t seq = 0;
    std::uint32_t crc = 0;
    const std::uint8_t* payload = nullptr;
    std::size_t length = 0;
    std::size_t total = 0;  // with header and padding
};

std::size_t Padded(std::size_t n);

std::uint32_t RecordCrc(std::uint32_t salt, const std::uint8_t* header, const std::uint8_t* payload,
                        std::size_t length);

enum class Parse { Whole, Incomplete, Broken };

// Looks at the record at `p` (`available` bytes there): whole, cut short by
// the end of what was read, or not a record that follows `prevCrc`.
Parse ParseRecord(const std::uint8_t* p, std::size_t available, std::uint32_t salt,
                  std::uint32_t prevCrc, RecordView& out);

Bytes MakeRecord(std::uint32_t type, std::uint64_t seq, std::uint32_t prevCrc, std::uint32_t salt,
                 const Bytes& payload, std::uint32_t& crc);

void MakeAnchor(std::uint8_t* slot, std::uint64_t generation, std::uint64_t offset,
                std::uint32_t recordCrc, std::uint64_t seq);

void MakeSyncedEnd(std::uint8_t* slot, std::uint64_t fileId, std::uint64_t end);

// The end of what a flush put on the disk, as the header notes it; 0 when
// the note is missing or not whole (files of earlier versions have none).
std::uint64_t ReadSyncedEnd(const std::uint8_t* slot, std::uint64_t fileId);

// Where the file's real data ends from `from` on: its first hole (a sparse
// file's holes hold nothing written), else its end.
std::uint64_t DataEnd(int fd, std::uint64_t from);

struct Anchor {
    bool valid = false;
    std::uint64_t generation = 0;
    std::uint64_t offset = 0;
    std::uint32_t recordCrc = 0;
};

Anchor ReadAnchor(const std::uint8_t* slot);

// How file writes reach the disk; tests put their own in place to stand for
// a power loss at any moment.
struct FileIo {
    ssize_t (*pwrite)(int fd, const void* data, size_t size, off_t offset);
    int (*fdatasync)(int fd);
};
// Reads up to `size` bytes at `offset`; fewer only at the end of the file.
ssize_t ReadAt(int fd, void* data, std::size_t size, std::uint64_t offset);
// Writes all of `data` at `offset`.
LONG WriteAll(const FileIo& io, int fd, const void* data, std::size_t size, std::uint64_t offset);

}  // namespace netid::posix::store

#endif
