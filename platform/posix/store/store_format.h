// SPDX-License-Identifier: LGPL-2.1-or-later
// The on-disk layout of a hive file of the store and of its shared page.
//
// A hive file is a header, two anchor slots and then records, appended one
// after another and never rewritten in place:
//   - a commit record holds the operations of one registry call;
//   - a checkpoint record holds the hive as it stood after the commit before
//     it, laid out to be read in place (store_snapshot.h): the file's first
//     holds all of it, later ones what changed since the one before.
// Each record carries a CRC-32C over its header and payload, seeded with the
// file's salt, and the CRC of the record before it: a record is taken only
// when it and the chain up to it are whole. What a crash or a power loss
// leaves half written at the end is therefore never taken, and what remains
// is always the hive as it stood after some commit.
//
// The anchors name the newest checkpoint, so that opening a hive maps the
// file, reads the last checkpoint's header and the commits after it, and
// nothing else until it is looked at. An anchor is written only once the
// checkpoint it names, and everything that checkpoint refers to, is on the
// disk (after an fdatasync); a reader takes the newer anchor whose
// checkpoint checks out, else the older, else the first record (a
// checkpoint written and synced when the file was made). A checkpoint too
// large to read whole at every opening is trusted by its anchor (whose own
// CRC names the record's CRC), and read as hostile input: every reference
// checked before it is followed.
//
// The shared page beside a hive file tells every process at once which file
// is current and how many commits it holds, so that a call whose hive has not
// changed makes no system call at all. It only hints: readers never trust it
// for what they read, only for whether to look.
//
// Only writers write the page (it belongs to the hive's owner and has the
// hive file's mode; others map it read-only), and only while they hold the
// writers' lock. After a commit's record is appended, Publish stores three
// 64-bit words, each an atomic release store, in this order: the file id,
// the end of the records, the commit count (kShmFileId, kShmEnd, kShmSeq).
// kShmWriting is set before the record is appended and cleared after
// publishing. A reader loads the file id and then the count, each with
// acquire, and looks at the file only when either differs from its own. A
// reader that meets half an update sees one of: the old words (it misses a
// commit whose call has not returned yet, as if it had looked a moment
// earlier), a new file id (it reads the new file from the disk), or the old
// file id with a new count (it reads the new records from the file). It can
// never see "current" while it is not: every publish changes the count
// (a rewrite happens only within a commit) and the id is stored before the
// count. A writer trusts the page only when it also shows no commit under
// way and an end equal to its own; otherwise it reads the file's tail under
// the lock and cuts off what a writer that died left half written. A page
// left wrong by a crash is set right by the first writer that opens the
// hive.
#ifndef NETID_PLATFORM_POSIX_STORE_FORMAT_H
#define NETID_PLATFORM_POSIX_STORE_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace netid::posix::store::format {

// ------------------------------------------------------------ file header
constexpr char kMagic[8] = {'N', 'E', 'T', 'I', 'D', 'H', 'V', '1'};
constexpr std::uint32_t kVersion = 2;
// Files of version 1 hold their checkpoints fully encoded; a process that
// may write one converts it at its first opening.
constexpr std::uint32_t kVersionEncoded = 1;
constexpr std::size_t kHeaderSize = 4096;      // records begin here
constexpr std::size_t kHeaderMagic = 0;        // 8 bytes
constexpr std::size_t kHeaderVersion = 8;      // u32
constexpr std::size_t kHeaderFileId = 16;      // u64, random: names this file
constexpr std::size_t kHeaderSalt = 24;        // u32, random: seeds every record's CRC
constexpr std::size_t kHeaderCreated = 32;     // u64 FILETIME
constexpr std::size_t kHeaderCrc = 508;        // u32 CRC-32C of bytes 0..507

// ------------------------------------------------------------ anchors
constexpr std::size_t kAnchorA = 512;
constexpr std::size_t kAnchorB = 1024;
constexpr std::size_t kAnchorSize = 64;
constexpr std::size_t kAnchorGeneration = 0;   // u64, the newer slot has the larger
constexpr std::size_t kAnchorOffset = 8;       // u64, file offset of the checkpoint record
constexpr std::size_t kAnchorRecordCrc = 16;   // u32, that record's CRC
constexpr std::size_t kAnchorSeq = 24;         // u64, the commits it holds
constexpr std::size_t kAnchorCrc = 60;         // u32 CRC-32C of bytes 0..59

// Where the records a flush put on the disk end: a record before it that
// does not check out is damage, reported, never cut off as a torn end.
constexpr std::size_t kSyncedEnd = 1536;
constexpr std::size_t kSyncedEndSize = 32;
constexpr std::size_t kSyncedEndFileId = 0;    // u64, the file it speaks of
constexpr std::size_t kSyncedEndOffset = 8;    // u64
constexpr std::size_t kSyncedEndCrc = 28;      // u32 CRC-32C of bytes 0..27

// ------------------------------------------------------------ records
constexpr std::uint32_t kCommit = 0x54494D43;      // "CMIT"
constexpr std::uint32_t kCheckpoint = 0x54504B43;  // "CKPT"
constexpr std::size_t kRecordType = 0;         // u32
constexpr std::size_t kRecordLength = 4;       // u32, payload bytes
constexpr std::size_t kRecordSeq = 8;          // u64: a commit's number; a checkpoint's state
constexpr std::size_t kRecordPrevCrc = 16;     // u32, CRC of the record before (0: first)
constexpr std::size_t kRecordCrc = 20;         // u32 CRC-32C of bytes 0..19 and the payload
constexpr std::size_t kRecordHeaderSize = 24;  // the payload follows
constexpr std::size_t kRecordAlign = 8;        // records start on 8-byte boundaries
constexpr std::uint32_t kMaxRecord = 1u << 30;  // no payload is larger

// ------------------------------------------------------------ the shared page
constexpr char kShmMagic[8] = {'N', 'E', 'T', 'I', 'D', 'S', 'H', '1'};
constexpr std::size_t kShmSize = 4096;
constexpr std::size_t kShmFileId = 8;          // atomic u64: the current hive file
constexpr std::size_t kShmSeq = 16;            // atomic u64: commits in it
constexpr std::size_t kShmEnd = 24;            // atomic u64: where its records end
constexpr std::size_t kShmWriting = 32;        // atomic u64: non-zero while a commit is under way

// ------------------------------------------------------------ when to checkpoint
// A checkpoint is appended once the commits after the last one take more
// than kCheckpointTail: a new process applies no more than that. An anchor
// names the newest checkpoint once kAnchorEvery has been appended since the
// one it names (the sync it needs is paid that seldom); an opening reads the
// records from there, applying only the commits after the newest
// checkpoint. The file is written anew, with one whole checkpoint, once it
// is more than twice what the hive reaches in it and kRewriteAbove besides.
// A checkpoint record up to kReadWhole is read whole and checked at every
// opening.
constexpr std::size_t kCheckpointTail = 64 * 1024;
constexpr std::size_t kAnchorEvery = 64 * 1024;
constexpr std::size_t kRewriteAbove = 8 * 1024 * 1024;
constexpr std::size_t kReadWhole = 1024 * 1024;

}  // namespace netid::posix::store::format

#endif
