// SPDX-License-Identifier: LGPL-2.1-or-later
// The records of a hive file of the store (see store_records.h).
#include "platform/posix/store/store_records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/base/byte_order.h"
#include "platform/posix/base/checksum.h"
#include "platform/posix/base/files.h"
#include "platform/posix/store/store_format.h"

namespace netid::posix::store {

namespace f = format;

std::size_t Padded(std::size_t n) { return (n + f::kRecordAlign - 1) & ~(f::kRecordAlign - 1); }

std::uint32_t RecordCrc(std::uint32_t salt, const std::uint8_t* header, const std::uint8_t* payload,
                        std::size_t length)
{
    std::uint32_t crc = Crc32c(salt, header, f::kRecordCrc);
    return Crc32c(crc, payload, length);
}

// Looks at the record at `p` (`available` bytes there): whole, cut short by
// the end of what was read, or not a record that follows `prevCrc`.
Parse ParseRecord(const std::uint8_t* p, std::size_t available, std::uint32_t salt,
                  std::uint32_t prevCrc, RecordView& out)
{
    if (available < f::kRecordHeaderSize) return Parse::Incomplete;
    out.type = Get32(p + f::kRecordType);
    out.length = Get32(p + f::kRecordLength);
    out.seq = Get64(p + f::kRecordSeq);
    out.crc = Get32(p + f::kRecordCrc);
    if ((out.type != f::kCommit && out.type != f::kCheckpoint) || out.length > f::kMaxRecord ||
        Get32(p + f::kRecordPrevCrc) != prevCrc) {
        return Parse::Broken;
    }
    out.total = Padded(f::kRecordHeaderSize + out.length);
    if (available < out.total) return Parse::Incomplete;
    out.payload = p + f::kRecordHeaderSize;
    if (RecordCrc(salt, p, out.payload, out.length) != out.crc) return Parse::Broken;
    return Parse::Whole;
}

Bytes MakeRecord(std::uint32_t type, std::uint64_t seq, std::uint32_t prevCrc, std::uint32_t salt,
                 const Bytes& payload, std::uint32_t& crc)
{
    Bytes record(Padded(f::kRecordHeaderSize + payload.size()), 0);
    Put32(&record[f::kRecordType], type);
    Put32(&record[f::kRecordLength], static_cast<std::uint32_t>(payload.size()));
    Put64(&record[f::kRecordSeq], seq);
    Put32(&record[f::kRecordPrevCrc], prevCrc);
    if (!payload.empty()) std::memcpy(&record[f::kRecordHeaderSize], payload.data(), payload.size());
    crc = RecordCrc(salt, record.data(), payload.data(), payload.size());
    Put32(&record[f::kRecordCrc], crc);
    return record;
}

void MakeAnchor(std::uint8_t* slot, std::uint64_t generation, std::uint64_t offset,
                std::uint32_t recordCrc, std::uint64_t seq)
{
    std::memset(slot, 0, f::kAnchorSize);
    Put64(slot + f::kAnchorGeneration, generation);
    Put64(slot + f::kAnchorOffset, offset);
    Put32(slot + f::kAnchorRecordCrc, recordCrc);
    Put64(slot + f::kAnchorSeq, seq);
    Put32(slot + f::kAnchorCrc, Crc32c(0, slot, f::kAnchorCrc));
}

void MakeSyncedEnd(std::uint8_t* slot, std::uint64_t fileId, std::uint64_t end)
{
    std::memset(slot, 0, f::kSyncedEndSize);
    Put64(slot + f::kSyncedEndFileId, fileId);
    Put64(slot + f::kSyncedEndOffset, end);
    Put32(slot + f::kSyncedEndCrc, Crc32c(0, slot, f::kSyncedEndCrc));
}

// The end of what a flush put on the disk, as the header notes it; 0 when
// the note is missing or not whole (files of earlier versions have none).
std::uint64_t ReadSyncedEnd(const std::uint8_t* slot, std::uint64_t fileId)
{
    if (Crc32c(0, slot, f::kSyncedEndCrc) != Get32(slot + f::kSyncedEndCrc) ||
        Get64(slot + f::kSyncedEndFileId) != fileId) {
        return 0;
    }
    return Get64(slot + f::kSyncedEndOffset);
}

// Where the file's real data ends from `from` on: its first hole (a sparse
// file's holes hold nothing written), else its end.
std::uint64_t DataEnd(int fd, std::uint64_t from)
{
    off_t hole = ::lseek(fd, static_cast<off_t>(from), SEEK_HOLE);
    if (hole >= 0) return static_cast<std::uint64_t>(hole);
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

Anchor ReadAnchor(const std::uint8_t* slot)
{
    Anchor a;
    a.valid = Crc32c(0, slot, f::kAnchorCrc) == Get32(slot + f::kAnchorCrc) &&
              Get64(slot + f::kAnchorOffset) >= f::kHeaderSize;
    a.generation = Get64(slot + f::kAnchorGeneration);
    a.offset = Get64(slot + f::kAnchorOffset);
    a.recordCrc = Get32(slot + f::kAnchorRecordCrc);
    return a;
}

// Reads up to `size` bytes at `offset`; fewer only at the end of the file.
ssize_t ReadAt(int fd, void* data, std::size_t size, std::uint64_t offset)
{
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, static_cast<char*>(data) + done, size - done,
                            static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

LONG WriteAll(const FileIo& io, int fd, const void* data, std::size_t size, std::uint64_t offset)
{
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = io.pwrite(fd, static_cast<const char*>(data) + done, size - done,
                              static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? StatusFromErrno(errno) : ERROR_CANTWRITE;
        done += static_cast<std::size_t>(n);
    }
    return ERROR_SUCCESS;
}

}  // namespace netid::posix::store
