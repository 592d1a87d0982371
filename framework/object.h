// SPDX-License-Identifier: LGPL-2.1-or-later
// CObject and the run-time class record that identifies a class by name and
// base class.
#ifndef NETID_FRAMEWORK_OBJECT_H
#define NETID_FRAMEWORK_OBJECT_H

#include "../platform/win32.h"

class CObject;
class CArchive;
class CDumpContext;

struct CRuntimeClass {
    LPCSTR m_lpszClassName;
    int m_nObjectSize;
    UINT m_wSchema;
    CObject* (*m_pfnCreateObject)();
    const CRuntimeClass* m_pBaseClass;

    // Creates an object by its record; null for classes without a creation function.
    CObject* CreateObject() const;
    BOOL IsDerivedFrom(const CRuntimeClass* pBaseClass) const;
};

class CObject {
public:
    virtual const CRuntimeClass* GetRuntimeClass() const;
    virtual ~CObject() = default;
    virtual void Serialize(CArchive& ar);
    virtual void AssertValid() const;
    virtual void Dump(CDumpContext& dc) const;

    BOOL IsKindOf(const CRuntimeClass* pClass) const;

    static const CRuntimeClass classCObject;

protected:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

#define DECLARE_DYNAMIC(class_name)                          \
public:                                                      \
    static const CRuntimeClass class##class_name;            \
    const CRuntimeClass* GetRuntimeClass() const override;

#define IMPLEMENT_RUNTIMECLASS(class_name, base_name, schema, create)                      \
    const CRuntimeClass class_name::class##class_name = {#class_name,                     \
                                                         int(sizeof(class_name)), schema, \
                                                         create, RUNTIME_CLASS(base_name)}; \
    const CRuntimeClass* class_name::GetRuntimeClass() const { return RUNTIME_CLASS(class_name); }

#define IMPLEMENT_DYNAMIC(class_name, base_name) \
    IMPLEMENT_RUNTIMECLASS(class_name, base_name, 0xFFFF, nullptr)

#endif
