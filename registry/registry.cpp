// SPDX-License-Identifier: LGPL-2.1-or-later
#include "registry/registry.h"

#include <cstring>

IMPLEMENT_DYNAMIC(CRegistry, CObject)

namespace {

const DWORD kClassBufferSize = 2048;
const DWORD kNameBufferSize = 2048;
const DWORD kTreeNameBufferSize = MAX_PATH;

struct RootName {
    HKEY root;
    LPCSTR name;
};

// The order in which Connect tests the handle.
const RootName kConnectRootNames[] = {
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},
    {HKEY_USERS, "HKEY_USERS"},
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
    {HKEY_PERFORMANCE_DATA, "HKEY_PERFORMANCE_DATA"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"},
    {HKEY_DYN_DATA, "HKEY_DYN_DATA"},
};

// The order in which RootKeyFromName compares the names.
const RootName kNamedRoots[] = {
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},
    {HKEY_PERFORMANCE_DATA, "HKEY_PERFORMANCE_DATA"},
    {HKEY_USERS, "HKEY_USERS"},
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"},
    {HKEY_DYN_DATA, "HKEY_DYN_DATA"},
};

BYTE* NewScratch(DWORD size) { return new BYTE[size]; }

// Allocates a scratch buffer, treating an allocation failure as a null buffer.
BYTE* NewScratchOrNull(DWORD size)
{
    try {
        return NewScratch(size);
    } catch (...) {
        return nullptr;
    }
}

// Opens the current process's token for adjusting privileges. Returns the
// token (to be closed by the caller) or null when it cannot be opened.
HANDLE OpenTokenForAdjust()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return nullptr;
    }
    return token;
}

}  // namespace

// ------------------------------------------------------------------ life

CRegistry::CRegistry() { Reset(); }

CRegistry::~CRegistry()
{
    if (m_hRegistry != nullptr) {
        CRegistry::Close();
    }
    Reset();
}

void CRegistry::Reset()
{
    m_strClass.Empty();
    m_strComputer.Empty();
    m_strKeyPath.Empty();
    m_strRootName.Empty();
    m_hKey = nullptr;
    m_lStatus = ERROR_SUCCESS;
    m_nSubKeys = 0;
    m_nValues = 0;
    m_nMaxSubKeyLen = 0;
    m_nMaxClassLen = 0;
    m_nMaxValueNameLen = 0;
    m_nMaxValueLen = 0;
    m_nSecurityLen = 0;
    m_ftLastWrite.dwLowDateTime = 0;
    m_ftLastWrite.dwHighDateTime = 0;
    m_hRegistry = nullptr;
}

// ------------------------------------------------------------------ connection

BOOL CRegistry::Close()
{
    if (m_hKey != nullptr) {
        RegCloseKey(m_hKey);
        m_hKey = nullptr;
    }
    if (m_hRegistry == nullptr) {
        return TRUE;
    }
    m_lStatus = RegCloseKey(m_hRegistry);
    if (m_lStatus != ERROR_SUCCESS) {
        return FALSE;
    }
    m_hRegistry = nullptr;
    Reset();
    return TRUE;
}

BOOL CRegistry::Connect(HKEY root, LPCSTR computer)
{
    try {
        if (root != HKEY_CLASSES_ROOT && root != HKEY_CURRENT_USER) {
            m_lStatus = RegConnectRegistryA(computer, root, &m_hRegistry);
        } else if (computer != nullptr) {
            // These two roots are never reached on another computer.
            m_lStatus = ERROR_INVALID_HANDLE;
        } else {
            m_hRegistry = root;
            m_lStatus = ERROR_SUCCESS;
        }
        if (m_lStatus != ERROR_SUCCESS) {
            return FALSE;
        }

        if (computer != nullptr) {
            m_strComputer = computer;
        } else {
            char name[MAX_PATH];
            DWORD size = MAX_PATH;
            if (GetComputerNameA(name, &size)) {
                m_strComputer = name;
            } else {
                m_strComputer.Empty();
            }
        }

        m_strRootName = "Unknown";
        for (const RootName& entry : kConnectRootNames) {
            if (root == entry.root) {
                m_strRootName = entry.name;
                break;
            }
        }
        return TRUE;
    } catch (...) {
        m_lStatus = ERROR_EXCEPTION_IN_SERVICE;
        return FALSE;
    }
}

HKEY CRegistry::RootKeyFromName(const CString& name)
{
    const unsigned char* text = reinterpret_cast<const unsigned char*>(static_cast<LPCSTR>(name));
    for (const RootName& entry : kNamedRoots) {
        if (_mbscmp(text, reinterpret_cast<const unsigned char*>(entry.name)) == 0) {
            return entry.root;
        }
    }
    return nullptr;
}

// ------------------------------------------------------------------ the open key

BOOL CRegistry::OpenKey(LPCSTR subKey, REGSAM access)
{
    try {
        if (m_hKey != nullptr) {
            RegCloseKey(m_hKey);
            m_hKey = nullptr;
        }
        m_lStatus = RegOpenKeyExA(m_hRegistry, subKey, 0, access, &m_hKey);
        if (m_lStatus != ERROR_SUCCESS) {
            return FALSE;
        }
        // The query's own outcome stays in the status; the open itself succeeded.
        QueryInfoKey();
        m_strKeyPath = subKey;
        return TRUE;
    } catch (...) {
        m_lStatus = ERROR_EXCEPTION_IN_SERVICE;
        return FALSE;
    }
}

BOOL CRegistry::QueryInfoKey()
{
    char buffer[kClassBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    DWORD size = kClassBufferSize - 1;
    m_lStatus = RegQueryInfoKeyA(m_hKey, buffer, &size, nullptr, &m_nSubKeys, &m_nMaxSubKeyLen,
                                 &m_nMaxClassLen, &m_nValues, &m_nMaxValueNameLen,
                                 &m_nMaxValueLen, &m_nSecurityLen, &m_ftLastWrite);
    if (m_lStatus != ERROR_SUCCESS) {
        return FALSE;
    }
    m_strClass = buffer;
    return TRUE;
}

// ------------------------------------------------------------------ accessors

void CRegistry::GetKeyClass(CString& out) { out = m_strClass; }
void CRegistry::GetMachineName(CString& out) { out = m_strComputer; }
LONG CRegistry::GetStatus() { return m_lStatus; }
void CRegistry::GetKeyPath(CString& out) { out = m_strKeyPath; }
DWORD CRegistry::GetSubKeyCount() { return m_nSubKeys; }
DWORD CRegistry::GetValueCount() { return m_nValues; }
void CRegistry::GetRootName(CString& out) { out = m_strRootName; }

// ------------------------------------------------------------------ raw values

BOOL CRegistry::SetValue(LPCSTR name, DWORD type, const BYTE* data, DWORD size)
{
    if (name == nullptr || data == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    m_lStatus = RegSetValueExA(m_hKey, name, 0, type, data, size);
    return m_lStatus == ERROR_SUCCESS;
}

BOOL CRegistry::SetBinaryValue(LPCSTR name, const CByteArray& bytes)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    DWORD n = static_cast<DWORD>(bytes.GetSize());
    BYTE* buffer = NewScratchOrNull(n);
    if (buffer == nullptr) {
        m_lStatus = static_cast<LONG>(GetLastError());
        return FALSE;
    }
    for (DWORD i = 0; i < n; ++i) {
        buffer[i] = bytes[static_cast<int>(i)];
    }
    BOOL result = SetValue(name, REG_BINARY, buffer, n);
    delete[] buffer;
    return result;
}

BOOL CRegistry::QueryValue(LPCSTR name, DWORD& type, LPBYTE data, LPDWORD size)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    DWORD localType = type;
    m_lStatus = RegQueryValueExA(m_hKey, name, nullptr, &localType, data, size);
    if (m_lStatus != ERROR_SUCCESS) {
        return FALSE;
    }
    type = localType;
    return TRUE;
}

// ------------------------------------------------------------------ typed reads

BOOL CRegistry::GetBinaryValue(LPCSTR name, CByteArray& bytes)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    QueryInfoKey();
    DWORD n = m_nMaxValueLen;
    BYTE* buffer = NewScratch(n);
    if (buffer == nullptr) {
        m_lStatus = static_cast<LONG>(GetLastError());
        return FALSE;
    }
    DWORD type = REG_BINARY;
    BOOL result = QueryValue(name, type, buffer, &n);
    if (result) {
        try {
            bytes.SetSize(0, -1);
            for (DWORD i = 0; i < n; ++i) {
                bytes.SetAtGrow(bytes.GetSize(), buffer[i]);
            }
        } catch (...) {
            delete[] buffer;
            throw;
        }
    }
    delete[] buffer;
    return result;
}

BOOL CRegistry::GetDwordValue(LPCSTR name, DWORD& value)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    DWORD type = REG_DWORD;
    DWORD size = sizeof(DWORD);
    return QueryValue(name, type, reinterpret_cast<LPBYTE>(&value), &size);
}

BOOL CRegistry::GetStringValue(LPCSTR name, CString& text)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    char buffer[kNameBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    DWORD size = sizeof buffer;
    DWORD type = REG_SZ;
    if (!QueryValue(name, type, reinterpret_cast<LPBYTE>(buffer), &size)) {
        text.Empty();
        return FALSE;
    }
    // Data that fill all 2048 bytes without a NUL give a text of 2048
    // characters: the reader takes what it received, and never reads past the
    // buffer to look for an end.
    int length = 0;
    while (length < static_cast<int>(sizeof buffer) && buffer[length] != '\0') {
        ++length;
    }
    text = CString(buffer, length);
    return TRUE;
}

BOOL CRegistry::GetMultiStringValue(LPCSTR name, CStringArray& texts)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    QueryInfoKey();
    DWORD n = m_nMaxValueLen;
    BYTE* buffer = NewScratch(n);
    if (buffer == nullptr) {
        m_lStatus = static_cast<LONG>(GetLastError());
        return FALSE;
    }
    DWORD type = REG_MULTI_SZ;
    BOOL result = QueryValue(name, type, buffer, &n);
    if (result) {
        try {
            texts.SetSize(0, -1);
            // The walk stays inside the n bytes received. A last piece that has
            // no NUL before the end of the data (a list stored without its
            // closing NUL, a plain text, bytes without any NUL) is taken as one
            // more text, and such data still count as a list: nothing the
            // caller stored is dropped, and nothing beyond it is read.
            const char* data = reinterpret_cast<const char*>(buffer);
            DWORD pos = 0;
            while (pos < n && data[pos] != '\0') {
                DWORD end = pos;
                while (end < n && data[end] != '\0') {
                    ++end;
                }
                texts.SetAtGrow(texts.GetSize(),
                                CString(data + pos, static_cast<int>(end - pos)));
                pos = end + 1;
            }
        } catch (...) {
            delete[] buffer;
            throw;
        }
    }
    delete[] buffer;
    return result;
}

BOOL CRegistry::GetValue(LPCSTR name, CStringArray& texts)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    return GetMultiStringValue(name, texts);
}

BOOL CRegistry::GetValue(LPCSTR name, CString& text)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    return GetStringValue(name, text);
}

BOOL CRegistry::GetValue(LPCSTR name, DWORD& value)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    return GetDwordValue(name, value);
}

BOOL CRegistry::GetValue(LPCSTR name, CByteArray& bytes)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    return GetBinaryValue(name, bytes);
}

// ------------------------------------------------------------------ typed writes

BOOL CRegistry::SetDwordValue(LPCSTR name, DWORD value)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    return SetValue(name, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(DWORD));
}

BOOL CRegistry::SetStringValue(LPCSTR name, const CString& text)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    return SetValue(name, REG_SZ, reinterpret_cast<const BYTE*>(static_cast<LPCSTR>(text)),
                    static_cast<DWORD>(text.GetLength() + 1));
}

BOOL CRegistry::SetMultiStringValue(LPCSTR name, const CStringArray& texts)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const int count = texts.GetSize();
    CString element;
    DWORD total = 0;
    for (int i = 0; i < count; ++i) {
        element = texts[i];
        total += static_cast<DWORD>(element.GetLength() + 1);
    }
    total += 1;

    BYTE* buffer = NewScratchOrNull(total);
    if (buffer == nullptr) {
        m_lStatus = static_cast<LONG>(GetLastError());
        return FALSE;
    }
    std::memset(buffer, 0, total);
    DWORD pos = 0;
    try {
        for (int i = 0; i < count; ++i) {
            element = texts[i];
            // The element's characters up to its first NUL, and that NUL; the
            // position advances by the element's full length.
            std::strcpy(reinterpret_cast<char*>(buffer + pos), element);
            pos += static_cast<DWORD>(element.GetLength() + 1);
        }
    } catch (...) {
        delete[] buffer;
        throw;
    }
    BOOL result = SetValue(name, REG_MULTI_SZ, buffer, total);
    delete[] buffer;
    return result;
}

BOOL CRegistry::SetValue(LPCSTR name, const CString& text)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    return SetStringValue(name, text);
}

BOOL CRegistry::SetValue(LPCSTR name, const CStringArray& texts)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    return SetMultiStringValue(name, texts);
}

BOOL CRegistry::SetValue(LPCSTR name, DWORD value)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    return SetDwordValue(name, value);
}

BOOL CRegistry::SetValue(LPCSTR name, const CByteArray& bytes)
{
    if (name == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    return SetBinaryValue(name, bytes);
}

BOOL CRegistry::DeleteValue(LPCSTR name)
{
    m_lStatus = RegDeleteValueA(m_hKey, name);
    return m_lStatus == ERROR_SUCCESS;
}

BOOL CRegistry::EnumValue(DWORD index, CString& name, DWORD& type, LPBYTE data, LPDWORD size)
{
    DWORD localType = type;
    char buffer[kNameBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    DWORD length = kNameBufferSize;
    try {
        m_lStatus = RegEnumValueA(m_hKey, index, buffer, &length, nullptr, &localType, data, size);
        if (m_lStatus != ERROR_SUCCESS) {
            return FALSE;
        }
        type = localType;
        name = buffer;
        return TRUE;
    } catch (...) {
        m_lStatus = ERROR_EXCEPTION_IN_SERVICE;
        return FALSE;
    }
}

// ------------------------------------------------------------------ key tree

BOOL CRegistry::CreateKey(LPCSTR subKey, LPSTR keyClass, DWORD options, REGSAM access,
                          LPSECURITY_ATTRIBUTES attributes, LPDWORD disposition)
{
    if (subKey == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    char emptyClass[1] = {'\0'};
    if (keyClass == nullptr) {
        keyClass = emptyClass;
    }
    try {
        if (m_hKey != nullptr) {
            RegCloseKey(m_hKey);
            m_hKey = nullptr;
        }
        DWORD d = 0;
        m_lStatus = RegCreateKeyExA(m_hRegistry, subKey, 0, keyClass, options, access, attributes,
                                    &m_hKey, &d);
        if (m_lStatus != ERROR_SUCCESS) {
            return FALSE;
        }
        if (disposition != nullptr) {
            *disposition = d;
        }
        m_strKeyPath = subKey;
        return TRUE;
    } catch (...) {
        m_lStatus = ERROR_EXCEPTION_IN_SERVICE;
        return FALSE;
    }
}

BOOL CRegistry::DeleteKey(LPCSTR path)
{
    if (path == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    try {
        CString fullPath(path);
        if (fullPath.Find('\\') == -1) {
            m_lStatus = DeleteKeyTree(m_hKey, path);
            return m_lStatus == ERROR_SUCCESS;
        }
        int i = fullPath.GetLength() - 1;
        while (fullPath[i] != '\\') {
            --i;
        }
        CString parent = fullPath.Left(i);
        CString child = fullPath.Right(fullPath.GetLength() - i - 1);
        CString previousPath = m_strKeyPath;
        if (!OpenKey(parent, KEY_ALL_ACCESS)) {
            m_strKeyPath = previousPath;
            return FALSE;
        }
        m_lStatus = DeleteKeyTree(m_hKey, child);
        return m_lStatus == ERROR_SUCCESS;
    } catch (...) {
        m_lStatus = ERROR_EXCEPTION_IN_SERVICE;
        return FALSE;
    }
}

LONG DeleteKeyTree(HKEY parent, LPCSTR name)
{
    HKEY sub = nullptr;
    LONG status = RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &sub);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    char* buffer = nullptr;
    try {
        buffer = new char[kTreeNameBufferSize];
    } catch (...) {
        buffer = nullptr;
    }
    if (buffer == nullptr) {
        RegCloseKey(sub);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    // Each deleted sub-key moves the next one to index 0. A sub-key that
    // cannot be deleted would stay at index 0 for ever, so the first failure
    // ends the walk and is what the caller hears; what could not be deleted
    // stays in place.
    LONG childStatus = ERROR_SUCCESS;
    while (RegEnumKeyA(sub, 0, buffer, kTreeNameBufferSize) == ERROR_SUCCESS) {
        childStatus = DeleteKeyTree(sub, buffer);
        if (childStatus != ERROR_SUCCESS) {
            break;
        }
    }
    delete[] buffer;
    RegCloseKey(sub);
    if (childStatus != ERROR_SUCCESS) {
        return childStatus;
    }
    return RegDeleteKeyA(parent, name);
}

BOOL CRegistry::EnumKey(DWORD index, CString& name, CString& keyClass)
{
    char nameBuffer[kNameBufferSize];
    char classBuffer[kClassBufferSize];
    std::memset(nameBuffer, 0, sizeof nameBuffer);
    std::memset(classBuffer, 0, sizeof classBuffer);
    DWORD nameSize = kNameBufferSize - 1;
    DWORD classSize = kClassBufferSize - 1;
    m_lStatus = RegEnumKeyExA(m_hKey, index, nameBuffer, &nameSize, nullptr, classBuffer,
                              &classSize, &m_ftLastWrite);
    if (m_lStatus != ERROR_SUCCESS) {
        return FALSE;
    }
    name = nameBuffer;
    keyClass = classBuffer;
    return TRUE;
}

BOOL CRegistry::Flush()
{
    m_lStatus = RegFlushKey(m_hKey);
    return m_lStatus == ERROR_SUCCESS;
}

BOOL CRegistry::GetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                               LPDWORD size)
{
    if (descriptor == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    m_lStatus = RegGetKeySecurity(m_hKey, info, descriptor, size);
    return m_lStatus == ERROR_SUCCESS;
}

BOOL CRegistry::SetKeySecurity(SECURITY_INFORMATION& info, PSECURITY_DESCRIPTOR descriptor)
{
    if (descriptor == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    m_lStatus = RegSetKeySecurity(m_hKey, info, descriptor);
    return m_lStatus == ERROR_SUCCESS;
}

BOOL CRegistry::NotifyChange(HANDLE event, DWORD filter, BOOL watchSubtree, BOOL asynchronous)
{
    m_lStatus = RegNotifyChangeKeyValue(m_hKey, watchSubtree, filter, event, asynchronous);
    return m_lStatus == ERROR_SUCCESS;
}

// ------------------------------------------------------------------ hives

BOOL CRegistry::LoadKey(LPCSTR subKey, LPCSTR file)
{
    if (subKey == nullptr || file == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    m_lStatus = RegLoadKeyA(m_hRegistry, subKey, file);
    return m_lStatus == ERROR_SUCCESS;
}

BOOL CRegistry::UnLoadKey(LPCSTR subKey)
{
    if (subKey == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    m_lStatus = RegUnLoadKeyA(m_hKey, subKey);
    return m_lStatus == ERROR_SUCCESS;
}

BOOL CRegistry::ReplaceKey(LPCSTR subKey, LPCSTR newFile, LPCSTR oldFile)
{
    if (subKey == nullptr || newFile == nullptr || oldFile == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    m_lStatus = RegReplaceKeyA(m_hKey, subKey, newFile, oldFile);
    return m_lStatus == ERROR_SUCCESS;
}

BOOL CRegistry::SaveKey(LPCSTR file, LPSECURITY_ATTRIBUTES attributes)
{
    EnableBackupPrivilege();
    if (file == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    m_lStatus = RegSaveKeyA(m_hKey, file, attributes);
    return m_lStatus == ERROR_SUCCESS;
}

BOOL CRegistry::RestoreKey(LPCSTR file, DWORD flags)
{
    if (file == nullptr) {
        m_lStatus = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    m_lStatus = RegRestoreKeyA(m_hKey, file, flags);
    if (m_lStatus == ERROR_SUCCESS) {
        return TRUE;
    }

    // One attempt to enable the restore privilege, then one more restore.
    HANDLE token = OpenTokenForAdjust();
    if (token == nullptr) {
        return FALSE;
    }
    TOKEN_PRIVILEGES record;
    std::memset(&record, 0, sizeof record);
    if (!LookupPrivilegeValueA(nullptr, SE_RESTORE_NAME, &record.Privileges[0].Luid)) {
        CloseHandle(token);
        return FALSE;
    }
    record.PrivilegeCount = 1;
    record.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!AdjustTokenPrivileges(token, FALSE, &record, 0, nullptr, nullptr)) {
        CloseHandle(token);
        return FALSE;
    }
    m_lStatus = RegRestoreKeyA(m_hKey, file, flags);
    CloseHandle(token);
    return m_lStatus == ERROR_SUCCESS;
}

bool EnableBackupPrivilege()
{
    HANDLE token = OpenTokenForAdjust();
    if (token == nullptr) {
        return false;
    }
    // The record starts zeroed, so a failed look-up hands the adjustment the
    // empty identifier, which names no privilege: the platform then reports
    // that nothing was enabled instead of acting on stray stack bytes.
    TOKEN_PRIVILEGES record;
    std::memset(&record, 0, sizeof record);
    LookupPrivilegeValueA(nullptr, SE_BACKUP_NAME, &record.Privileges[0].Luid);
    record.PrivilegeCount = 1;
    record.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &record, 0, nullptr, nullptr);
    bool enabled = GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return enabled;
}
