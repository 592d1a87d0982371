// SPDX-License-Identifier: LGPL-2.1-or-later
// The registry calls on another machine's keys (see reg_remote.h): loading
// the remote module, the table of remote handles, the credentials from the
// environment, and the A calls' conversions of names and string data, as
// for local keys (reg_text.h).
#include "platform/posix/calls/reg_remote.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/posix/base/files.h"
#include "platform/posix/calls/reg_handles.h"
#include "platform/posix/calls/reg_text.h"
#include "platform/posix/remote/remote.h"

#ifndef NETID_REMOTE_MODULE_PATH
#define NETID_REMOTE_MODULE_PATH "/usr/lib/netid/libnetid-remote.so"
#endif

namespace netid::posix::remote {
namespace {

using Key = std::shared_ptr<netid_remote_key>;

// Room for names as UTF-8: a value name has at most 16383 UTF-16 units.
constexpr std::size_t kNameRoom = 3 * 16384 + 1;
// An authentication file larger than this is no authentication file.
constexpr off_t kMaxAuthFile = 64 * 1024;
// Times data that keeps growing between the probe of its size and the read
// is read again.
constexpr int kReadAttempts = 4;

class Remote {
public:
    const netid_remote_interface* Api()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_tried) {
            m_tried = true;
            Load();
        }
        return m_api;
    }
    std::string Problem()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_problem;
    }
    HKEY Add(netid_remote_key* raw)
    {
        const netid_remote_interface* api = m_api;
        Key key(raw, [api](netid_remote_key* k) { api->close_key(k); });
        std::lock_guard<std::mutex> lock(m_mutex);
        std::uintptr_t value;
        do {
            value = m_next;
            m_next += 4;
        } while (!IsRemote(reinterpret_cast<HKEY>(value)));
        m_keys.emplace(value, std::move(key));
        return reinterpret_cast<HKEY>(value);
    }
    Key Find(HKEY handle)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_keys.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == m_keys.end() ? Key() : it->second;
    }
    bool Remove(HKEY handle)
    {
        Key key;  // closed on the server once the lock is released
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_keys.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == m_keys.end()) return false;
        key = std::move(it->second);
        m_keys.erase(it);
        return true;
    }

private:
    void Load()
    {
        const char* named = secure_getenv("NETID_REMOTE_MODULE");
        const std::string path = named != nullptr && *named != '\0' ? named : NETID_REMOTE_MODULE_PATH;
        void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            const char* why = dlerror();
            m_problem = "the remote registry module " + path + " cannot be loaded (" +
                        (why != nullptr ? why : "unknown reason") +
                        "); it is in the package netid-remote";
            return;
        }
        auto entry = reinterpret_cast<netid_remote_entry>(dlsym(module, NETID_REMOTE_ENTRY));
        const netid_remote_interface* api = entry != nullptr ? entry() : nullptr;
        if (api == nullptr || api->version != NETID_REMOTE_VERSION) {
            m_problem = "the remote registry module " + path + " is of another version";
            return;  // left loaded: unloading a half-known library gains nothing
        }
        m_api = api;
    }

    std::mutex m_mutex;
    bool m_tried = false;
    const netid_remote_interface* m_api = nullptr;
    std::string m_problem;
    std::unordered_map<std::uintptr_t, Key> m_keys;
    std::uintptr_t m_next = 0x00010001;  // odd: IsRemote
};

Remote& TheRemote()
{
    static Remote* remote = new Remote;  // lives until the process ends
    return *remote;
}

// A name or path as the wire carries it: the A text as UTF-8, made valid.
std::string Wire(LPCSTR text)
{
    return NameToA(NameFromA(text));
}

// One "name = value" line of an authentication file.
bool Setting(const std::string& line, const char* name, std::string& value)
{
    std::size_t at = line.find_first_not_of(" \t");
    const std::size_t length = std::strlen(name);
    if (at == std::string::npos || line.compare(at, length, name) != 0) return false;
    at = line.find_first_not_of(" \t", at + length);
    if (at == std::string::npos || line[at] != '=') return false;
    at = line.find_first_not_of(" \t", at + 1);
    value = at == std::string::npos ? std::string() : line.substr(at);
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t')) {
        value.pop_back();
    }
    return true;
}

struct Credentials {
    std::string user, password, domain;
    bool hasUser = false, hasPassword = false, hasDomain = false;
};

// The authentication file named by NETID_REMOTE_AUTH, if any: a regular file
// of this user's (or root's), with one link, of a bounded size.
LONG ReadAuthFile(Credentials& who)
{
    const char* path = secure_getenv("NETID_REMOTE_AUTH");
    if (path == nullptr || *path == '\0') return ERROR_SUCCESS;
    OwnedFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) return StatusFromErrno(errno);
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) return StatusFromErrno(errno);
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || (st.st_uid != getuid() && st.st_uid != 0) ||
        st.st_size > kMaxAuthFile) {
        return ERROR_ACCESS_DENIED;
    }
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        ssize_t n = read(fd.get(), &text[got], text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        if (Setting(line, "username", who.user)) who.hasUser = true;
        if (Setting(line, "password", who.password)) who.hasPassword = true;
        if (Setting(line, "domain", who.domain)) who.hasDomain = true;
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

// "host" or "host:port" (a port only after a name or an IPv4 address).
bool SplitMachine(std::string machine, std::string& host, unsigned& port)
{
    port = 0;
    const std::size_t colon = machine.rfind(':');
    if (colon != std::string::npos && machine.find(':') == colon) {
        const std::string digits = machine.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        port = static_cast<unsigned>(std::stoul(digits));
        if (port == 0 || port > 65535) return false;
        machine.resize(colon);
    }
    host = machine;
    return !host.empty();
}

// Data the module holds, read whole: its size first, then the data.
template <typename Read>
LONG ReadAll(Read read, DWORD& type, std::vector<BYTE>& data)
{
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        std::uint32_t size = 0;
        LONG status = read(&type, nullptr, &size);
        if (status != ERROR_SUCCESS) return status;
        data.assign(size + 1u, 0);  // never empty: the pointer is never null
        std::uint32_t got = size + 1u;
        status = read(&type, data.data(), &got);
        if (status == ERROR_SUCCESS) {
            data.resize(got);
            return ERROR_SUCCESS;
        }
        if (status != ERROR_MORE_DATA) return status;  // else it grew meanwhile
    }
    return ERROR_MORE_DATA;
}

}  // namespace

std::string ModuleProblem()
{
    return TheRemote().Problem();
}

LONG Connect(const char* machine, HKEY root, PHKEY result)
{
    // Another machine offers its machine and users roots and its
    // performance data; the classes and the current user are this side's.
    std::uint32_t which = 0;
    if (root == HKEY_LOCAL_MACHINE) which = NETID_REMOTE_HKLM;
    else if (root == HKEY_USERS) which = NETID_REMOTE_HKU;
    else if (root == HKEY_PERFORMANCE_DATA) which = NETID_REMOTE_HKPD;
    else return ERROR_INVALID_HANDLE;
    std::string host;
    unsigned port = 0;
    if (!SplitMachine(machine, host, port)) return ERROR_BAD_NETPATH;
    const netid_remote_interface* api = TheRemote().Api();
    if (api == nullptr) return ERROR_BAD_NETPATH;
    // An authentication file that cannot be trusted logs nobody on.
    Credentials who;
    if (ReadAuthFile(who) != ERROR_SUCCESS) return ERROR_LOGON_FAILURE;
    netid_remote_credentials given{who.hasUser ? who.user.c_str() : nullptr,
                                   who.hasPassword ? who.password.c_str() : nullptr,
                                   who.hasDomain ? who.domain.c_str() : nullptr};
    netid_remote_key* key = nullptr;
    LONG status = api->connect(host.c_str(), port, which, MAXIMUM_ALLOWED, &given, &key);
    if (status != ERROR_SUCCESS) return status;
    *result = TheRemote().Add(key);
    return ERROR_SUCCESS;
}

#define NETID_REMOTE_KEY(handle)                              \
    Key key = TheRemote().Find(handle);                       \
    const netid_remote_interface* api = TheRemote().Api();    \
    if (!key || api == nullptr) return ERROR_INVALID_HANDLE

LONG OpenKey(HKEY handle, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY result)
{
    NETID_REMOTE_KEY(handle);
    netid_remote_key* opened = nullptr;
    LONG status = api->open_key(key.get(), Wire(subKey).c_str(), options, sam, &opened);
    if (status == ERROR_SUCCESS) *result = TheRemote().Add(opened);
    return status;
}

LONG CreateKey(HKEY handle, LPCSTR subKey, LPSTR keyClass, DWORD options, REGSAM sam,
               LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition)
{
    NETID_REMOTE_KEY(handle);
    const void* sd = security != nullptr ? security->lpSecurityDescriptor : nullptr;
    const DWORD sdSize = sd != nullptr ? GetSecurityDescriptorLength(const_cast<void*>(sd)) : 0;
    if (sd != nullptr && sdSize == 0) return ERROR_INVALID_SECURITY_DESCR;
    netid_remote_key* made = nullptr;
    std::uint32_t how = 0;
    LONG status = api->create_key(key.get(), Wire(subKey).c_str(), Wire(keyClass).c_str(), options, sam,
                                  static_cast<const std::uint8_t*>(sd), sdSize, &made, &how);
    if (status != ERROR_SUCCESS) return status;
    *result = TheRemote().Add(made);
    if (disposition != nullptr) *disposition = how;
    return ERROR_SUCCESS;
}

LONG CloseKey(HKEY handle)
{
    return TheRemote().Remove(handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG QueryInfoKey(HKEY handle, LPSTR keyClass, LPDWORD classChars, LPDWORD subKeys,
                  LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values,
                  LPDWORD maxValueNameLen, LPDWORD maxValueLen, LPDWORD securitySize,
                  PFILETIME lastWrite)
{
    NETID_REMOTE_KEY(handle);
    std::vector<char> text(kNameRoom);
    netid_remote_info info{};
    LONG status = api->query_info(key.get(), text.data(), static_cast<std::uint32_t>(text.size()), &info);
    if (status != ERROR_SUCCESS) return status;
    auto put = [](LPDWORD out, DWORD value) {
        if (out != nullptr) *out = value;
    };
    const std::string cls = text.data();
    if (classChars != nullptr) {
        if (keyClass == nullptr) {
            *classChars = static_cast<DWORD>(cls.size());
        } else if (*classChars == 0) {
            // no room even for the terminator: nothing is written
        } else if (!CopyToBuffer(cls, keyClass, *classChars)) {
            std::string cut = TruncatedA(cls, *classChars - 1);
            CopyToBuffer(cut, keyClass, *classChars);
            *classChars = static_cast<DWORD>(cut.size());
            status = ERROR_MORE_DATA;
        } else {
            *classChars = static_cast<DWORD>(cls.size());
        }
    }
    put(subKeys, info.subkeys);
    put(maxSubKeyLen, info.max_subkey_len);
    put(maxClassLen, info.max_class_len);
    put(values, info.values);
    put(maxValueNameLen, info.max_value_name_len);
    put(maxValueLen, info.max_value_len);
    put(securitySize, info.security_size);
    CopyFileTime(info.last_write, lastWrite);
    return status;
}

LONG EnumKey(HKEY handle, DWORD index, LPSTR name, LPDWORD nameChars, LPSTR keyClass,
             LPDWORD classChars, PFILETIME lastWrite)
{
    NETID_REMOTE_KEY(handle);
    std::vector<char> found(kNameRoom), cls(kNameRoom);
    std::uint64_t when = 0;
    LONG status = api->enum_key(key.get(), index, found.data(), static_cast<std::uint32_t>(found.size()),
                                cls.data(), static_cast<std::uint32_t>(cls.size()), &when);
    if (status != ERROR_SUCCESS) return status;
    if (!CopyToBuffer(found.data(), name, *nameChars)) return ERROR_MORE_DATA;
    if (keyClass != nullptr && !CopyToBuffer(cls.data(), keyClass, *classChars)) {
        *classChars = static_cast<DWORD>(std::strlen(cls.data()));
        return ERROR_MORE_DATA;
    }
    *nameChars = static_cast<DWORD>(std::strlen(found.data()));
    if (classChars != nullptr) *classChars = static_cast<DWORD>(std::strlen(cls.data()));
    CopyFileTime(when, lastWrite);
    return ERROR_SUCCESS;
}

LONG EnumValue(HKEY handle, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD type, LPBYTE data,
               LPDWORD size)
{
    NETID_REMOTE_KEY(handle);
    const DWORD capacity = size != nullptr ? *size : 0;
    std::vector<char> found(kNameRoom);
    DWORD foundType = REG_NONE;
    std::vector<BYTE> stored;
    LONG status = ReadAll(
        [&](DWORD* t, BYTE* d, std::uint32_t* s) {
            std::uint32_t wire = REG_NONE;
            LONG r = api->enum_value(key.get(), index, found.data(),
                                     static_cast<std::uint32_t>(found.size()), &wire, d, s);
            *t = wire;
            return r;
        },
        foundType, stored);
    if (status != ERROR_SUCCESS) return status;
    const std::string text = found.data();
    const std::vector<BYTE> delivered = DataToA(foundType, stored);
    if (text.size() >= *nameChars || (data != nullptr && capacity < delivered.size())) {
        if (type != nullptr) *type = foundType;
        if (size != nullptr) *size = static_cast<DWORD>(delivered.size());
        return ERROR_MORE_DATA;
    }
    CopyToBuffer(text, name, *nameChars);
    *nameChars = static_cast<DWORD>(text.size());
    if (type != nullptr) *type = foundType;
    return DeliverData(foundType, delivered, data, capacity, size);
}

LONG QueryValue(HKEY handle, LPCSTR name, LPDWORD type, LPBYTE data, LPDWORD size)
{
    NETID_REMOTE_KEY(handle);
    const DWORD capacity = size != nullptr ? *size : 0;
    const std::string wireName = Wire(name);
    DWORD foundType = REG_NONE;
    std::vector<BYTE> stored;
    LONG status = ReadAll(
        [&](DWORD* t, BYTE* d, std::uint32_t* s) {
            std::uint32_t wire = REG_NONE;
            LONG r = api->query_value(key.get(), wireName.c_str(), &wire, d, s);
            *t = wire;
            return r;
        },
        foundType, stored);
    if (status != ERROR_SUCCESS) {
        if (status == ERROR_FILE_NOT_FOUND && data == nullptr && size != nullptr) *size = 0;
        return status;
    }
    if (type != nullptr) *type = foundType;
    return DeliverData(foundType, DataToA(foundType, stored), data, capacity, size);
}

LONG SetValue(HKEY handle, LPCSTR name, DWORD type, const BYTE* data, DWORD size)
{
    NETID_REMOTE_KEY(handle);
    const std::vector<BYTE> wire = DataFromA(type, data, SizeWithTerminator(type, data, size));
    return api->set_value(key.get(), Wire(name).c_str(), type, wire.data(), static_cast<std::uint32_t>(wire.size()));
}

LONG DeleteKey(HKEY handle, LPCSTR subKey)
{
    NETID_REMOTE_KEY(handle);
    return api->delete_key(key.get(), Wire(subKey).c_str());
}

LONG DeleteValue(HKEY handle, LPCSTR name)
{
    NETID_REMOTE_KEY(handle);
    return api->delete_value(key.get(), Wire(name).c_str());
}

LONG FlushKey(HKEY handle)
{
    NETID_REMOTE_KEY(handle);
    return api->flush_key(key.get());
}

LONG GetSecurity(HKEY handle, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                 LPDWORD size)
{
    NETID_REMOTE_KEY(handle);
    std::uint32_t room = *size;
    LONG status = api->get_security(key.get(), information, static_cast<std::uint8_t*>(descriptor), &room);
    if (status == ERROR_SUCCESS || status == ERROR_INSUFFICIENT_BUFFER) *size = room;
    return status;
}

LONG SetSecurity(HKEY handle, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor)
{
    NETID_REMOTE_KEY(handle);
    return api->set_security(key.get(), information, static_cast<const std::uint8_t*>(descriptor),
                             GetSecurityDescriptorLength(descriptor));
}

LONG Notify(HKEY handle, BOOL subtree, DWORD filter, BOOL asynchronous)
{
    NETID_REMOTE_KEY(handle);
    // Another machine's key is watched only by waiting for its change.
    if (asynchronous) return ERROR_INVALID_PARAMETER;
    return api->notify(key.get(), subtree ? 1 : 0, filter);
}

LONG SaveKey(HKEY handle, LPCSTR file)
{
    NETID_REMOTE_KEY(handle);
    return api->save_key(key.get(), Wire(file).c_str());
}

LONG RestoreKey(HKEY handle, LPCSTR file, DWORD flags)
{
    NETID_REMOTE_KEY(handle);
    return api->restore_key(key.get(), Wire(file).c_str(), flags);
}

LONG LoadKey(HKEY handle, LPCSTR subKey, LPCSTR file)
{
    NETID_REMOTE_KEY(handle);
    return api->load_key(key.get(), Wire(subKey).c_str(), Wire(file).c_str());
}

LONG UnLoadKey(HKEY handle, LPCSTR subKey)
{
    NETID_REMOTE_KEY(handle);
    return api->unload_key(key.get(), Wire(subKey).c_str());
}

LONG ReplaceKey(HKEY handle, LPCSTR subKey, LPCSTR newFile, LPCSTR oldFile)
{
    NETID_REMOTE_KEY(handle);
    return api->replace_key(key.get(), Wire(subKey).c_str(), Wire(newFile).c_str(), Wire(oldFile).c_str());
}

}  // namespace netid::posix::remote
