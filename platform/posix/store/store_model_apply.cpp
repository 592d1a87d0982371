// SPDX-License-Identifier: LGPL-2.1-or-later
// The operations of a commit applied to the in-memory hive (store_model.h),
// one function each: what it reads of the record, what it checks before it
// changes anything, how it undoes itself, and which change it reports.
#include "platform/posix/store/store_model.h"

#include <algorithm>
#include <utility>

#include "platform/posix/base/text.h"
#include "platform/posix/windows.h"

namespace netid::posix::store {

bool Model::ApplyCommit(const std::uint8_t* data, std::size_t size, std::vector<Change>* changes)
{
    Decoder in(data, size);
    in.U64();  // the commit's time: each operation carries what it needs
    while (!in.AtEnd()) {
        if (!Apply(in, changes)) return false;
    }
    return !in.Failed();
}

bool Model::Apply(Decoder& in, std::vector<Change>* changes, UndoLog* undo)
{
    const Effects fx{changes, undo};
    switch (static_cast<Op>(in.U8())) {
    case Op::CreateKey: return ApplyCreateKey(in, fx);
    case Op::DeleteKey: return ApplyDeleteKey(in, fx);
    case Op::ClearKey: return ApplyClearKey(in, fx);
    case Op::SetValue: return ApplySetValue(in, fx);
    case Op::DeleteValue: return ApplyDeleteValue(in, fx);
    case Op::SetSecurity: return ApplySetSecurity(in, fx);
    case Op::DefineSecurity: return ApplyDefineSecurity(in, fx);
    case Op::SetTime: return ApplySetTime(in, fx);
    case Op::SetMount: return ApplySetMount(in, fx);
    case Op::NewBoot: return ApplyNewBoot(in, fx);
    case Op::Mirror: return ApplyMirror(in, fx);
    case Op::Withhold: return ApplyWithhold(in, fx);
    }
    return false;
}

bool Model::ApplyCreateKey(Decoder& in, const Effects& fx)
{
    Key key;
    key.id = in.U64();
    key.parent = in.U64();
    key.flags = in.U32();
    key.security = in.U32();
    key.lastWrite = in.U64();
    std::uint64_t parentTime = in.U64();
    key.name = in.Text();
    key.keyClass = in.Text();
    key.m_model = this;
    Key* parent = Mutable(key.parent);
    if (in.Failed() || parent == nullptr || key.id < kRootKey + 1 || Find(key.id) != nullptr ||
        (key.security != 0 && Security(key.security) == nullptr)) {
        return false;
    }
    key.upper = Upcase(key.name);
    if (Child(*parent, key.upper) != 0) return false;
    const KeyId id = key.id;
    const KeyId parentId = key.parent;
    // Noted before anything changes: what marks the key.
    if (m_base != nullptr) m_dirty.insert(id);
    if (key.IsVolatile()) m_volatile.insert(id);
    if (fx.undo != nullptr) {
        const std::uint64_t oldTime = parent->lastWrite;
        const KeyId oldNext = m_nextKey;
        // Recorded first, and sound however far the creation got.
        fx.undo->m_steps.push_back([id, parentId, oldTime, oldNext](Model& m, UndoLog&) {
            Key* p = m.Held(parentId);
            if (const Key* made = m.Held(id)) {
                m.UnlinkChild(*p, *made);
                m.m_keys.erase(id);
            }
            p->lastWrite = oldTime;
            m.m_nextKey = oldNext;
        });
    }
    parent->lastWrite = parentTime;
    m_nextKey = std::max(m_nextKey, id + 1);
    Key& stored = m_keys.emplace(id, std::move(key)).first->second;
    LinkChild(*Held(parentId), stored);
    Report(fx.changes, parentId, REG_NOTIFY_CHANGE_NAME);
    return true;
}

bool Model::ApplyDeleteKey(Decoder& in, const Effects& fx)
{
    KeyId id = in.U64();
    std::uint64_t time = in.U64();
    const Key* key = Find(id);
    if (in.Failed() || key == nullptr || key->parent == 0) return false;
    KeyId parent = key->parent;
    KeepTime(fx, parent);
    RemoveSubtree(id, fx);
    Mutable(parent)->lastWrite = time;
    Report(fx.changes, parent, REG_NOTIFY_CHANGE_NAME);
    return true;
}

bool Model::ApplyClearKey(Decoder& in, const Effects& fx)
{
    KeyId id = in.U64();
    std::uint64_t time = in.U64();
    Key* key = Mutable(id);
    if (in.Failed() || key == nullptr) return false;
    KeepTime(fx, id);
    std::vector<KeyId> children;
    for (const ChildRef& c : key->Children()) children.push_back(c.id);
    for (KeyId c : children) RemoveSubtree(c, fx);
    key = Mutable(id);
    if (fx.undo != nullptr) {
        // Room for the values first; they move only once the step is recorded.
        auto values = std::make_shared<ValueList>();
        key->MutableValues();
        fx.undo->m_steps.push_back([id, values](Model& m, UndoLog&) { m.Held(id)->m_values = std::move(*values); });
        *values = std::move(key->m_values);
    }
    key->MutableValues().Clear();
    key->lastWrite = time;
    Report(fx.changes, id, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET);
    return true;
}

bool Model::ApplySetValue(Decoder& in, const Effects& fx)
{
    KeyId id = in.U64();
    std::uint64_t time = in.U64();
    std::u16string name = in.Text();
    std::uint32_t type = in.U32();
    Bytes data = in.Bytes();
    Key* key = Mutable(id);
    if (in.Failed() || key == nullptr) return false;
    KeepTime(fx, id);
    std::u16string upper = Upcase(name);
    if (Value* existing = key->MutableValues().Find(upper)) {
        // An existing value keeps its place in the order and its name.
        if (fx.undo != nullptr) {
            // The old data moves out only once the step that puts it back
            // is recorded.
            auto old = std::make_shared<Bytes>();
            const std::uint32_t oldType = existing->type;
            fx.undo->m_steps.push_back([id, upper, old, oldType](Model& m, UndoLog&) {
                Value* v = m.Held(id)->m_values.Find(upper);
                v->type = oldType;
                v->data = std::move(*old);
            });
            *old = std::move(existing->data);
        }
        existing->type = type;
        existing->data = std::move(data);
        existing->stored = 0;
    } else {
        if (fx.undo != nullptr) {
            fx.undo->m_steps.push_back([id, upper](Model& m, UndoLog&) { m.Held(id)->m_values.Erase(upper); });
        }
        key->m_values.Append(Value{std::move(name), std::move(upper), type, std::move(data), 0});
    }
    key->lastWrite = time;
    Report(fx.changes, id, REG_NOTIFY_CHANGE_LAST_SET);
    return true;
}

bool Model::ApplyDeleteValue(Decoder& in, const Effects& fx)
{
    KeyId id = in.U64();
    std::uint64_t time = in.U64();
    std::u16string upper = Upcase(in.Text());
    Key* key = Mutable(id);
    if (in.Failed() || key == nullptr || key->MutableValues().Find(upper) == nullptr) return false;
    KeepTime(fx, id);
    // The step that puts the value back is recorded before it is taken out.
    struct Taken {
        Value value;
        std::size_t at = 0;
        bool taken = false;
    };
    auto gone = std::make_shared<Taken>();
    if (fx.undo != nullptr) {
        fx.undo->m_steps.push_back([id, gone](Model& m, UndoLog&) {
            if (gone->taken) m.Held(id)->m_values.InsertAt(gone->at, std::move(gone->value));
        });
    }
    gone->taken = key->m_values.Take(upper, gone->value, gone->at);
    key->lastWrite = time;
    Report(fx.changes, id, REG_NOTIFY_CHANGE_LAST_SET);
    return true;
}

bool Model::ApplySetSecurity(Decoder& in, const Effects& fx)
{
    KeyId id = in.U64();
    SecurityId security = in.U32();
    Key* key = Mutable(id);
    if (in.Failed() || key == nullptr || Security(security) == nullptr) return false;
    if (fx.undo != nullptr) {
        const SecurityId old = key->security;
        fx.undo->m_steps.push_back([id, old](Model& m, UndoLog&) { m.Held(id)->security = old; });
    }
    key->security = security;
    Report(fx.changes, id, REG_NOTIFY_CHANGE_SECURITY | REG_NOTIFY_CHANGE_ATTRIBUTES);
    return true;
}

bool Model::ApplyDefineSecurity(Decoder& in, const Effects& fx)
{
    SecurityId id = in.U32();
    Bytes bytes = in.Bytes();
    if (in.Failed() || id == 0 || Security(id) != nullptr) return false;
    if (fx.undo != nullptr) {
        const SecurityId oldNext = m_nextSecurity;
        fx.undo->m_steps.push_back([id, oldNext](Model& m, UndoLog&) {
            m.m_security.erase(id);
            m.m_nextSecurity = oldNext;
        });
    }
    m_security.emplace(id, std::move(bytes));
    m_nextSecurity = std::max(m_nextSecurity, id + 1);
    return true;
}

bool Model::ApplySetTime(Decoder& in, const Effects& fx)
{
    KeyId id = in.U64();
    std::uint64_t time = in.U64();
    Key* key = Mutable(id);
    if (in.Failed() || key == nullptr) return false;
    KeepTime(fx, id);
    key->lastWrite = time;
    return true;
}

bool Model::ApplySetMount(Decoder& in, const Effects& fx)
{
    KeyId id = in.U64();
    std::string mount = in.Str();
    std::string origin = in.Str();
    Key* key = Mutable(id);
    if (in.Failed() || key == nullptr) return false;
    if (fx.undo != nullptr) {
        fx.undo->m_steps.push_back([id, oldMount = key->mount, oldOrigin = key->mountOrigin](Model& m, UndoLog&) {
            Key* k = m.Held(id);
            k->mount = oldMount;
            k->mountOrigin = oldOrigin;
        });
    }
    key->mount = std::move(mount);
    key->mountOrigin = std::move(origin);
    if (key->parent != 0) Report(fx.changes, key->parent, REG_NOTIFY_CHANGE_NAME);
    return true;
}

bool Model::ApplyNewBoot(Decoder& in, const Effects& fx)
{
    std::string boot = in.Str();
    if (in.Failed()) return false;
    if (fx.undo != nullptr) {
        fx.undo->m_steps.push_back([old = m_bootId](Model& m, UndoLog&) { m.m_bootId = old; });
    }
    m_bootId = std::move(boot);
    DropVolatile(fx);
    return true;
}

bool Model::ApplyMirror(Decoder& in, const Effects& fx)
{
    std::uint64_t seq = in.U64();
    if (in.Failed()) return false;
    if (fx.undo != nullptr) {
        fx.undo->m_steps.push_back([old = m_mirrored](Model& m, UndoLog&) { m.m_mirrored = old; });
    }
    m_mirrored = seq;
    return true;
}

bool Model::ApplyWithhold(Decoder& in, const Effects& fx)
{
    KeyId id = in.U64();
    std::uint8_t withheld = in.U8();
    std::u16string keyClass = in.Text();
    Key* key = Mutable(id);
    if (in.Failed() || key == nullptr || withheld > 1) return false;
    if (fx.undo != nullptr) {
        fx.undo->m_steps.push_back([id, oldFlags = key->flags, oldClass = key->keyClass](Model& m, UndoLog&) {
            Key* k = m.Held(id);
            k->flags = oldFlags;
            k->keyClass = oldClass;
        });
    }
    key->flags = withheld != 0 ? key->flags | kKeyWithheld : key->flags & ~kKeyWithheld;
    key->keyClass = std::move(keyClass);
    Report(fx.changes, id, REG_NOTIFY_CHANGE_ATTRIBUTES);
    return true;
}

}  // namespace netid::posix::store
