// SPDX-License-Identifier: LGPL-2.1-or-later
// The registry calls' shared state and the one wrapper every call goes
// through: the handle table (HKEY value -> key and granted access), the
// predefined roots, the access check made when a key is opened, and the
// answers written into callers' buffers. A handle may stand for a pair of
// keys, HKEY_CLASSES_ROOT's merged view; what such a pair shows is worked out
// in reg_classes.cpp, so that the calls see one key. The boot work of the
// hives is started here, on the first call that finds a new start of the
// machine.
// Not here: the store itself (store_engine.h), watches (reg_notify.h), the
// A calls' text (reg_text.h), the calls themselves (reg_keys.cpp,
// reg_values.cpp, reg_security.cpp, reg_notify.cpp, reg_hives.cpp).
#ifndef NETID_PLATFORM_POSIX_REG_HANDLES_H
#define NETID_PLATFORM_POSIX_REG_HANDLES_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix/calls/reg_notify.h"
#include "platform/posix/base/status.h"
#include "platform/posix/store/store_engine.h"
#include "platform/posix/windows.h"

namespace netid::posix {

constexpr DWORD kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;
constexpr DWORD kAllRights = KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY;
// What reads a key's contents: not granted on a key a public view withholds.
constexpr DWORD kWithheldRights = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;

// What a handle stands for. A handle beneath HKEY_CLASSES_ROOT stands for a
// pair: the key of its path beneath the user's classes
// (HKCU\Software\Classes) and the one beneath the machine's
// (HKLM\Software\Classes), either of which may be missing. `key` is the one
// the calls act on: the user's when it is there, else the machine's.
struct Handle {
    store::KeyRef key;
    DWORD access = 0;
    bool classes = false;               // a handle of the merged view
    std::vector<std::u16string> path;   // its path beneath the two classes roots
    store::KeyRef user;                 // the user's key (no slot: none)
    store::KeyRef machine;              // the machine's key (no slot: none)
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

    // A new handle for what `handle` stands for, with `access`.
    HKEY NewHandle(const Handle& handle, DWORD access);
    // What `key` stands for now, with the access it carries; fails with 6
    // for an unknown handle and 1018 for a deleted key. A handle of the
    // merged view finds the user's key made since it was opened, and stands
    // for the machine's alone while the user has none.
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

    // ------------------------------------------------ through handles (reg_classes.cpp)
    // What the sub-key `names` of `base` stands for; fails with 2 when it is
    // missing (on both sides, for the merged view).
    Handle Open(const Handle& base, const std::vector<std::u16string>& names);
    // How far `names` exist beneath `base`: the number found, what the last
    // key found stands for, and the key beneath which the rest is made (for
    // the merged view the machine's when it has that key, else the user's).
    struct Reach {
        std::size_t found = 0;
        Handle reached;
        store::KeyRef parent;
    };
    Reach Follow(const Handle& base, const std::vector<std::u16string>& names);
    // What a key made beneath `reach.parent` as `names` of `base` stands for.
    Handle Made(const Handle& base, const std::vector<std::u16string>& names, const Reach& reach,
                const store::KeyRef& made);
    // The sub-keys the handle shows, in the registry's order (upper-cased
    // names); for the merged view the union of both sides, the user's entry
    // where both have one.
    std::vector<store::SubKeyInfo> SubKeys(const Handle& handle);
    // The sub-key at `index` of that order for the handle `value`. The merged
    // view's listing is kept with the handle between calls while both sides'
    // hives stand as they stood, so that enumerating it stays linear; a
    // change to either lists it anew, as the platform enumerates the live keys.
    LONG SubKeyAt(HKEY value, const Handle& handle, DWORD index, store::SubKeyInfo& out);
    // The values the handle shows, in enumeration order: for the merged view
    // the user's and then those of the machine's key that the user's lacks
    // (a value is read and written in `key` alone, as the platform does).
    // The pointers are valid until the next call of the store.
    std::vector<const store::Value*> Values(const Handle& handle);
    // The value at `index` of that order, or null past its end; found in
    // constant time for a key of its own, so that enumerating stays linear.
    const store::Value* ValueAt(const Handle& handle, DWORD index);

    // The access this process gets to key `ref` when it asks for `sam` with
    // the options of RegOpenKeyEx/RegCreateKeyEx: the key's DACL decides for
    // the process's token, the privileges of backup and restore let through
    // as the platform's backup semantics do, and a hive this process may not
    // write grants no right to write. Fails with 5 (or 1314 for
    // ACCESS_SYSTEM_SECURITY without the security privilege).
    DWORD Grant(const store::KeyRef& ref, const store::Key& key, REGSAM sam, DWORD options);

private:
    LONG Open();
    // The key a predefined handle stands for. For HKEY_CURRENT_CONFIG this
    // may write: see MakePathBelowMachine.
    store::KeyRef RootOf(HKEY key);
    // The key along `names` below HKEY_LOCAL_MACHINE, making (committing)
    // the levels that are missing, even within a call that only reads: the
    // keys behind HKEY_CURRENT_CONFIG and HKEY_CLASSES_ROOT are always there
    // on the platform, and a store that lost them gets them back here.
    store::KeyRef MakePathBelowMachine(const std::vector<std::u16string>& names);
    // The sub-key along `names`, or no slot when one is missing.
    store::KeyRef Find(const store::KeyRef& from, const std::vector<std::u16string>& names);
    // The two sides of the merged view as they stand now (reg_classes.cpp).
    Handle ResolveClasses(const Handle& opened);
    std::vector<store::SubKeyInfo> KeysOf(const store::KeyRef& key);

    // A merged listing kept for a handle (reg_classes.cpp): the two keys it
    // was made of, and the sequence of each one's hive then.
    struct Listing {
        std::weak_ptr<store::Slot> userSlot, machineSlot;
        store::KeyId user = 0, machine = 0;
        std::uint64_t userSeq = 0, machineSeq = 0;
        std::vector<store::SubKeyInfo> keys;
    };

    bool m_attempted = false;
    LONG m_openStatus = ERROR_SUCCESS;
    bool m_bootWorkDue = false;
    std::unordered_map<std::uintptr_t, Handle> m_handles;
    std::unordered_map<std::uintptr_t, Listing> m_listings;  // by handle value
    std::uintptr_t m_nextHandle;
};

// The registry of this process.
Registry& TheRegistry();

// The directory that holds the store, and why it could not be opened (empty
// when it could).
std::string StoreDirectory();
std::string StoreProblem();

// ------------------------------------------------------------ predefined keys
// The predefined keys are known by the low 32 bits of the handle, as the
// platform knows them: HKEY_CURRENT_USER zero-extended, or with any bits above
// bit 31, is HKEY_CURRENT_USER. Canonical gives the predefined handle a value
// stands for (the macros' value), or the value itself.
HKEY Canonical(HKEY key);
bool IsPredefined(HKEY key);
inline bool IsPerformanceData(HKEY key) { return Canonical(key) == HKEY_PERFORMANCE_DATA; }
inline bool IsDynData(HKEY key) { return Canonical(key) == HKEY_DYN_DATA; }

// ------------------------------------------------------------ answers into callers' buffers
void CopyFileTime(std::uint64_t time, PFILETIME out);

// ------------------------------------------------------------ the call wrapper
// Opens the store when needed and, once after a new start of the machine,
// runs the boot work of the hives with `lock` released (it makes registry
// calls of its own).
LONG EnterCall(Registry& reg, std::unique_lock<std::mutex>& lock);

// Runs `body()` so that no exception leaves it: StatusError and a shortage
// of memory become the status they stand for, and any other exception
// ERROR_EXCEPTION_IN_SERVICE, as the platform answers a fault inside the
// registry. Every registry call runs in it from its first line, since its
// caller may be C and its arguments are copied before the store is entered.
// (The store's commit undoes whatever an exception cut short: see
// Hive::Commit.)
template <typename Body>
LONG Contained(Body body) noexcept
{
    try {
        return body();
    } catch (const StatusError& e) {
        return e.code;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_EXCEPTION_IN_SERVICE;
    }
}

// Runs `body(registry, lock)` as one registry call, under the registry's
// lock, with the store open, contained as above.
template <typename Body>
LONG Guarded(Body body)
{
    return Contained([&]() -> LONG {
        Registry& reg = TheRegistry();
        std::unique_lock<std::mutex> lock(reg.mutex);
        LONG open = EnterCall(reg, lock);
        if (open != ERROR_SUCCESS) return open;
        return body(reg, lock);
    });
}

}  // namespace netid::posix

#endif
