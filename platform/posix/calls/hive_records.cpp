// SPDX-License-Identifier: LGPL-2.1-or-later
// Origins of loaded hives, the record file of replacements, unloading and
// the boot work (see hive_records.h).
#include "platform/posix/calls/hive_records.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/base/files.h"
#include "platform/posix/regf/hive_file.h"
#include "platform/posix/calls/reg_handles.h"
#include "platform/posix/calls/reg_trees.h"
#include "platform/posix/store/store_trees.h"
#include "platform/posix/base/text.h"

namespace netid::posix::hive {
namespace {

using Lock = std::unique_lock<std::mutex>;

constexpr const char* kLockFile = "hives.lock";
// A record file is a few lines per pending replacement: larger is no file of ours.
constexpr std::size_t kMaxRecordFile = 1 << 20;

// The same keys, classes and values, whatever their times.
bool SameContents(const RegTree& a, const RegTree& b)
{
    if (a.keyClass != b.keyClass || a.values.size() != b.values.size() || a.subkeys.size() != b.subkeys.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        const RegValue& x = a.values[i];
        const RegValue& y = b.values[i];
        if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
    }
    for (std::size_t i = 0; i < a.subkeys.size(); ++i) {
        if (a.subkeys[i].name != b.subkeys[i].name || !SameContents(a.subkeys[i], b.subkeys[i])) return false;
    }
    return true;
}

// One pending replacement, on a new start of the machine: the key's contents
// go to the old file, the staged new contents take their place. A loaded
// hive's own file gets the new contents instead of the store. A start cut
// short (a power loss) after the old file was written, or after the new
// contents were put in place, is carried on at the next start.
LONG CarryOut(const Record& rep)
{
    RegTree fresh;
    LONG status = ReadHiveFile(rep[2], fresh);
    if (status != ERROR_SUCCESS) return status;
    HKEY root = HiveRootHandle(rep[0]);
    KeyHandle k;
    status = RegOpenKeyExA(root, rep[1].c_str(), 0, KEY_ALL_ACCESS, &k.key);
    if (status != ERROR_SUCCESS) return status;
    RegTree old;
    status = ExportKeyTree(k.key, old);
    if (status != ERROR_SUCCESS) return status;
    status = WriteHiveFile(rep[3], old, false);
    if (status == ERROR_ALREADY_EXISTS) {
        RegTree written;
        if (SameContents(old, fresh)) return ERROR_SUCCESS;  // replaced already
        if (ReadHiveFile(rep[3], written) == ERROR_SUCCESS && SameContents(written, old)) {
            status = ERROR_SUCCESS;  // kept by an earlier start cut short
        }
    }
    if (status != ERROR_SUCCESS) return status;  // the old contents must be kept first

    // A hive loaded there: its file gets the new contents and it goes.
    std::string::size_type slash = rep[1].rfind('\\');
    if (slash == std::string::npos) {
        std::u16string name = Utf8ToUtf16(rep[1]);
        LONG loaded = Guarded([&](Registry& reg, Lock&) -> LONG {
            store::KeyRef top = reg.Resolve(root).key;
            store::KeyRef at;
            LONG s = reg.engine.Child(top, name, at);
            if (s != ERROR_SUCCESS || at.slot == top.slot) return ERROR_FILE_NOT_FOUND;
            const store::Key& point = reg.Current(reg.engine.MountPoint(at));
            Origin origin;
            if (!DecodeOrigin(point.mountOrigin, origin)) return ERROR_FILE_NOT_FOUND;
            s = WriteBack(origin, fresh);
            if (s != ERROR_SUCCESS) return s;
            return reg.engine.Unmount(at);
        });
        if (loaded != ERROR_FILE_NOT_FOUND) return loaded;
    }
    status = ReplaceKeyContents(k.key, fresh, false);
    // On the disk before the record of the replacement goes.
    if (status == ERROR_SUCCESS) status = RegFlushKey(k.key);
    return status;
}

// The names of the hives loaded from files below `root` in an earlier start
// of the machine.
std::vector<std::u16string> StaleLoads(HKEY root, const std::string& boot)
{
    std::vector<std::u16string> names;
    Guarded([&](Registry& reg, Lock&) -> LONG {
        store::KeyRef top = reg.Resolve(root).key;
        const store::Model& model = top.slot->hive->View();
        for (const store::ChildRef& c : reg.Current(top).Children()) {
            const store::Key* k = model.Find(c.id);
            Origin origin;
            if (k != nullptr && DecodeOrigin(k->mountOrigin, origin) && origin.boot != boot) {
                names.push_back(k->name);
            }
        }
        return ERROR_SUCCESS;
    });
    return names;
}

}  // namespace

LONG WriteBack(const Origin& origin, const RegTree& tree)
{
    std::vector<BYTE> image;
    LONG status = HiveImage(tree, image);
    if (status != ERROR_SUCCESS) return status;
    OwnedFd dir;
    std::string name;
    status = OpenParentDirectory(origin.file, dir, name);
    if (status != ERROR_SUCCESS) return status;
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0 || (origin.dirInode != 0 && (st.st_dev != origin.dirDevice ||
                                                                   st.st_ino != origin.dirInode))) {
        return ERROR_ACCESS_DENIED;  // not the directory the hive came from
    }
    struct stat file {};
    mode_t mode = 0600;
    if (::fstatat(dir.get(), name.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(file.st_mode)) return ERROR_ACCESS_DENIED;
        mode = file.st_mode & 0777;
    }
    return WriteFileAtomically(dir.get(), name, image.data(), image.size(), true, mode);
}

// ------------------------------------------------------------ the record file
Records::Records()
{
    m_dir = StoreDirectory();
    OwnedFd dir;
    std::string problem;
    if (OpenDirectorySafely(m_dir, false, dir, problem) != ERROR_SUCCESS) return;
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0) return;
    // In a sticky directory shared by users, only the caller's own record
    // files are read: another user's could name any file of the caller's.
    m_owner = StoreFilesOwner(st);
    m_dirFd = std::move(dir);
    LONG status = ERROR_SUCCESS;
    m_lock = OpenOrMakeStoreFile(m_dirFd.get(), kLockFile, O_RDWR, 0600, ::geteuid(), 0, status);
    while (m_lock.valid() && ::flock(m_lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) m_lock.reset();  // not locked: not Ok()
    }
}

Records::~Records() = default;

std::vector<Record> Records::Read(const char* name) const
{
    std::string text;
    if (ReadStoreFile(m_dirFd.get(), name, m_owner, kMaxRecordFile, text) != ERROR_SUCCESS) return {};
    return ParseRecords(text);
}

LONG Records::Write(const char* name, const std::vector<Record>& records) const
{
    std::string text;
    for (const Record& r : records) text += JoinRecord(r) + '\n';
    return WriteFileAtomically(m_dirFd.get(), name, text.data(), text.size(), true, 0644);
}

HKEY HiveRootHandle(const std::string& name)
{
    return name == "HKEY_USERS" ? HKEY_USERS : HKEY_LOCAL_MACHINE;
}

// ------------------------------------------------------------ unloading
LONG Unload(HKEY root, const std::u16string& name, bool refuseWhileOpen)
{
    if (refuseWhileOpen) {
        KeyHandle k;
        LONG status = RegOpenKeyExA(root, Utf16ToUtf8(name).c_str(), 0, KEY_READ, &k.key);
        if (status != ERROR_SUCCESS) return status;
        if (HandlesOpenBeneath(k.key, k.key)) return ERROR_ACCESS_DENIED;
    }
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        store::KeyRef top = reg.Resolve(root).key;
        store::KeyRef at;
        LONG status = reg.engine.Child(top, name, at);
        if (status != ERROR_SUCCESS) return status;
        if (at.slot == top.slot || at.id != store::kRootKey) return ERROR_INVALID_PARAMETER;
        const store::Key& point = reg.Current(reg.engine.MountPoint(at));
        Origin origin;
        if (!DecodeOrigin(point.mountOrigin, origin)) {
            // A hive of the store's own (SAM, SECURITY, .DEFAULT) stays.
            return ERROR_ACCESS_DENIED;
        }
        // Only what changed goes back: an unchanged hive leaves its file as
        // it was, byte for byte.
        if (reg.engine.HiveChanged(at)) {
            RegTree tree;
            store::ExportTree(at.slot->hive->View(), store::kRootKey, tree);
            status = WriteBack(origin, tree);
            if (status != ERROR_SUCCESS) return status;
        }
        return reg.engine.Unmount(at);
    });
}

// ------------------------------------------------------------ the boot work
void CarryOutBootWork()
{
    const std::string boot = CurrentBootId();
    {
        Records records;
        if (records.Ok()) {
            // Only what was recorded during an earlier run of the machine is due.
            std::vector<Record> kept;
            for (const Record& rep : records.Read(kReplacements)) {
                if (rep.size() != kReplacementFields) continue;
                if (rep[4] == boot) {
                    kept.push_back(rep);
                } else if (CarryOut(rep) == ERROR_SUCCESS) {
                    ::unlink(rep[2].c_str());
                } else {
                    kept.push_back(rep);  // tried again at the next start
                }
            }
            records.Write(kReplacements, kept);
        }
    }
    // Loaded hives do not outlive the machine's run: each goes back to its file.
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_USERS}) {
        for (const std::u16string& name : StaleLoads(root, boot)) Unload(root, name, false);
    }
    Guarded([](Registry& reg, Lock&) -> LONG {
        reg.engine.RemoveStrayHives();
        return ERROR_SUCCESS;
    });
}

}  // namespace netid::posix::hive
