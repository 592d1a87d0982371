// SPDX-License-Identifier: LGPL-2.1-or-later
// What a handle shows through the key or keys it stands for: opening and
// following paths beneath it, its sub-keys and its values. A plain handle
// shows its one key; a handle of HKEY_CLASSES_ROOT's merged view shows the
// user's classes (HKCU\Software\Classes) over the machine's
// (HKLM\Software\Classes). Not here: the handle table and the access check
// (reg_handles.cpp), the calls themselves.
#include <algorithm>
#include <iterator>

#include "platform/posix/calls/reg_handles.h"
#include "platform/posix/base/text.h"

namespace netid::posix {
namespace {

const std::vector<std::u16string> kClassesPath{u"Software", u"Classes"};

// True when a handle shows two keys, whose contents are merged.
bool IsPair(const Handle& handle) { return handle.classes && handle.user.slot && handle.machine.slot; }

std::vector<std::u16string> Joined(const std::vector<std::u16string>& path, const std::vector<std::u16string>& names)
{
    std::vector<std::u16string> out = path;
    out.insert(out.end(), names.begin(), names.end());
    return out;
}

}  // namespace

Handle Registry::ResolveClasses(const Handle& opened)
{
    Handle now = opened;
    // The user's key: the one the handle was opened on (gone: the handle's
    // key is deleted), else one made since.
    if (opened.user.slot) {
        Current(opened.user);
    } else {
        store::KeyRef user;
        if (engine.CurrentUser(user) == ERROR_SUCCESS) {
            store::KeyRef classes = Find(user, kClassesPath);
            if (classes.slot) now.user = Find(classes, opened.path);
        }
    }
    // The machine's key: the one it was opened on while it lasts, else one
    // made since. (The machine's classes are made on the way for the root
    // itself, as for the other roots.)
    if (opened.machine.slot) {
        const store::Key* key = nullptr;
        if (engine.Refresh(opened.machine, key) != ERROR_SUCCESS) now.machine = {};
    } else {
        store::KeyRef classes = opened.path.empty() ? MakePathBelowMachine({u"SOFTWARE", u"Classes"})
                                                    : Find(engine.Machine(), {u"SOFTWARE", u"Classes"});
        if (classes.slot) now.machine = Find(classes, opened.path);
    }
    now.key = now.user.slot ? now.user : now.machine;
    if (!now.key.slot) Fail(ERROR_KEY_DELETED);
    return now;
}

Handle Registry::Open(const Handle& base, const std::vector<std::u16string>& names)
{
    Handle out;
    if (!base.classes) {
        out.key = Walk(base.key, names);
        return out;
    }
    out.classes = true;
    out.path = Joined(base.path, names);
    if (base.user.slot) out.user = Find(base.user, names);
    if (base.machine.slot) out.machine = Find(base.machine, names);
    out.key = out.user.slot ? out.user : out.machine;
    if (!out.key.slot) Fail(ERROR_FILE_NOT_FOUND);
    return out;
}

Registry::Reach Registry::Follow(const Handle& base, const std::vector<std::u16string>& names)
{
    Reach reach;
    reach.reached = base;
    Handle& at = reach.reached;
    for (; reach.found < names.size(); ++reach.found) {
        const std::vector<std::u16string> next{names[reach.found]};
        if (!at.classes) {
            store::KeyRef key = Find(at.key, next);
            if (!key.slot) break;
            at.key = key;
            continue;
        }
        store::KeyRef user = at.user.slot ? Find(at.user, next) : store::KeyRef{};
        store::KeyRef machine = at.machine.slot ? Find(at.machine, next) : store::KeyRef{};
        if (!user.slot && !machine.slot) break;
        at.path.push_back(names[reach.found]);
        at.user = user;
        at.machine = machine;
        at.key = user.slot ? user : machine;
    }
    // New keys of the merged view go beneath the machine's classes where
    // the machine has the key they are made in, else beneath the user's.
    reach.parent = at.classes && at.machine.slot ? at.machine : at.key;
    return reach;
}

Handle Registry::Made(const Handle& base, const std::vector<std::u16string>& names, const Reach& reach,
                      const store::KeyRef& made)
{
    Handle out;
    out.key = made;
    if (base.classes) {
        out.classes = true;
        out.path = Joined(base.path, names);
        (reach.parent == reach.reached.machine ? out.machine : out.user) = made;
    }
    return out;
}

std::vector<store::SubKeyInfo> Registry::KeysOf(const store::KeyRef& key)
{
    std::vector<store::SubKeyInfo> out;
    DWORD count = 0;
    LONG status = engine.SubKeyCount(key, count);
    if (status != ERROR_SUCCESS) Fail(status);
    for (DWORD i = 0; i < count; ++i) {
        store::SubKeyInfo info;
        status = engine.SubKeyAt(key, i, info);
        if (status == ERROR_NO_MORE_ITEMS) break;  // fewer than counted: another process removed some
        if (status != ERROR_SUCCESS) Fail(status);
        out.push_back(std::move(info));
    }
    return out;
}

std::vector<store::SubKeyInfo> Registry::SubKeys(const Handle& handle)
{
    if (!IsPair(handle)) return KeysOf(handle.key);
    std::vector<store::SubKeyInfo> all = KeysOf(handle.user);
    std::vector<store::SubKeyInfo> machine = KeysOf(handle.machine);
    all.insert(all.end(), std::make_move_iterator(machine.begin()), std::make_move_iterator(machine.end()));
    // The registry's order; where both sides have a key, the user's (listed
    // first, kept first by the stable sort) stands.
    std::stable_sort(all.begin(), all.end(), [](const store::SubKeyInfo& a, const store::SubKeyInfo& b) {
        return Upcase(a.name) < Upcase(b.name);
    });
    all.erase(std::unique(all.begin(), all.end(),
                          [](const store::SubKeyInfo& a, const store::SubKeyInfo& b) {
                              return Upcase(a.name) == Upcase(b.name);
                          }),
              all.end());
    return all;
}

LONG Registry::SubKeyAt(HKEY value, const Handle& handle, DWORD index, store::SubKeyInfo& out)
{
    if (!IsPair(handle)) return engine.SubKeyAt(handle.key, index, out);
    // Resolving the handle brought both hives up to date: their sequences
    // tell whether anything changed since the listing was made.
    const std::uint64_t userSeq = handle.user.slot->hive->View().Seq();
    const std::uint64_t machineSeq = handle.machine.slot->hive->View().Seq();
    Listing& kept = m_listings[reinterpret_cast<std::uintptr_t>(Canonical(value))];
    const bool current = kept.userSlot.lock() == handle.user.slot && kept.user == handle.user.id &&
                         kept.machineSlot.lock() == handle.machine.slot && kept.machine == handle.machine.id &&
                         kept.userSeq == userSeq && kept.machineSeq == machineSeq;
    if (!current) {
        kept.keys.clear();  // no stale listing survives a failure below
        kept.userSlot.reset();
        kept.keys = SubKeys(handle);
        kept.userSlot = handle.user.slot;
        kept.machineSlot = handle.machine.slot;
        kept.user = handle.user.id;
        kept.machine = handle.machine.id;
        kept.userSeq = userSeq;
        kept.machineSeq = machineSeq;
    }
    if (index >= kept.keys.size()) return ERROR_NO_MORE_ITEMS;
    out = kept.keys[index];
    return ERROR_SUCCESS;
}

std::vector<const store::Value*> Registry::Values(const Handle& handle)
{
    std::vector<const store::Value*> out;
    // The machine's hive is brought up to date first: bringing the user's
    // up to date afterwards leaves the machine's keys where they are.
    const store::Key* machine = IsPair(handle) ? &Current(handle.machine) : nullptr;
    const store::Key& key = Current(handle.key);
    for (const store::Value& value : key.Values()) out.push_back(&value);
    if (machine != nullptr) {
        for (const store::Value& value : machine->Values()) {
            if (key.FindValue(value.upper) == nullptr) out.push_back(&value);
        }
    }
    return out;
}

const store::Value* Registry::ValueAt(const Handle& handle, DWORD index)
{
    if (IsPair(handle)) {
        std::vector<const store::Value*> values = Values(handle);
        return index < values.size() ? values[index] : nullptr;
    }
    const store::Key& key = Current(handle.key);
    return index < key.Values().size() ? &key.Values()[index] : nullptr;
}

}  // namespace netid::posix
