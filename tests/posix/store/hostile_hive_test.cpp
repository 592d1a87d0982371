// SPDX-License-Identifier: LGPL-2.1-or-later
// Another user's hive is hostile input to root: root reads it without taking
// its owner's lock, writing anything of it or waiting on it; never past the
// file's real data; and records that check out but make no sense (a commit
// that does not apply, a hive mounted in itself) give a status, never a
// crash or recursion. A fuzz test of the record and checkpoint reader with
// valid checksums on hostile contents.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/base/byte_order.h"
#include "platform/posix/base/checksum.h"
#include "platform/posix/base/files.h"
#include "platform/posix/store/store_format.h"
#include "platform/posix/store/store_hive.h"
#include "support/environment.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

namespace fs = std::filesystem;
namespace f = netid::posix::store::format;
using netid::posix::OwnedFd;
using netid::posix::store::Batch;
using netid::posix::store::Bytes;
using netid::posix::store::Hive;
using netid::posix::store::HiveOptions;
using netid::posix::store::Key;
using netid::posix::store::KeyId;
using netid::posix::store::kRootKey;

const std::string kHelper = NETID_TEST_HELPER_EXE;
const unsigned kBob = 65533;

// Runs the helper as `uid` (0: root) against the store `dir`, stopped after
// a minute ("hang" then); its output.
std::string As(unsigned uid, const std::string& dir, const std::string& arguments, const std::string& limits = "")
{
    std::string who = uid == 0 ? std::string()
                               : "setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(uid) +
                                     " --clear-groups ";
    std::string out;
    int rc = RunProcess(limits + who + "env NETID_REGISTRY_DIR='" + dir + "' timeout 60 " + kHelper + " " + arguments,
                        &out);
    if (rc == 124) return "hang";
    if (rc > 128) return "signal " + std::to_string(rc - 128);
    return out;
}

// Where the records of a hive file end.
std::size_t RecordsEnd(const std::string& file)
{
    using netid::posix::Get32;
    auto* p = reinterpret_cast<const std::uint8_t*>(file.data());
    std::size_t at = f::kHeaderSize;
    while (at + f::kRecordHeaderSize <= file.size()) {
        std::uint32_t t = Get32(p + at + f::kRecordType);
        if (t != f::kCommit && t != f::kCheckpoint) break;
        at += (f::kRecordHeaderSize + Get32(p + at + f::kRecordLength) + 7) & ~std::size_t{7};
    }
    return at;
}

// Appends a record as a writer of the file would: the right sequence, chain
// and checksum, whatever the payload says.
void AppendRecord(std::string& file, std::uint32_t type, const Bytes& payload)
{
    using netid::posix::Get32;
    using netid::posix::Get64;
    auto* p = reinterpret_cast<const std::uint8_t*>(file.data());
    const std::uint32_t salt = Get32(p + f::kHeaderSalt);
    std::size_t at = f::kHeaderSize;
    std::uint32_t lastCrc = 0;
    std::uint64_t seq = 0;
    while (at + f::kRecordHeaderSize <= file.size()) {
        std::uint32_t t = Get32(p + at + f::kRecordType);
        if (t != f::kCommit && t != f::kCheckpoint) break;
        lastCrc = Get32(p + at + f::kRecordCrc);
        seq = Get64(p + at + f::kRecordSeq);
        at += (f::kRecordHeaderSize + Get32(p + at + f::kRecordLength) + 7) & ~std::size_t{7};
    }
    file.resize(at);
    std::vector<std::uint8_t> record((f::kRecordHeaderSize + payload.size() + 7) & ~std::size_t{7}, 0);
    netid::posix::Put32(&record[f::kRecordType], type);
    netid::posix::Put32(&record[f::kRecordLength], static_cast<std::uint32_t>(payload.size()));
    netid::posix::Put64(&record[f::kRecordSeq], type == f::kCommit ? seq + 1 : seq);
    netid::posix::Put32(&record[f::kRecordPrevCrc], lastCrc);
    if (!payload.empty()) std::memcpy(&record[f::kRecordHeaderSize], payload.data(), payload.size());
    std::uint32_t crc = netid::posix::Crc32c(salt, record.data(), f::kRecordCrc);
    crc = netid::posix::Crc32c(crc, payload.data(), payload.size());
    netid::posix::Put32(&record[f::kRecordCrc], crc);
    file.append(reinterpret_cast<const char*>(record.data()), record.size());
}

// What a directory holds: names, sizes and contents.
std::string Snapshot(const std::string& dir)
{
    std::string all;
    for (const auto& e : fs::directory_iterator(dir)) all += e.path().filename().string() + "=" + ReadAll(e.path()) + ";";
    return all;
}

class HostileHive : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to run children as another user";
        chmod(m_dir.Path().c_str(), 0755);
        m_store = m_dir.Path() + "/store";
        ASSERT_EQ("0\n", As(0, m_store, "create 'HKLM\\Software\\Shared' plain"));
        ASSERT_EQ("0\n", As(kBob, m_store, "create 'Software\\Mine' plain"));
        m_bobDir = m_store + "/users/S-1-22-1-" + std::to_string(kBob);
        m_bobKey = "S-1-22-1-" + std::to_string(kBob) + "\\Software\\Mine";
    }
    void WriteBobsHive(const std::string& content)
    {
        std::ofstream(m_bobDir + "/user.hive", std::ios::binary | std::ios::trunc) << content;
    }
    TempDir m_dir{"netid-hostile"};
    std::string m_store, m_bobDir, m_bobKey;
};

// Bob holds his own lock and makes his shared page look stale: root reads
// his hive at once, and nothing of Bob's changes.
TEST_F(HostileHive, RootReadsAHiveWhoseLockItsOwnerHoldsWithoutWaitingOrWriting)
{
    const std::string lock = m_bobDir + "/user.lock";
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // The shell takes the lock and becomes the holder (no child to outlive it).
        std::string cmd = "exec setpriv --reuid=" + std::to_string(kBob) + " --regid=" + std::to_string(kBob) +
                          " --clear-groups sh -c \"exec 9<>'" + lock + "' && flock -x 9 && exec sleep infinity\"";
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    struct Reap {
        pid_t pid;
        ~Reap()
        {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } reap{holder};
    ASSERT_TRUE(WaitUntil([&] { return RunProcess("flock -n -x '" + lock + "' true") != 0; }));
    {
        OwnedFd shm(::open((m_bobDir + "/user.shm").c_str(), O_RDWR));
        ASSERT_TRUE(shm.valid());
        std::uint8_t seq[8] = {0x77, 0x77, 0, 0, 0, 0, 0, 0};
        ASSERT_EQ(8, ::pwrite(shm.get(), seq, sizeof seq, f::kShmSeq));
    }
    const std::string before = Snapshot(m_bobDir);
    std::string out = As(0, m_store, "probe HKU '" + m_bobKey + "'");
    EXPECT_NE(std::string::npos, out.find("open_read=0")) << out;
    EXPECT_EQ(before, Snapshot(m_bobDir));
}

// Bob makes his hive a 1 GiB sparse file: root reads the records there are,
// in bounded memory.
TEST_F(HostileHive, RootReadsASparseHiveWithinItsRealData)
{
    ASSERT_EQ(0, RunProcess("setpriv --reuid=" + std::to_string(kBob) + " --regid=" + std::to_string(kBob) +
                            " --clear-groups truncate -s 1G '" + m_bobDir + "/user.hive'"));
#if defined(__SANITIZE_ADDRESS__)
    const std::string limits;  // the sanitizer's own mappings need more address space
#else
    const std::string limits = "ulimit -v 400000; ";
#endif
    std::string out = As(0, m_store, "probe HKU '" + m_bobKey + "'", limits);
    EXPECT_NE(std::string::npos, out.find("open_read=0")) << out;
}

// Records with valid checksums that make no sense: a commit that does not
// apply, and a key of Bob's hive mounting the store's own hive of users (a
// cycle). Root gets a status, never a crash or endless recursion.
TEST_F(HostileHive, RecordsThatCheckOutButMakeNoSenseGiveAStatus)
{
    std::string hive = ReadAll(m_bobDir + "/user.hive");
    std::string bad = hive;
    Bytes payload(8, 0);  // the commit's time
    payload.push_back(static_cast<std::uint8_t>(2));  // delete a key no one made
    for (int i = 0; i < 16; ++i) payload.push_back(0x5A);
    AppendRecord(bad, f::kCommit, payload);
    WriteBobsHive(bad);
    std::string out = As(0, m_store, "probe HKU '" + m_bobKey + "'");
    EXPECT_EQ(std::string::npos, out.find("hang")) << out;
    EXPECT_EQ(std::string::npos, out.find("signal")) << out;
    EXPECT_NE(std::string::npos, out.find("open_read=" + std::to_string(ERROR_REGISTRY_CORRUPT))) << out;

    // A key of Bob's mounting hku, which holds Bob's hive: a cycle.
    TempDir made("netid-hostile");
    {
        OwnedFd dir(::open(made.Path().c_str(), O_RDONLY | O_DIRECTORY));
        HiveOptions o;
        o.create = true;
        o.owner = ::geteuid();
        o.bootId = "b";
        o.fill = [](Batch& b) {
            KeyId loop = b.CreateKey(kRootKey, u"Loop", u"", 0, {}, 1);
            b.SetMount(loop, "hku");
            return ERROR_SUCCESS;
        };
        std::unique_ptr<Hive> h;
        ASSERT_EQ(ERROR_SUCCESS, Hive::Open(dir.get(), "user", o, h));
    }
    WriteBobsHive(ReadAll(made.Path() + "/user.hive"));
    const std::string loop = "S-1-22-1-" + std::to_string(kBob) + "\\Loop\\S-1-22-1-" + std::to_string(kBob) + "\\Loop";
    out = As(0, m_store, "probe HKU '" + loop + "'");
    EXPECT_EQ(std::string::npos, out.find("hang")) << out;
    EXPECT_EQ(std::string::npos, out.find("signal")) << out;
    EXPECT_EQ(std::string::npos, out.find("open_read=0")) << out;
#ifdef NETID_REGCTL_EXE
    std::string listing;
    int rc = RunProcess("env NETID_REGISTRY_DIR='" + m_store + "' timeout 60 " + NETID_REGCTL_EXE + " query HKU /s",
                        &listing);
    EXPECT_TRUE(rc == 0 || rc == 1) << rc << listing.substr(0, 2000);
#endif
}

// Hostile records with valid checksums, read by the store's reader: every
// one gives a status; no crash, no cycle in what is read.
TEST(HostileHiveFuzz, RecordsWithValidChecksumsAndHostileContents)
{
    TempDir dir("netid-hostile-fuzz");
    OwnedFd fd(::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY));
    HiveOptions o;
    o.create = true;
    o.owner = ::geteuid();
    o.bootId = "b";
    o.fill = [](Batch& b) {
        KeyId a = b.CreateKey(kRootKey, u"A", u"", 0, {}, 1);
        KeyId c = b.CreateKey(a, u"C", u"", 0, {}, 1);
        b.SetValue(c, u"v", 4, Bytes{1, 2, 3, 4});
        b.SetMount(b.CreateKey(kRootKey, u"M", u"", 0, {}, 1), "other");
        return ERROR_SUCCESS;
    };
    {
        std::unique_ptr<Hive> h;
        ASSERT_EQ(ERROR_SUCCESS, Hive::Open(fd.get(), "base", o, h));
    }
    const std::string base = ReadAll(dir.Path() + "/base.hive");
    HiveOptions materialReader = o;
    materialReader.create = false;
    materialReader.writable = false;
    std::unique_ptr<Hive> material;  // the hive whose checkpoints are laid out anew
    ASSERT_EQ(ERROR_SUCCESS, Hive::Open(fd.get(), "base", materialReader, material));
    // The first record (the checkpoint) as material to mutate.
    const auto* p = reinterpret_cast<const std::uint8_t*>(base.data());
    const std::uint32_t checkpointLength = netid::posix::Get32(p + f::kHeaderSize + f::kRecordLength);
    const Bytes checkpoint(p + f::kHeaderSize + f::kRecordHeaderSize,
                           p + f::kHeaderSize + f::kRecordHeaderSize + checkpointLength);

    std::mt19937_64 rng(20261209);
    auto byte = [&] { return static_cast<std::uint8_t>(rng()); };
    auto small = [&](std::uint64_t n) { return static_cast<std::uint64_t>(rng() % n); };
    int opened = 0;
    int unreadable = 0;  // hives read with parts that did not check out
    for (int round = 0; round < 1500; ++round) {
        std::string file = base;
        const int records = 1 + static_cast<int>(small(3));
        for (int r = 0; r < records; ++r) {
            Bytes payload;
            if (small(4) == 0) {
                // A checkpoint laid out for where it goes (whole, or what
                // changed since the first: nothing, its index copied), with
                // offsets and counts then set to hostile values: backwards,
                // forwards, at itself, past the end, huge.
                const std::uint64_t at = RecordsEnd(file) + f::kRecordHeaderSize;
                material->View().Save(payload, at, small(2) == 0);
                for (std::uint64_t k = 0, n = 1 + small(6); k < n; ++k) {
                    std::uint8_t* field = payload.data() + 8 * small(payload.size() / 8);
                    const std::uint64_t choices[] = {0, at + 8 * small(payload.size() / 8),
                                                     static_cast<std::uint64_t>(field - payload.data()) + at,
                                                     small(at + 1), rng(), 0xFFFFFFFFu, small(64)};
                    const std::uint64_t value = choices[small(7)];
                    if (small(2) == 0) {
                        netid::posix::Put64(field, value);
                    } else {
                        netid::posix::Put32(field + 4 * small(2), static_cast<std::uint32_t>(value));
                    }
                }
                AppendRecord(file, f::kCheckpoint, payload);
                continue;
            }
            if (small(3) == 0) {
                payload = checkpoint;  // a checkpoint with bytes changed or cut
                for (std::uint64_t k = 0, n = 1 + small(4); k < n && !payload.empty(); ++k) {
                    payload[small(payload.size())] = byte();
                }
                if (small(2) == 0) payload.resize(small(payload.size() + 1));
                AppendRecord(file, f::kCheckpoint, payload);
                continue;
            }
            payload.assign(8, 0);
            for (std::uint64_t k = 0, n = 1 + small(3); k < n; ++k) {
                payload.push_back(static_cast<std::uint8_t>(1 + small(11)));  // an operation, or none known
                // Small key ids and lengths, so that some operations find what they name.
                for (std::uint64_t b = 0, m = small(40); b < m; ++b) {
                    payload.push_back(small(4) == 0 ? byte() : static_cast<std::uint8_t>(small(4)));
                }
            }
            AppendRecord(file, f::kCommit, payload);
        }
        std::ofstream(dir.Path() + "/h.hive", std::ios::binary | std::ios::trunc) << file;
        HiveOptions reader;
        reader.writable = false;
        reader.owner = ::geteuid();
        reader.bootId = "b";
        std::unique_ptr<Hive> h;
        if (Hive::Open(fd.get(), "h", reader, h) != ERROR_SUCCESS) continue;
        ++opened;
        h->Sync(nullptr);
        // Every key is reached once from the top: no cycle.
        std::set<KeyId> seen;
        std::vector<KeyId> todo{kRootKey};
        while (!todo.empty()) {
            KeyId id = todo.back();
            todo.pop_back();
            ASSERT_TRUE(seen.insert(id).second) << "a key reached twice in round " << round;
            const Key* key = h->View().Find(id);
            ASSERT_NE(nullptr, key);
            for (const netid::posix::store::Value& v : key->Values()) ASSERT_LE(v.data.size(), file.size());
            for (const auto& child : key->Children()) todo.push_back(child.id);
        }
        if (!h->View().Readable()) ++unreadable;
    }
    EXPECT_GT(opened, 0);
    EXPECT_GT(unreadable, 0) << "no round reached the checks of a checkpoint read in place";
}

}  // namespace
