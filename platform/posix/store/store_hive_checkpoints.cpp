// SPDX-License-Identifier: LGPL-2.1-or-later
// One hive's checkpoints (store_hive.h): writing a whole hive file, opening
// a file at its newest checkpoint, read in place, and appending a checkpoint
// of what changed since the one before, or writing the file anew.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>

#include "platform/posix/base/byte_order.h"
#include "platform/posix/base/checksum.h"
#include "platform/posix/base/files.h"
#include "platform/posix/base/process.h"
#include "platform/posix/store/store_format.h"
#include "platform/posix/store/store_hive.h"
#include "platform/posix/store/store_records.h"
#include "platform/posix/store/store_snapshot.h"

namespace netid::posix::store {
namespace {
namespace f = format;
}  // namespace

// Writes a complete hive file under a fresh name, syncs it, and puts it in
// place: beside nothing (a new hive: only if no other process made one
// first) or over the old file (a rewrite).
LONG Hive::CreateFile(const Model& model)
{
    std::string temp;
    OwnedFd fd = CreateFreshFile(m_dir, m_name + ".hive", m_options.mode, m_options.owner, temp);
    if (!fd.valid()) return StatusFromErrno(errno);
    std::uint64_t fileId = Random64();
    auto salt = static_cast<std::uint32_t>(Random64());
    Bytes header(f::kHeaderSize, 0);
    std::memcpy(&header[f::kHeaderMagic], f::kMagic, sizeof f::kMagic);
    Put32(&header[f::kHeaderVersion], f::kVersion);
    Put64(&header[f::kHeaderFileId], fileId);
    Put32(&header[f::kHeaderSalt], salt);
    Put64(&header[f::kHeaderCreated], NowAsFileTime());
    Put32(&header[f::kHeaderCrc], Crc32c(0, header.data(), f::kHeaderCrc));
    Bytes payload;
    model.Save(payload, f::kHeaderSize + f::kRecordHeaderSize, true);
    if (payload.size() > f::kMaxRecord) {
        ::unlinkat(m_dir, temp.c_str(), 0);
        return ERROR_FILE_TOO_LARGE;  // a file no reader could open
    }
    std::uint32_t crc = 0;
    Bytes record = MakeRecord(f::kCheckpoint, model.Seq(), 0, salt, payload, crc);
    MakeAnchor(&header[f::kAnchorA], 1, f::kHeaderSize, crc, model.Seq());
    MakeSyncedEnd(&header[f::kSyncedEnd], fileId, f::kHeaderSize + record.size());

    LONG status = WriteAll(m_io, fd.get(), header.data(), header.size(), 0);
    if (status == ERROR_SUCCESS) status = WriteAll(m_io, fd.get(), record.data(), record.size(), f::kHeaderSize);
    if (status == ERROR_SUCCESS && m_io.fdatasync(fd.get()) != 0) status = StatusFromErrno(errno);
    if (status == ERROR_SUCCESS) {
        const std::string file = m_name + ".hive";
        bool replace = m_file.valid();
        assert(!replace || m_lockHeld);
        int rc = replace ? ::renameat(m_dir, temp.c_str(), m_dir, file.c_str())
                         : PlaceFreshFile(m_dir, temp, file);
        if (rc != 0) status = errno == EEXIST ? ERROR_ALREADY_EXISTS : StatusFromErrno(errno);
        if (rc != 0) ::unlinkat(m_dir, temp.c_str(), 0);
        if (rc == 0) {
            ::fsync(m_dir);
            if (replace) {
                // This process goes on with the new file.
                m_file = std::move(fd);
                m_map.reset();
                m_fileId = fileId;
                m_salt = salt;
                m_offset = f::kHeaderSize + record.size();
                m_lastCrc = crc;
                m_checkpointAt = f::kHeaderSize;
                m_checkpointSize = record.size();
                m_anchorGeneration = 1;
                m_syncedEnd = m_offset;
            }
        }
    } else {
        ::unlinkat(m_dir, temp.c_str(), 0);
    }
    return status;
}

// Reads the file from its newest whole checkpoint on. A file is hostile
// input (another user's hive): nothing is read past its real data, and a
// record that checks out but does not apply is reported, never followed.
LONG Hive::LoadAll(std::uint64_t limit)
{
    m_map.reset();
    Bytes header(f::kHeaderSize);
    if (ReadAt(m_file.get(), header.data(), header.size(), 0) != static_cast<ssize_t>(header.size()) ||
        std::memcmp(&header[f::kHeaderMagic], f::kMagic, sizeof f::kMagic) != 0 ||
        (Get32(&header[f::kHeaderVersion]) != f::kVersion &&
         Get32(&header[f::kHeaderVersion]) != f::kVersionEncoded) ||
        Crc32c(0, header.data(), f::kHeaderCrc) != Get32(&header[f::kHeaderCrc])) {
        return ERROR_BADDB;
    }
    struct stat st {};
    ::fstat(m_file.get(), &st);
    m_inode = st.st_ino;
    m_fileId = Get64(&header[f::kHeaderFileId]);
    m_salt = Get32(&header[f::kHeaderSalt]);
    m_syncedEnd = ReadSyncedEnd(&header[f::kSyncedEnd], m_fileId);

    Anchor a = ReadAnchor(&header[f::kAnchorA]);
    Anchor b = ReadAnchor(&header[f::kAnchorB]);
    if (b.valid && (!a.valid || b.generation > a.generation)) std::swap(a, b);
    std::vector<Anchor> candidates;
    if (a.valid && a.offset < limit) candidates.push_back(a);
    if (b.valid && b.offset < limit) candidates.push_back(b);
    Anchor first;
    first.offset = f::kHeaderSize;
    candidates.push_back(first);
    m_anchorGeneration = std::max(a.valid ? a.generation : 0, b.valid ? b.generation : 0);

    for (const Anchor& anchor : candidates) {
        std::uint8_t head[f::kRecordHeaderSize + 4];
        if (ReadAt(m_file.get(), head, sizeof head, anchor.offset) != static_cast<ssize_t>(sizeof head)) continue;
        std::uint32_t length = Get32(head + f::kRecordLength);
        if (Get32(head + f::kRecordType) != f::kCheckpoint || length > f::kMaxRecord || length < 4) continue;
        const std::size_t total = Padded(f::kRecordHeaderSize + length);
        if (anchor.offset + total > DataEnd(m_file.get(), anchor.offset)) continue;  // claims more than there is
        const bool inPlace = Get32(head + f::kRecordHeaderSize) == snap::kSnapshotVersion;
        RecordView view;
        Bytes record;
        const std::uint8_t* whole = nullptr;  // the record, where it is checked whole
        if (inPlace) {
            // Named by an anchor, it is on the disk whole: mapped, not read.
            if (MapTo(anchor.offset + total) != ERROR_SUCCESS) continue;
            if (total > f::kReadWhole && anchor.generation != 0) {
                // Too large to check at every opening: the anchor vouches for
                // it, and it is read as hostile input.
                if (Get32(head + f::kRecordCrc) != anchor.recordCrc) continue;
                view.type = f::kCheckpoint;
                view.seq = Get64(head + f::kRecordSeq);
                view.crc = anchor.recordCrc;
                view.length = length;
                view.total = total;
            } else {
                whole = m_map->Data() + anchor.offset;
            }
        } else {
            record.resize(total);
            if (ReadAt(m_file.get(), record.data(), record.size(), anchor.offset) !=
                static_cast<ssize_t>(record.size())) {
                continue;
            }
            whole = record.data();
        }
        if (whole != nullptr) {
            std::uint32_t prev = Get32(whole + f::kRecordPrevCrc);
            if (ParseRecord(whole, total, m_salt, prev, view) != Parse::Whole) continue;
            if (anchor.generation != 0 && view.crc != anchor.recordCrc) continue;
            if (anchor.offset == f::kHeaderSize && prev != 0) continue;
        }
        if (inPlace) {
            auto snapshot = Snapshot::Open(m_map, anchor.offset + f::kRecordHeaderSize, length);
            if (snapshot == nullptr || snapshot->Seq() != view.seq || !m_model.Rebase(snapshot, false)) continue;
        } else if (!m_model.Load(view.payload, view.length) || m_model.Seq() != view.seq) {
            continue;
        }
        m_offset = anchor.offset + view.total;
        m_lastCrc = view.crc;
        m_checkpointAt = anchor.offset;
        m_checkpointSize = view.total;
        m_checkpointCrc = view.crc;
        m_checkpointSeq = view.seq;
        m_anchoredAt = anchor.offset;
        // A hive last written in an earlier start of the machine shows no
        // volatile keys; the first writer of this start records that.
        LONG status = ReadTail(nullptr, false, limit, m_model.HasBase());
        if (m_model.BootId() != m_options.bootId) m_model.DropVolatile(nullptr);
        return status;
    }
    // The file's first record was flushed when it was made.
    return m_syncedEnd > f::kHeaderSize ? ERROR_REGISTRY_CORRUPT : ERROR_BADDB;
}

LONG Hive::MapTo(std::uint64_t end)
{
    if (m_map != nullptr && m_map->Size() >= end) return ERROR_SUCCESS;
    // A file someone else owns could be cut short under a mapping: it is
    // copied instead (only root reads another user's hive, and those are small).
    LONG status = ERROR_SUCCESS;
    auto map = Mapping::Of(m_file.get(), end, m_options.owner != ::geteuid(), status);
    if (map == nullptr) return status;
    m_map = std::move(map);
    return ERROR_SUCCESS;
}

bool Hive::FollowCheckpoint(std::uint64_t at, const RecordView& r, bool inStep)
{
    if (r.length < 4) return false;
    if (MapTo(at + r.total) != ERROR_SUCCESS) return false;
    const std::uint8_t* payload = m_map->Data() + at + f::kRecordHeaderSize;
    if (Get32(payload) != snap::kSnapshotVersion) {
        return inStep && m_model.LoadTablesOnly(payload, r.length);
    }
    auto snapshot = Snapshot::Open(m_map, at + f::kRecordHeaderSize, r.length);
    if (snapshot == nullptr || snapshot->Seq() != r.seq) return false;
    if (!inStep) {
        // Its top key is looked at before the model lets go of what it holds.
        KeyView top;
        if (!snapshot->ReadKey(snapshot->Lookup(kRootKey), kRootKey, top) || top.parent != 0) return false;
    }
    return m_model.Rebase(snapshot, inStep);
}

LONG Hive::MaybeCheckpoint()
{
    assert(m_lockHeld);
    std::uint64_t tail = m_offset - (m_checkpointAt + m_checkpointSize);
    if (tail <= f::kCheckpointTail) return ERROR_SUCCESS;
    if (!m_model.HasBase() || m_offset > 2 * m_model.LiveBytes() + f::kRewriteAbove) return Rewrite();
    const std::uint64_t at = m_offset;
    Bytes payload;
    m_model.Save(payload, at + f::kRecordHeaderSize, false);
    LONG status = Append(format::kCheckpoint, m_model.Seq(), payload);
    if (status != ERROR_SUCCESS) return ERROR_SUCCESS;  // the commit itself stands
    m_checkpointAt = at;
    m_checkpointSize = m_offset - at;
    m_checkpointCrc = m_lastCrc;
    m_checkpointSeq = m_model.Seq();
    // This process goes on from the checkpoint it wrote, holding nothing
    // changed since.
    RecordView r;
    r.type = f::kCheckpoint;
    r.seq = m_model.Seq();
    r.length = payload.size();
    r.total = m_offset - at;
    FollowCheckpoint(at, r, true);
    if (m_checkpointAt - m_anchoredAt >= f::kAnchorEvery) AnchorNewest();
    return ERROR_SUCCESS;
}

void Hive::AnchorNewest()
{
    assert(m_lockHeld);
    // The checkpoint refers to what the ones before it put in the file: all
    // of it is on the disk before an anchor names it. Where the sync fails,
    // the commit stands, but the hive is no longer trusted (see Flush).
    if (m_io.fdatasync(m_file.get()) != 0) {
        Break(ERROR_REGISTRY_IO_FAILED);
        return;
    }
    NoteSynced(m_offset);
    // Other writers may have anchored since this process looked: the
    // generation goes on from the newest slot.
    std::uint8_t slots[f::kAnchorB + f::kAnchorSize];
    if (ReadAt(m_file.get(), slots, sizeof slots, 0) == static_cast<ssize_t>(sizeof slots)) {
        for (std::size_t at : {f::kAnchorA, f::kAnchorB}) {
            const Anchor a = ReadAnchor(slots + at);
            if (a.valid) m_anchorGeneration = std::max(m_anchorGeneration, a.generation);
        }
    }
    ++m_anchorGeneration;
    std::uint8_t slot[f::kAnchorSize];
    MakeAnchor(slot, m_anchorGeneration, m_checkpointAt, m_checkpointCrc, m_checkpointSeq);
    WriteAll(m_io, m_file.get(), slot, sizeof slot, (m_anchorGeneration % 2) != 0 ? f::kAnchorA : f::kAnchorB);
    m_anchoredAt = m_checkpointAt;
}

LONG Hive::Rewrite()
{
    assert(m_lockHeld);
    LONG status = CreateFile(m_model);
    if (status == ERROR_SUCCESS) {
        struct stat st {};
        ::fstat(m_file.get(), &st);
        m_inode = st.st_ino;
        // Read in place from the new file; should that fail, the next call
        // reads it anew.
        if (LoadAll() != ERROR_SUCCESS) m_model.MarkDamaged();
        Publish();
    }
    return ERROR_SUCCESS;  // the commit itself stands either way
}

void Hive::NoteSynced(std::uint64_t end)
{
    if (end <= m_syncedEnd) return;
    std::uint8_t slot[f::kSyncedEndSize];
    MakeSyncedEnd(slot, m_fileId, end);
    if (WriteAll(m_io, m_file.get(), slot, sizeof slot, f::kSyncedEnd) == ERROR_SUCCESS) m_syncedEnd = end;
}

}  // namespace netid::posix::store
