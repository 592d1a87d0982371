// The handle table, the predefined roots, access checks, enumeration caches
// and the call wrapper of the registry calls (see reg_handles.h).
#include "platform/posix/reg_handles.h"

#include <unistd.h>

#include <cstring>

#include "platform/posix/files.h"
#include "platform/posix/hive_records.h"
#include "platform/posix/security.h"

namespace netid::posix {
namespace {

constexpr std::uintptr_t kHandleBase = 0x00010000;

// A key made on the way to a predefined root: a lasting key with its
// parent's inheritable security.
NewKey PlainKey(const KeyRow& parent, bool)
{
    return NewKey{std::string(), false, DefaultKeySecurity(&parent.security)};
}

}  // namespace

Registry::Registry() : m_nextHandle(kHandleBase)
{
    engine.SetCommitHook([this] { notify.AfterCommit(); });
}

Registry& TheRegistry()
{
    // Lives until the process ends: the watcher thread may still use it while
    // static objects are destroyed.
    static Registry* registry = new Registry;
    return *registry;
}

std::string StoreDirectory()
{
    Registry& reg = TheRegistry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.engine.Directory().empty() ? StoreDirectoryFromEnvironment()
                                          : reg.engine.Directory();
}

// ------------------------------------------------------------ opening
LONG Registry::EnsureOpen()
{
    if (!m_attempted) {
        m_attempted = true;
        m_openStatus = Open();
    }
    return m_openStatus;
}

LONG Registry::Open()
{
    LONG status = engine.Open(StoreDirectoryFromEnvironment());
    if (status != ERROR_SUCCESS || engine.ReadOnly()) {
        return status;
    }
    notify.OpenSignalFile(engine.Directory());
    try {
        m_bootWorkDue = engine.DropVolatileKeysOfOldBoot();
    } catch (const StatusError& e) {
        return e.code;
    }
    return ERROR_SUCCESS;
}

bool Registry::TakeBootWork()
{
    bool due = m_bootWorkDue;
    m_bootWorkDue = false;
    return due;
}

LONG EnterCall(Registry& reg, std::unique_lock<std::mutex>& lock)
{
    LONG open = reg.EnsureOpen();
    if (open != ERROR_SUCCESS) {
        return open;
    }
    if (reg.TakeBootWork()) {
        // The boot work goes through the registry calls itself, so it runs
        // with the registry unlocked, before this call's own work.
        lock.unlock();
        hive::CarryOutBootWork();
        lock.lock();
    }
    return ERROR_SUCCESS;
}

// ------------------------------------------------------------ handles
bool IsPredefined(HKEY key)
{
    auto value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key));
    auto wide = reinterpret_cast<std::uintptr_t>(key);
    return value >= 0x80000000u && value <= 0x80000006u &&
           wide == reinterpret_cast<std::uintptr_t>(HKEY_CLASSES_ROOT) + (value - 0x80000000u);
}

DWORD MapAccess(REGSAM sam, bool readOnly)
{
    DWORD access = sam & ~static_cast<DWORD>(KEY_WOW64_RES);
    if (access & GENERIC_READ) access |= KEY_READ;
    if (access & GENERIC_WRITE) access |= KEY_WRITE;
    if (access & GENERIC_EXECUTE) access |= KEY_EXECUTE;
    if (access & GENERIC_ALL) access |= KEY_ALL_ACCESS;
    if (access & MAXIMUM_ALLOWED) access |= readOnly ? KEY_READ : KEY_ALL_ACCESS;
    access &= ~static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                                  MAXIMUM_ALLOWED);
    return access & kAllRights;
}

std::uintptr_t Registry::NewHandle(std::int64_t keyId, DWORD access)
{
    std::uintptr_t value = m_nextHandle;
    m_nextHandle += 4;
    m_handles.emplace(value, Handle{keyId, access});
    return value;
}

std::int64_t Registry::UserHive()
{
    std::string name = "S-1-22-1-" + std::to_string(geteuid());
    std::int64_t id = engine.FindChild(engine.UsersRoot(), name);
    if (id != 0) {
        return id;
    }
    return engine.CreatePath(engine.UsersRoot(), {name}, PlainKey);
}

std::int64_t Registry::PathKey(std::int64_t root, const char* const* names, size_t count,
                               bool create)
{
    std::int64_t id = root;
    for (size_t i = 0; i < count && id != 0; ++i) {
        std::int64_t next = engine.FindChild(id, names[i]);
        if (next == 0 && create && !engine.ReadOnly()) {
            next = engine.CreatePath(id, {names[i]}, PlainKey);
        }
        id = next;
    }
    return id;
}

std::int64_t Registry::RootOf(HKEY key)
{
    static const char* const classes[] = {"SOFTWARE", "Classes"};
    static const char* const config[] = {"SYSTEM", "CurrentControlSet", "Hardware Profiles",
                                         "Current"};
    std::int64_t id = 0;
    if (key == HKEY_LOCAL_MACHINE) {
        id = engine.MachineRoot();
    } else if (key == HKEY_USERS) {
        id = engine.UsersRoot();
    } else if (key == HKEY_CURRENT_USER) {
        id = UserHive();
    } else if (key == HKEY_CLASSES_ROOT) {
        id = PathKey(engine.MachineRoot(), classes, 2, true);
    } else if (key == HKEY_CURRENT_CONFIG) {
        id = PathKey(engine.MachineRoot(), config, 4, true);
    } else {
        Fail(ERROR_INVALID_HANDLE);
    }
    if (id == 0) {
        Fail(ERROR_FILE_NOT_FOUND);
    }
    return id;
}

Handle Registry::Resolve(HKEY key)
{
    if (key == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
    }
    if (IsPredefined(key)) {
        return Handle{RootOf(key), ReadOnly() ? static_cast<DWORD>(KEY_READ) : kAllRights};
    }
    auto it = m_handles.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == m_handles.end()) {
        Fail(ERROR_INVALID_HANDLE);
    }
    if (!engine.KeyExists(it->second.keyId)) {
        Fail(ERROR_KEY_DELETED);
    }
    return it->second;
}

Handle Registry::Require(HKEY key, DWORD needed)
{
    Handle handle = Resolve(key);
    if ((handle.access & needed) != needed) {
        Fail(ERROR_ACCESS_DENIED);
    }
    if ((needed & kWriteRights) != 0 && ReadOnly()) {
        Fail(ERROR_ACCESS_DENIED);
    }
    return handle;
}

bool Registry::CloseHandleValue(HKEY key)
{
    auto value = reinterpret_cast<std::uintptr_t>(key);
    if (m_handles.erase(value) == 0) {
        return false;
    }
    m_caches.erase(value);
    notify.FireWatchesOfHandle(value);
    return true;
}

// ------------------------------------------------------------ enumeration caches
bool Registry::SubKeyAt(HKEY key, std::int64_t keyId, DWORD index, SubKeyEntry& out)
{
    if (index == 0) {
        // The first is cheap to find, and deleting loops ask only for it.
        return engine.FirstChild(keyId, out);
    }
    EnumCache& cache = m_caches[reinterpret_cast<std::uintptr_t>(key)];
    Generation now = engine.CurrentGeneration();
    if (cache.keyId != keyId || !(cache.keysSeen == now)) {
        cache.keyId = keyId;
        cache.values.clear();
        cache.valuesSeen = Generation{};
        cache.keys = engine.Children(keyId);
        cache.keysSeen = now;
    }
    if (index >= cache.keys.size()) {
        return false;
    }
    out = cache.keys[index];
    return true;
}

const RegValue* Registry::ValueAt(HKEY key, std::int64_t keyId, DWORD index)
{
    EnumCache& cache = m_caches[reinterpret_cast<std::uintptr_t>(key)];
    Generation now = engine.CurrentGeneration();
    if (cache.keyId != keyId || !(cache.valuesSeen == now)) {
        cache.keyId = keyId;
        cache.keys.clear();
        cache.keysSeen = Generation{};
        cache.values = engine.Values(keyId);
        cache.valuesSeen = now;
    }
    return index < cache.values.size() ? &cache.values[index] : nullptr;
}

// ------------------------------------------------------------ answers
bool CopyName(const std::string& text, LPSTR buffer, DWORD capacity)
{
    if (text.size() >= capacity) {
        return false;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

void CopyFileTime(std::uint64_t time, PFILETIME out)
{
    if (out != nullptr) {
        out->dwLowDateTime = static_cast<DWORD>(time & 0xFFFFFFFFu);
        out->dwHighDateTime = static_cast<DWORD>(time >> 32);
    }
}

}  // namespace netid::posix
