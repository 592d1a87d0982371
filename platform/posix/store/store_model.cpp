// SPDX-License-Identifier: LGPL-2.1-or-later
// The in-memory hive of store_model.h: lookups, undoing, checkpoints and
// batches; the operations of a commit are in store_model_apply.cpp.
#include "platform/posix/store/store_model.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <utility>

#include "platform/posix/base/text.h"
#include "platform/posix/windows.h"

namespace netid::posix::store {
namespace {

constexpr std::uint32_t kCheckpointVersion = 1;

bool LessChild(const ChildRef& a, std::u16string_view b) { return std::u16string_view(a.key->upper) < b; }

}  // namespace

// ------------------------------------------------------------ sub-keys
std::size_t ChildList::RunOf(std::u16string_view upper) const
{
    auto it = std::lower_bound(m_runs.begin(), m_runs.end(), upper,
                               [](const std::vector<ChildRef>& run, std::u16string_view name) {
                                   return LessChild(run.back(), name);
                               });
    return it == m_runs.end() ? m_runs.size() - 1 : static_cast<std::size_t>(it - m_runs.begin());
}

const ChildRef& ChildList::operator[](std::size_t index) const
{
    for (const std::vector<ChildRef>& run : m_runs) {
        if (index < run.size()) return run[index];
        index -= run.size();
    }
    return m_runs.back().back();  // past the end: callers check size() first
}

const ChildRef* ChildList::Find(std::u16string_view upper) const
{
    if (m_runs.empty()) return nullptr;
    const std::vector<ChildRef>& run = m_runs[RunOf(upper)];
    auto it = std::lower_bound(run.begin(), run.end(), upper, LessChild);
    return it != run.end() && it->key->upper == upper ? &*it : nullptr;
}

void ChildList::Insert(const ChildRef& child)
{
    const std::u16string_view upper(child.key->upper);
    if (m_runs.empty()) {
        m_runs.push_back({child});
        m_size = 1;
        return;
    }
    const std::size_t r = RunOf(upper);
    std::vector<ChildRef>& run = m_runs[r];
    run.insert(std::lower_bound(run.begin(), run.end(), upper, LessChild), child);
    ++m_size;
    if (run.size() > kMaxRun) {
        // Split in two halves, so that a list filled in order keeps runs
        // half full at worst. What may fail for memory is done first: a run
        // left long is still a sound list.
        std::vector<ChildRef> upperHalf(run.begin() + static_cast<std::ptrdiff_t>(run.size() / 2), run.end());
        if (m_runs.size() == m_runs.capacity()) m_runs.reserve(2 * m_runs.size() + 1);
        std::vector<ChildRef>& full = m_runs[r];
        full.resize(full.size() / 2);
        m_runs.insert(m_runs.begin() + static_cast<std::ptrdiff_t>(r) + 1, std::move(upperHalf));
    }
}

bool ChildList::Append(const ChildRef& child)
{
    if (!m_runs.empty() && !LessChild(m_runs.back().back(), child.key->upper)) return false;
    if (m_runs.empty() || m_runs.back().size() >= kMaxRun / 2) {
        // Runs filled half, as splitting leaves them: room to insert later.
        m_runs.emplace_back();
        m_runs.back().reserve(kMaxRun / 2);
    }
    m_runs.back().push_back(child);
    ++m_size;
    return true;
}

bool ChildList::Erase(std::u16string_view upper, KeyId id)
{
    if (m_runs.empty()) return false;
    const std::size_t r = RunOf(upper);
    std::vector<ChildRef>& run = m_runs[r];
    auto it = std::lower_bound(run.begin(), run.end(), upper, LessChild);
    if (it == run.end() || it->id != id) return false;
    run.erase(it);
    --m_size;
    if (run.empty()) m_runs.erase(m_runs.begin() + static_cast<std::ptrdiff_t>(r));
    return true;
}

// ------------------------------------------------------------ values
const Value* ValueList::Find(std::u16string_view upperName) const
{
    if (m_index.empty()) {
        for (const Value& v : m_values) {
            if (v.upper == upperName) return &v;
        }
        return nullptr;
    }
    auto it = m_index.find(std::u16string(upperName));
    return it == m_index.end() ? nullptr : &m_values[it->second];
}

void ValueList::Append(Value value)
{
    m_values.push_back(std::move(value));
    if (!m_index.empty()) {
        Index(m_values.size() - 1);
    } else if (m_values.size() >= kIndexFrom) {
        Index(0);
    }
}

bool ValueList::Erase(std::u16string_view upperName)
{
    Value gone;
    std::size_t at = 0;
    return Take(upperName, gone, at);
}

bool ValueList::Take(std::u16string_view upperName, Value& out, std::size_t& at)
{
    auto it = std::find_if(m_values.begin(), m_values.end(),
                           [&](const Value& v) { return v.upper == upperName; });
    if (it == m_values.end()) return false;
    at = static_cast<std::size_t>(it - m_values.begin());
    out = std::move(*it);
    m_values.erase(it);
    if (!m_index.empty()) {
        m_index.erase(out.upper);
        if (m_values.size() < kIndexFrom) {
            m_index.clear();
        } else {
            Index(at);  // the values after it moved up one place
        }
    }
    return true;
}

void ValueList::InsertAt(std::size_t at, Value value)
{
    at = std::min(at, m_values.size());
    m_values.insert(m_values.begin() + static_cast<std::ptrdiff_t>(at), std::move(value));
    if (!m_index.empty()) {
        Index(at);  // it and the values after it
    } else if (m_values.size() >= kIndexFrom) {
        Index(0);
    }
}

void ValueList::Clear()
{
    m_values.clear();
    m_index.clear();
}

void ValueList::Index(std::size_t from) noexcept
{
    // Without memory for the index the list goes without one: searched in
    // order, slower, never wrong (the next value added builds it again).
    try {
        for (std::size_t i = from; i < m_values.size(); ++i) m_index[m_values[i].upper] = i;
    } catch (...) {
        m_index.clear();
    }
}

Model::Model() = default;

const Key* Model::Find(KeyId id) const
{
    auto it = m_keys.find(id);
    if (it != m_keys.end()) return &it->second;
    if (m_base == nullptr || m_gone.count(id) != 0) return nullptr;
    const std::uint64_t at = m_base->Lookup(id);
    return at != 0 ? Materialize(id, at) : nullptr;
}

Key* Model::Mutable(KeyId id)
{
    const Key* key = Find(id);
    if (key == nullptr) return nullptr;
    if (m_base != nullptr) m_dirty.insert(id);
    return const_cast<Key*>(key);
}

Key* Model::Held(KeyId id)
{
    auto it = m_keys.find(id);
    return it == m_keys.end() ? nullptr : &it->second;
}

KeyId Model::Child(const Key& parent, std::u16string_view upper) const
{
    if ((parent.m_lazy & Key::kLazyChildren) != 0) {
        // Looked up among those added and in the record, without taking the
        // other sub-keys in.
        if (const ChildRef* added = parent.m_children.Find(upper)) return added->id;
        KeyView view;
        if (!m_base->ReadKey(parent.m_record, parent.id, view)) {
            m_unreadable = true;
            return 0;
        }
        const KeyId id = view.FindChild(upper);
        const auto& gone = parent.m_childrenGone;
        if (id == 0 || std::find(gone.begin(), gone.end(), id) != gone.end()) return 0;
        const Key* child = Find(id);
        return child != nullptr && child->parent == parent.id && child->upper == upper ? id : 0;
    }
    const ChildRef* child = parent.Children().Find(upper);
    return child != nullptr ? child->id : 0;
}

const Bytes* Model::Security(SecurityId id) const
{
    auto it = m_security.find(id);
    return it == m_security.end() ? nullptr : &it->second;
}

SecurityId Model::SecurityIdOf(const Bytes& descriptor) const
{
    for (const auto& [id, bytes] : m_security) {
        if (bytes == descriptor) return id;
    }
    return 0;
}

// A damaged file may name parents in a circle: no walk up goes further
// than a hive can be deep.
constexpr std::size_t kMaxWalk = 4096;

bool Model::IsAtOrAbove(KeyId ancestor, KeyId key) const
{
    std::size_t n = 0;
    for (const Key* k = Find(key); k != nullptr && n < kMaxWalk; k = Find(k->parent), ++n) {
        if (k->id == ancestor) return true;
    }
    return false;
}

std::size_t Model::Depth(KeyId key) const
{
    std::size_t depth = 0;
    for (const Key* k = Find(key); k != nullptr && k->parent != 0 && depth < kMaxWalk; k = Find(k->parent)) {
        ++depth;
    }
    return depth;
}

void Model::ChainOf(KeyId id, std::vector<KeyId>& chain) const
{
    for (const Key* k = Find(id); k != nullptr && chain.size() < kMaxWalk; k = Find(k->parent)) {
        chain.push_back(k->id);
    }
}

void Model::Report(std::vector<Change>* changes, KeyId key, std::uint32_t filter) const
{
    if (changes == nullptr) return;
    Change change;
    change.key = key;
    change.filter = filter;
    ChainOf(key, change.chain);
    changes->push_back(std::move(change));
}

void Model::LinkChild(Key& parent, const Key& child)
{
    if ((parent.m_lazy & Key::kLazyChildren) != 0) {
        auto& gone = parent.m_childrenGone;
        auto it = std::find(gone.begin(), gone.end(), child.id);
        if (it != gone.end()) {
            gone.erase(it);  // back in the record's list
            return;
        }
    }
    parent.m_children.Insert(ChildRef{child.id, &child});
}

void Model::UnlinkChild(Key& parent, const Key& child)
{
    if (parent.m_children.Erase(child.upper, child.id)) return;
    if ((parent.m_lazy & Key::kLazyChildren) != 0 && InRecord(parent, child)) {
        parent.m_childrenGone.push_back(child.id);
    }
}

bool Model::InRecord(const Key& parent, const Key& child) const
{
    KeyView view;
    return m_base->ReadKey(parent.m_record, parent.id, view) && view.FindChild(child.upper) == child.id;
}

void Model::RemoveSubtree(KeyId id, const Effects& fx)
{
    // Deepest first, each deletion reported while its ancestors still exist.
    // The lists read here (and the parent's) are read before anything changes.
    std::vector<KeyId> order{id};
    for (std::size_t i = 0; i < order.size(); ++i) {
        for (const ChildRef& c : Find(order[i])->Children()) order.push_back(c.id);
    }
    for (auto it = order.rbegin(); it != order.rend(); ++it) Report(fx.changes, *it, kChangeDeleted);
    Key* top = Mutable(id);
    const KeyId parentId = top->parent;
    Key* parent = parentId != 0 ? Mutable(parentId) : nullptr;
    if (parent != nullptr && (parent->m_lazy & Key::kLazyChildren) != 0) {
        // Room to note the removal; many removals and the list is read.
        if (parent->m_childrenGone.size() >= Key::kMaxGone) {
            parent->MutableChildren();
        } else {
            parent->m_childrenGone.reserve(parent->m_childrenGone.size() + 1);
        }
    }
    // Keys of the checkpoint are marked gone, so that they are not read
    // from it again; what fails for memory here has changed nothing else.
    auto markGone = [this, &order]() {
        if (m_base == nullptr) return;
        try {
            for (KeyId k : order) m_gone.insert(k);
        } catch (...) {
            for (KeyId k : order) m_gone.erase(k);
            throw;
        }
    };
    if (fx.undo == nullptr) {
        markGone();
        if (parent != nullptr) UnlinkChild(*parent, *top);
        for (KeyId k : order) m_keys.erase(k);
        return;
    }
    // The keys leave the map in their nodes and come back in them, at the
    // same addresses: the sub-key lists within the subtree stay valid.
    // Everything the undo needs is allocated before anything is taken out.
    const std::size_t first = fx.undo->m_removed.size();
    const std::size_t last = first + order.size();
    UndoLog::Step step = [first, last, id, parentId, ids = order](Model& m, UndoLog& log) {
        for (KeyId k : ids) m.m_gone.erase(k);
        for (std::size_t i = first; i < last; ++i) m.m_keys.insert(std::move(log.m_removed[i]));
        if (Key* p = m.Held(parentId)) m.LinkChild(*p, *m.Held(id));
    };
    fx.undo->MakeRoom(1, order.size());
    markGone();
    if (parent != nullptr) UnlinkChild(*parent, *top);
    for (KeyId k : order) fx.undo->m_removed.push_back(m_keys.extract(k));
    fx.undo->m_steps.push_back(std::move(step));
}

void UndoLog::MakeRoom(std::size_t steps, std::size_t removed)
{
    auto grow = [](auto& list, std::size_t more) {
        if (list.capacity() - list.size() < more) list.reserve(std::max(list.size() + more, 2 * list.capacity()));
    };
    grow(m_steps, steps);
    grow(m_removed, removed);
}

void Model::KeepTime(const Effects& fx, KeyId id)
{
    if (fx.undo == nullptr) return;
    const std::uint64_t time = Find(id)->lastWrite;
    fx.undo->m_steps.push_back([id, time](Model& m, UndoLog&) { m.Held(id)->lastWrite = time; });
}

bool Model::Undo(UndoLog& log) noexcept
{
    bool whole = true;
    try {
        for (auto it = log.m_steps.rbegin(); it != log.m_steps.rend(); ++it) (*it)(*this, log);
    } catch (...) {
        // A step that found no memory (putting a key back in its lists):
        // the model is not what the file says, and its owner reads it anew.
        m_damaged = true;
        whole = false;
    }
    log.m_steps.clear();
    log.m_removed.clear();
    return whole;
}

void Model::Reset(const std::u16string& rootName, const Bytes& rootSecurity, std::uint64_t time,
                  const std::string& bootId)
{
    m_keys.clear();
    m_base.reset();
    m_gone.clear();
    m_dirty.clear();
    m_volatile.clear();
    m_damaged = false;
    m_unreadable = false;
    m_security.clear();
    m_nextKey = kRootKey + 1;
    m_nextSecurity = 1;
    m_seq = 0;
    m_mirrored = 0;
    m_bootId = bootId;
    Key root;
    root.id = kRootKey;
    root.name = rootName;
    root.upper = Upcase(rootName);
    root.lastWrite = time;
    root.m_model = this;
    if (!rootSecurity.empty()) {
        root.security = m_nextSecurity++;
        m_security.emplace(root.security, rootSecurity);
    }
    m_keys.emplace(kRootKey, std::move(root));
}

void Model::DropVolatile(std::vector<Change>* changes) { DropVolatile(Effects{changes, nullptr}); }

void Model::DropVolatile(const Effects& fx)
{
    // The top-most volatile keys; everything beneath them goes with them.
    std::vector<KeyId> tops;
    const std::vector<KeyId> candidates(m_volatile.begin(), m_volatile.end());
    for (KeyId id : candidates) {
        const Key* key = Find(id);
        if (key == nullptr || !key->IsVolatile()) continue;
        const Key* parent = Find(key->parent);
        if (parent == nullptr || !parent->IsVolatile()) tops.push_back(id);
    }
    for (KeyId id : tops) {
        if (const Key* key = Find(id)) {
            KeyId parent = key->parent;
            RemoveSubtree(id, fx);
            if (parent != 0) Report(fx.changes, parent, REG_NOTIFY_CHANGE_NAME);
        }
    }
}

// ------------------------------------------------------------ checkpoints
// The earlier form: version, next key id, next security id, commits applied,
// boot id; the descriptor table; then every key, parents before their
// children. Read to convert a hive file written before checkpoints were
// read in place.
bool Model::LoadBody(Decoder& in, bool keys)
{
    if (in.U32() != kCheckpointVersion) return false;
    KeyId nextKey = in.U64();
    SecurityId nextSecurity = in.U32();
    std::uint64_t seq = in.U64();
    std::string boot = in.Str();
    std::map<SecurityId, Bytes> security;
    std::uint32_t descriptors = in.U32();
    for (std::uint32_t i = 0; i < descriptors && !in.Failed(); ++i) {
        SecurityId id = in.U32();
        Bytes bytes = in.Bytes();
        if (id == 0 || !security.emplace(id, std::move(bytes)).second) return false;
    }
    if (in.Failed()) return false;
    m_nextKey = nextKey;
    m_nextSecurity = nextSecurity;
    m_seq = seq;
    m_mirrored = 0;
    m_bootId = std::move(boot);
    m_security = std::move(security);
    if (!keys) return true;

    m_keys.clear();
    m_base.reset();
    m_gone.clear();
    m_dirty.clear();
    m_volatile.clear();
    m_damaged = false;
    m_unreadable = false;
    std::uint64_t count = in.U64();
    if (count == 0 || count > in.Left()) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        Key key;
        key.id = in.U64();
        key.parent = in.U64();
        key.flags = in.U32();
        key.security = in.U32();
        key.lastWrite = in.U64();
        key.name = in.Text();
        key.keyClass = in.Text();
        key.mount = in.Str();
        key.mountOrigin = in.Str();
        std::uint32_t values = in.U32();
        if (in.Failed() || values > in.Left()) return false;
        key.m_model = this;
        key.m_values.Reserve(values);
        for (std::uint32_t v = 0; v < values; ++v) {
            Value value;
            value.name = in.Text();
            value.upper = Upcase(value.name);
            value.type = in.U32();
            value.data = in.Bytes();
            if (in.Failed() || key.FindValue(value.upper) != nullptr) return false;
            key.m_values.Append(std::move(value));
        }
        key.upper = Upcase(key.name);
        bool isRoot = i == 0;
        if ((isRoot ? key.id != kRootKey || key.parent != 0 : key.id <= kRootKey) ||
            key.id >= m_nextKey || Find(key.id) != nullptr ||
            (key.security != 0 && Security(key.security) == nullptr)) {
            return false;
        }
        if (!isRoot) {
            Key* parent = Mutable(key.parent);
            if (parent == nullptr || Child(*parent, key.upper) != 0) return false;
        }
        KeyId parentId = key.parent;
        if (key.IsVolatile()) m_volatile.insert(key.id);
        Key& stored = m_keys.emplace(key.id, std::move(key)).first->second;
        if (!isRoot) LinkChild(*Mutable(parentId), stored);
    }
    return !in.Failed() && in.AtEnd();
}

bool Model::Load(const std::uint8_t* data, std::size_t size)
{
    Decoder in(data, size);
    if (LoadBody(in, true)) return true;
    m_keys.clear();
    m_volatile.clear();
    m_damaged = false;
    return false;
}

bool Model::LoadTablesOnly(const std::uint8_t* data, std::size_t size)
{
    Decoder in(data, size);
    return LoadBody(in, false);
}

// ------------------------------------------------------------ batches
Batch::Batch(Model& model, std::uint64_t time) : m_model(model), m_time(time)
{
    Encoder(m_payload).U64(time);
}

Batch::~Batch() { m_model.Undo(m_undo); }

void Batch::Keep(std::vector<Change>* changes)
{
    // Room first: once the undo log is given up nothing may fail.
    if (changes != nullptr) changes->reserve(changes->size() + m_changes.size());
    UndoLog kept;
    std::swap(kept, m_undo);  // the operations stand: nothing is left to undo
    if (changes != nullptr) {
        changes->insert(changes->end(), std::make_move_iterator(m_changes.begin()),
                        std::make_move_iterator(m_changes.end()));
    }
    m_changes.clear();
}

void Batch::Run(std::size_t from)
{
    if (!m_ok) return;
    Decoder in(m_payload.data() + from, m_payload.size() - from);
    m_ok = m_model.Apply(in, &m_changes, &m_undo) && in.AtEnd();
}

SecurityId Batch::Intern(const Bytes& security)
{
    if (security.empty()) return 0;
    SecurityId id = m_model.SecurityIdOf(security);
    if (id != 0) return id;
    id = m_model.NextSecurityId();
    Emit(Op::DefineSecurity, [&](Encoder& e) { e.U32(id); e.Bytes(security); });
    return id;
}

KeyId Batch::CreateKey(KeyId parent, std::u16string_view name, std::u16string_view keyClass,
                       std::uint32_t flags, const Bytes& security, std::uint64_t lastWrite)
{
    return CreateKeyAs(m_model.NextKeyId(), parent, name, keyClass, flags, security, lastWrite);
}

KeyId Batch::CreateKeyAs(KeyId id, KeyId parent, std::u16string_view name, std::u16string_view keyClass,
                         std::uint32_t flags, const Bytes& security, std::uint64_t lastWrite)
{
    SecurityId sec = Intern(security);
    Emit(Op::CreateKey, [&](Encoder& e) {
        e.U64(id);
        e.U64(parent);
        e.U32(flags);
        e.U32(sec);
        e.U64(lastWrite);
        e.U64(m_time);
        e.Text(name);
        e.Text(keyClass);
    });
    return m_ok ? id : 0;
}

void Batch::DeleteKey(KeyId id)
{
    Emit(Op::DeleteKey, [&](Encoder& e) { e.U64(id); e.U64(m_time); });
}

void Batch::ClearKey(KeyId id)
{
    Emit(Op::ClearKey, [&](Encoder& e) { e.U64(id); e.U64(m_time); });
}

void Batch::SetValue(KeyId key, std::u16string_view name, std::uint32_t type, const Bytes& data)
{
    Emit(Op::SetValue, [&](Encoder& e) {
        e.U64(key);
        e.U64(m_time);
        e.Text(name);
        e.U32(type);
        e.Bytes(data);
    });
}

void Batch::DeleteValue(KeyId key, std::u16string_view name)
{
    Emit(Op::DeleteValue, [&](Encoder& e) { e.U64(key); e.U64(m_time); e.Text(name); });
}

void Batch::SetSecurity(KeyId key, const Bytes& security)
{
    SecurityId sec = Intern(security);
    Emit(Op::SetSecurity, [&](Encoder& e) { e.U64(key); e.U32(sec); });
}

void Batch::SetTime(KeyId key, std::uint64_t time)
{
    Emit(Op::SetTime, [&](Encoder& e) { e.U64(key); e.U64(time); });
}

void Batch::SetMount(KeyId key, const std::string& mount, const std::string& origin)
{
    Emit(Op::SetMount, [&](Encoder& e) { e.U64(key); e.Str(mount); e.Str(origin); });
}

void Batch::NewBoot(const std::string& bootId)
{
    Emit(Op::NewBoot, [&](Encoder& e) { e.Str(bootId); });
}

void Batch::Mirror(std::uint64_t seq)
{
    Emit(Op::Mirror, [&](Encoder& e) { e.U64(seq); });
}

void Batch::Withhold(KeyId key, bool withheld, std::u16string_view keyClass)
{
    Emit(Op::Withhold, [&](Encoder& e) {
        e.U64(key);
        e.U8(withheld ? 1 : 0);
        e.Text(keyClass);
    });
}

}  // namespace netid::posix::store
