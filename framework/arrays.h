// SPDX-License-Identifier: LGPL-2.1-or-later
// CByteArray and CStringArray: growable arrays of bytes and of strings.
// Every growth is real or throws; an index below 0 throws std::out_of_range.
#ifndef NETID_FRAMEWORK_ARRAYS_H
#define NETID_FRAMEWORK_ARRAYS_H

#include <stdexcept>
#include <vector>

#include "object.h"
#include "string.h"

// The storage and growth rules both arrays share.
template <class T>
class CArrayStore {
public:
    int GetSize() const { return static_cast<int>(m_items.size()); }
    int GetUpperBound() const { return GetSize() - 1; }

    // growBy -1 keeps the current growth step; any other value replaces it.
    void SetSize(int newSize, int growBy = -1)
    {
        if (newSize < 0) {
            throw std::out_of_range("array size below 0");
        }
        if (growBy != -1) {
            m_nGrowBy = growBy;
        }
        m_items.resize(static_cast<size_t>(newSize));
    }
    int GetGrowBy() const { return m_nGrowBy; }
    void RemoveAll() { m_items.clear(); }

    const T& GetAt(int index) const { return m_items.at(Index(index)); }
    void SetAt(int index, const T& item) { m_items.at(Index(index)) = item; }
    T& ElementAt(int index) { return m_items.at(Index(index)); }
    const T& operator[](int index) const { return GetAt(index); }
    T& operator[](int index) { return ElementAt(index); }

    // Grows the array as needed so that index exists, then stores item there.
    void SetAtGrow(int index, const T& item)
    {
        size_t i = Index(index);
        if (i >= m_items.size()) {
            Reserve(i + 1);
            m_items.resize(i + 1);
        }
        m_items[i] = item;
    }
    int Add(const T& item)
    {
        SetAtGrow(GetSize(), item);
        return GetSize() - 1;
    }

    T* GetData() { return m_items.empty() ? nullptr : m_items.data(); }
    const T* GetData() const { return m_items.empty() ? nullptr : m_items.data(); }

private:
    static size_t Index(int index)
    {
        if (index < 0) {
            throw std::out_of_range("array index below 0");
        }
        return static_cast<size_t>(index);
    }
    void Reserve(size_t needed)
    {
        if (needed > m_items.capacity() && m_nGrowBy > 0) {
            m_items.reserve(std::max(needed, m_items.size() + static_cast<size_t>(m_nGrowBy)));
        }
    }

    std::vector<T> m_items;
    int m_nGrowBy = 0;
};

class CByteArray : public CObject, public CArrayStore<BYTE> {
    DECLARE_DYNAMIC(CByteArray)
public:
    CByteArray() = default;
};

class CStringArray : public CObject, public CArrayStore<CString> {
    DECLARE_DYNAMIC(CStringArray)
public:
    CStringArray() = default;
    using CArrayStore<CString>::SetAtGrow;
    using CArrayStore<CString>::Add;
    void SetAtGrow(int index, LPCSTR text) { SetAtGrow(index, CString(text)); }
    int Add(LPCSTR text) { return Add(CString(text)); }
};

#endif
