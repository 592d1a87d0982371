// SPDX-License-Identifier: LGPL-2.1-or-later
#include "tools/regctl/access.h"

#include "platform/store_hint.h"
#include "tools/regctl/text.h"

namespace regctl {

namespace {

// ERROR_NOT_SUPPORTED and ERROR_BAD_PATHNAME, which another machine's server
// may answer (Samba's answers the second to every save).
constexpr LONG kNotSupported = 50;
constexpr LONG kBadPathname = 161;

std::string ToStd(const CString& text) { return std::string(static_cast<LPCSTR>(text), text.GetLength()); }

}  // namespace

BOOL ToolRegistry::UnLoadFromRoot(LPCSTR subKey)
{
    HKEY saved = m_hKey;
    m_hKey = m_hRegistry;
    BOOL result = UnLoadKey(subKey);
    m_hKey = saved;
    return result;
}

LONG OpenKeyName(CRegistry& reg, const KeyName& key, REGSAM access)
{
    if (!reg.Connect(key.root, key.computer.empty() ? nullptr : key.computer.c_str())) {
        return reg.GetStatus();
    }
    // OpenKey may succeed while its status reports the key-fact query that
    // follows the open: the key is open all the same.
    if (!reg.OpenKey(key.path.c_str(), access)) {
        return reg.GetStatus();
    }
    return ERROR_SUCCESS;
}

KeyName ChildOf(const KeyName& key, const std::string& child)
{
    KeyName result = key;
    result.path = key.path.empty() ? child : key.path + "\\" + child;
    return result;
}

LONG ReadValue(CRegistry& reg, const std::string& name, ValueEntry& value)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        DWORD type = REG_NONE;
        DWORD size = 0;
        if (!reg.QueryValue(name.c_str(), type, nullptr, &size)) {
            return reg.GetStatus();
        }
        Bytes buffer(static_cast<size_t>(size) + 1);  // never empty: the pointer is never null
        DWORD got = static_cast<DWORD>(buffer.size());
        if (reg.QueryValue(name.c_str(), type, buffer.data(), &got)) {
            buffer.resize(got);
            value.name = name;
            value.type = type;
            value.data.swap(buffer);
            return ERROR_SUCCESS;
        }
        if (reg.GetStatus() != ERROR_MORE_DATA) {
            return reg.GetStatus();  // else the value grew in between: again
        }
    }
    return ERROR_MORE_DATA;
}

LONG ReadValueNames(CRegistry& reg, std::vector<std::string>& names)
{
    for (DWORD index = 0;; ++index) {
        CString name;
        DWORD type = REG_NONE;
        if (!reg.EnumValue(index, name, type, nullptr, nullptr)) {
            LONG status = reg.GetStatus();
            return status == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : status;
        }
        names.push_back(ToStd(name));
    }
}

LONG ReadAllValues(CRegistry& reg, std::vector<ValueEntry>& values)
{
    std::vector<std::string> names;
    LONG status = ReadValueNames(reg, names);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    for (const std::string& name : names) {
        ValueEntry entry;
        status = ReadValue(reg, name, entry);
        if (status == ERROR_FILE_NOT_FOUND) {
            continue;  // deleted by someone else since the enumeration
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
        values.push_back(entry);
    }
    return ERROR_SUCCESS;
}

LONG ReadSubKeys(CRegistry& reg, std::vector<std::string>& names)
{
    for (DWORD index = 0;; ++index) {
        CString name;
        CString keyClass;
        if (!reg.EnumKey(index, name, keyClass)) {
            LONG status = reg.GetStatus();
            return status == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : status;
        }
        names.push_back(ToStd(name));
    }
}

std::string StatusMessage(LONG status)
{
    switch (status) {
    case ERROR_FILE_NOT_FOUND: return "The system was unable to find the specified registry key or value.";
    case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED: return "Access is denied.";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory resources are available to process this command.";
    case ERROR_SHARING_VIOLATION:
        return "The process cannot access the file because it is being used by another process.";
    case ERROR_BAD_NETPATH: return "The network path was not found.";
    case ERROR_LOGON_FAILURE: return "The user name or password is incorrect.";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case kNotSupported: return "The request is not supported.";
    case kBadPathname: return "The specified path is invalid.";
    case ERROR_ALREADY_EXISTS: return "Cannot create a file when that file already exists.";
    case ERROR_MORE_DATA: return "More data is available.";
    case ERROR_BADDB: return "The configuration registry database is corrupt.";
    case ERROR_BADKEY: return "The configuration registry key is invalid.";
    case ERROR_CANTOPEN: return "The configuration registry key could not be opened.";
    case ERROR_CANTREAD: return "The configuration registry key could not be read.";
    case ERROR_CANTWRITE: return "The configuration registry key could not be written.";
    case ERROR_REGISTRY_CORRUPT:
        return "The structure of one of the files containing registry data is corrupt.";
    case ERROR_REGISTRY_IO_FAILED: return "An I/O operation initiated by the registry failed unrecoverably.";
    case ERROR_NOT_REGISTRY_FILE:
        return "The system has attempted to load or restore a file into the registry, but the specified "
               "file is not in a registry file format.";
    case ERROR_KEY_DELETED: return "Illegal operation attempted on a registry key that has been marked for deletion.";
    case ERROR_NO_UNICODE_TRANSLATION:
        return "No mapping for the Unicode character exists in the target multi-byte code page.";
    case ERROR_EXCEPTION_IN_SERVICE: return "An exception occurred in the service when handling the control request.";
    case ERROR_PRIVILEGE_NOT_HELD: return "A required privilege is not held by the client.";
    default: break;
    }
    return "The operation failed with status " + std::to_string(status) + ".";
}

int Fail(std::ostream& err, const std::string& message)
{
    err << "ERROR: " << message << "\n";
    return 1;
}

int FailStatus(std::ostream& err, LONG status)
{
    Fail(err, StatusMessage(status));
    std::string hint = netid::RegistryStoreHint(status);
    if (!hint.empty()) {
        err << hint << "\n";
    }
    return 1;
}

int Succeed(std::ostream& out)
{
    out << "The operation completed successfully.\n";
    return 0;
}

bool Confirm(const std::string& question, std::istream& in, std::ostream& out)
{
    for (;;) {
        out << question << " (Yes/No)? " << std::flush;
        std::string answer;
        if (!std::getline(in, answer)) {
            out << "\n";
            return false;
        }
        while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
        answer = ToLower(answer);
        if (answer == "y" || answer == "yes") {
            return true;
        }
        if (answer == "n" || answer == "no") {
            return false;
        }
    }
}

}  // namespace regctl
