// SPDX-License-Identifier: LGPL-2.1-or-later
// CRegistry: one connection to one registry root and at most one key opened
// under it. Every operation returns BOOL and leaves the platform's status of
// its last step in the object (GetStatus).
#ifndef NETID_REGISTRY_REGISTRY_H
#define NETID_REGISTRY_REGISTRY_H

#include "../framework/afx.h"
#include "../platform/win32.h"

class CRegistry : public CObject {
    DECLARE_DYNAMIC(CRegistry)

public:
    CRegistry();
    ~CRegistry() override;
    CRegistry(const CRegistry&) = delete;
    CRegistry& operator=(const CRegistry&) = delete;

    // The virtual operations, in their fixed order.
    virtual BOOL Close();
    virtual BOOL Connect(HKEY root, LPCSTR computer);
    virtual BOOL CreateKey(LPCSTR subKey, LPSTR keyClass, DWORD options, REGSAM access,
                           LPSECURITY_ATTRIBUTES attributes, LPDWORD disposition);
    virtual BOOL DeleteKey(LPCSTR path);
    virtual BOOL DeleteValue(LPCSTR name);
    virtual BOOL EnumKey(DWORD index, CString& name, CString& keyClass);
    virtual BOOL EnumValue(DWORD index, CString& name, DWORD& type, LPBYTE data, LPDWORD size);
    virtual BOOL Flush();
    virtual BOOL GetBinaryValue(LPCSTR name, CByteArray& bytes);
    virtual void GetKeyClass(CString& out);
    virtual void GetMachineName(CString& out);
    virtual BOOL GetDwordValue(LPCSTR name, DWORD& value);
    virtual LONG GetStatus();
    virtual void GetKeyPath(CString& out);
    virtual DWORD GetSubKeyCount();
    virtual DWORD GetValueCount();
    virtual void GetRootName(CString& out);
    virtual BOOL GetKeySecurity(SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                                LPDWORD size);
    virtual BOOL GetStringValue(LPCSTR name, CString& text);
    virtual BOOL GetMultiStringValue(LPCSTR name, CStringArray& texts);
    virtual BOOL GetValue(LPCSTR name, CStringArray& texts);
    virtual BOOL GetValue(LPCSTR name, CString& text);
    virtual BOOL GetValue(LPCSTR name, DWORD& value);
    virtual BOOL GetValue(LPCSTR name, CByteArray& bytes);
    virtual BOOL LoadKey(LPCSTR subKey, LPCSTR file);
    virtual BOOL NotifyChange(HANDLE event, DWORD filter, BOOL watchSubtree, BOOL asynchronous);
    virtual BOOL OpenKey(LPCSTR subKey, REGSAM access);
    virtual BOOL QueryInfoKey();
    virtual BOOL QueryValue(LPCSTR name, DWORD& type, LPBYTE data, LPDWORD size);
    virtual BOOL ReplaceKey(LPCSTR subKey, LPCSTR newFile, LPCSTR oldFile);
    virtual BOOL RestoreKey(LPCSTR file, DWORD flags);
    virtual BOOL SaveKey(LPCSTR file, LPSECURITY_ATTRIBUTES attributes);
    virtual BOOL SetBinaryValue(LPCSTR name, const CByteArray& bytes);
    virtual BOOL SetDwordValue(LPCSTR name, DWORD value);
    virtual BOOL SetKeySecurity(SECURITY_INFORMATION& info, PSECURITY_DESCRIPTOR descriptor);
    virtual BOOL SetStringValue(LPCSTR name, const CString& text);
    virtual BOOL SetMultiStringValue(LPCSTR name, const CStringArray& texts);
    virtual BOOL SetValue(LPCSTR name, DWORD type, const BYTE* data, DWORD size);
    virtual BOOL SetValue(LPCSTR name, const CString& text);
    virtual BOOL SetValue(LPCSTR name, const CStringArray& texts);
    virtual BOOL SetValue(LPCSTR name, DWORD value);
    virtual BOOL SetValue(LPCSTR name, const CByteArray& bytes);
    virtual BOOL UnLoadKey(LPCSTR subKey);

    void Reset();
    HKEY RootKeyFromName(const CString& name);

protected:
    HKEY m_hKey;
    HKEY m_hRegistry;
    LONG m_lStatus;
    CString m_strClass;
    CString m_strComputer;
    CString m_strKeyPath;
    CString m_strRootName;
    DWORD m_nSubKeys;
    DWORD m_nValues;
    DWORD m_nMaxSubKeyLen;
    DWORD m_nMaxClassLen;
    DWORD m_nMaxValueNameLen;
    DWORD m_nMaxValueLen;
    DWORD m_nSecurityLen;
    FILETIME m_ftLastWrite;
};

// Deletes the key `name` beneath `parent` with all its sub-keys, deepest
// first. 0 when the key is gone.
LONG DeleteKeyTree(HKEY parent, LPCSTR name);

// Enables the backup privilege in the current process's token; true when the
// platform reports that it was enabled.
bool EnableBackupPrivilege();

#endif
