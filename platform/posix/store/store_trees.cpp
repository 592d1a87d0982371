// SPDX-License-Identifier: LGPL-2.1-or-later
// Key trees in and out of a hive (see store_trees.h).
#include "platform/posix/store/store_trees.h"

#include <algorithm>
#include <set>

#include "platform/posix/base/process.h"
#include "platform/posix/base/reg_limits.h"
#include "platform/posix/security/security.h"
#include "platform/posix/base/text.h"

namespace netid::posix::store {
namespace {

LONG Check(const RegTree& tree, std::size_t depth)
{
    if (depth > kMaxDepth) return ERROR_BADDB;
    std::set<std::u16string> values;
    for (const RegValue& v : tree.values) {
        if (v.name.size() > kMaxValueNameLength || !values.insert(Upcase(v.name)).second) return ERROR_BADDB;
    }
    std::set<std::u16string> names;
    for (const RegTree& sub : tree.subkeys) {
        if (sub.name.empty() || sub.name.size() > kMaxKeyNameLength ||
            sub.name.find(u'\\') != std::u16string::npos || !names.insert(Upcase(sub.name)).second) {
            return ERROR_BADDB;
        }
        LONG status = Check(sub, depth + 1);
        if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
}

void Add(Batch& batch, KeyId key, const RegTree& tree, bool volatileKeys, std::uint64_t now)
{
    for (const RegValue& v : tree.values) batch.SetValue(key, v.name, v.type, v.data);
    const Model& model = batch.View();
    for (const RegTree& sub : tree.subkeys) {
        const Key* parent = model.Find(key);
        Bytes security = sub.security;
        if (security.empty()) {
            const Bytes* inherited = model.Security(parent->security);
            security = DefaultKeySecurity(inherited);
        }
        bool isVolatile = volatileKeys || sub.isVolatile || parent->IsVolatile();
        KeyId child = batch.CreateKey(key, sub.name, sub.keyClass, isVolatile ? kKeyVolatile : 0, security,
                                      sub.lastWrite != 0 ? sub.lastWrite : now);
        Add(batch, child, sub, volatileKeys, now);
        batch.SetTime(child, sub.lastWrite != 0 ? sub.lastWrite : now);
    }
}

}  // namespace

void ExportTree(const Model& model, KeyId id, RegTree& out)
{
    const Key* key = model.Find(id);
    out = RegTree{};
    if (key == nullptr) return;
    out.name = key->name;
    out.keyClass = key->keyClass;
    if (const Bytes* sd = model.Security(key->security)) out.security = *sd;
    out.lastWrite = key->lastWrite;
    out.isVolatile = key->IsVolatile();
    for (const Value& v : key->Values()) out.values.push_back(RegValue{v.name, v.type, v.data});
    for (const ChildRef& c : key->Children()) {
        const Key* child = model.Find(c.id);
        if (child == nullptr || !child->mount.empty()) continue;
        out.subkeys.emplace_back();
        ExportTree(model, c.id, out.subkeys.back());
    }
}

bool HasMountBeneath(const Model& model, KeyId id)
{
    const Key* key = model.Find(id);
    if (key == nullptr) return false;
    if (!key->mount.empty()) return true;
    return std::any_of(key->Children().begin(), key->Children().end(),
                       [&](const ChildRef& c) { return HasMountBeneath(model, c.id); });
}

LONG CheckTree(const RegTree& tree, std::size_t depth) { return Check(tree, depth); }

void ImportTree(Batch& batch, KeyId key, const RegTree& tree, bool volatileKeys)
{
    Add(batch, key, tree, volatileKeys, NowAsFileTime());
}

}  // namespace netid::posix::store
