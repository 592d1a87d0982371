// SPDX-License-Identifier: LGPL-2.1-or-later
// Kernel objects of the process: the primary token with its privileges, and
// events. Handles to them live in one process-wide table; their values are
// never reused and lie apart from registry key handles and pseudo-handles.
// Registry key handles are not kept here (reg_handles.cpp).
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/posix/base/status.h"
#include "platform/posix/security/kernel.h"
#include "platform/posix/base/process.h"
#include "platform/posix/base/text.h"

namespace {

using netid::posix::SameName;
using netid::posix::SetLastErrorCode;

const DWORD kRpcServerUnavailable = 1722;

// ------------------------------------------------------------ privilege names

struct PrivilegeName {
    DWORD luid;
    const char* name;
};

// The platform's fixed identifiers of the standard privileges.
const PrivilegeName kPrivilegeNames[] = {
    {2, "SeCreateTokenPrivilege"},
    {3, "SeAssignPrimaryTokenPrivilege"},
    {4, "SeLockMemoryPrivilege"},
    {5, "SeIncreaseQuotaPrivilege"},
    {6, "SeMachineAccountPrivilege"},
    {7, "SeTcbPrivilege"},
    {8, "SeSecurityPrivilege"},
    {9, "SeTakeOwnershipPrivilege"},
    {10, "SeLoadDriverPrivilege"},
    {11, "SeSystemProfilePrivilege"},
    {12, "SeSystemtimePrivilege"},
    {13, "SeProfileSingleProcessPrivilege"},
    {14, "SeIncreaseBasePriorityPrivilege"},
    {15, "SeCreatePagefilePrivilege"},
    {16, "SeCreatePermanentPrivilege"},
    {17, "SeBackupPrivilege"},
    {18, "SeRestorePrivilege"},
    {19, "SeShutdownPrivilege"},
    {20, "SeDebugPrivilege"},
    {21, "SeAuditPrivilege"},
    {22, "SeSystemEnvironmentPrivilege"},
    {23, "SeChangeNotifyPrivilege"},
    {24, "SeRemoteShutdownPrivilege"},
    {25, "SeUndockPrivilege"},
    {26, "SeSyncAgentPrivilege"},
    {27, "SeEnableDelegationPrivilege"},
    {28, "SeManageVolumePrivilege"},
    {29, "SeImpersonatePrivilege"},
    {30, "SeCreateGlobalPrivilege"},
    {31, "SeTrustedCredManAccessPrivilege"},
    {32, "SeRelabelPrivilege"},
    {33, "SeIncreaseWorkingSetPrivilege"},
    {34, "SeTimeZonePrivilege"},
    {35, "SeCreateSymbolicLinkPrivilege"},
    {36, "SeDelegateSessionUserImpersonatePrivilege"},
};

const DWORD kChangeNotifyLuid = 23;

bool FindPrivilege(const char* name, DWORD& luid)
{
    for (const PrivilegeName& entry : kPrivilegeNames) {
        if (SameName(entry.name, name)) {
            luid = entry.luid;
            return true;
        }
    }
    return false;
}

// Which capability of the process stands for which privilege. A privilege
// is held when the capability is in the effective set as the token is built.
struct CapabilityPrivilege {
    int capability;
    DWORD luid;
};

const CapabilityPrivilege kCapabilityPrivileges[] = {
    {CAP_IPC_LOCK, 4},          // SeLockMemoryPrivilege
    {CAP_AUDIT_CONTROL, 8},     // SeSecurityPrivilege
    {CAP_CHOWN, 9},             // SeTakeOwnershipPrivilege
    {CAP_SYS_MODULE, 10},       // SeLoadDriverPrivilege
    {CAP_SYS_TIME, 12},         // SeSystemtimePrivilege
    {CAP_SYS_NICE, 14},         // SeIncreaseBasePriorityPrivilege
    {CAP_DAC_READ_SEARCH, 17},  // SeBackupPrivilege
    {CAP_DAC_OVERRIDE, 18},     // SeRestorePrivilege
    {CAP_SYS_BOOT, 19},         // SeShutdownPrivilege
    {CAP_SYS_PTRACE, 20},       // SeDebugPrivilege
};

bool CapabilityEffective(const __user_cap_data_struct (&data)[2], int capability)
{
    unsigned word = static_cast<unsigned>(capability) / 32;
    unsigned bit = static_cast<unsigned>(capability) % 32;
    return word < 2 && (data[word].effective & (1u << bit)) != 0;
}

// ------------------------------------------------------------ the primary token

struct Privilege {
    DWORD luid;
    DWORD attributes;
};

// The one primary token of the process: every token handle sees it. It is
// built from the process's identity on first use and built again in a child
// after fork, which is a process of its own.
class PrimaryToken {
public:
    std::mutex mutex;

    // The privileges held, in ascending order of identifier. Call with the
    // mutex held.
    std::vector<Privilege>& Privileges()
    {
        pid_t pid = getpid();
        if (!m_built || pid != m_pid) {
            Build();
            m_pid = pid;
            m_built = true;
        }
        return m_privileges;
    }

private:
    void Build()
    {
        m_privileges.clear();
        __user_cap_header_struct header{};
        header.version = _LINUX_CAPABILITY_VERSION_3;
        header.pid = 0;
        __user_cap_data_struct data[2]{};
        if (syscall(SYS_capget, &header, data) != 0) {
            std::memset(data, 0, sizeof data);
        }
        for (const CapabilityPrivilege& entry : kCapabilityPrivileges) {
            if (CapabilityEffective(data, entry.capability)) {
                m_privileges.push_back({entry.luid, 0});
            }
        }
        m_privileges.push_back(
            {kChangeNotifyLuid, SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT});
        std::sort(m_privileges.begin(), m_privileges.end(),
                  [](const Privilege& a, const Privilege& b) { return a.luid < b.luid; });
    }

    bool m_built = false;
    pid_t m_pid = 0;
    std::vector<Privilege> m_privileges;
};

PrimaryToken& Token()
{
    static PrimaryToken* token = new PrimaryToken;
    return *token;
}

Privilege* FindHeld(std::vector<Privilege>& privileges, const LUID& luid)
{
    if (luid.HighPart != 0) {
        return nullptr;
    }
    for (Privilege& privilege : privileges) {
        if (privilege.luid == luid.LowPart) {
            return &privilege;
        }
    }
    return nullptr;
}

DWORD PrivilegesSize(size_t count)
{
    return static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                              count * sizeof(LUID_AND_ATTRIBUTES));
}

void WritePrivileges(PTOKEN_PRIVILEGES out, const std::vector<Privilege>& list)
{
    out->PrivilegeCount = static_cast<DWORD>(list.size());
    // Written entry by entry through the byte layout: the record is declared
    // with one entry and may carry any number.
    BYTE* entries = reinterpret_cast<BYTE*>(out) + offsetof(TOKEN_PRIVILEGES, Privileges);
    for (size_t i = 0; i < list.size(); ++i) {
        LUID_AND_ATTRIBUTES entry{};
        entry.Luid.LowPart = list[i].luid;
        entry.Luid.HighPart = 0;
        entry.Attributes = list[i].attributes;
        std::memcpy(entries + i * sizeof entry, &entry, sizeof entry);
    }
}

// ------------------------------------------------------------ events

struct EventState {
    std::mutex mutex;
    std::condition_variable changed;
    bool signaled = false;
    bool manualReset = false;
};

// ------------------------------------------------------------ the handle table

enum class ObjectKind { Token, Event };

struct HandleEntry {
    ObjectKind kind;
    ACCESS_MASK access = 0;             // tokens: the access granted
    std::shared_ptr<EventState> event;  // events
};

class HandleTable {
public:
    HANDLE Insert(HandleEntry entry)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Multiples of four from a base of their own, as the platform's
        // handles are; well below the predefined key values and never reused.
        std::uintptr_t value = kBase + 4 * m_next++;
        m_entries.emplace(value, std::move(entry));
        return reinterpret_cast<HANDLE>(value);
    }

    bool Find(HANDLE handle, HandleEntry& out)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_entries.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == m_entries.end()) {
            return false;
        }
        out = it->second;
        return true;
    }

    bool Erase(HANDLE handle)
    {
        std::shared_ptr<EventState> released;  // destroyed outside the lock
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_entries.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == m_entries.end()) {
            return false;
        }
        released = std::move(it->second.event);
        m_entries.erase(it);
        return true;
    }

    // Named events of this process, shared by every handle opened by name.
    std::shared_ptr<EventState> NamedEvent(const std::string& name, bool manualReset,
                                           bool initialState, bool& existed)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::shared_ptr<EventState> state = m_named[name].lock();
        existed = state != nullptr;
        if (!state) {
            // Names whose last handle is gone are free again.
            for (auto it = m_named.begin(); it != m_named.end();) {
                it = it->second.expired() ? m_named.erase(it) : std::next(it);
            }
            state = std::make_shared<EventState>();
            state->manualReset = manualReset;
            state->signaled = initialState;
            m_named[name] = state;
        }
        return state;
    }

private:
    static constexpr std::uintptr_t kBase = 0x40000000;
    std::mutex m_mutex;
    std::uintptr_t m_next = 0;
    std::unordered_map<std::uintptr_t, HandleEntry> m_entries;
    std::map<std::string, std::weak_ptr<EventState>> m_named;
};

HandleTable& Handles()
{
    static HandleTable* table = new HandleTable;
    return *table;
}

HANDLE ProcessPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }

// Looks up a token handle; sets the last error and returns false otherwise.
bool FindToken(HANDLE handle, HandleEntry& entry)
{
    if (!Handles().Find(handle, entry) || entry.kind != ObjectKind::Token) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

std::shared_ptr<EventState> FindEvent(HANDLE handle)
{
    HandleEntry entry;
    if (!Handles().Find(handle, entry) || entry.kind != ObjectKind::Event) {
        return nullptr;
    }
    return entry.event;
}

void Signal(EventState& event)
{
    {
        std::lock_guard<std::mutex> lock(event.mutex);
        event.signaled = true;
    }
    // Every waiter wakes; for an auto-reset event the first to take the
    // lock consumes the signal and the others wait on.
    event.changed.notify_all();
}

// The access a token handle gets for a requested mask: generic rights are
// mapped to the token's specific rights; the process owns its token, so
// everything else asked for is granted.
ACCESS_MASK MapTokenAccess(ACCESS_MASK access)
{
    const ACCESS_MASK kTokenRead = STANDARD_RIGHTS_READ | TOKEN_QUERY;
    const ACCESS_MASK kTokenWrite =
        STANDARD_RIGHTS_WRITE | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS | TOKEN_ADJUST_DEFAULT;
    const ACCESS_MASK kTokenExecute = STANDARD_RIGHTS_EXECUTE;
    ACCESS_MASK granted = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                                     MAXIMUM_ALLOWED);
    if (access & GENERIC_READ) granted |= kTokenRead;
    if (access & GENERIC_WRITE) granted |= kTokenWrite;
    if (access & GENERIC_EXECUTE) granted |= kTokenExecute;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= TOKEN_ALL_ACCESS;
    return granted;
}

bool IsLocalSystemName(const char* systemName)
{
    if (systemName == nullptr || *systemName == '\0') {
        return true;
    }
    std::string name(systemName);
    if (name.compare(0, 2, "\\\\") == 0) {
        name.erase(0, 2);
    }
    char local[256] = {};
    DWORD size = sizeof local;
    DWORD saved = GetLastError();
    bool known = GetComputerNameA(local, &size) != FALSE;
    SetLastErrorCode(saved);
    return (known && SameName(name, local)) || name == "." || SameName(name, "localhost");
}

}  // namespace

// ------------------------------------------------------------ module interface

namespace netid::posix {

bool PrivilegeEnabled(const char* privilegeName)
{
    DWORD luidValue = 0;
    if (privilegeName == nullptr || !FindPrivilege(privilegeName, luidValue)) {
        return false;
    }
    PrimaryToken& token = Token();
    std::lock_guard<std::mutex> lock(token.mutex);
    LUID luid{luidValue, 0};
    Privilege* held = FindHeld(token.Privileges(), luid);
    return held != nullptr && (held->attributes & SE_PRIVILEGE_ENABLED) != 0;
}

bool SignalEventObject(HANDLE event)
{
    std::shared_ptr<EventState> state = FindEvent(event);
    if (!state) {
        return false;
    }
    Signal(*state);
    return true;
}

bool IsEventObject(HANDLE event) { return FindEvent(event) != nullptr; }

}  // namespace netid::posix

// ------------------------------------------------------------ tokens

HANDLE WINAPI GetCurrentProcess(void) { return ProcessPseudoHandle(); }

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    return netid::posix::ContainedOr<BOOL>(FALSE, [&]() -> BOOL {
        if (ProcessHandle != ProcessPseudoHandle()) {
            SetLastErrorCode(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (TokenHandle == nullptr) {
            SetLastErrorCode(ERROR_NOACCESS);
            return FALSE;
        }
        if ((DesiredAccess & ACCESS_SYSTEM_SECURITY) != 0 &&
            !netid::posix::PrivilegeEnabled("SeSecurityPrivilege")) {
            SetLastErrorCode(ERROR_PRIVILEGE_NOT_HELD);
            return FALSE;
        }
        HandleEntry entry;
        entry.kind = ObjectKind::Token;
        entry.access = MapTokenAccess(DesiredAccess);
        *TokenHandle = Handles().Insert(std::move(entry));
        return TRUE;
    });
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid)
{
    return netid::posix::ContainedOr<BOOL>(FALSE, [&]() -> BOOL {
        if (lpName == nullptr || lpLuid == nullptr) {
            SetLastErrorCode(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!IsLocalSystemName(lpSystemName)) {
            // Only the local machine's privileges can be looked up here.
            SetLastErrorCode(kRpcServerUnavailable);
            return FALSE;
        }
        DWORD luid = 0;
        if (!FindPrivilege(lpName, luid)) {
            SetLastErrorCode(ERROR_NO_SUCH_PRIVILEGE);
            return FALSE;
        }
        lpLuid->LowPart = luid;
        lpLuid->HighPart = 0;
        return TRUE;
    });
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength)
{
    return netid::posix::ContainedOr<BOOL>(FALSE, [&]() -> BOOL {
        HandleEntry entry;
        if (!FindToken(TokenHandle, entry)) {
            return FALSE;
        }
        if ((entry.access & TOKEN_ADJUST_PRIVILEGES) == 0) {
            SetLastErrorCode(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (!DisableAllPrivileges && NewState == nullptr) {
            SetLastErrorCode(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (PreviousState != nullptr) {
            // Reporting the former state reads the token as well.
            if ((entry.access & TOKEN_QUERY) == 0) {
                SetLastErrorCode(ERROR_ACCESS_DENIED);
                return FALSE;
            }
            if (ReturnLength == nullptr) {
                SetLastErrorCode(ERROR_NOACCESS);
                return FALSE;
            }
        }

        // The requested changes, read through the byte layout: the record may
        // carry more entries than its declaration shows.
        std::vector<LUID_AND_ATTRIBUTES> requests;
        if (!DisableAllPrivileges) {
            const BYTE* entries =
                reinterpret_cast<const BYTE*>(NewState) + offsetof(TOKEN_PRIVILEGES, Privileges);
            requests.resize(NewState->PrivilegeCount);
            for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
                std::memcpy(&requests[i], entries + i * sizeof(LUID_AND_ATTRIBUTES),
                            sizeof(LUID_AND_ATTRIBUTES));
            }
        }

        PrimaryToken& token = Token();
        std::lock_guard<std::mutex> lock(token.mutex);
        std::vector<Privilege> working = token.Privileges();
        std::vector<Privilege> previous;  // the former state of each privilege changed
        bool allAssigned = true;

        auto recordPrevious = [&previous](const Privilege& before) {
            for (const Privilege& p : previous) {
                if (p.luid == before.luid) return;
            }
            previous.push_back(before);
        };

        if (DisableAllPrivileges) {
            for (Privilege& privilege : working) {
                if (privilege.attributes & SE_PRIVILEGE_ENABLED) {
                    recordPrevious(privilege);
                    privilege.attributes &= ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED);
                }
            }
        } else {
            for (const LUID_AND_ATTRIBUTES& request : requests) {
                Privilege* held = FindHeld(working, request.Luid);
                if (held == nullptr) {
                    allAssigned = false;
                    continue;
                }
                if (request.Attributes & SE_PRIVILEGE_REMOVED) {
                    // Removed for good: the token no longer holds it, and as
                    // the removal cannot be undone it is not reported as a
                    // former state either.
                    working.erase(working.begin() + (held - working.data()));
                    continue;
                }
                bool enable = (request.Attributes & SE_PRIVILEGE_ENABLED) != 0;
                bool enabled = (held->attributes & SE_PRIVILEGE_ENABLED) != 0;
                if (enable != enabled) {
                    recordPrevious(*held);
                    if (enable) {
                        held->attributes |= SE_PRIVILEGE_ENABLED;
                    } else {
                        held->attributes &= ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED);
                    }
                }
            }
        }

        if (PreviousState != nullptr) {
            DWORD needed = PrivilegesSize(previous.size());
            *ReturnLength = needed;
            if (BufferLength < needed) {
                // Nothing is changed when the former state does not fit.
                SetLastErrorCode(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            WritePrivileges(PreviousState, previous);
        }
        token.Privileges() = std::move(working);
        SetLastErrorCode(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
        return TRUE;
    });
}

BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength,
                                PDWORD ReturnLength)
{
    return netid::posix::ContainedOr<BOOL>(FALSE, [&]() -> BOOL {
        HandleEntry entry;
        if (!FindToken(TokenHandle, entry)) {
            return FALSE;
        }
        if ((entry.access & TOKEN_QUERY) == 0) {
            SetLastErrorCode(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (TokenInformationClass != TokenPrivileges) {
            SetLastErrorCode(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (ReturnLength == nullptr) {
            SetLastErrorCode(ERROR_NOACCESS);
            return FALSE;
        }
        std::vector<Privilege> snapshot;
        {
            PrimaryToken& token = Token();
            std::lock_guard<std::mutex> lock(token.mutex);
            snapshot = token.Privileges();
        }
        DWORD needed = PrivilegesSize(snapshot.size());
        *ReturnLength = needed;
        if (TokenInformation == nullptr || TokenInformationLength < needed) {
            SetLastErrorCode(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        WritePrivileges(static_cast<PTOKEN_PRIVILEGES>(TokenInformation), snapshot);
        return TRUE;
    });
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    return netid::posix::ContainedOr<BOOL>(FALSE, [&]() -> BOOL {
        if (hObject == ProcessPseudoHandle()) {
            return TRUE;
        }
        if (!Handles().Erase(hObject)) {
            SetLastErrorCode(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    });
}

// ------------------------------------------------------------ events

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName)
{
    return netid::posix::ContainedOr<HANDLE>(nullptr, [&]() -> HANDLE {
        (void)lpEventAttributes;
        std::shared_ptr<EventState> state;
        bool existed = false;
        if (lpName != nullptr && *lpName != '\0') {
            // Names are local to the process; the session prefixes name the same.
            std::string name(lpName);
            for (const char* prefix : {"Local\\", "Global\\"}) {
                if (name.compare(0, std::strlen(prefix), prefix) == 0) {
                    name.erase(0, std::strlen(prefix));
                    break;
                }
            }
            if (name.find('\\') != std::string::npos) {
                SetLastErrorCode(ERROR_PATH_NOT_FOUND);
                return nullptr;
            }
            if (name.size() >= MAX_PATH) {
                SetLastErrorCode(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            state = Handles().NamedEvent(name, bManualReset != FALSE, bInitialState != FALSE, existed);
        } else {
            state = std::make_shared<EventState>();
            state->manualReset = bManualReset != FALSE;
            state->signaled = bInitialState != FALSE;
        }
        HandleEntry entry;
        entry.kind = ObjectKind::Event;
        entry.event = std::move(state);
        HANDLE handle = Handles().Insert(std::move(entry));
        SetLastErrorCode(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return handle;
    });
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    return netid::posix::ContainedOr<BOOL>(FALSE, [&]() -> BOOL {
        std::shared_ptr<EventState> state = FindEvent(hEvent);
        if (!state) {
            SetLastErrorCode(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        Signal(*state);
        return TRUE;
    });
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    return netid::posix::ContainedOr<BOOL>(FALSE, [&]() -> BOOL {
        std::shared_ptr<EventState> state = FindEvent(hEvent);
        if (!state) {
            SetLastErrorCode(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        std::lock_guard<std::mutex> lock(state->mutex);
        state->signaled = false;
        return TRUE;
    });
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return netid::posix::ContainedOr<DWORD>(WAIT_FAILED, [&]() -> DWORD {
        std::shared_ptr<EventState> state = FindEvent(hHandle);
        if (!state) {
            if (hHandle == ProcessPseudoHandle()) {
                // The running process is signalled only when it has ended.
                while (dwMilliseconds == INFINITE) {
                    std::this_thread::sleep_for(std::chrono::hours(24));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
                return WAIT_TIMEOUT;
            }
            SetLastErrorCode(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        std::unique_lock<std::mutex> lock(state->mutex);
        auto ready = [&state] { return state->signaled; };
        if (dwMilliseconds == INFINITE) {
            state->changed.wait(lock, ready);
        } else {
            auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
            if (!state->changed.wait_until(lock, deadline, ready)) {
                return WAIT_TIMEOUT;
            }
        }
        if (!state->manualReset) {
            state->signaled = false;
        }
        return WAIT_OBJECT_0;
    });
}
