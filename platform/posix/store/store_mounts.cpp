// SPDX-License-Identifier: LGPL-2.1-or-later
// Hives loaded from files (store_engine.h): made as hive files of the store
// under fresh names, mounted at a key, unmounted, and the files no key names
// any more removed.
#include "platform/posix/store/store_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/base/files.h"
#include "platform/posix/base/process.h"
#include "platform/posix/base/text.h"

namespace netid::posix::store {
namespace {

constexpr const char* kLoadedPrefix = "loaded-";

}  // namespace

LONG StoreEngine::CreateLoadedHive(mode_t mode, const std::u16string& rootName, const Bytes& rootSecurity,
                                const std::function<LONG(Batch&)>& fill, std::string& name)
{
    char id[24];
    std::snprintf(id, sizeof id, "%016llx",
                  static_cast<unsigned long long>(NowAsFileTime() ^ (static_cast<std::uint64_t>(::getpid()) << 40)));
    name = std::string(kLoadedPrefix) + id;
    HiveOptions o = Options(mode, true);
    o.rootName = rootName;
    o.rootSecurity = rootSecurity;
    o.fill = fill;
    std::shared_ptr<Slot> slot;
    return OpenSlot(name, m_dir.get(), {}, o, slot);
}

LONG StoreEngine::Mount(const KeyRef& parent, std::u16string_view keyName, const std::string& name,
                     const std::string& origin)
{
    auto it = m_slots.find(name);
    if (it == m_slots.end()) return ERROR_FILE_NOT_FOUND;
    KeyId mountKey = 0;
    LONG status = Commit(parent, [&](Batch& b) -> LONG {
        const Model& model = b.View();
        const Key* p = model.Find(parent.id);
        if (p == nullptr) return ERROR_KEY_DELETED;
        if (model.Child(*p, Upcase(keyName)) != 0) return ERROR_ALREADY_EXISTS;
        mountKey = b.CreateKey(parent.id, keyName, u"", 0, {}, NowAsFileTime());
        b.SetMount(mountKey, name, origin);
        return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;
    it->second->parent = parent.slot;
    it->second->mountKey = mountKey;
    return ERROR_SUCCESS;
}

LONG StoreEngine::Unmount(const KeyRef& root)
{
    std::shared_ptr<Slot> slot = root.slot;
    if (!slot || root.id != kRootKey || !slot->parent) return ERROR_INVALID_PARAMETER;
    KeyRef point{slot->parent, slot->mountKey};
    LONG status = Commit(point, [&](Batch& b) -> LONG {
        const Key* k = b.View().Find(point.id);
        if (k == nullptr || k->mount != slot->name) return ERROR_KEY_DELETED;
        b.DeleteKey(point.id);
        return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;
    slot->gone = true;
    // The key's removal reaches the disk before the hive's files go: a power
    // loss between them would leave a key naming a hive that is no more,
    // holding its file as loaded for ever. Files left behind are strays,
    // removed at the next start.
    if (slot->parent->hive->Flush() == ERROR_SUCCESS) {
        for (const char* ext : {".hive", ".shm", ".lock"}) ::unlinkat(m_dir.get(), (slot->name + ext).c_str(), 0);
    }
    m_slots.erase(slot->name);
    return ERROR_SUCCESS;
}

bool StoreEngine::HiveChanged(const KeyRef& ref) const { return ref.slot->hive->View().Seq() != 0; }

void StoreEngine::RemoveStrayHives()
{
    // The hives some key names.
    std::vector<std::string> named;
    KeyRef users;
    std::shared_ptr<Slot> usersSlot = Users(users) == ERROR_SUCCESS ? m_users : nullptr;
    for (const std::shared_ptr<Slot>& top : {m_machine, usersSlot}) {
        if (!top) continue;
        const Model& model = top->hive->View();
        for (const ChildRef& c : model.Root().Children()) {
            const Key* k = model.Find(c.id);
            if (!k->mount.empty()) named.push_back(k->mount);
        }
    }
    std::vector<std::string> files;
    if (!ListDirectory(m_dir.get(), nullptr, files)) return;
    const std::string suffix = ".hive";
    std::vector<std::string> stray;
    for (const std::string& file : files) {
        if (file.rfind(kLoadedPrefix, 0) != 0 || file.size() <= suffix.size() ||
            file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        std::string name = file.substr(0, file.size() - suffix.size());
        if (std::find(named.begin(), named.end(), name) != named.end()) continue;
        // Only what no loading of the last ten minutes may still be about to name.
        struct stat st {};
        if (::fstatat(m_dir.get(), file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            st.st_mtime + 600 < ::time(nullptr)) {
            stray.push_back(name);
        }
    }
    for (const std::string& name : stray) {
        for (const char* ext : {".hive", ".shm", ".lock"}) ::unlinkat(m_dir.get(), (name + ext).c_str(), 0);
    }
}

}  // namespace netid::posix::store
