// The registry calls' shared state and the one wrapper every call goes
// through: the handle table (HKEY value -> key and granted access), the
// predefined roots, the access check made when a key is opened, and the
// answers written into callers' buffers. The boot work of the hives is
// started here, on the first call that finds a new start of the machine.
// Not here: the store itself (store_engine.h), watches (reg_notify.h), the
// A calls' text (reg_text.h), the calls themselves (reg_keys.cpp,
// reg_values.cpp, reg_security.cpp, reg_notify.cpp, reg_hives.cpp).
#ifndef NETID_PLATFORM_POSIX_REG_HANDLES_H
#define NETID_PLATFORM_POSIX_REG_HANDLES_H

#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix/reg_notify.h"
#include "platform/posix/status.h"
#include "platform/posix/store_engine.h"
#include "platform/posix/windows.h"

namespace netid::posix {

constexpr DWORD kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;
constexpr DWORD kAllRights = KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY;

// What a handle stands for.
struct Handle {
    store::KeyRef key;
    DWORD access = 0;
};

// One per process; every member is used with `mutex` held.
class Registry {
public:
    Registry();

    std::mutex mutex;
    store::StoreEngine engine;
    Notifier notify{mutex, engine};

    // Opens the store on first use in this process; the status of that
    // attempt is kept and answered on every later call.
    LONG EnsureOpen();
    // True once, after the opening found a new start of the machine: the
    // boot work of the hives is then due, and runs outside the lock.
    bool TakeBootWork();

    HKEY NewHandle(const store::KeyRef& key, DWORD access);
    // The key behind `key` with the access it carries; fails with 6 for an
    // unknown handle and 1018 for a deleted key.
    Handle Resolve(HKEY key);
    // Like Resolve and also demands `needed`.
    Handle Require(HKEY key, DWORD needed);
    // Closes a handle; false when there is no such handle.
    bool CloseHandleValue(HKEY key);
    std::vector<std::pair<std::uintptr_t, Handle>> HandleList() const
    {
        return {m_handles.begin(), m_handles.end()};
    }

    // The key as it stands now; fails with 1018 when it is gone.
    const store::Key& Current(const store::KeyRef& ref);
    // The sub-keys of `from` along `names`, crossing mounted hives; fails
    // with 2 when one is missing.
    store::KeyRef Walk(const store::KeyRef& from, const std::vector<std::u16string>& names);

    // The access this process gets to key `ref` when it asks for `sam` with
    // the options of RegOpenKeyEx/RegCreateKeyEx: the key's DACL decides for
    // the process's token, the privileges of backup and restore let through
    // as the platform's backup semantics do, and a hive this process may not
    // write grants no right to write. Fails with 5 (or 1314 for
    // ACCESS_SYSTEM_SECURITY without the security privilege).
    DWORD Grant(const store::KeyRef& ref, const store::Key& key, REGSAM sam, DWORD options);

private:
    LONG Open();
    store::KeyRef RootOf(HKEY key);
    store::KeyRef PathBelowMachine(const std::vector<std::u16string>& names);

    bool m_attempted = false;
    LONG m_openStatus = ERROR_SUCCESS;
    bool m_bootWorkDue = false;
    std::unordered_map<std::uintptr_t, Handle> m_handles;
    std::uintptr_t m_nextHandle;
};

// The registry of this process.
Registry& TheRegistry();

// The directory that holds the store, and why it could not be opened (empty
// when it could).
std::string StoreDirectory();
std::string StoreProblem();

// ------------------------------------------------------------ predefined keys
bool IsPredefined(HKEY key);
inline bool IsPerformanceData(HKEY key) { return key == HKEY_PERFORMANCE_DATA; }
inline bool IsDynData(HKEY key) { return key == HKEY_DYN_DATA; }

// ------------------------------------------------------------ answers into callers' buffers
void CopyFileTime(std::uint64_t time, PFILETIME out);

// ------------------------------------------------------------ the call wrapper
// Opens the store when needed and, once after a new start of the machine,
// runs the boot work of the hives with `lock` released (it makes registry
// calls of its own).
LONG EnterCall(Registry& reg, std::unique_lock<std::mutex>& lock);

// Runs `body(registry, lock)` as one registry call, under the registry's
// lock: StatusError and a shortage of memory become the call's status.
template <typename Body>
LONG Guarded(Body body)
{
    Registry& reg = TheRegistry();
    std::unique_lock<std::mutex> lock(reg.mutex);
    try {
        LONG open = EnterCall(reg, lock);
        if (open != ERROR_SUCCESS) {
            return open;
        }
        return body(reg, lock);
    } catch (const StatusError& e) {
        return e.code;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace netid::posix

#endif
