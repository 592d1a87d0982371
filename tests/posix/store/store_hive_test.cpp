// SPDX-License-Identifier: LGPL-2.1-or-later
// The store's hive files: what one process commits another reads, a torn
// end is never taken, checkpoints and rewrites keep the file small, and a
// power loss at any moment leaves a hive that opens as it stood after some
// commit, with everything flushed before it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/posix/base/byte_order.h"
#include "platform/posix/base/checksum.h"
#include "platform/posix/store/store_format.h"
#include "platform/posix/store/store_hive.h"
#include "platform/posix/store/store_records.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace netid::posix::store;

HiveOptions Options()
{
    HiveOptions o;
    o.create = true;
    o.owner = geteuid();
    o.bootId = "boot-1";
    o.rootName = u"TEST";
    return o;
}

std::unique_ptr<Hive> OpenHive(const TempDir& dir, HiveOptions options = Options(),
                               const FileIo& io = SystemFileIo())
{
    std::unique_ptr<Hive> hive;
    EXPECT_EQ(Hive::Open(dir.Fd(), "h", options, hive, io), 0);
    return hive;
}

Bytes Data(const std::string& s) { return Bytes(s.begin(), s.end()); }

KeyId AddKey(Hive& hive, KeyId parent, const std::u16string& name)
{
    KeyId id = 0;
    EXPECT_EQ(hive.Commit([&](Batch& b) {
                  id = b.CreateKey(parent, name, u"", 0, {}, 7);
                  return 0;
              },
                          nullptr),
              0);
    return id;
}

void SetValue(Hive& hive, KeyId key, const std::u16string& name, const std::string& data)
{
    ASSERT_EQ(hive.Commit([&](Batch& b) {
                  b.SetValue(key, name, 3, Data(data));
                  return 0;
              },
                          nullptr),
              0);
}

std::string ValueOf(const Hive& hive, KeyId key, const std::u16string& upperName)
{
    const Key* k = hive.View().Find(key);
    if (k == nullptr) return "<no key>";
    const Value* v = k->FindValue(upperName);
    return v == nullptr ? "<none>" : std::string(v->data.begin(), v->data.end());
}

Bytes Snapshot(const Hive& hive)
{
    Bytes out;
    hive.View().Save(out, 4096 + 24, true);  // the whole hive, as a new file's first record
    return out;
}

std::size_t CountKeys(const Model& model)
{
    std::size_t count = 0;
    std::vector<KeyId> todo{kRootKey};
    while (!todo.empty()) {
        const Key* key = model.Find(todo.back());
        todo.pop_back();
        if (key == nullptr) continue;
        ++count;
        for (const ChildRef& c : key->Children()) todo.push_back(c.id);
    }
    return count;
}

std::string FileBytes(const TempDir& dir)
{
    std::ifstream in(dir.Path() + "/h.hive", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Fails every write while `g_failWrites` is set, as a full disk does.
bool g_failWrites = false;
ssize_t FailingPwrite(int fd, const void* data, size_t size, off_t offset)
{
    if (g_failWrites) {
        errno = ENOSPC;
        return -1;
    }
    return ::pwrite(fd, data, size, offset);
}
int PlainSync(int fd) { return ::fdatasync(fd); }

TEST(StoreHive, AFailedCommitLeavesTheHiveTheFileAndTheChangesUntouched)
{
    TempDir dir("netid-hive");
    const FileIo io{&FailingPwrite, &PlainSync};
    auto hive = OpenHive(dir, Options(), io);
    KeyId keep = AddKey(*hive, kRootKey, u"Keep");
    KeyId inner = AddKey(*hive, keep, u"Inner");
    AddKey(*hive, inner, u"Deepest");
    for (int i = 0; i < 40; ++i) SetValue(*hive, keep, u"v" + std::u16string(1, char16_t(u'A' + i)), "x");
    KeyId fleeting = 0;
    ASSERT_EQ(hive->Commit([&](Batch& b) {
                  fleeting = b.CreateKey(kRootKey, u"Fleeting", u"", kKeyVolatile, {}, 7);
                  return 0;
              },
                           nullptr),
              0);
    auto other = OpenHive(dir);
    const Bytes before = Snapshot(*hive);
    const std::string file = FileBytes(dir);

    // Every kind of operation, then a failure: from the body, from an
    // operation that does not fit, from an exception, from the disk.
    const std::vector<std::function<LONG(Batch&)>> bodies = {
        [&](Batch& b) {  // levels made beneath a volatile key, the last refused
            KeyId a = b.CreateKey(fleeting, u"a", u"", kKeyVolatile, {1, 2, 3}, 9);
            b.CreateKey(a, u"b", u"", kKeyVolatile, {}, 9);
            return ERROR_CHILD_MUST_BE_VOLATILE;
        },
        [&](Batch& b) {
            b.SetValue(keep, u"vB", 4, Data("changed"));  // replaced
            b.SetValue(keep, u"new", 4, Data("added"));
            b.DeleteValue(keep, u"vC");  // from the middle of an indexed list
            b.SetSecurity(keep, {9, 9, 9});
            b.SetTime(keep, 12345);
            b.SetMount(inner, "elsewhere");
            b.DeleteKey(inner);  // with the key beneath it
            b.ClearKey(keep);
            return ERROR_ACCESS_DENIED;
        },
        [&](Batch& b) {
            b.SetValue(keep, u"vD", 4, Data("changed"));
            b.DeleteKey(999999);  // no such key: the batch is not Ok
            return ERROR_SUCCESS;
        },
        [&](Batch& b) -> LONG {
            b.DeleteKey(fleeting);
            b.NewBoot("another");
            throw std::runtime_error("from the body");
        },
        [&](Batch& b) {  // fine, but the record cannot be written
            g_failWrites = true;
            b.DeleteKey(inner);
            b.SetValue(keep, u"vE", 4, Data("changed"));
            return ERROR_SUCCESS;
        },
    };
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        std::vector<Change> changes;
        LONG status = ERROR_SUCCESS;
        try {
            status = hive->Commit(bodies[i], &changes);
        } catch (const std::runtime_error&) {
            status = -1;
        }
        g_failWrites = false;
        EXPECT_NE(status, ERROR_SUCCESS) << "body " << i;
        EXPECT_TRUE(changes.empty()) << "body " << i << ": " << changes.size() << " changes reported";
        EXPECT_EQ(Snapshot(*hive), before) << "body " << i;
        EXPECT_EQ(FileBytes(dir), file) << "body " << i;
    }
    // The keys put back are whole: their sub-keys, values and order are
    // there, and the hive goes on taking commits that another opener reads.
    ASSERT_NE(hive->View().Find(inner), nullptr);
    EXPECT_EQ(hive->View().Find(inner)->Children().size(), 1u);
    EXPECT_EQ(ValueOf(*hive, keep, u"VC"), "x");
    EXPECT_EQ(hive->View().Find(keep)->Values()[2].name, u"vC");
    SetValue(*hive, inner, u"after", "y");
    ASSERT_EQ(other->Sync(nullptr), 0);
    EXPECT_EQ(Snapshot(*other), Snapshot(*hive));
}

// Fails every sync while `g_failSyncs` is set, as a failing disk does.
bool g_failSyncs = false;
int FailingSync(int fd)
{
    if (g_failSyncs) {
        errno = EIO;
        return -1;
    }
    return ::fdatasync(fd);
}

TEST(StoreHive, AfterAFailedSyncEveryCallSaysTheHiveIsBroken)
{
    TempDir dir("netid-hive");
    const FileIo io{&::pwrite, &FailingSync};
    auto hive = OpenHive(dir, Options(), io);
    KeyId key = AddKey(*hive, kRootKey, u"K");
    g_failSyncs = true;
    EXPECT_EQ(hive->Flush(), ERROR_REGISTRY_IO_FAILED);
    g_failSyncs = false;
    // The kernel may have dropped what it could not write and answer the
    // next sync with success: nothing goes on from this hive.
    EXPECT_EQ(hive->Flush(), ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(hive->Sync(nullptr), ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(hive->Commit([&](Batch& b) {
                  b.SetValue(key, u"v", 4, Data("x"));
                  return 0;
              },
                          nullptr),
              ERROR_REGISTRY_IO_FAILED);
    // Opened anew, the hive is what its file holds.
    auto again = OpenHive(dir);
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again->View().Find(key), nullptr);
    EXPECT_EQ(ValueOf(*again, key, u"V"), "<none>");
}

TEST(StoreHive, WhatOneOpenerCommitsTheOtherSeesAndReplaysTheSame)
{
    TempDir dir("netid-hive");
    auto a = OpenHive(dir);
    auto b = OpenHive(dir);
    KeyId key = AddKey(*a, kRootKey, u"Software");
    SetValue(*a, key, u"Name", "one");

    std::vector<Change> changes;
    ASSERT_EQ(b->Sync(&changes), 0);
    EXPECT_EQ(ValueOf(*b, key, u"NAME"), "one");
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].key, kRootKey);  // a sub-key was added
    EXPECT_EQ(changes[1].key, key);
    EXPECT_EQ(changes[1].chain, (std::vector<KeyId>{key, kRootKey}));

    // Both write; each sees the other's, and the two hold the same hive.
    SetValue(*b, key, u"name", "two");
    SetValue(*a, key, u"Other", "three");
    ASSERT_EQ(a->Sync(nullptr), 0);
    ASSERT_EQ(b->Sync(nullptr), 0);
    EXPECT_EQ(ValueOf(*a, key, u"NAME"), "two");
    EXPECT_EQ(Snapshot(*a), Snapshot(*b));
    // The value kept the name it was created with.
    EXPECT_EQ(a->View().Find(key)->Values()[0].name, u"Name");

    auto c = OpenHive(dir);
    EXPECT_EQ(Snapshot(*c), Snapshot(*a));
}

TEST(StoreHive, WritersInManyProcessesLoseNothingAcrossCheckpoints)
{
    TempDir dir("netid-hive");
    KeyId key = 0;
    {
        auto hive = OpenHive(dir);
        key = AddKey(*hive, kRootKey, u"K");
    }
    // Each child reads between its writes, so that it takes other writers'
    // commits at every stage, checkpoints among them.
    const int kChildren = 4;
    const int kEach = 600;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::unique_ptr<Hive> hive;
            if (Hive::Open(dir.Fd(), "h", Options(), hive) != 0) _exit(2);
            for (int i = 0; i < kEach; ++i) {
                if (hive->Sync(nullptr) != 0) _exit(3);
                std::string text = "c" + std::to_string(c) + "_" + std::to_string(i);
                std::u16string name(text.begin(), text.end());
                LONG status = hive->Commit(
                    [&](Batch& b) {
                        b.SetValue(key, name, 3, Bytes(200, static_cast<std::uint8_t>(i)));
                        return 0;
                    },
                    nullptr);
                if (status != 0) _exit(4);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    auto hive = OpenHive(dir);
    EXPECT_EQ(hive->View().Find(key)->Values().size(), static_cast<std::size_t>(kChildren * kEach));
}

TEST(StoreHive, NamesCompareByUpperCaseAndSubKeysSortByIt)
{
    TempDir dir("netid-hive");
    auto hive = OpenHive(dir);
    AddKey(*hive, kRootKey, u"b");
    AddKey(*hive, kRootKey, u"\u00e4");  // ä
    AddKey(*hive, kRootKey, u"A");
    KeyId dup = 0;
    EXPECT_EQ(hive->Commit([&](Batch& b) {
                  dup = b.CreateKey(kRootKey, u"\u00c4", u"", 0, {}, 7);  // Ä: the same name
                  return 0;
              },
                          nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(dup, 0u);
    const Key& root = hive->View().Root();
    ASSERT_EQ(root.Children().size(), 3u);
    EXPECT_EQ(root.Children()[0].key->upper, u"A");
    EXPECT_EQ(root.Children()[1].key->upper, u"B");
    EXPECT_EQ(root.Children()[2].key->upper, u"\u00c4");
}

TEST(StoreHive, ATornEndIsNeverTakenAndTheNextWriterCutsItOff)
{
    TempDir dir("netid-hive");
    KeyId key = 0;
    std::uint64_t whole = 0;
    {
        auto hive = OpenHive(dir);
        key = AddKey(*hive, kRootKey, u"K");
        SetValue(*hive, key, u"v", "first");
        whole = hive->FileSize();
        SetValue(*hive, key, u"v", "second");
    }
    std::string file = dir.Path() + "/h.hive";
    ASSERT_EQ(truncate(file.c_str(), static_cast<off_t>(fs::file_size(file) - 3)), 0);

    auto reader = OpenHive(dir);
    EXPECT_EQ(ValueOf(*reader, key, u"V"), "first");
    // The writer cuts the torn record off before it appends.
    SetValue(*reader, key, u"v", "third");
    auto again = OpenHive(dir);
    EXPECT_EQ(ValueOf(*again, key, u"V"), "third");
    EXPECT_GT(fs::file_size(file), whole);
}

TEST(StoreHive, CheckpointsAndRewritesKeepTheFileSmallAndTheOpeningShort)
{
    TempDir dir("netid-hive");
    auto hive = OpenHive(dir);
    auto reader = OpenHive(dir);
    KeyId key = AddKey(*hive, kRootKey, u"K");
    std::string big(3000, 'x');
    for (int i = 0; i < 5000; ++i) {
        SetValue(*hive, key, u"v" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10)),
                 big + std::to_string(i));
        if (i % 997 == 0) {
            ASSERT_EQ(reader->Sync(nullptr), 0);
        }
    }
    // 15 MB were written in all; the file keeps about one checkpoint and a tail.
    EXPECT_LT(hive->FileSize(), format::kRewriteAbove + 200 * 1024);
    ASSERT_EQ(reader->Sync(nullptr), 0);
    EXPECT_EQ(Snapshot(*reader), Snapshot(*hive));
    auto fresh = OpenHive(dir);
    EXPECT_EQ(Snapshot(*fresh), Snapshot(*hive));
    EXPECT_EQ(ValueOf(*fresh, key, u"V9"), big + "4999");
}

TEST(StoreHive, VolatileKeysAreGoneInTheNextStartOfTheMachine)
{
    TempDir dir("netid-hive");
    KeyId lasting = 0, gone = 0;
    {
        auto hive = OpenHive(dir);
        lasting = AddKey(*hive, kRootKey, u"Lasting");
        ASSERT_EQ(hive->Commit([&](Batch& b) {
                      gone = b.CreateKey(kRootKey, u"Gone", u"", kKeyVolatile, {}, 7);
                      b.CreateKey(gone, u"Beneath", u"", kKeyVolatile, {}, 7);
                      return 0;
                  },
                              nullptr),
                  0);
        EXPECT_FALSE(hive->TakeNewBoot());
    }
    HiveOptions next = Options();
    next.bootId = "boot-2";
    auto reader = OpenHive(dir, next);
    EXPECT_EQ(reader->View().Find(gone), nullptr);
    EXPECT_NE(reader->View().Find(lasting), nullptr);
    SetValue(*reader, lasting, u"v", "x");
    EXPECT_TRUE(reader->TakeNewBoot());
    EXPECT_FALSE(reader->TakeNewBoot());
    auto old = OpenHive(dir);  // even a process of the old start sees them gone now
    EXPECT_EQ(old->View().Find(gone), nullptr);
    EXPECT_EQ(CountKeys(old->View()), 2u);
}

TEST(StoreHive, FilesOfAnotherOwnerOrBehindALinkAreRefused)
{
    TempDir dir("netid-hive");
    { auto hive = OpenHive(dir); }
    HiveOptions other = Options();
    other.owner = geteuid() + 1;
    std::unique_ptr<Hive> hive;
    EXPECT_EQ(Hive::Open(dir.Fd(), "h", other, hive), ERROR_ACCESS_DENIED);

    TempDir planted("netid-hive");
    ASSERT_EQ(symlink((dir.Path() + "/h.hive").c_str(), (planted.Path() + "/h.hive").c_str()), 0);
    EXPECT_EQ(Hive::Open(planted.Fd(), "h", Options(), hive), ERROR_ACCESS_DENIED);
}

// ------------------------------------------------------------ power loss
// Every write and sync the hive makes, in order, so that the test can build
// what a disk may hold after a power loss at any moment: everything written
// before the last sync of its file, and any part of what came after it.
struct Journal {
    struct Write {
        int fd;
        off_t offset;
        Bytes data;
    };
    std::vector<Write> writes;
    std::vector<std::pair<int, std::size_t>> syncs;  // fd, writes before it
};
Journal* g_journal = nullptr;

ssize_t JournalPwrite(int fd, const void* data, size_t size, off_t offset)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    g_journal->writes.push_back({fd, offset, Bytes(p, p + size)});
    return pwrite(fd, data, size, offset);
}
int JournalSync(int fd)
{
    g_journal->syncs.push_back({fd, g_journal->writes.size()});
    return fdatasync(fd);
}

TEST(StoreHive, APowerLossAtAnyMomentLeavesTheHiveAsItStoodAfterSomeCommit)
{
    TempDir dir("netid-hive");
    Journal journal;
    g_journal = &journal;
    const FileIo io{&JournalPwrite, &JournalSync};
    // The states after each commit, and which commit was flushed last.
    std::vector<Bytes> states;
    std::size_t flushedAt = 0;
    std::size_t writesAtFlush = 0;
    KeyId key = 0;
    {
        auto hive = OpenHive(dir, Options(), io);
        states.push_back(Snapshot(*hive));
        key = AddKey(*hive, kRootKey, u"K");
        states.push_back(Snapshot(*hive));
        for (int i = 0; i < 400; ++i) {
            SetValue(*hive, key, u"v" + std::u16string(1, static_cast<char16_t>(u'a' + i % 7)),
                     std::string(static_cast<std::size_t>(50 + i % 300), static_cast<char>('a' + i % 26)));
            states.push_back(Snapshot(*hive));
            if (i == 250) {
                ASSERT_EQ(hive->Flush(), 0);
                flushedAt = states.size() - 1;
                writesAtFlush = journal.writes.size();
            }
        }
    }
    g_journal = nullptr;
    // All writes went to the one hive file (rewrites make new files: none
    // happen at this size).
    ASSERT_GT(journal.writes.size(), writesAtFlush);
    const int fd = journal.writes.back().fd;
    for (const auto& w : journal.writes) ASSERT_EQ(w.fd, fd);

    // The disk as of the flush: the file as the journal built it up to then.
    std::mt19937 random(12345);
    int checked = 0;
    for (int trial = 0; trial < 300; ++trial) {
        // Everything up to the last sync (the flush, or one a checkpoint
        // made), then any 512-byte sectors of what followed.
        std::size_t upTo = writesAtFlush + random() % (journal.writes.size() - writesAtFlush + 1);
        std::size_t durable = writesAtFlush;
        for (const auto& sync : journal.syncs) {
            if (sync.second <= upTo) durable = std::max(durable, sync.second);
        }
        Bytes image;
        auto apply = [&](const Journal::Write& w, bool partly) {
            std::size_t end = static_cast<std::size_t>(w.offset) + w.data.size();
            if (image.size() < end) image.resize(end, 0);
            for (std::size_t at = 0; at < w.data.size();) {
                std::size_t sector = (static_cast<std::size_t>(w.offset) + at) / 512;
                std::size_t next = std::min(w.data.size(), (sector + 1) * 512 - static_cast<std::size_t>(w.offset));
                if (!partly || random() % 3 != 0) {
                    std::copy(w.data.begin() + static_cast<long>(at), w.data.begin() + static_cast<long>(next),
                              image.begin() + w.offset + static_cast<long>(at));
                }
                at = next;
            }
        };
        for (std::size_t i = 0; i < upTo; ++i) apply(journal.writes[i], i >= durable);

        TempDir crashed("netid-hive");
        {
            std::string path = crashed.Path() + "/h.hive";
            FILE* out = fopen(path.c_str(), "wb");
            ASSERT_NE(out, nullptr);
            fwrite(image.data(), 1, image.size(), out);
            fclose(out);
        }
        HiveOptions options = Options();
        options.create = false;
        std::unique_ptr<Hive> hive;
        ASSERT_EQ(Hive::Open(crashed.Fd(), "h", options, hive), 0) << "trial " << trial;
        Bytes state = Snapshot(*hive);
        std::size_t found = 0;
        for (std::size_t s = 0; s < states.size(); ++s) {
            if (states[s] == state) found = s + 1;
        }
        ASSERT_NE(found, 0u) << "trial " << trial << ": a state no commit left";
        EXPECT_GE(found - 1, flushedAt) << "trial " << trial << ": a flushed commit was lost";
        // And the hive takes new commits.
        SetValue(*hive, key, u"after", "x");
        ++checked;
    }
    EXPECT_EQ(checked, 300);
}

// A hive file as the earlier version wrote it: checkpoints fully encoded.
// Keys: the top key, A (with a value) and its sub-key B, and a volatile V;
// then one commit that sets a value of B.
std::string EarlierHiveFile()
{
    namespace f = netid::posix::store::format;
    Bytes payload;
    Encoder e(payload);
    e.U32(1);      // the encoded form
    e.U64(5);      // next key id
    e.U32(1);      // next descriptor id
    e.U64(0);      // commits applied
    e.Str("boot-1");
    e.U32(0);      // no descriptors
    e.U64(4);      // keys, parents first
    struct K { KeyId id, parent; std::uint32_t flags; std::u16string name; };
    for (const K& k : {K{1, 0, 0, u"TEST"}, K{2, 1, 0, u"A"}, K{4, 1, kKeyVolatile, u"V"}, K{3, 2, 0, u"B"}}) {
        e.U64(k.id);
        e.U64(k.parent);
        e.U32(k.flags);
        e.U32(0);
        e.U64(9);
        e.Text(k.name);
        e.Text(u"");
        e.Str("");
        e.Str("");
        e.U32(k.id == 2 ? 1 : 0);
        if (k.id == 2) {
            e.Text(u"Kept");
            e.U32(3);
            e.Bytes(Data("earlier"));
        }
    }
    Bytes header(f::kHeaderSize, 0);
    std::memcpy(&header[f::kHeaderMagic], f::kMagic, sizeof f::kMagic);
    netid::posix::Put32(&header[f::kHeaderVersion], f::kVersionEncoded);
    netid::posix::Put64(&header[f::kHeaderFileId], 77);
    netid::posix::Put32(&header[f::kHeaderSalt], 1234);
    netid::posix::Put32(&header[f::kHeaderCrc], netid::posix::Crc32c(0, header.data(), f::kHeaderCrc));
    std::uint32_t crc = 0;
    Bytes checkpoint = MakeRecord(f::kCheckpoint, 0, 0, 1234, payload, crc);
    Bytes commit;
    Encoder c(commit);
    c.U64(10);
    c.U8(static_cast<std::uint8_t>(Op::SetValue));
    c.U64(3);
    c.U64(10);
    c.Text(u"Later");
    c.U32(3);
    c.Bytes(Data("commit"));
    Bytes second = MakeRecord(f::kCommit, 1, crc, 1234, commit, crc);
    std::string file(header.begin(), header.end());
    file.append(checkpoint.begin(), checkpoint.end());
    file.append(second.begin(), second.end());
    return file;
}

TEST(StoreHive, AHiveFileOfTheEarlierFormIsReadAndConvertedOnceByItsFirstWriter)
{
    TempDir dir("netid-hive");
    const std::string earlier = EarlierHiveFile();
    std::ofstream(dir.Path() + "/h.hive", std::ios::binary) << earlier;
    auto check = [](const Hive& hive) {
        EXPECT_EQ(ValueOf(hive, 2, u"KEPT"), "earlier");
        EXPECT_EQ(ValueOf(hive, 3, u"LATER"), "commit");
        EXPECT_NE(hive.View().Find(4), nullptr);  // volatile, of the same start
    };
    HiveOptions reader = Options();
    reader.create = false;
    reader.writable = false;
    auto read = OpenHive(dir, reader);
    ASSERT_NE(read, nullptr);
    check(*read);
    EXPECT_EQ(FileBytes(dir), earlier) << "a process that may only read changed the file";

    auto writer = OpenHive(dir);
    ASSERT_NE(writer, nullptr);
    check(*writer);
    const std::string converted = FileBytes(dir);
    ASSERT_GE(converted.size(), 12u);
    EXPECT_EQ(netid::posix::Get32(reinterpret_cast<const std::uint8_t*>(converted.data()) + 8),
              netid::posix::store::format::kVersion);
    SetValue(*writer, 3, u"New", "x");
    auto again = OpenHive(dir);  // the next writer finds nothing to convert
    check(*again);
    EXPECT_EQ(ValueOf(*again, 3, u"NEW"), "x");
    EXPECT_EQ(Snapshot(*again), Snapshot(*writer));
    EXPECT_EQ(FileBytes(dir).substr(0, 4096), converted.substr(0, 4096));
    // The process that read the earlier file goes over to the new one.
    ASSERT_EQ(read->Sync(nullptr), 0);
    EXPECT_EQ(ValueOf(*read, 3, u"NEW"), "x");
}

}  // namespace
