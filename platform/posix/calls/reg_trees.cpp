// SPDX-License-Identifier: LGPL-2.1-or-later
// Whole key trees behind handles (see reg_trees.h).
#include "platform/posix/calls/reg_trees.h"

#include "platform/posix/base/process.h"
#include "platform/posix/calls/reg_handles.h"
#include "platform/posix/store/store_trees.h"

namespace netid::posix {
namespace {

using Lock = std::unique_lock<std::mutex>;

}  // namespace

LONG ExportKeyTree(HKEY key, RegTree& out)
{
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle handle = reg.Resolve(key);
        reg.Current(handle.key);
        store::ExportTree(handle.key.slot->hive->View(), handle.key.id, out);
        return ERROR_SUCCESS;
    });
}

LONG ReplaceKeyContents(HKEY key, const RegTree& tree, bool volatileKeys)
{
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle handle = reg.Resolve(key);
        const store::KeyRef& ref = handle.key;
        reg.Current(ref);
        if (!ref.slot->hive->Writable()) {
            return ERROR_ACCESS_DENIED;
        }
        std::size_t depth = reg.engine.Depth(ref);
        return reg.engine.Commit(ref, [&](store::Batch& b) -> LONG {
            const store::Model& model = b.View();
            const store::Key* k = model.Find(ref.id);
            if (k == nullptr) return ERROR_KEY_DELETED;
            // A hive mounted beneath would be left hanging at nothing.
            for (const store::ChildRef& c : k->Children()) {
                if (store::HasMountBeneath(model, c.id)) return ERROR_ACCESS_DENIED;
            }
            LONG status = store::CheckTree(tree, depth);
            if (status != ERROR_SUCCESS) return status;
            b.ClearKey(ref.id);
            if (!tree.security.empty()) b.SetSecurity(ref.id, tree.security);
            store::ImportTree(b, ref.id, tree, volatileKeys);
            b.SetTime(ref.id, NowAsFileTime());
            return b.Ok() ? ERROR_SUCCESS : ERROR_BADDB;
        });
    });
}

bool HandlesOpenBeneath(HKEY key, HKEY except)
{
    LONG status = Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle target = reg.Resolve(key);
        auto exceptValue = reinterpret_cast<std::uintptr_t>(except);
        for (const auto& [value, handle] : reg.HandleList()) {
            if (value == exceptValue) continue;
            // Up the handle's hive and the hives it hangs in.
            store::KeyRef at = handle.key;
            while (at.slot) {
                if (at.slot == target.key.slot &&
                    at.slot->hive->View().IsAtOrAbove(target.key.id, at.id)) {
                    return ERROR_SUCCESS;  // found one
                }
                at = at.slot->parent ? store::KeyRef{at.slot->parent, at.slot->mountKey} : store::KeyRef{};
            }
        }
        return ERROR_FILE_NOT_FOUND;
    });
    return status == ERROR_SUCCESS;
}

}  // namespace netid::posix
