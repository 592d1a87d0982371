// SPDX-License-Identifier: LGPL-2.1-or-later
// Bringing a hive's public view in step with the hive (store_view.h).
#include "platform/posix/store/store_view.h"

#include <algorithm>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/posix/base/text.h"
#include "platform/posix/security/access.h"

namespace netid::posix::store {
namespace {

// What one commit of the hive touched, read from its operations.
struct Touched {
    std::vector<KeyId> order;                                  // keys, first touch first
    std::unordered_set<KeyId> deep;                            // made or emptied: brought whole
    std::unordered_map<KeyId, std::vector<std::u16string>> values;  // values set or deleted
};

// False for an operation a hive's commit does not hold (the whole hive is
// then brought into the view).
bool ReadTouched(const Bytes& payload, Touched& out)
{
    Decoder in(payload.data(), payload.size());
    in.U64();  // the commit's time
    std::unordered_set<KeyId> seen;
    auto touch = [&](KeyId id) {
        if (seen.insert(id).second) out.order.push_back(id);
    };
    while (!in.AtEnd() && !in.Failed()) {
        const Op op = static_cast<Op>(in.U8());
        switch (op) {
        case Op::CreateKey: {
            KeyId id = in.U64();
            KeyId parent = in.U64();
            in.U32(), in.U32(), in.U64(), in.U64(), in.Text(), in.Text();
            touch(parent);
            touch(id);
            out.deep.insert(id);
            break;
        }
        case Op::DeleteKey:
        case Op::ClearKey: {
            KeyId id = in.U64();
            in.U64();
            touch(id);
            out.deep.insert(id);
            break;
        }
        case Op::SetValue:
        case Op::DeleteValue: {
            const bool set = op == Op::SetValue;
            KeyId id = in.U64();
            in.U64();
            std::u16string name = in.Text();
            if (set) in.U32(), in.Bytes();
            touch(id);
            out.values[id].push_back(std::move(name));
            break;
        }
        case Op::SetSecurity: {
            touch(in.U64());
            in.U32();
            break;
        }
        case Op::DefineSecurity: in.U32(), in.Bytes(); break;
        case Op::SetTime: {
            touch(in.U64());
            in.U64();
            break;
        }
        case Op::SetMount: {
            touch(in.U64());
            in.Str(), in.Str();
            break;
        }
        case Op::NewBoot: in.Str(); break;  // the view drops its own volatile keys
        default: return false;
        }
    }
    return !in.Failed();
}

// Builds the view's side of one commit.
class ViewSync {
public:
    ViewSync(const Model& real, Batch& batch) : m_real(real), m_batch(batch) {}

    // Brings key `id` into the view as the hive has it: its fields, the
    // values named (or, `deep`, all its values and its sub-keys).
    void Sync(KeyId id, bool deep, const std::vector<std::u16string>* names);
    // Gives every key of `ids` that the view holds the hive's last-write
    // time (the view's own operations set its times to now).
    void Times(const std::vector<KeyId>& ids);
    // True once something the view held came to be withheld: its file
    // still holds it in the records before, and is to be written anew.
    bool Purge() const { return m_purge; }

private:
    bool Public(const Key& key);
    // True when every key above `id` lets every local user read it.
    bool Beneath(const Key& key);
    Bytes SecurityOf(const Key& key) const
    {
        const Bytes* sd = m_real.Security(key.security);
        return sd != nullptr ? *sd : Bytes();
    }
    void SyncValue(const Key& real, KeyId id, const std::u16string& upper);

    const Model& m_real;
    Batch& m_batch;
    std::map<SecurityId, bool> m_public;
    std::unordered_map<KeyId, bool> m_beneath;
    std::unordered_set<KeyId> m_whole;  // brought in whole by this commit
    bool m_purge = false;
};

bool ViewSync::Public(const Key& key)
{
    auto it = m_public.find(key.security);
    if (it != m_public.end()) return it->second;
    const bool open = EveryLocalUserMayRead(SecurityOf(key));
    m_public.emplace(key.security, open);
    return open;
}

bool ViewSync::Beneath(const Key& key)
{
    // Up to the top key, or to a key already known; depth is bounded by the
    // hive's own (keys are made only beneath existing ones).
    std::vector<KeyId> path;
    const Key* k = &key;
    bool result = true;
    while (k->parent != 0) {
        auto known = m_beneath.find(k->id);
        if (known != m_beneath.end()) {
            result = known->second;
            break;
        }
        path.push_back(k->id);
        const Key* parent = m_real.Find(k->parent);
        if (parent == nullptr) {
            result = false;
            break;
        }
        if (!Public(*parent)) {
            result = false;
            break;
        }
        k = parent;
    }
    // Every key on the path below the answer has the same answer.
    for (KeyId id : path) m_beneath[id] = result;
    return result;
}

void ViewSync::SyncValue(const Key& real, KeyId id, const std::u16string& upper)
{
    const Key* mine = m_batch.View().Find(id);
    const Value* want = real.FindValue(upper);
    const Value* have = mine != nullptr ? mine->FindValue(upper) : nullptr;
    if (want == nullptr) {
        if (have != nullptr) m_batch.DeleteValue(id, have->name);
    } else if (have == nullptr || have->type != want->type || have->data != want->data || have->name != want->name) {
        if (have != nullptr && have->name != want->name) m_batch.DeleteValue(id, have->name);
        m_batch.SetValue(id, want->name, want->type, want->data);
    }
}

void ViewSync::Sync(KeyId id, bool deep, const std::vector<std::u16string>* names)
{
    if (!m_batch.Ok() || m_whole.count(id) != 0) return;
    const Model& view = m_batch.View();
    const Key* real = m_real.Find(id);
    const Key* mine = view.Find(id);
    if (real == nullptr || !Beneath(*real)) {
        if (mine != nullptr && mine->parent != 0) m_batch.DeleteKey(id);
        return;
    }
    const bool open = Public(*real);
    const Bytes security = SecurityOf(*real);
    if (mine != nullptr && mine->parent != 0 && (mine->parent != real->parent || mine->upper != real->upper)) {
        m_batch.DeleteKey(id);  // not the same key: made anew below
        mine = nullptr;
    }
    if (mine == nullptr) {
        if (real->parent == 0) return;  // the view's top key is made with it
        if (view.Find(real->parent) == nullptr) {
            // Its parent is brought in whole, and this key with it.
            Sync(real->parent, true, nullptr);
            return;
        }
        const std::uint32_t flags = (real->flags & ~kKeyWithheld) | (open ? 0 : kKeyWithheld);
        m_batch.CreateKeyAs(id, real->parent, real->name, open ? real->keyClass : std::u16string(), flags,
                            security, real->lastWrite);
        deep = true;
    } else {
        if (mine->IsWithheld() == open) deep = true;  // it became readable by all, or stopped being
        if (!open && !mine->IsWithheld() &&
            (!mine->keyClass.empty() || mine->ChildCount() != 0 || !mine->Values().empty())) {
            m_purge = true;
        }
        const Bytes* had = view.Security(mine->security);
        if ((had != nullptr ? *had : Bytes()) != security) m_batch.SetSecurity(id, security);
        if (mine->IsWithheld() == open || (open && mine->keyClass != real->keyClass)) {
            m_batch.Withhold(id, !open, open ? real->keyClass : std::u16string());
        }
    }
    if (!m_batch.Ok()) return;
    mine = view.Find(id);
    if (mine->mount != real->mount || mine->mountOrigin != real->mountOrigin) {
        m_batch.SetMount(id, real->mount, real->mountOrigin);
    }

    if (deep) {
        m_whole.insert(id);
        // Values: all of the hive's where it is open, none where withheld.
        std::vector<std::u16string> extra;
        for (const Value& v : mine->Values()) {
            if (!open || real->FindValue(v.upper) == nullptr) extra.push_back(v.name);
        }
        for (const std::u16string& name : extra) m_batch.DeleteValue(id, name);
        if (open) {
            for (const Value& v : real->Values()) SyncValue(*real, id, v.upper);
        }
        // Sub-keys likewise.
        std::vector<KeyId> gone;
        for (const ChildRef& c : view.Find(id)->Children()) {
            const Key* r = open ? m_real.Find(c.id) : nullptr;
            if (r == nullptr || r->parent != id) gone.push_back(c.id);
        }
        for (KeyId child : gone) m_batch.DeleteKey(child);
        if (open) {
            std::vector<KeyId> children;
            children.reserve(real->ChildCount());
            for (const ChildRef& c : real->Children()) children.push_back(c.id);
            for (KeyId child : children) Sync(child, true, nullptr);
        }
    } else if (open && names != nullptr) {
        for (const std::u16string& name : *names) SyncValue(*real, id, Upcase(name));
    }
    Times({id});
}

void ViewSync::Times(const std::vector<KeyId>& ids)
{
    for (KeyId id : ids) {
        if (!m_batch.Ok()) return;
        const Key* real = m_real.Find(id);
        const Key* mine = m_batch.View().Find(id);
        if (real != nullptr && mine != nullptr && mine->lastWrite != real->lastWrite) {
            m_batch.SetTime(id, real->lastWrite);
        }
    }
}

}  // namespace

LONG ReflectInView(const Model& real, Hive& view, const Bytes* payload, std::uint64_t seqBefore, bool* wasWhole)
{
    bool purge = false;
    LONG status = view.Commit(
        [&](Batch& batch) -> LONG {
            ViewSync sync(real, batch);
            Touched touched;
            const bool whole = payload == nullptr || batch.View().Mirrored() != seqBefore ||
                               !ReadTouched(*payload, touched);
            if (wasWhole != nullptr) *wasWhole = whole;
            if (whole) {
                sync.Sync(kRootKey, true, nullptr);
            } else {
                // Where a key went, its parent's time changed in the view too.
                std::vector<KeyId> timed = touched.order;
                for (KeyId id : touched.order) {
                    if (const Key* was = batch.View().Find(id)) timed.push_back(was->parent);
                    if (const Key* now = real.Find(id)) timed.push_back(now->parent);
                }
                for (KeyId id : touched.order) {
                    auto values = touched.values.find(id);
                    sync.Sync(id, touched.deep.count(id) != 0,
                              values != touched.values.end() ? &values->second : nullptr);
                }
                timed.erase(std::remove(timed.begin(), timed.end(), KeyId{0}), timed.end());
                sync.Times(timed);
            }
            if (!batch.Ok()) return ERROR_REGISTRY_CORRUPT;
            batch.Mirror(real.Seq());
            purge = sync.Purge();
            return ERROR_SUCCESS;
        },
        nullptr);
    // What every user could read until now is not left in the file's
    // earlier records once it is withheld.
    if (status == ERROR_SUCCESS && purge) status = view.Locked([&] { return view.Reseal(0644); });
    return status;
}

}  // namespace netid::posix::store
