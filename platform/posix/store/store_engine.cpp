// SPDX-License-Identifier: LGPL-2.1-or-later
// The store's hives and mounts (store_engine.h): opening and making the
// store directory, the user hives, crossing mount points; loaded hives are
// in store_mounts.cpp.
#include "platform/posix/store/store_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/security/access.h"
#include "platform/posix/base/files.h"
#include "platform/posix/base/process.h"
#include "platform/posix/security/security.h"
#include "platform/posix/base/text.h"
#include "platform/posix/store/store_view.h"

namespace netid::posix::store {
namespace {

constexpr const char* kMachine = "machine";
constexpr const char* kUsersHive = "hku";
constexpr const char* kDefaultHive = "default";
constexpr const char* kSamHive = "sam";
constexpr const char* kSecurityHive = "security";
constexpr const char* kUsersDir = "users";
constexpr const char* kUserHive = "user";
constexpr const char* kRootUserDir = "root";  // root's own hive, in the machine's store
constexpr const char* kUserSidPrefix = "S-1-22-1-";

// The hives every local user reads, kept with a public view.
bool HasView(const std::string& name) { return name == kMachine || name == kDefaultHive; }

std::string UserSidName(std::uint32_t uid) { return kUserSidPrefix + std::to_string(uid); }

// The uid a name of the form S-1-22-1-<uid> stands for.
bool ParseUserSidName(std::u16string_view name, std::uint32_t& uid)
{
    std::string text = Utf16ToUtf8(name);
    std::string prefix = kUserSidPrefix;
    if (text.size() <= prefix.size() || text.size() > prefix.size() + 10 ||
        !std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char a, char b) { return std::toupper(a) == std::toupper(b); })) {
        return false;
    }
    std::uint64_t value = 0;
    for (std::size_t i = prefix.size(); i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    if (value > 0xFFFFFFFEu || text != prefix + std::to_string(value)) return false;
    uid = static_cast<std::uint32_t>(value);
    return true;
}

// A key of the skeleton, made beneath the top key or an earlier entry.
struct SkeletonKey {
    const char16_t* name;
    int parent;          // index into the same table, -1 for the top key
    const char* mount;   // a hive hangs here, or null
};

LONG Fill(Batch& batch, const SkeletonKey* keys, std::size_t count, std::uint64_t now)
{
    std::vector<KeyId> ids;
    for (std::size_t i = 0; i < count; ++i) {
        KeyId parent = keys[i].parent < 0 ? kRootKey : ids[static_cast<std::size_t>(keys[i].parent)];
        const Model& model = batch.View();
        const Key* p = model.Find(parent);
        const Bytes* parentSecurity = model.Security(p->security);
        Bytes security = DefaultKeySecurity(parentSecurity);
        KeyId id = batch.CreateKey(parent, keys[i].name, u"", 0, security, now);
        if (keys[i].mount != nullptr) batch.SetMount(id, keys[i].mount);
        ids.push_back(id);
    }
    return batch.Ok() ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

}  // namespace

StoreEngine::~StoreEngine() { Close(); }

void StoreEngine::Close()
{
    m_slots.clear();
    m_machine.reset();
    m_users.reset();
    m_dir.reset();
    m_problem.clear();
    m_newBoot = false;
    m_usersListed = false;
    m_usersListing.clear();
}

HiveOptions StoreEngine::Options(mode_t mode, bool create) const
{
    HiveOptions o;
    o.create = create;
    o.owner = m_owner;
    o.mode = mode;
    o.bootId = m_bootId;
    return o;
}

// ------------------------------------------------------------ opening
LONG StoreEngine::Open(const std::string& directory)
{
    m_directory = directory;
    m_bootId = CurrentBootId();
    // Opened once, one component at a time and never through a link; every
    // check below is made on what was opened.
    OwnedFd dir;
    LONG opened = OpenDirectorySafely(directory, true, dir, m_problem);
    if (opened != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
    m_dir = std::move(dir);
    struct stat st {};
    ::fstat(m_dir.get(), &st);
    const uid_t me = ::geteuid();
    const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (st.st_uid != 0 && st.st_uid != me) {
        m_problem = "the store directory " + directory + " belongs to another user (uid " +
                    std::to_string(st.st_uid) + ")";
        return ERROR_ACCESS_DENIED;
    }
    if (othersWrite && (st.st_mode & S_ISVTX) == 0) {
        m_problem = "the store directory " + directory + " may be written by other users";
        return ERROR_ACCESS_DENIED;
    }
    // In a sticky directory open to all, only the caller's own files count.
    m_owner = StoreFilesOwner(st);

    struct stat machine {};
    if (::fstatat(m_dir.get(), (std::string(kMachine) + ".hive").c_str(), &machine, AT_SYMLINK_NOFOLLOW) != 0) {
        // A store of the earlier format is converted only when its database
        // is a file of the store's owner: in a sticky directory shared by
        // users, another user's is no store of the caller's and is ignored.
        struct stat old {};
        const bool earlier = ::fstatat(m_dir.get(), "registry.db", &old, AT_SYMLINK_NOFOLLOW) == 0 &&
                             S_ISREG(old.st_mode) && old.st_uid == m_owner;
        if (::faccessat(m_dir.get(), ".", W_OK, AT_EACCESS) != 0) {
            m_problem = "the store in " + directory + (earlier ? " is of an earlier format" : " has not been made yet") +
                        " and this user may not " + (earlier ? "convert" : "make") + " it";
            return ERROR_ACCESS_DENIED;
        }
        LONG made = earlier ? ConvertEarlierStore() : CreateSkeleton();
        if (made != ERROR_SUCCESS) {
            if (m_problem.empty()) m_problem = "the store in " + directory + " could not be made";
            return made;
        }
    }
    LONG status = OpenSlot(kMachine, m_dir.get(), {}, Options(0600, false), m_machine);
    if (status != ERROR_SUCCESS) {
        if (status == ERROR_ACCESS_DENIED) {
            m_problem = "the store's files in " + directory + " may not be read by this user";
        } else if (status == ERROR_BADDB) {
            m_problem = "the file " + directory + "/machine.hive is not a hive of this registry; it was left as it is";
        } else if (status == ERROR_REGISTRY_CORRUPT) {
            m_problem = "the file " + directory + "/machine.hive is damaged where it had been flushed to the disk; it was left as it is";
        }
        return status;
    }
    // The first writer of a new start of the machine records it: the
    // volatile keys of the old start go, and the hives' boot work is due.
    if (m_machine->hive->Writable() && m_machine->hive->View().BootId() != m_bootId) {
        status = Commit(Machine(), [](Batch&) { return ERROR_SUCCESS; });
        if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
}

bool StoreEngine::TakeNewBoot()
{
    bool due = m_newBoot;
    m_newBoot = false;
    return due;
}

LONG StoreEngine::CreateSkeleton()
{
    const std::uint64_t now = NowAsFileTime();
    // A store of a user's own is that user's to write throughout, as a user's
    // own hive is; the machine's store has the platform's default.
    const Bytes root = m_owner == 0 ? DefaultKeySecurity(nullptr) : OwnedHiveSecurity(UserSid(m_owner));
    auto make = [&](const char* name, const char16_t* rootName, mode_t mode, const SkeletonKey* keys,
                    std::size_t count) {
        HiveOptions o = Options(mode, true);
        o.rootName = rootName;
        o.rootSecurity = root;
        if (count != 0) o.fill = [=](Batch& b) { return Fill(b, keys, count, now); };
        std::shared_ptr<Slot> slot;
        return OpenSlot(name, m_dir.get(), {}, o, slot);
    };
    static const SkeletonKey users[] = {{u".DEFAULT", -1, kDefaultHive}};
    static const SkeletonKey machine[] = {
        {u"HARDWARE", -1, nullptr},
        {u"SAM", -1, kSamHive},
        {u"SECURITY", -1, kSecurityHive},
        {u"SOFTWARE", -1, nullptr},
        {u"Classes", 3, nullptr},
        {u"CLSID", 4, nullptr},
        {u"SYSTEM", -1, nullptr},
        {u"CurrentControlSet", 6, nullptr},
        {u"Hardware Profiles", 7, nullptr},
        {u"Current", 8, nullptr},
        {u"Software", 9, nullptr},
    };
    // Mounted hives first, the machine's own last: once it is there, the
    // store is whole.
    LONG status = ERROR_SUCCESS;
    for (auto [name, rootName, mode] : {std::tuple{kSamHive, u"SAM", 0600},
                                        std::tuple{kSecurityHive, u"SECURITY", 0600},
                                        std::tuple{kDefaultHive, u".DEFAULT", 0600}}) {
        status = make(name, rootName, static_cast<mode_t>(mode), nullptr, 0);
        if (status != ERROR_SUCCESS) return status;
    }
    status = make(kUsersHive, u"USER", 0644, users, std::size(users));
    if (status != ERROR_SUCCESS) return status;
    if (::mkdirat(m_dir.get(), kUsersDir, 0755) == 0) {
        // Every user makes their own hive here: sticky, as /tmp is.
        if (m_owner == 0 && ::fchmodat(m_dir.get(), kUsersDir, 01777, 0) != 0) return ERROR_ACCESS_DENIED;
    } else if (errno != EEXIST) {
        return ERROR_ACCESS_DENIED;
    }
    status = make(kMachine, u"MACHINE", 0600, machine, std::size(machine));
    m_slots.clear();
    return status;
}

LONG StoreEngine::OpenSlot(const std::string& name, int dir, OwnedFd ownDir, const HiveOptions& options,
                           std::shared_ptr<Slot>& out)
{
    auto it = m_slots.find(name);
    if (it != m_slots.end() && !it->second->gone) {
        out = it->second;
        return ERROR_SUCCESS;
    }
    auto slot = std::make_shared<Slot>();
    slot->name = name;
    slot->dir = dir;
    slot->ownDir = std::move(ownDir);
    std::string file = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
    LONG status = Hive::Open(dir, file, options, slot->hive);
    if (status == ERROR_ACCESS_DENIED && HasView(name)) {
        // Not this user's to read: what every user may read of it.
        HiveOptions o = options;
        o.create = false;
        o.writable = false;
        o.mode = 0644;
        if (Hive::Open(dir, file + kViewSuffix, o, slot->hive) != ERROR_SUCCESS) return status;
        slot->isView = true;
        status = ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) return status;
    if (HasView(name) && !slot->isView && slot->hive->Writable()) {
        // Where the view cannot be made now, the hive is left as readable as
        // it was (it is written anew for its owner alone only once its view
        // stands), and the next writer tries again.
        (void)PrepareView(*slot);
    }
    m_slots[name] = slot;
    out = slot;
    return ERROR_SUCCESS;
}

LONG StoreEngine::OpenMounted(const std::shared_ptr<Slot>& parent, KeyId mountKey, const std::string& name,
                           std::shared_ptr<Slot>& out)
{
    // Only hives of the store's own directory are mounted, by a plain name.
    if (name.empty() || name.find('/') != std::string::npos || name[0] == '.') return ERROR_BADDB;
    // A user's hive mounts nothing, and no hive is mounted beneath itself
    // or in a second place: a hostile hive file cannot make a cycle.
    if (parent->name.rfind(std::string(kUsersDir) + "/", 0) == 0) return ERROR_REGISTRY_CORRUPT;
    for (const Slot* s = parent.get(); s != nullptr; s = s->parent.get()) {
        if (s->name == name) return ERROR_REGISTRY_CORRUPT;
    }
    auto existing = m_slots.find(name);
    if (existing != m_slots.end() && !existing->second->gone && existing->second->parent &&
        (existing->second->parent != parent || existing->second->mountKey != mountKey)) {
        return ERROR_REGISTRY_CORRUPT;
    }
    mode_t mode = name == kSamHive || name == kSecurityHive || HasView(name) ? 0600 : 0644;
    LONG status = OpenSlot(name, m_dir.get(), {}, Options(mode, false), out);
    if (status != ERROR_SUCCESS) return status == ERROR_FILE_NOT_FOUND ? ERROR_FILE_NOT_FOUND : status;
    out->parent = parent;
    out->mountKey = mountKey;
    return ERROR_SUCCESS;
}

LONG StoreEngine::OpenUserHive(std::uint32_t uid, bool create, std::shared_ptr<Slot>& out)
{
    const std::string sid = UserSidName(uid);
    const std::string name = (uid == 0 && m_owner == 0 ? std::string(kRootUserDir)
                                                       : std::string(kUsersDir) + "/" + sid) +
                             "/" + kUserHive;
    auto it = m_slots.find(name);
    if (it != m_slots.end()) {
        out = it->second;
        return ERROR_SUCCESS;
    }
    const bool mine = ::geteuid() == uid;
    OwnedFd dir;
    if (uid == 0 && m_owner == 0) {
        dir = OpenRootHiveDirectory(create && mine);
    } else {
        OwnedFd users(::openat(m_dir.get(), kUsersDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!users.valid()) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        dir.reset(::openat(users.get(), sid.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir.valid() && errno == ENOENT && create && mine) {
            if (::mkdirat(users.get(), sid.c_str(), 0700) == 0) {
                // The user's directory is durable only once users/ is
                // synced: else a power loss takes it, and the flushed hive
                // inside, away.
                ::fsync(users.get());
            } else if (errno != EEXIST) {
                return ERROR_ACCESS_DENIED;
            }
            dir.reset(::openat(users.get(), sid.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
    }
    int error = errno;
    // The directory must be the user's, and theirs alone; where the caller's
    // own is not, the store says so (someone else made it first).
    auto squatted = [&] {
        if (mine) {
            m_problem = "the directory of this user's hive, " + m_directory + "/" + name.substr(0, name.rfind('/')) +
                        ", is not this user's own (another user made it first, or it is open to others); "
                        "the administrator must remove it";
        }
        return ERROR_ACCESS_DENIED;
    };
    if (!dir.valid()) return error == ENOENT ? ERROR_FILE_NOT_FOUND : squatted();
    struct stat st {};
    if (::fstat(dir.get(), &st) != 0 || st.st_uid != uid || (st.st_mode & 077) != 0) return squatted();
    HiveOptions o = Options(0600, create && mine);
    o.owner = uid;
    o.rootName = Utf8ToUtf16(sid);
    o.rootSecurity = OwnedHiveSecurity(UserSid(uid));
    // What every user's hive has on the platform, and programs open without
    // making it: Software, and Software\Classes, the user's half of
    // HKEY_CLASSES_ROOT.
    static const SkeletonKey user[] = {{u"Software", -1, nullptr}, {u"Classes", 0, nullptr}};
    const std::uint64_t now = NowAsFileTime();
    o.fill = [now](Batch& b) { return Fill(b, user, std::size(user), now); };
    const int descriptor = dir.get();
    return OpenSlot(name, descriptor, std::move(dir), o, out);
}

OwnedFd StoreEngine::OpenRootHiveDirectory(bool create)
{
    // Root's own hive lives in a directory of the machine's store itself,
    // which no other user can write: a directory that a user made in the
    // shared users/ under root's name is never root's. A store made before
    // keeps root's hive in users/: it moves here, where it is root's own.
    auto open = [&] {
        return OwnedFd(::openat(m_dir.get(), kRootUserDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    };
    OwnedFd dir = open();
    if (dir.valid() || errno != ENOENT) return dir;
    const std::string earlier = std::string(kUsersDir) + "/" + UserSidName(0);
    struct stat st {};
    if (::fstatat(m_dir.get(), earlier.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == 0 && (st.st_mode & 077) == 0 && ::geteuid() == 0) {
        ::renameat(m_dir.get(), earlier.c_str(), m_dir.get(), kRootUserDir);
        ::fsync(m_dir.get());
        dir = open();
        if (dir.valid() || errno != ENOENT) return dir;
    }
    if (!create) {
        errno = ENOENT;
        return OwnedFd();
    }
    if (::mkdirat(m_dir.get(), kRootUserDir, 0700) == 0) {
        ::fsync(m_dir.get());  // durable before the hive inside is
    } else if (errno != EEXIST) {
        return OwnedFd();
    }
    return open();
}

LONG StoreEngine::CurrentUser(KeyRef& out)
{
    std::shared_ptr<Slot> slot;
    LONG status = OpenUserHive(::geteuid(), true, slot);
    if (status != ERROR_SUCCESS) return status;
    out = {slot, kRootKey};
    return ERROR_SUCCESS;
}

LONG StoreEngine::Users(KeyRef& out)
{
    if (!m_users) {
        LONG status = OpenSlot(kUsersHive, m_dir.get(), {}, Options(0644, false), m_users);
        if (status != ERROR_SUCCESS) return status;
    }
    out = {m_users, kRootKey};
    return ERROR_SUCCESS;
}

// ------------------------------------------------------------ reading
LONG StoreEngine::SyncMountChain(const Slot& slot)
{
    if (slot.gone) return ERROR_KEY_DELETED;
    if (!slot.parent) return ERROR_SUCCESS;
    LONG status = SyncMountChain(*slot.parent);
    if (status == ERROR_SUCCESS) status = SyncSlot(slot.parent);
    if (status != ERROR_SUCCESS) return status;
    const Key* key = slot.parent->hive->View().Find(slot.mountKey);
    return key != nullptr && key->mount == slot.name ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

LONG StoreEngine::SyncSlot(const std::shared_ptr<Slot>& slot)
{
    std::vector<Change> changes;
    LONG status = slot->hive->Sync(&changes);
    if (!changes.empty()) Report(slot, changes);
    return status;
}

void StoreEngine::Report(const std::shared_ptr<Slot>& slot, std::vector<Change>& changes)
{
    if (m_sink && !changes.empty()) m_sink(slot, changes);
}

LONG StoreEngine::Refresh(const KeyRef& ref, const Key*& key)
{
    key = nullptr;
    if (!ref.slot) return ERROR_KEY_DELETED;
    LONG status = SyncMountChain(*ref.slot);
    if (status == ERROR_SUCCESS) status = SyncSlot(ref.slot);
    if (status != ERROR_SUCCESS) return status;
    key = ref.slot->hive->View().Find(ref.id);
    return key != nullptr ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

LONG StoreEngine::Child(const KeyRef& parent, std::u16string_view name, KeyRef& out)
{
    const Key* key = nullptr;
    LONG status = Refresh(parent, key);
    if (status != ERROR_SUCCESS) return status;
    const Model& model = parent.slot->hive->View();
    KeyId id = model.Child(*key, Upcase(name));
    if (id != 0) {
        const Key* child = model.Find(id);
        if (child->mount.empty()) {
            out = {parent.slot, id};
            return ERROR_SUCCESS;
        }
        std::shared_ptr<Slot> mounted;
        status = OpenMounted(parent.slot, id, child->mount, mounted);
        if (status != ERROR_SUCCESS) return status;
        out = {mounted, kRootKey};
        return ERROR_SUCCESS;
    }
    std::uint32_t uid = 0;
    if (parent.slot == m_users && parent.id == kRootKey && ParseUserSidName(name, uid)) {
        std::shared_ptr<Slot> slot;
        status = OpenUserHive(uid, false, slot);
        if (status != ERROR_SUCCESS) return status;
        out = {slot, kRootKey};
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

std::shared_ptr<Slot> StoreEngine::MountedAt(const KeyRef& parent, std::u16string_view name)
{
    KeyRef child;
    if (Child(parent, name, child) != ERROR_SUCCESS || child.slot == parent.slot) return nullptr;
    return child.slot;
}

KeyRef StoreEngine::MountPoint(const KeyRef& ref) const
{
    if (ref.id == kRootKey && ref.slot && ref.slot->parent) return {ref.slot->parent, ref.slot->mountKey};
    return ref;
}

bool StoreEngine::IsHiveRoot(const KeyRef& ref) const { return ref.id == kRootKey; }

std::size_t StoreEngine::Depth(const KeyRef& ref) const
{
    std::size_t depth = ref.slot->hive->View().Depth(ref.id);
    for (const Slot* s = ref.slot.get(); s->parent; s = s->parent.get()) {
        depth += 1 + s->parent->hive->View().Depth(s->mountKey);
    }
    // User hives hang one level below HKEY_USERS.
    if (!ref.slot->parent && ref.slot != m_machine && ref.slot != m_users) depth += 1;
    return depth;
}

StoreEngine::UsersStamp StoreEngine::CurrentUsersStamp()
{
    UsersStamp stamp;
    stamp.seq = m_users->hive->View().Seq();
    if (::geteuid() == 0) {
        // A user's directory made or removed changes users/ (its times, and
        // its link count, which a time too coarse to tell two changes apart
        // does not hide).
        struct stat st {};
        if (::fstatat(m_dir.get(), kUsersDir, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            stamp.ino = st.st_ino;
            stamp.mtime = static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                          static_cast<std::uint64_t>(st.st_mtim.tv_nsec);
            stamp.ctime = static_cast<std::uint64_t>(st.st_ctim.tv_sec) * 1000000000u +
                          static_cast<std::uint64_t>(st.st_ctim.tv_nsec);
            stamp.links = st.st_nlink;
        }
    } else {
        std::shared_ptr<Slot> own;
        stamp.ownHive = OpenUserHive(::geteuid(), false, own) == ERROR_SUCCESS;
    }
    return stamp;
}

const std::vector<StoreEngine::UsersEntry>& StoreEngine::UsersChildren()
{
    const UsersStamp stamp = CurrentUsersStamp();
    if (m_usersListed && stamp == m_usersStamp) return m_usersListing;
    std::vector<UsersEntry> out;
    const Model& model = m_users->hive->View();
    for (const ChildRef& c : model.Root().Children()) {
        out.push_back({model.Find(c.id)->name, c.id, 0});
    }
    // The user hives this user may open: their own, or, for root, all.
    std::vector<std::uint32_t> uids;
    if (::geteuid() == 0) {
        uids.push_back(0);
        std::vector<std::string> names;
        ListDirectory(m_dir.get(), kUsersDir, names);  // none readable: root's own alone
        for (const std::string& name : names) {
            std::uint32_t uid = 0;
            if (ParseUserSidName(Utf8ToUtf16(name), uid) && uid != 0) uids.push_back(uid);
        }
    } else {
        uids.push_back(::geteuid());
    }
    for (std::uint32_t uid : uids) {
        std::shared_ptr<Slot> slot;
        if (OpenUserHive(uid, false, slot) != ERROR_SUCCESS) continue;
        out.push_back({Utf8ToUtf16(UserSidName(uid)), 0, uid});
    }
    std::sort(out.begin(), out.end(),
              [](const UsersEntry& a, const UsersEntry& b) { return Upcase(a.name) < Upcase(b.name); });
    m_usersListing = std::move(out);
    m_usersStamp = stamp;
    m_usersListed = true;
    return m_usersListing;
}

bool StoreEngine::UsersEntryInfo(const UsersEntry& entry, SubKeyInfo& out)
{
    const Key* key = nullptr;
    if (entry.id != 0) {
        key = m_users->hive->View().Find(entry.id);
    } else {
        std::shared_ptr<Slot> slot;
        if (OpenUserHive(entry.uid, false, slot) == ERROR_SUCCESS) key = &slot->hive->View().Root();
    }
    if (key == nullptr) return false;
    out = {entry.id != 0 ? key->name : entry.name, key->keyClass, key->lastWrite};
    return true;
}

LONG StoreEngine::SubKeyCount(const KeyRef& parent, DWORD& count)
{
    const Key* key = nullptr;
    LONG status = Refresh(parent, key);
    if (status != ERROR_SUCCESS) return status;
    count = IsUsersRoot(parent) ? static_cast<DWORD>(UsersChildren().size())
                                : static_cast<DWORD>(key->ChildCount());
    return ERROR_SUCCESS;
}

LONG StoreEngine::SubKeyAt(const KeyRef& parent, DWORD index, SubKeyInfo& out)
{
    const Key* key = nullptr;
    LONG status = Refresh(parent, key);
    if (status != ERROR_SUCCESS) return status;
    if (IsUsersRoot(parent)) {
        const std::vector<UsersEntry>& all = UsersChildren();
        if (index >= all.size()) return ERROR_NO_MORE_ITEMS;
        if (UsersEntryInfo(all[index], out)) return ERROR_SUCCESS;
        // What the listing holds is gone since: listed anew.
        m_usersListed = false;
        const std::vector<UsersEntry>& again = UsersChildren();
        if (index >= again.size()) return ERROR_NO_MORE_ITEMS;
        return UsersEntryInfo(again[index], out) ? ERROR_SUCCESS : ERROR_NO_MORE_ITEMS;
    }
    if (index >= key->ChildCount()) return ERROR_NO_MORE_ITEMS;
    const Key* child = parent.slot->hive->View().Find(key->Children()[index].id);
    out = {child->name, child->keyClass, child->lastWrite};
    return ERROR_SUCCESS;
}

const Bytes& StoreEngine::SecurityOf(const KeyRef& ref, const Key& key) const
{
    static const Bytes none;
    const Bytes* bytes = ref.slot->hive->View().Security(key.security);
    return bytes != nullptr ? *bytes : none;
}

// ------------------------------------------------------------ writing
LONG StoreEngine::Commit(const KeyRef& ref, const std::function<LONG(Batch&)>& body)
{
    if (!ref.slot) return ERROR_KEY_DELETED;
    LONG status = SyncMountChain(*ref.slot);
    if (status != ERROR_SUCCESS) return status;
    std::vector<Change> changes;
    Hive::AfterCommit after;
    if (HasView(ref.slot->name) && !ref.slot->isView) {
        // Should the view not follow, it lags one commit and is brought in
        // step with the whole hive by the next (store_view.h).
        Slot& slot = *ref.slot;
        after = [this, &slot](const Batch& batch, std::uint64_t seqBefore) {
            if (Hive* view = ViewOf(slot)) {
                (void)ReflectInView(slot.hive->View(), *view, &batch.Payload(), seqBefore);
            }
        };
    }
    status = ref.slot->hive->Commit(body, &changes, after);
    Report(ref.slot, changes);
    if (ref.slot == m_machine && ref.slot->hive->TakeNewBoot()) m_newBoot = true;
    return status;
}

Hive* StoreEngine::ViewOf(Slot& slot)
{
    if (slot.isView || !slot.hive->Writable() || !HasView(slot.name)) return nullptr;
    if (!slot.view) {
        // Opened (and written) only under the hive's own lock.
        HiveOptions o = Options(0644, true);
        o.guarded = true;
        const Model& real = slot.hive->View();
        o.rootName = real.Root().name;
        const Bytes* rootSecurity = real.Security(real.Root().security);
        if (rootSecurity != nullptr) o.rootSecurity = *rootSecurity;
        const std::string file = slot.name + kViewSuffix;
        if (Hive::Open(slot.dir, file, o, slot.view) != ERROR_SUCCESS) slot.view.reset();
    }
    return slot.view.get();
}

LONG StoreEngine::PrepareView(Slot& slot)
{
    struct stat st {};
    const bool viewMissing =
        ::fstatat(slot.dir, (slot.name + kViewSuffix + ".hive").c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0;
    const bool openToOthers = (slot.hive->FileMode() & 077) != 0;
    if (!viewMissing && !openToOthers) return ERROR_SUCCESS;
    Hive& real = *slot.hive;
    // In this order: readers go over to the view once the hive is no longer
    // theirs to read, and find it whole.
    return real.Locked([&]() -> LONG {
        Hive* view = ViewOf(slot);
        if (view == nullptr) return ERROR_ACCESS_DENIED;
        LONG status = ReflectInView(real.View(), *view, nullptr, real.View().Seq());
        if (status != ERROR_SUCCESS || !openToOthers) return status;
        return real.Reseal(0600);
    });
}

LONG StoreEngine::Flush(const KeyRef& ref)
{
    if (!ref.slot) return ERROR_KEY_DELETED;
    LONG status = SyncMountChain(*ref.slot);
    if (status == ERROR_SUCCESS) status = ref.slot->hive->Flush();
    // The view too, so that what was flushed is what every user reads after
    // a power loss; should that fail, the next commit brings it in step.
    if (status == ERROR_SUCCESS && ref.slot->view) (void)ref.slot->view->Flush();
    return status;
}

// ------------------------------------------------------------ changes
LONG StoreEngine::SyncAll()
{
    std::vector<std::shared_ptr<Slot>> slots;
    for (const auto& [name, slot] : m_slots) slots.push_back(slot);
    LONG first = ERROR_SUCCESS;
    for (const std::shared_ptr<Slot>& slot : slots) {
        LONG status = SyncMountChain(*slot);
        if (status == ERROR_KEY_DELETED) continue;  // unloaded: no one follows it
        if (status == ERROR_SUCCESS) status = SyncSlot(slot);
        if (status == ERROR_SUCCESS) continue;
        if (first == ERROR_SUCCESS) first = status;
        // A hive that cannot be followed may have changed in any way: its
        // watchers wake, and their next call meets the failure.
        std::vector<Change> unknown{Change{0, REG_LEGAL_CHANGE_FILTER, {}}};
        Report(slot, unknown);
    }
    return first;
}

std::vector<std::string> StoreEngine::WatchedFiles() const
{
    std::vector<std::string> out;
    for (const auto& [name, slot] : m_slots) {
        std::size_t cut = name.rfind('/');
        out.push_back(m_directory + (cut == std::string::npos ? std::string() : "/" + name.substr(0, cut)));
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace netid::posix::store
