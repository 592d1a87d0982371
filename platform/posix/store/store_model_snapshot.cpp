// SPDX-License-Identifier: LGPL-2.1-or-later
// The model and its checkpoint (store_model.h, store_snapshot.h): keys taken
// in from the checkpoint as they are looked at, and checkpoints written,
// whole or as what changed since the one before.
#include <algorithm>
#include <utility>

#include "platform/posix/base/byte_order.h"
#include "platform/posix/base/text.h"
#include "platform/posix/store/store_model.h"

namespace netid::posix::store {
namespace {

void Pad8(Bytes& out) { out.resize((out.size() + 7) & ~std::size_t{7}, 0); }

std::u16string Units(const std::uint8_t* p, std::size_t units)
{
    std::u16string text(units, u'\0');
    for (std::size_t i = 0; i < units; ++i) text[i] = static_cast<char16_t>(Get16(p + 2 * i));
    return text;
}

void PutUnits(Bytes& out, std::u16string_view text)
{
    for (char16_t unit : text) {
        out.push_back(static_cast<std::uint8_t>(unit));
        out.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
}

}  // namespace

// ------------------------------------------------------------ a key's parts
const ValueList& Key::Values() const
{
    if ((m_lazy & kLazyValues) != 0) m_model->LoadValues(*this);
    return m_values;
}

const ChildList& Key::Children() const
{
    if ((m_lazy & kLazyChildren) != 0) m_model->LoadChildren(*this);
    return m_children;
}

ValueList& Key::MutableValues()
{
    Values();
    return m_values;
}

ChildList& Key::MutableChildren()
{
    Children();
    return m_children;
}

// ------------------------------------------------------------ taking keys in
const Key* Model::Materialize(KeyId id, std::uint64_t at) const
{
    KeyView view;
    if (!m_base->ReadKey(at, id, view) || (id == kRootKey) != (view.parent == 0) ||
        (view.security != 0 && Security(view.security) == nullptr)) {
        m_unreadable = true;
        return nullptr;
    }
    Key key;
    KeyOf(view, at, key);
    key.upper = Upcase(key.name);
    return &m_keys.emplace(id, std::move(key)).first->second;
}

void Model::KeyOf(const KeyView& view, std::uint64_t at, Key& key) const
{
    key.id = view.id;
    key.parent = view.parent;
    key.flags = view.flags;
    key.security = view.security;
    key.lastWrite = view.lastWrite;
    key.name = Units(view.name, view.nameUnits);
    key.keyClass = Units(view.keyClass, view.classUnits);
    key.mount.assign(reinterpret_cast<const char*>(view.mount), view.mountBytes);
    key.mountOrigin.assign(reinterpret_cast<const char*>(view.origin), view.originBytes);
    key.m_model = this;
    key.m_record = at;
    key.m_baseChildren = view.childCount;
    key.m_lazy = Key::kLazyValues | Key::kLazyChildren;
}

bool Model::DecodeValues(const KeyView& view, ValueList& out) const
{
    Decoder in(view.values, view.valueBytes);
    const std::uint64_t recordAt = static_cast<std::uint64_t>(view.record - m_base->Map().Data());
    out.Reserve(view.valueCount);
    for (std::uint32_t i = 0; i < view.valueCount; ++i) {
        Value value;
        value.name = in.Text();
        value.type = in.U32();
        const std::uint32_t size = in.U32();
        if (size <= snap::kInlineData) {
            value.data.resize(size);
            for (std::uint32_t b = 0; b < size; ++b) value.data[b] = in.U8();
        } else {
            // Data of its own, before the record.
            const std::uint64_t at = in.U64();
            if (in.Failed() || at > recordAt || size > recordAt - at || !m_base->Map().Holds(at, size)) return false;
            value.data.assign(m_base->Map().Data() + at, m_base->Map().Data() + at + size);
            value.stored = at;
        }
        if (in.Failed()) return false;
        value.upper = Upcase(value.name);
        if (out.Find(value.upper) == nullptr) out.Append(std::move(value));
    }
    return in.AtEnd();
}

void Model::OutsideData(const KeyView& view, std::vector<std::pair<std::uint64_t, std::uint32_t>>& out) const
{
    Decoder in(view.values, view.valueBytes);
    for (std::uint32_t i = 0; i < view.valueCount && !in.Failed(); ++i) {
        in.Text();
        in.U32();
        const std::uint32_t size = in.U32();
        if (size <= snap::kInlineData) {
            for (std::uint32_t b = 0; b < size; ++b) in.U8();
        } else {
            const std::uint64_t at = in.U64();
            if (!in.Failed()) out.emplace_back(at, size);
        }
    }
}

void Model::LoadValues(const Key& key) const
{
    KeyView view;
    ValueList values;
    if (!m_base->ReadKey(key.m_record, key.id, view) || !DecodeValues(view, values)) m_unreadable = true;
    key.m_values = std::move(values);
    key.m_lazy &= static_cast<std::uint8_t>(~Key::kLazyValues);
}

void Model::LoadChildren(const Key& key) const
{
    KeyView view;
    ChildList children;
    const auto& gone = key.m_childrenGone;
    if (m_base->ReadKey(key.m_record, key.id, view)) {
        for (std::uint32_t i = 0; i < view.childCount; ++i) {
            if (!gone.empty() && std::find(gone.begin(), gone.end(), view.ChildId(i)) != gone.end()) continue;
            // A sub-key is taken only where its own record names this key as
            // its parent, in order, once: whatever a damaged list says, keys
            // form a tree.
            const Key* child = Find(view.ChildId(i));
            if (child == nullptr || child->parent != key.id || !children.Append(ChildRef{child->id, child})) {
                m_unreadable = true;
            }
        }
    } else {
        m_unreadable = true;
    }
    // And those added since the record.
    for (const ChildRef& c : key.m_children) {
        if (children.Find(c.key->upper) == nullptr) children.Insert(c);
    }
    key.m_children = std::move(children);
    key.m_childrenGone.clear();
    key.m_lazy &= static_cast<std::uint8_t>(~Key::kLazyChildren);
}

// ------------------------------------------------------------ checkpoints
bool Model::Rebase(std::shared_ptr<const Snapshot> base, bool inStep)
{
    if (!inStep) {
        m_keys.clear();
        m_damaged = false;
        m_unreadable = false;
    }
    m_base = std::move(base);
    if (inStep) {
        // A changed key still reading parts from its old record reads them
        // from its new one, which holds what was noted beside it.
        for (KeyId id : m_dirty) {
            auto it = m_keys.find(id);
            KeyView view;
            if (it == m_keys.end() || it->second.m_lazy == 0 ||
                !m_base->ReadKey(m_base->Lookup(id), id, view)) {
                continue;
            }
            Key& key = it->second;
            key.m_record = static_cast<std::uint64_t>(view.record - m_base->Map().Data());
            key.m_baseChildren = view.childCount;
            if ((key.m_lazy & Key::kLazyChildren) != 0) {
                key.m_children = ChildList();
                key.m_childrenGone.clear();
            }
        }
    }
    m_gone.clear();
    m_dirty.clear();
    m_security = m_base->Descriptors();
    m_volatile = std::unordered_set<KeyId>(m_base->VolatileKeys().begin(), m_base->VolatileKeys().end());
    m_nextKey = m_base->NextKey();
    m_nextSecurity = m_base->NextSecurity();
    m_seq = m_base->Seq();
    m_mirrored = m_base->Mirrored();
    m_bootId = m_base->BootId();
    if (inStep) return true;
    const Key* root = Find(kRootKey);
    if (root == nullptr || root->parent != 0) {
        m_keys.clear();
        return false;
    }
    return true;
}

std::size_t Model::EncodeKey(const Key& key, Bytes& out, std::uint64_t payloadAt, bool whole,
                             std::vector<std::uint64_t>* kept) const
{
    namespace s = snap;
    // A part not read from the record yet is as the record has it: copied,
    // within the file it is in; read, for a new file.
    KeyView view;
    const bool fromRecord = (key.m_lazy != 0) && m_base->ReadKey(key.m_record, key.id, view);
    const bool copyValues = (key.m_lazy & Key::kLazyValues) != 0 && !whole;
    ValueList read;
    const ValueList* values = &key.m_values;
    if ((key.m_lazy & Key::kLazyValues) != 0) {
        if (!copyValues && fromRecord) DecodeValues(view, read);
        values = &read;
    }
    // The data of larger values first, where the file does not hold it yet.
    std::vector<std::uint64_t> outside;
    if (!copyValues) {
        for (const Value& v : *values) {
            if (v.data.size() <= s::kInlineData) continue;
            if (v.stored != 0 && !whole) {
                outside.push_back(v.stored);
                if (kept != nullptr) kept->push_back(v.stored);
                continue;
            }
            Pad8(out);
            outside.push_back(payloadAt + out.size());
            out.insert(out.end(), v.data.begin(), v.data.end());
        }
    }
    Pad8(out);
    const std::size_t at = out.size();
    out.resize(at + s::kKeyHeaderSize, 0);
    PutUnits(out, key.name);
    PutUnits(out, key.keyClass);
    out.insert(out.end(), key.mount.begin(), key.mount.end());
    out.insert(out.end(), key.mountOrigin.begin(), key.mountOrigin.end());
    Pad8(out);
    std::uint32_t valueCount = 0;
    bool dataOutside = false;
    const std::size_t valuesAt = out.size();
    if (copyValues) {
        if (fromRecord) {
            if (kept != nullptr && view.dataOutside) {
                std::vector<std::pair<std::uint64_t, std::uint32_t>> refs;
                OutsideData(view, refs);
                for (const auto& ref : refs) kept->push_back(ref.first);
            }
            out.insert(out.end(), view.values, view.values + view.valueBytes);
            valueCount = view.valueCount;
            dataOutside = view.dataOutside;
        }
    } else {
        Encoder e(out);
        std::size_t next = 0;
        for (const Value& v : *values) {
            e.Text(v.name);
            e.U32(v.type);
            e.U32(static_cast<std::uint32_t>(v.data.size()));
            if (v.data.size() <= s::kInlineData) {
                e.Raw(v.data.data(), v.data.size());
            } else {
                e.U64(outside[next++]);
                dataOutside = true;
            }
        }
        valueCount = static_cast<std::uint32_t>(values->size());
    }
    const std::size_t valueBytes = out.size() - valuesAt;
    Pad8(out);
    std::uint32_t childCount = 0;
    std::size_t childUnits = 0;
    const bool lazyChildren = (key.m_lazy & Key::kLazyChildren) != 0;
    if (lazyChildren && key.m_children.empty() && key.m_childrenGone.empty()) {
        if (fromRecord) {
            out.insert(out.end(), view.children, view.children + s::kChildEntrySize * view.childCount);
            out.insert(out.end(), view.childNames, view.childNames + 2 * static_cast<std::size_t>(view.childUnits));
            childCount = view.childCount;
            childUnits = view.childUnits;
        }
    } else {
        // The list as it stands: read, or the record's with what was added
        // and removed since, merged in order of upper-case name.
        const std::size_t table = out.size();
        std::vector<std::pair<KeyId, std::size_t>> entries;  // id, units of its name
        Bytes names;
        auto add = [&](KeyId id, const std::uint8_t* units, std::size_t count, std::u16string_view text) {
            entries.emplace_back(id, count);
            if (units != nullptr) {
                names.insert(names.end(), units, units + 2 * count);
            } else {
                PutUnits(names, text);
            }
        };
        auto added = key.m_children.begin();
        if (lazyChildren && fromRecord) {
            const auto& gone = key.m_childrenGone;
            for (std::uint32_t i = 0; i < view.childCount; ++i) {
                const KeyId id = view.ChildId(i);
                if (!gone.empty() && std::find(gone.begin(), gone.end(), id) != gone.end()) continue;
                for (; added != key.m_children.end() && view.CompareChild(i, added->key->upper) > 0; ++added) {
                    add(added->id, nullptr, added->key->upper.size(), added->key->upper);
                }
                std::size_t units = 0;
                const std::uint8_t* p = view.ChildUnits(i, units);
                add(id, p, units, {});
            }
        }
        for (; added != key.m_children.end(); ++added) add(added->id, nullptr, added->key->upper.size(), added->key->upper);
        out.resize(table + s::kChildEntrySize * entries.size(), 0);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            std::uint8_t* e = out.data() + table + s::kChildEntrySize * i;
            Put64(e, entries[i].first);
            Put32(e + 8, static_cast<std::uint32_t>(childUnits));
            Put32(e + 12, static_cast<std::uint32_t>(entries[i].second));
            childUnits += entries[i].second;
        }
        out.insert(out.end(), names.begin(), names.end());
        childCount = static_cast<std::uint32_t>(entries.size());
    }
    Pad8(out);
    std::uint8_t* h = out.data() + at;
    Put32(h, s::kKeyMagic);
    Put32(h + s::kKeySize, static_cast<std::uint32_t>(out.size() - at));
    Put64(h + s::kKeyId, key.id);
    Put64(h + s::kKeyParent, key.parent);
    Put32(h + s::kKeyFlags, key.flags);
    Put32(h + s::kKeySecurity, key.security);
    Put64(h + s::kKeyLastWrite, key.lastWrite);
    Put32(h + s::kKeyNameUnits, static_cast<std::uint32_t>(key.name.size()));
    Put32(h + s::kKeyClassUnits, static_cast<std::uint32_t>(key.keyClass.size()));
    Put32(h + s::kKeyMountBytes, static_cast<std::uint32_t>(key.mount.size()));
    Put32(h + s::kKeyOriginBytes, static_cast<std::uint32_t>(key.mountOrigin.size()));
    Put32(h + s::kKeyValueCount, valueCount);
    Put32(h + s::kKeyValueBytes, static_cast<std::uint32_t>(valueBytes));
    Put32(h + s::kKeyChildCount, childCount);
    Put32(h + s::kKeyChildUnits, static_cast<std::uint32_t>(childUnits));
    Put32(h + s::kKeyRecordFlags, dataOutside ? s::kDataOutside : 0);
    return at;
}

namespace {

using Entry = std::pair<KeyId, std::uint64_t>;  // a key and where its record is (0: none)

// Appends an index node of `level` with these entries; returns where it lies.
std::uint64_t PutNode(Bytes& out, std::uint64_t payloadAt, std::uint32_t level, const std::vector<std::uint64_t>& slots)
{
    Pad8(out);
    const std::uint64_t at = payloadAt + out.size();
    const std::size_t from = out.size();
    out.resize(from + snap::kNodeSize, 0);
    std::uint8_t* node = out.data() + from;
    Put32(node, snap::kNodeMagic);
    Put32(node + snap::kNodeLevel, level);
    for (std::size_t i = 0; i < snap::kFanout; ++i) Put64(node + snap::kNodeEntries + 8 * i, slots[i]);
    return at;
}

// Where an index is written: the payload, where it will lie, and the old
// index it copies from.
struct IndexWriter {
    Bytes& out;
    std::uint64_t payloadAt;
    const Snapshot* base;         // null: a new index
    std::uint32_t baseLevels = 0;
    std::uint64_t baseRoot = 0;
    std::uint64_t replaced = 0;   // old nodes that new ones take the place of

    // Stands for a node above the old root, where the index grew a level:
    // its first entry leads down to the old root. (No node lies at 1.)
    static constexpr std::uint64_t kAboveOld = 1;

    std::uint64_t OldAt(std::uint32_t level) const
    {
        if (baseRoot == 0) return 0;
        return level >= baseLevels ? kAboveOld : (level == baseLevels - 1 ? baseRoot : 0);
    }

    // Writes the node of `level`: the old node at `old` (0: none) with the
    // entries [first, last) put in, after the nodes it points at. Returns
    // where it lies; 0 when it holds nothing.
    std::uint64_t Write(std::uint64_t old, std::uint32_t level, const Entry* first, const Entry* last)
    {
        std::vector<std::uint64_t> slots(snap::kFanout, 0);
        if (old == kAboveOld) {
            slots[0] = level - 1 >= baseLevels ? kAboveOld : baseRoot;
        } else if (old != 0) {
            ++replaced;
            for (std::size_t i = 0; i < snap::kFanout; ++i) slots[i] = base->NodeEntry(old, level, i);
        }
        const unsigned shift = static_cast<unsigned>(snap::kFanoutBits * level);
        for (const Entry* p = first; p != last;) {
            const std::size_t slot = static_cast<std::size_t>(p->first >> shift) & (snap::kFanout - 1);
            const Entry* q = p;
            while (q != last && (static_cast<std::size_t>(q->first >> shift) & (snap::kFanout - 1)) == slot) ++q;
            slots[slot] = level == 0 ? p->second : Write(slots[slot], level - 1, p, q);
            p = q;
        }
        if (slots[0] == kAboveOld) slots[0] = Write(kAboveOld, level - 1, nullptr, nullptr);
        if (std::all_of(slots.begin(), slots.end(), [](std::uint64_t e) { return e == 0; })) return 0;
        return PutNode(out, payloadAt, level, slots);
    }
};

}  // namespace

void Model::Save(Bytes& out, std::uint64_t payloadAt, bool whole) const
{
    whole = whole || m_base == nullptr;
    out.assign(snap::kHeaderSize, 0);
    std::vector<Entry> entries;
    std::vector<SecurityId> used;
    std::uint64_t freed = 0;
    if (whole) {
        // Every key: those taken in, and those the checkpoint holds that were
        // neither taken in nor removed, copied as their records are.
        std::vector<KeyId> ids;
        ids.reserve(m_keys.size());
        for (const auto& [id, key] : m_keys) ids.push_back(id);
        std::vector<Entry> untouched;
        if (m_base != nullptr) {
            m_base->ForEachKey([&](KeyId id, std::uint64_t at) {
                if (m_keys.count(id) == 0 && m_gone.count(id) == 0) untouched.emplace_back(id, at);
                return true;
            });
        }
        std::sort(ids.begin(), ids.end());
        auto held = ids.begin();
        auto other = untouched.begin();
        while (held != ids.end() || other != untouched.end()) {
            if (other == untouched.end() || (held != ids.end() && *held < other->first)) {
                const Key& key = m_keys.at(*held++);
                if (key.security != 0) used.push_back(key.security);
                entries.emplace_back(key.id, payloadAt + EncodeKey(key, out, payloadAt, true));
                continue;
            }
            KeyView view;
            const Entry e = *other++;
            if (!m_base->ReadKey(e.second, e.first, view)) {
                m_unreadable = true;
                continue;
            }
            if (view.security != 0) used.push_back(view.security);
            if (view.dataOutside) {
                // Its data lies in the old file: written anew before it.
                Key copy;
                KeyOf(view, e.second, copy);
                entries.emplace_back(e.first, payloadAt + EncodeKey(copy, out, payloadAt, true));
                continue;
            }
            Pad8(out);
            entries.emplace_back(e.first, payloadAt + out.size());
            out.insert(out.end(), view.record, view.record + view.size);
        }
    } else {
        // What changed since the checkpoint: records of keys changed or made,
        // and no record for keys removed.
        std::vector<KeyId> ids(m_dirty.begin(), m_dirty.end());
        ids.insert(ids.end(), m_gone.begin(), m_gone.end());
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        for (KeyId id : ids) {
            // What the key's old record reached: the record, and the data of
            // its larger values that the new record does not refer to.
            std::vector<std::pair<std::uint64_t, std::uint32_t>> old;
            KeyView was;
            if (m_base->ReadKey(m_base->Lookup(id), id, was)) {
                freed += was.size;
                if (was.dataOutside) OutsideData(was, old);
            }
            std::vector<std::uint64_t> kept;
            auto it = m_keys.find(id);
            if (it == m_keys.end()) {
                entries.emplace_back(id, 0);
            } else {
                entries.emplace_back(id, payloadAt + EncodeKey(it->second, out, payloadAt, false, &kept));
            }
            for (const auto& [at, size] : old) {
                if (std::find(kept.begin(), kept.end(), at) == kept.end()) freed += size;
            }
        }
        for (const auto& [id, bytes] : m_security) used.push_back(id);
    }
    std::sort(used.begin(), used.end());
    used.erase(std::unique(used.begin(), used.end()), used.end());

    // The index: built anew, or the old one with the paths to what changed
    // copied.
    const std::uint32_t levels = std::max(IndexLevelsFor(m_nextKey), whole ? 1u : m_base->IndexLevels());
    IndexWriter index{out, payloadAt, whole ? nullptr : m_base.get()};
    if (!whole) {
        index.baseLevels = m_base->IndexLevels();
        index.baseRoot = m_base->IndexRoot();
    }
    const std::uint64_t root =
        index.Write(index.OldAt(levels - 1), levels - 1, entries.data(), entries.data() + entries.size());
    const std::uint64_t replaced = index.replaced;

    Pad8(out);
    const std::size_t tablesAt = out.size();
    Encoder e(out);
    e.Str(m_bootId);
    e.U32(static_cast<std::uint32_t>(used.size()));
    for (SecurityId id : used) {
        e.U32(id);
        e.Bytes(m_security.at(id));
    }
    std::vector<KeyId> volatileKeys;
    for (KeyId id : m_volatile) {
        const Key* key = Find(id);
        if (key != nullptr && key->IsVolatile()) volatileKeys.push_back(id);
    }
    std::sort(volatileKeys.begin(), volatileKeys.end());
    e.U32(static_cast<std::uint32_t>(volatileKeys.size()));
    for (KeyId id : volatileKeys) e.U64(id);
    // A public view's count of the commits it shows; a hive has none.
    if (m_mirrored != 0) e.U64(m_mirrored);

    std::uint8_t* h = out.data();
    Put32(h + snap::kVersion, snap::kSnapshotVersion);
    Put32(h + snap::kFlags, whole ? snap::kSnapshotWhole : 0);
    Put64(h + snap::kNextKey, m_nextKey);
    Put64(h + snap::kSeq, m_seq);
    Put64(h + snap::kIndexRoot, root);
    Put32(h + snap::kIndexLevels, levels);
    Put32(h + snap::kNextSecurity, m_nextSecurity);
    // What the hive reaches in the file: this checkpoint and what it refers
    // to of the ones before, less what it takes the place of.
    std::uint64_t live = out.size();
    if (!whole) {
        const std::uint64_t before = m_base->LiveBytes();
        const std::uint64_t dropped = freed + replaced * snap::kNodeSize;
        live += before > dropped ? before - dropped : 0;
    }
    Put64(h + snap::kLiveBytes, live);
    Put32(h + snap::kTablesAt, static_cast<std::uint32_t>(tablesAt));
    Put32(h + snap::kTablesSize, static_cast<std::uint32_t>(out.size() - tablesAt));
}

}  // namespace netid::posix::store
