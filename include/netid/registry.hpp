// SPDX-License-Identifier: LGPL-2.1-or-later
// netid::RegKey: the registry for new C++ programs, over the Win32 registry
// calls on Windows and on Linux alike. Keys close themselves and move;
// values come as std::string, std::vector<std::string>, std::uint32_t,
// std::uint64_t and std::vector<std::uint8_t>; sub-keys and values are
// ranges. Failures throw netid::RegistryError, which carries the status code
// and the system's text for it; each Try... variant returns a RegResult
// instead, which holds the value or the status. Header-only: link
// netid::registry (CMake) or `pkg-config --libs netid` for the calls on Linux,
// advapi32 on Windows.
//
//   netid::RegKey key = netid::RegKey::Create(HKEY_CURRENT_USER, "Software\\Example");
//   key.SetDword("Count", 3);
//   for (const netid::RegValue& value : key.Values()) { ... }
//   if (auto name = key.TryGetString("Name")) { use(*name); }
#ifndef NETID_REGISTRY_HPP
#define NETID_REGISTRY_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <netid/platform/win32.h>

namespace netid {

// ---------------------------------------------------------------- errors

// The system's text for a registry status code, without its line end.
inline std::string StatusMessage(LONG status)
{
    char buffer[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(status), 0, buffer, sizeof buffer, nullptr);
    std::string text(buffer, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (text.empty()) {
        text = "Error " + std::to_string(status) + ".";
    }
    return text;
}

// The category of registry status codes (Win32 error codes).
class RegistryCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "netid.registry"; }
    std::string message(int code) const override { return StatusMessage(static_cast<LONG>(code)); }
};

inline const std::error_category& registry_category() noexcept
{
    static const RegistryCategory category;
    return category;
}

// A failed registry call: code() is the status in registry_category(),
// what() names the operation and gives the system's text.
class RegistryError : public std::system_error {
public:
    RegistryError(LONG status, const std::string& operation)
        : std::system_error(static_cast<int>(status), registry_category(), operation)
    {
    }
    LONG Status() const noexcept { return static_cast<LONG>(code().value()); }
};

// The result of a Try... call: a value or the failed status, as
// std::expected will have it.
template <class T>
class RegResult {
public:
    RegResult(T value) : m_value(std::move(value)) {}  // NOLINT: converts as std::expected does
    static RegResult Failure(LONG status, const char* operation)
    {
        RegResult result;
        result.m_status = status;
        result.m_operation = operation;
        return result;
    }
    bool has_value() const noexcept { return m_value.has_value(); }
    explicit operator bool() const noexcept { return has_value(); }
    // The value; throws the RegistryError of the failure when there is none.
    T& value() &
    {
        Check();
        return *m_value;
    }
    const T& value() const&
    {
        Check();
        return *m_value;
    }
    T&& value() &&
    {
        Check();
        return std::move(*m_value);
    }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    template <class U>
    T value_or(U&& other) const&
    {
        return has_value() ? *m_value : static_cast<T>(std::forward<U>(other));
    }
    // ERROR_SUCCESS when a value is held.
    LONG error() const noexcept { return m_status; }
    std::string message() const { return StatusMessage(m_status); }

private:
    RegResult() = default;
    void Check() const
    {
        if (!m_value) throw RegistryError(m_status, m_operation);
    }
    std::optional<T> m_value;
    LONG m_status = ERROR_SUCCESS;
    const char* m_operation = "";
};

// The outcome of a Try... call that has no value: true on success.
class RegStatus {
public:
    RegStatus(LONG status = ERROR_SUCCESS, const char* operation = "") : m_status(status), m_operation(operation) {}
    explicit operator bool() const noexcept { return m_status == ERROR_SUCCESS; }
    LONG error() const noexcept { return m_status; }
    std::string message() const { return StatusMessage(m_status); }
    // Throws the RegistryError of a failure.
    void value() const
    {
        if (m_status != ERROR_SUCCESS) throw RegistryError(m_status, m_operation);
    }

private:
    LONG m_status;
    const char* m_operation;
};

// ---------------------------------------------------------------- values

// A value as stored: its name, type (REG_SZ, ...) and bytes.
struct RegValue {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<std::uint8_t> data;
};

// What RegQueryInfoKey tells about a key.
struct RegKeyInfo {
    DWORD subKeys = 0;
    DWORD maxSubKeyLength = 0;
    DWORD values = 0;
    DWORD maxValueNameLength = 0;
    DWORD maxValueSize = 0;
    DWORD securityDescriptorSize = 0;
    FILETIME lastWriteTime{};
};

namespace detail {

// Text of REG_SZ and REG_EXPAND_SZ data: up to its first NUL, or all of it
// where the writer left the NUL out.
inline std::string TextOf(const std::vector<std::uint8_t>& data)
{
    const char* begin = reinterpret_cast<const char*>(data.data());
    const void* nul = std::memchr(begin, '\0', data.size());
    return std::string(begin, nul != nullptr ? static_cast<const char*>(nul) : begin + data.size());
}

// The texts of REG_MULTI_SZ data: each up to its NUL, to the empty text that
// ends the list or to the end of the data.
inline std::vector<std::string> TextsOf(const std::vector<std::uint8_t>& data)
{
    std::vector<std::string> texts;
    const char* p = reinterpret_cast<const char*>(data.data());
    const char* end = p + data.size();
    while (p < end && *p != '\0') {
        const void* nul = std::memchr(p, '\0', static_cast<std::size_t>(end - p));
        const char* stop = nul != nullptr ? static_cast<const char*>(nul) : end;
        texts.emplace_back(p, stop);
        p = stop + (stop < end ? 1 : 0);
    }
    return texts;
}

inline std::vector<std::uint8_t> BytesOf(const std::string& text)
{
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

inline LONG EnablePrivilege(const char* name)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return static_cast<LONG>(GetLastError());
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    LONG status = ERROR_SUCCESS;
    if (!LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid) ||
        !AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr)) {
        status = static_cast<LONG>(GetLastError());
    } else {
        status = static_cast<LONG>(GetLastError());  // ERROR_NOT_ALL_ASSIGNED when not held
    }
    CloseHandle(token);
    return status;
}

// Sub-key names or values of a key, one at a time, for the ranges below.
inline LONG EnumName(HKEY key, DWORD index, std::string& name)
{
    for (DWORD size = 256;; size *= 2) {
        name.assign(size, '\0');
        DWORD length = size;
        LONG status = RegEnumKeyExA(key, index, &name[0], &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA && size < 65536) continue;
        name.resize(status == ERROR_SUCCESS ? length : 0);
        return status;
    }
}

inline LONG EnumValue(HKEY key, DWORD index, RegValue& value)
{
    DWORD nameSize = 256;
    DWORD dataSize = 256;
    for (int attempt = 0; attempt < 16; ++attempt) {
        value.name.assign(nameSize, '\0');
        value.data.resize(dataSize);
        DWORD nameLength = nameSize;
        DWORD dataLength = dataSize;
        LONG status = RegEnumValueA(key, index, &value.name[0], &nameLength, nullptr, &value.type,
                                    value.data.data(), &dataLength);
        if (status == ERROR_MORE_DATA) {
            // Either may be too short; the data's size is told, the name's is not.
            if (dataLength > dataSize) {
                dataSize = dataLength;
            } else if (nameSize < 65536) {
                nameSize *= 2;
            } else {
                return status;
            }
            continue;
        }
        if (status == ERROR_SUCCESS) {
            value.name.resize(nameLength);
            value.data.resize(dataLength);
        }
        return status;
    }
    return ERROR_MORE_DATA;
}

// An input range over index 0, 1, ... of an enumeration that ends with
// ERROR_NO_MORE_ITEMS; any other failure throws RegistryError.
template <class T, LONG (*Fetch)(HKEY, DWORD, T&)>
class EnumRange {
public:
    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = const T*;
        using reference = const T&;

        iterator() = default;
        iterator(HKEY key, const char* operation) : m_key(key), m_operation(operation) { Load(); }
        reference operator*() const { return m_item; }
        pointer operator->() const { return &m_item; }
        iterator& operator++()
        {
            ++m_index;
            Load();
            return *this;
        }
        void operator++(int) { ++*this; }
        bool operator==(const iterator& other) const { return m_key == other.m_key && m_index == other.m_index; }
        bool operator!=(const iterator& other) const { return !(*this == other); }

    private:
        void Load()
        {
            LONG status = Fetch(m_key, m_index, m_item);
            if (status == ERROR_NO_MORE_ITEMS) {
                m_key = nullptr;
                m_index = 0;
            } else if (status != ERROR_SUCCESS) {
                throw RegistryError(status, m_operation);
            }
        }
        HKEY m_key = nullptr;
        DWORD m_index = 0;
        T m_item{};
        const char* m_operation = "";
    };

    EnumRange(HKEY key, const char* operation) : m_key(key), m_operation(operation) {}
    iterator begin() const { return iterator(m_key, m_operation); }
    iterator end() const { return iterator(); }

private:
    HKEY m_key;
    const char* m_operation;
};

}  // namespace detail

using SubKeyRange = detail::EnumRange<std::string, detail::EnumName>;
using ValueRange = detail::EnumRange<RegValue, detail::EnumValue>;

// ---------------------------------------------------------------- keys

// An open registry key, closed when the object goes. A predefined root
// (HKEY_LOCAL_MACHINE, ...) may be held too; it is never closed.
class RegKey {
public:
    RegKey() noexcept = default;
    // Takes ownership of an open key.
    explicit RegKey(HKEY key) noexcept : m_key(key) {}
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    RegKey(RegKey&& other) noexcept : m_key(other.Release()) {}
    RegKey& operator=(RegKey&& other) noexcept
    {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    ~RegKey() { Close(); }

    HKEY Get() const noexcept { return m_key; }
    bool IsValid() const noexcept { return m_key != nullptr; }
    explicit operator bool() const noexcept { return IsValid(); }
    HKEY Release() noexcept { return std::exchange(m_key, nullptr); }
    void Reset(HKEY key = nullptr) noexcept
    {
        HKEY old = std::exchange(m_key, key);
        if (old != nullptr && !IsPredefined(old)) RegCloseKey(old);
    }
    void Close() noexcept { Reset(); }

    // --- opening and creating
    static RegResult<RegKey> TryOpen(HKEY parent, const std::string& subKey, REGSAM access = KEY_READ)
    {
        HKEY key = nullptr;
        LONG status = RegOpenKeyExA(parent, subKey.c_str(), 0, access, &key);
        if (status != ERROR_SUCCESS) return RegResult<RegKey>::Failure(status, "RegOpenKeyEx");
        return RegKey(key);
    }
    static RegKey Open(HKEY parent, const std::string& subKey, REGSAM access = KEY_READ)
    {
        return TryOpen(parent, subKey, access).value();
    }
    // Creates the key or opens it where it exists; `created` tells which.
    static RegResult<RegKey> TryCreate(HKEY parent, const std::string& subKey,
                                       REGSAM access = KEY_READ | KEY_WRITE,
                                       DWORD options = REG_OPTION_NON_VOLATILE, bool* created = nullptr)
    {
        HKEY key = nullptr;
        DWORD disposition = 0;
        LONG status = RegCreateKeyExA(parent, subKey.c_str(), 0, nullptr, options, access, nullptr, &key,
                                      &disposition);
        if (status != ERROR_SUCCESS) return RegResult<RegKey>::Failure(status, "RegCreateKeyEx");
        if (created != nullptr) *created = disposition == REG_CREATED_NEW_KEY;
        return RegKey(key);
    }
    static RegKey Create(HKEY parent, const std::string& subKey, REGSAM access = KEY_READ | KEY_WRITE,
                         DWORD options = REG_OPTION_NON_VOLATILE, bool* created = nullptr)
    {
        return TryCreate(parent, subKey, access, options, created).value();
    }
    // A predefined root of another machine's registry, or of this one's
    // where `machine` is empty.
    static RegResult<RegKey> TryConnect(const std::string& machine, HKEY root)
    {
        HKEY key = nullptr;
        LONG status = RegConnectRegistryA(machine.empty() ? nullptr : machine.c_str(), root, &key);
        if (status != ERROR_SUCCESS) return RegResult<RegKey>::Failure(status, "RegConnectRegistry");
        return RegKey(key);
    }
    static RegKey Connect(const std::string& machine, HKEY root) { return TryConnect(machine, root).value(); }

    RegResult<RegKey> TryOpenSubKey(const std::string& name, REGSAM access = KEY_READ) const
    {
        return TryOpen(m_key, name, access);
    }
    RegKey OpenSubKey(const std::string& name, REGSAM access = KEY_READ) const { return Open(m_key, name, access); }
    RegKey CreateSubKey(const std::string& name, REGSAM access = KEY_READ | KEY_WRITE,
                        DWORD options = REG_OPTION_NON_VOLATILE) const
    {
        return Create(m_key, name, access, options);
    }

    // --- typed values (the default value has the empty name)
    RegStatus TrySetValue(const std::string& name, DWORD type, const void* data, DWORD size) const
    {
        return RegStatus(RegSetValueExA(m_key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size),
                         "RegSetValueEx");
    }
    void SetValue(const std::string& name, DWORD type, const std::vector<std::uint8_t>& data) const
    {
        TrySetValue(name, type, data.data(), static_cast<DWORD>(data.size())).value();
    }
    void SetString(const std::string& name, const std::string& text) const { SetValue(name, REG_SZ, detail::BytesOf(text)); }
    void SetExpandString(const std::string& name, const std::string& text) const
    {
        SetValue(name, REG_EXPAND_SZ, detail::BytesOf(text));
    }
    // Each text with its NUL, then the NUL that ends the list; an empty list
    // as two NULs, as Windows stores it. The texts may not be empty.
    void SetMultiString(const std::string& name, const std::vector<std::string>& texts) const
    {
        std::vector<std::uint8_t> data;
        for (const std::string& text : texts) {
            if (text.empty() || text.find('\0') != std::string::npos) {
                throw RegistryError(ERROR_INVALID_PARAMETER, "SetMultiString: an empty text or one with a NUL");
            }
            data.insert(data.end(), text.begin(), text.end());
            data.push_back(0);
        }
        data.push_back(0);
        if (texts.empty()) data.push_back(0);
        SetValue(name, REG_MULTI_SZ, data);
    }
    void SetDword(const std::string& name, std::uint32_t number) const
    {
        std::uint8_t bytes[4];
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(number >> (8 * i));
        TrySetValue(name, REG_DWORD, bytes, 4).value();
    }
    void SetQword(const std::string& name, std::uint64_t number) const
    {
        std::uint8_t bytes[8];
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(number >> (8 * i));
        TrySetValue(name, REG_QWORD, bytes, 8).value();
    }
    void SetBinary(const std::string& name, const std::vector<std::uint8_t>& bytes) const
    {
        SetValue(name, REG_BINARY, bytes);
    }

    // Any value with its type; ERROR_FILE_NOT_FOUND where there is none.
    RegResult<RegValue> TryGetValue(const std::string& name) const
    {
        RegValue value;
        value.name = name;
        DWORD size = 0;
        LONG status = RegQueryValueExA(m_key, name.c_str(), nullptr, &value.type, nullptr, &size);
        // The value may grow between asking its size and reading it.
        for (int attempt = 0; status == ERROR_SUCCESS || status == ERROR_MORE_DATA; ++attempt) {
            value.data.resize(size);
            status = RegQueryValueExA(m_key, name.c_str(), nullptr, &value.type, value.data.data(), &size);
            if (status == ERROR_SUCCESS) {
                value.data.resize(size);
                return value;
            }
            if (attempt == 8) break;
        }
        return RegResult<RegValue>::Failure(status, "RegQueryValueEx");
    }
    RegValue GetValue(const std::string& name) const { return TryGetValue(name).value(); }

    RegResult<std::string> TryGetString(const std::string& name) const
    {
        return Typed<std::string>(name, REG_SZ, REG_EXPAND_SZ, [](const RegValue& v) { return detail::TextOf(v.data); });
    }
    std::string GetString(const std::string& name) const { return TryGetString(name).value(); }
    // REG_EXPAND_SZ text as stored, its %variables% not expanded.
    RegResult<std::string> TryGetExpandString(const std::string& name) const
    {
        return Typed<std::string>(name, REG_EXPAND_SZ, REG_EXPAND_SZ,
                                  [](const RegValue& v) { return detail::TextOf(v.data); });
    }
    std::string GetExpandString(const std::string& name) const { return TryGetExpandString(name).value(); }
    RegResult<std::vector<std::string>> TryGetMultiString(const std::string& name) const
    {
        return Typed<std::vector<std::string>>(name, REG_MULTI_SZ, REG_MULTI_SZ,
                                               [](const RegValue& v) { return detail::TextsOf(v.data); });
    }
    std::vector<std::string> GetMultiString(const std::string& name) const { return TryGetMultiString(name).value(); }
    RegResult<std::uint32_t> TryGetDword(const std::string& name) const
    {
        return Number<std::uint32_t>(name, REG_DWORD, 4);
    }
    std::uint32_t GetDword(const std::string& name) const { return TryGetDword(name).value(); }
    RegResult<std::uint64_t> TryGetQword(const std::string& name) const
    {
        return Number<std::uint64_t>(name, REG_QWORD, 8);
    }
    std::uint64_t GetQword(const std::string& name) const { return TryGetQword(name).value(); }
    RegResult<std::vector<std::uint8_t>> TryGetBinary(const std::string& name) const
    {
        return Typed<std::vector<std::uint8_t>>(name, REG_BINARY, REG_BINARY, [](const RegValue& v) { return v.data; });
    }
    std::vector<std::uint8_t> GetBinary(const std::string& name) const { return TryGetBinary(name).value(); }

    RegStatus TryDeleteValue(const std::string& name) const
    {
        return RegStatus(RegDeleteValueA(m_key, name.c_str()), "RegDeleteValue");
    }
    void DeleteValue(const std::string& name) const { TryDeleteValue(name).value(); }

    // --- enumeration: for (const std::string& name : key.SubKeys()), and
    // for (const RegValue& value : key.Values()).
    SubKeyRange SubKeys() const { return SubKeyRange(m_key, "RegEnumKeyEx"); }
    ValueRange Values() const { return ValueRange(m_key, "RegEnumValue"); }

    RegResult<RegKeyInfo> TryQueryInfo() const
    {
        RegKeyInfo info;
        LONG status = RegQueryInfoKeyA(m_key, nullptr, nullptr, nullptr, &info.subKeys, &info.maxSubKeyLength,
                                       nullptr, &info.values, &info.maxValueNameLength, &info.maxValueSize,
                                       &info.securityDescriptorSize, &info.lastWriteTime);
        if (status != ERROR_SUCCESS) return RegResult<RegKeyInfo>::Failure(status, "RegQueryInfoKey");
        return info;
    }
    RegKeyInfo QueryInfo() const { return TryQueryInfo().value(); }

    // --- deleting keys
    // A sub-key without sub-keys of its own.
    RegStatus TryDeleteSubKey(const std::string& name) const
    {
        return RegStatus(RegDeleteKeyA(m_key, name.c_str()), "RegDeleteKey");
    }
    void DeleteSubKey(const std::string& name) const { TryDeleteSubKey(name).value(); }
    // A sub-key with all beneath it, deepest first. Depth and width are
    // walked with a stack of its own, so a deep tree needs no deep recursion;
    // a tree that keeps growing while it is deleted ends the walk with
    // ERROR_KEY_HAS_CHILDREN rather than going on without end.
    RegStatus TryDeleteTree(const std::string& name) const
    {
        struct Level {
            RegKey key;
            std::string path;
        };
        const DWORD kMaxDepth = 512;
        const unsigned long kMaxSteps = 16UL * 1024 * 1024;
        std::vector<Level> stack;
        {
            auto top = TryOpen(m_key, name, KEY_READ);
            if (!top) return RegStatus(top.error(), "RegOpenKeyEx");
            stack.push_back(Level{std::move(*top), name});
        }
        for (unsigned long step = 0; !stack.empty(); ++step) {
            if (step == kMaxSteps) return RegStatus(ERROR_KEY_HAS_CHILDREN, "DeleteTree");
            std::string child;
            LONG status = detail::EnumName(stack.back().key.Get(), 0, child);
            if (status == ERROR_SUCCESS) {
                if (stack.size() >= kMaxDepth) return RegStatus(ERROR_KEY_HAS_CHILDREN, "DeleteTree");
                auto opened = TryOpen(stack.back().key.Get(), child, KEY_READ);
                if (!opened) return RegStatus(opened.error(), "RegOpenKeyEx");
                stack.push_back(Level{std::move(*opened), child});
                continue;
            }
            if (status != ERROR_NO_MORE_ITEMS) return RegStatus(status, "RegEnumKeyEx");
            std::string leaf = std::move(stack.back().path);
            stack.pop_back();
            HKEY parent = stack.empty() ? m_key : stack.back().key.Get();
            status = RegDeleteKeyA(parent, leaf.c_str());
            if (status != ERROR_SUCCESS) return RegStatus(status, "RegDeleteKey");
        }
        return RegStatus();
    }
    void DeleteTree(const std::string& name) const { TryDeleteTree(name).value(); }

    void Flush() const { RegStatus(RegFlushKey(m_key), "RegFlushKey").value(); }

    // --- security: the self-relative descriptor of the parts `which` names
    // (OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, ...).
    RegResult<std::vector<std::uint8_t>> TryGetSecurity(SECURITY_INFORMATION which) const
    {
        DWORD size = 0;
        LONG status = RegGetKeySecurity(m_key, which, nullptr, &size);
        std::vector<std::uint8_t> descriptor;
        for (int attempt = 0; status == ERROR_INSUFFICIENT_BUFFER && attempt < 8; ++attempt) {
            descriptor.resize(size);
            status = RegGetKeySecurity(m_key, which, descriptor.data(), &size);
        }
        if (status != ERROR_SUCCESS) return RegResult<std::vector<std::uint8_t>>::Failure(status, "RegGetKeySecurity");
        descriptor.resize(size);
        return descriptor;
    }
    std::vector<std::uint8_t> GetSecurity(SECURITY_INFORMATION which) const { return TryGetSecurity(which).value(); }
    RegStatus TrySetSecurity(SECURITY_INFORMATION which, const std::vector<std::uint8_t>& descriptor) const
    {
        std::vector<std::uint8_t> copy = descriptor;  // the call takes a non-const pointer
        return RegStatus(RegSetKeySecurity(m_key, which, copy.data()), "RegSetKeySecurity");
    }
    void SetSecurity(SECURITY_INFORMATION which, const std::vector<std::uint8_t>& descriptor) const
    {
        TrySetSecurity(which, descriptor).value();
    }

    // --- change notification: signals `event` at the next change of the
    // kinds in `filter` (REG_NOTIFY_CHANGE_NAME | ...), once.
    void NotifyChange(HANDLE event, DWORD filter, bool watchSubtree = false) const
    {
        RegStatus(RegNotifyChangeKeyValue(m_key, watchSubtree ? TRUE : FALSE, filter, event, TRUE),
                  "RegNotifyChangeKeyValue")
            .value();
    }

    // --- hive files. Saving enables the backup privilege, restoring the
    // restore privilege, in the process's token, as the calls need them.
    RegStatus TrySave(const std::string& file) const
    {
        detail::EnablePrivilege(SE_BACKUP_NAME);
        return RegStatus(RegSaveKeyA(m_key, file.c_str(), nullptr), "RegSaveKey");
    }
    void Save(const std::string& file) const { TrySave(file).value(); }
    RegStatus TryRestore(const std::string& file, DWORD flags = 0) const
    {
        detail::EnablePrivilege(SE_RESTORE_NAME);
        return RegStatus(RegRestoreKeyA(m_key, file.c_str(), flags), "RegRestoreKey");
    }
    void Restore(const std::string& file, DWORD flags = 0) const { TryRestore(file, flags).value(); }

    static bool IsPredefined(HKEY key) noexcept
    {
        return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE ||
               key == HKEY_USERS || key == HKEY_PERFORMANCE_DATA || key == HKEY_CURRENT_CONFIG ||
               key == HKEY_DYN_DATA;
    }

private:
    template <class T, class Convert>
    RegResult<T> Typed(const std::string& name, DWORD type, DWORD otherType, Convert convert) const
    {
        auto value = TryGetValue(name);
        if (!value) return RegResult<T>::Failure(value.error(), "RegQueryValueEx");
        if (value->type != type && value->type != otherType) {
            return RegResult<T>::Failure(ERROR_UNSUPPORTED_TYPE, "RegQueryValueEx");
        }
        return convert(*value);
    }
    template <class T>
    RegResult<T> Number(const std::string& name, DWORD type, std::size_t size) const
    {
        auto value = TryGetValue(name);
        if (!value) return RegResult<T>::Failure(value.error(), "RegQueryValueEx");
        if (value->type != type) return RegResult<T>::Failure(ERROR_UNSUPPORTED_TYPE, "RegQueryValueEx");
        if (value->data.size() != size) return RegResult<T>::Failure(ERROR_INVALID_DATA, "RegQueryValueEx");
        T number = 0;
        for (std::size_t i = 0; i < size; ++i) number |= static_cast<T>(value->data[i]) << (8 * i);
        return number;
    }

    HKEY m_key = nullptr;
};

// ---------------------------------------------------------------- hives

// A hive file loaded as the key `subKey` of HKEY_LOCAL_MACHINE or HKEY_USERS,
// unloaded again, or replaced at the next start. Each enables the restore
// privilege first.
inline void LoadHive(HKEY root, const std::string& subKey, const std::string& file)
{
    detail::EnablePrivilege(SE_RESTORE_NAME);
    RegStatus(RegLoadKeyA(root, subKey.c_str(), file.c_str()), "RegLoadKey").value();
}
inline void UnloadHive(HKEY root, const std::string& subKey)
{
    detail::EnablePrivilege(SE_RESTORE_NAME);
    RegStatus(RegUnLoadKeyA(root, subKey.c_str()), "RegUnLoadKey").value();
}
inline void ReplaceHive(HKEY root, const std::string& subKey, const std::string& newFile, const std::string& oldFile)
{
    detail::EnablePrivilege(SE_RESTORE_NAME);
    RegStatus(RegReplaceKeyA(root, subKey.c_str(), newFile.c_str(), oldFile.c_str()), "RegReplaceKey").value();
}

}  // namespace netid

#endif
