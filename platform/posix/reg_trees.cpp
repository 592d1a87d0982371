// Whole key trees behind handles (see reg_trees.h).
#include "platform/posix/reg_trees.h"

#include <cstdint>
#include <vector>

#include "platform/posix/reg_handles.h"
#include "platform/posix/reg_limits.h"

namespace netid::posix {

namespace {

using Lock = std::unique_lock<std::mutex>;

}  // namespace

LONG KeyFullPath(HKEY key, std::string& path)
{
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        std::int64_t root = 0;
        std::vector<std::string> names = reg.engine.NamesFromRoot(reg.Resolve(key).keyId, root);
        path = root == reg.engine.MachineRoot() ? "HKEY_LOCAL_MACHINE" : "HKEY_USERS";
        for (const std::string& name : names) {
            path += '\\';
            path += name;
        }
        return ERROR_SUCCESS;
    });
}

LONG ExportKeyTree(HKEY key, RegTree& out)
{
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle handle = reg.Resolve(key);
        reg.engine.ExportTree(handle.keyId, out);
        return ERROR_SUCCESS;
    });
}

LONG ReplaceKeyContents(HKEY key, const RegTree& tree, bool volatileKeys)
{
    return Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle handle = reg.Resolve(key);
        if (reg.ReadOnly()) {
            return ERROR_ACCESS_DENIED;
        }
        reg.engine.ReplaceContents(handle.keyId, tree, volatileKeys);
        return ERROR_SUCCESS;
    });
}

bool HandlesOpenBeneath(HKEY key, HKEY except)
{
    LONG status = Guarded([&](Registry& reg, Lock&) -> LONG {
        Handle target = reg.Resolve(key);
        auto exceptValue = reinterpret_cast<std::uintptr_t>(except);
        for (const auto& [value, handle] : reg.HandleList()) {
            if (value == exceptValue) continue;
            if (reg.engine.IsWithin(handle.keyId, target.keyId)) {
                return ERROR_SUCCESS;  // found one
            }
        }
        return ERROR_FILE_NOT_FOUND;
    });
    return status == ERROR_SUCCESS;
}

LONG DeleteTree(HKEY parent, const std::string& name)
{
    KeyHandle k;
    LONG status = RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, &k.key);
    if (status != ERROR_SUCCESS) return status;
    for (;;) {
        char child[kMaxKeyNameLength + 1];
        DWORD len = sizeof child;
        status = RegEnumKeyExA(k.key, 0, child, &len, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) return status;
        status = DeleteTree(k.key, child);
        if (status != ERROR_SUCCESS) return status;
    }
    return RegDeleteKeyA(parent, name.c_str());
}

}  // namespace netid::posix
