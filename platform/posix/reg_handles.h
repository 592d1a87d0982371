// The registry calls' shared state and the one wrapper every call goes
// through: the handle table (HKEY value -> key id and granted access), the
// predefined roots, access mapping and checks, the per-handle enumeration
// caches, and the answers written into callers' buffers. The boot work of the
// hives is started here, on the first call that finds a new boot. Not here:
// SQL (store_engine.h), watches (reg_notify.h), the calls themselves
// (reg_keys.cpp, reg_values.cpp, reg_security.cpp, reg_notify.cpp,
// reg_hives.cpp).
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
    std::int64_t keyId = 0;
    DWORD access = 0;
};

// What one handle last enumerated, kept while the store is unchanged, so
// that walking a key of many sub-keys or values by index stays linear.
struct EnumCache {
    std::int64_t keyId = 0;
    Generation keysSeen;
    std::vector<SubKeyEntry> keys;
    Generation valuesSeen;
    std::vector<RegValue> values;
};

// One per process; every member is used with `mutex` held.
class Registry {
public:
    Registry();

    std::mutex mutex;
    StoreEngine engine;
    Notifier notify{mutex, engine};

    // Opens the store on first use in this process; the status of that
    // attempt is kept and answered on every later call.
    LONG EnsureOpen();
    // True once, after the opening found a new boot: the boot work of the
    // hives is then due, and runs outside the lock.
    bool TakeBootWork();
    bool ReadOnly() const { return engine.ReadOnly(); }

    std::uintptr_t NewHandle(std::int64_t keyId, DWORD access);
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

    // The sub-key or value at `index` of key `keyId`, opened as `key`,
    // through the handle's enumeration cache; false (null) past the end.
    bool SubKeyAt(HKEY key, std::int64_t keyId, DWORD index, SubKeyEntry& out);
    const RegValue* ValueAt(HKEY key, std::int64_t keyId, DWORD index);

private:
    LONG Open();
    std::int64_t RootOf(HKEY key);
    std::int64_t PathKey(std::int64_t root, const char* const* names, size_t count,
                         bool create);
    std::int64_t UserHive();

    bool m_attempted = false;
    LONG m_openStatus = ERROR_SUCCESS;
    bool m_bootWorkDue = false;
    std::unordered_map<std::uintptr_t, Handle> m_handles;
    std::unordered_map<std::uintptr_t, EnumCache> m_caches;
    std::uintptr_t m_nextHandle;
};

// The registry of this process.
Registry& TheRegistry();

// The directory that holds the store.
std::string StoreDirectory();

// ------------------------------------------------------------ predefined keys
bool IsPredefined(HKEY key);
inline bool IsPerformanceData(HKEY key) { return key == HKEY_PERFORMANCE_DATA; }
inline bool IsDynData(HKEY key) { return key == HKEY_DYN_DATA; }

// The rights a handle opened with `sam` carries (generic rights mapped).
DWORD MapAccess(REGSAM sam, bool readOnly);

// ------------------------------------------------------------ answers into callers' buffers
// Copies `text` into a caller's character buffer of `capacity` characters
// (with its NUL). False when it does not fit.
bool CopyName(const std::string& text, LPSTR buffer, DWORD capacity);
void CopyFileTime(std::uint64_t time, PFILETIME out);

// ------------------------------------------------------------ the call wrapper
// Opens the store when needed and, once after a new boot, runs the boot work
// of the hives with `lock` released (it goes through the registry calls).
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
