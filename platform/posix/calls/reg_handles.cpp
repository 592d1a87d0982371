// SPDX-License-Identifier: LGPL-2.1-or-later
// The handle table, the predefined roots, the access check and the call
// wrapper of the registry calls (see reg_handles.h).
#include "platform/posix/calls/reg_handles.h"

#include "platform/posix/security/access.h"
#include "platform/posix/base/files.h"
#include "platform/posix/calls/hive_records.h"
#include "platform/posix/security/kernel.h"
#include "platform/posix/base/process.h"
#include "platform/posix/security/security.h"
#include "platform/posix/base/text.h"

namespace netid::posix {
namespace {

constexpr std::uintptr_t kHandleBase = 0x00010000;
constexpr std::uintptr_t kClassesMark = 2;

// The rights the privileges of backup and restore stand for, as the
// platform grants them to a caller that asks with REG_OPTION_BACKUP_RESTORE.
constexpr DWORD kBackupRights = KEY_READ | READ_CONTROL | ACCESS_SYSTEM_SECURITY;
constexpr DWORD kRestoreRights =
    KEY_WRITE | WRITE_DAC | WRITE_OWNER | DELETE | ACCESS_SYSTEM_SECURITY;

}  // namespace

Registry::Registry() : m_nextHandle(kHandleBase)
{
    engine.SetChangeSink([this](const std::shared_ptr<store::Slot>& slot,
                                std::vector<store::Change>& changes) {
        notify.OnChanges(slot, changes);
    });
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
    return reg.engine.Directory().empty() ? StoreDirectoryFromEnvironment() : reg.engine.Directory();
}

std::string StoreProblem()
{
    Registry& reg = TheRegistry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.engine.Problem();
}

// ------------------------------------------------------------ opening
LONG Registry::EnsureOpen()
{
    // Opened once, and what that gave is kept (a store that is not there or
    // not this user's stays so for the process); but an opening cut short by
    // a shortage of memory is undone, and the next call tries again.
    if (m_attempted) return m_openStatus;
    LONG status = ERROR_SUCCESS;
    try {
        status = Open();
    } catch (...) {
        engine.Close();
        throw;
    }
    if (status == ERROR_NOT_ENOUGH_MEMORY) {
        engine.Close();
        return status;
    }
    m_attempted = true;
    m_openStatus = status;
    return status;
}

LONG Registry::Open()
{
    LONG status = engine.Open(StoreDirectoryFromEnvironment());
    if (status == ERROR_SUCCESS) m_bootWorkDue = engine.TakeNewBoot();
    return status;
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
        // The boot work makes registry calls of its own, so it runs with the
        // registry unlocked, before this call's own work.
        lock.unlock();
        hive::CarryOutBootWork();
        lock.lock();
    }
    return ERROR_SUCCESS;
}

// ------------------------------------------------------------ handles
bool IsPredefined(HKEY key)
{
    auto low = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key));
    return low >= 0x80000000u && low <= 0x80000006u;
}

HKEY Canonical(HKEY key)
{
    if (!IsPredefined(key)) return key;
    auto low = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key));
    return reinterpret_cast<HKEY>(reinterpret_cast<std::uintptr_t>(HKEY_CLASSES_ROOT) + (low - 0x80000000u));
}

HKEY Registry::NewHandle(const Handle& handle, DWORD access)
{
    // Values step by four; a handle of the merged view has the mark
    // (value & 3) == 2 that programs test to know it for one, as the
    // platform marks it.
    std::uintptr_t value = m_nextHandle | (handle.classes ? kClassesMark : 0);
    m_nextHandle += 4;
    Handle stored = handle;
    stored.access = access;
    m_handles.emplace(value, std::move(stored));
    return reinterpret_cast<HKEY>(value);
}

const store::Key& Registry::Current(const store::KeyRef& ref)
{
    const store::Key* key = nullptr;
    LONG status = engine.Refresh(ref, key);
    if (status != ERROR_SUCCESS) Fail(status);
    return *key;
}

store::KeyRef Registry::Walk(const store::KeyRef& from, const std::vector<std::u16string>& names)
{
    store::KeyRef at = Find(from, names);
    if (!at.slot) Fail(ERROR_FILE_NOT_FOUND);
    return at;
}

store::KeyRef Registry::MakePathBelowMachine(const std::vector<std::u16string>& names)
{
    store::KeyRef at = engine.Machine();
    for (const std::u16string& name : names) {
        store::KeyRef next;
        LONG status = engine.Child(at, name, next);
        if (status == ERROR_FILE_NOT_FOUND) {
            // A level the store lacks is made on the way, as a lasting key
            // with its parent's inheritable security.
            const store::Key& parent = Current(at);
            const Sid owner = DefaultOwner();
            store::Bytes security = DefaultKeySecurity(&engine.SecurityOf(at, parent), &owner);
            status = engine.Commit(at, [&](store::Batch& b) -> LONG {
                b.CreateKey(at.id, name, u"", 0, security, NowAsFileTime());
                return ERROR_SUCCESS;
            });
            if (status == ERROR_SUCCESS) status = engine.Child(at, name, next);
        }
        if (status != ERROR_SUCCESS) Fail(status);
        at = next;
    }
    return at;
}

store::KeyRef Registry::Find(const store::KeyRef& from, const std::vector<std::u16string>& names)
{
    store::KeyRef at = from;
    for (const std::u16string& name : names) {
        store::KeyRef next;
        LONG status = engine.Child(at, name, next);
        if (status == ERROR_FILE_NOT_FOUND) return {};
        if (status != ERROR_SUCCESS) Fail(status);
        at = next;
    }
    return at;
}

store::KeyRef Registry::RootOf(HKEY key)
{
    store::KeyRef ref;
    if (key == HKEY_LOCAL_MACHINE) {
        ref = engine.Machine();
    } else if (key == HKEY_USERS) {
        LONG status = engine.Users(ref);
        if (status != ERROR_SUCCESS) Fail(status);
    } else if (key == HKEY_CURRENT_USER) {
        LONG status = engine.CurrentUser(ref);
        if (status != ERROR_SUCCESS) Fail(status);
    } else if (key == HKEY_CURRENT_CONFIG) {
        ref = MakePathBelowMachine({u"SYSTEM", u"CurrentControlSet", u"Hardware Profiles", u"Current"});
    } else {
        Fail(ERROR_INVALID_HANDLE);
    }
    return ref;
}

Handle Registry::Resolve(HKEY key)
{
    key = Canonical(key);
    if (key == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
    }
    if (IsPredefined(key)) {
        // A predefined handle carries what the root's descriptor allows.
        Handle handle;
        if (key == HKEY_CLASSES_ROOT) {
            Handle root;
            root.classes = true;
            handle = ResolveClasses(root);
        } else {
            handle.key = RootOf(key);
        }
        const store::Key& root = Current(handle.key);
        try {
            handle.access = Grant(handle.key, root, MAXIMUM_ALLOWED, 0);
        } catch (const StatusError&) {
            handle.access = 0;
        }
        return handle;
    }
    auto it = m_handles.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == m_handles.end()) {
        Fail(ERROR_INVALID_HANDLE);
    }
    if (it->second.classes) {
        Handle handle = ResolveClasses(it->second);
        handle.access = it->second.access;
        return handle;
    }
    Current(it->second.key);
    return it->second;
}

Handle Registry::Require(HKEY key, DWORD needed)
{
    Handle handle = Resolve(key);
    if ((handle.access & needed) != needed) {
        Fail(ERROR_ACCESS_DENIED);
    }
    if ((needed & kWriteRights) != 0 && !handle.key.slot->hive->Writable()) {
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
    m_listings.erase(value);
    notify.FireWatchesOfHandle(value);
    return true;
}

DWORD Registry::Grant(const store::KeyRef& ref, const store::Key& key, REGSAM sam, DWORD options)
{
    DWORD desired = sam & ~static_cast<DWORD>(KEY_WOW64_RES);
    const bool systemSecurity = (desired & ACCESS_SYSTEM_SECURITY) != 0;
    if (systemSecurity && !PrivilegeEnabled("SeSecurityPrivilege")) {
        Fail(ERROR_PRIVILEGE_NOT_HELD);
    }
    const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
    DWORD wanted = MapGenericKeyRights(desired & ~static_cast<DWORD>(MAXIMUM_ALLOWED)) &
                   ~static_cast<DWORD>(ACCESS_SYSTEM_SECURITY);

    // Backup semantics: the privileges stand in for the descriptor.
    DWORD privileged = 0;
    if ((options & REG_OPTION_BACKUP_RESTORE) != 0) {
        if (PrivilegeEnabled(SE_BACKUP_NAME)) privileged |= kBackupRights;
        if (PrivilegeEnabled(SE_RESTORE_NAME)) privileged |= kRestoreRights;
    }
    DWORD granted = 0;
    DWORD rest = wanted & ~privileged;
    if (maximum || rest != 0) {
        DWORD byDescriptor = 0;
        LONG status = CheckAccess(engine.SecurityOf(ref, key), CurrentIdentity(),
                                  rest | (maximum ? static_cast<DWORD>(MAXIMUM_ALLOWED) : 0), byDescriptor);
        if (status != ERROR_SUCCESS && !(maximum && rest == 0 && privileged != 0)) Fail(status);
        granted |= byDescriptor;
    }
    granted |= wanted & privileged;
    if (maximum) granted |= privileged & ~static_cast<DWORD>(ACCESS_SYSTEM_SECURITY);

    // The files are the hard wall: a hive this process may not write grants
    // no right to write, whatever its descriptor says.
    if (!ref.slot->hive->Writable()) {
        if ((wanted & kWriteRights) != 0) Fail(ERROR_ACCESS_DENIED);
        granted &= ~kWriteRights;
    }
    // Nor does a key whose contents the hive's public view withholds grant
    // a right to read them: this process sees only the view.
    if (key.IsWithheld()) {
        if ((wanted & kWithheldRights) != 0) Fail(ERROR_ACCESS_DENIED);
        granted &= ~kWithheldRights;
    }
    if (systemSecurity) granted |= ACCESS_SYSTEM_SECURITY;
    return granted & kAllRights;
}

// ------------------------------------------------------------ answers
void CopyFileTime(std::uint64_t time, PFILETIME out)
{
    if (out != nullptr) {
        out->dwLowDateTime = static_cast<DWORD>(time & 0xFFFFFFFFu);
        out->dwHighDateTime = static_cast<DWORD>(time >> 32);
    }
}

}  // namespace netid::posix
