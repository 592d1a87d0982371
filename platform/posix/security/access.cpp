// SPDX-License-Identifier: LGPL-2.1-or-later
// The token's identity and the access check of access.h.
#include "platform/posix/security/access.h"

#include "platform/posix/base/byte_order.h"
#include "platform/posix/base/process.h"

#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace netid::posix {
namespace {

constexpr BYTE kWorldAuthority = 1;
constexpr BYTE kCreatorAuthority = 3;
constexpr BYTE kNtAuthority = 5;
constexpr BYTE kUnixAuthority = 22;  // S-1-22: Unix users (1) and groups (2)
constexpr DWORD kOwnerRightsRid = 4;  // S-1-3-4
constexpr ACCESS_MASK kOwnerImplicit = READ_CONTROL | WRITE_DAC;
constexpr ACCESS_MASK kKeyRights = KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY;

// The length of the SID at `p` within `available` bytes, or 0.
std::size_t SidLength(const BYTE* p, std::size_t available)
{
    if (available < 8 || p[0] != SID_REVISION || p[1] > SID_MAX_SUB_AUTHORITIES) return 0;
    std::size_t n = 8 + 4u * p[1];
    return n <= available ? n : 0;
}

bool IsOwnerRights(const BYTE* sid, std::size_t size)
{
    Sid ownerRights = MakeSid(kCreatorAuthority, {kOwnerRightsRid});
    return size == ownerRights.size() && std::memcmp(sid, ownerRights.data(), size) == 0;
}

Identity BuildIdentity()
{
    Identity who;
    who.user = UserSid(geteuid());
    std::vector<gid_t> gids{getegid()};
    int count = getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> more(static_cast<std::size_t>(count));
        count = getgroups(count, more.data());
        if (count > 0) gids.insert(gids.end(), more.begin(), more.begin() + count);
    }
    std::sort(gids.begin(), gids.end());
    gids.erase(std::unique(gids.begin(), gids.end()), gids.end());
    for (gid_t gid : gids) who.groups.push_back(MakeSid(kUnixAuthority, {2, gid}));
    who.groups.push_back(MakeSid(kWorldAuthority, {0}));      // Everyone
    who.groups.push_back(MakeSid(kNtAuthority, {11}));        // Authenticated Users
    who.groups.push_back(UsersSid());
    who.administrator = geteuid() == 0;
    if (who.administrator) who.groups.push_back(AdministratorsSid());
    return who;
}

}  // namespace

bool Identity::Has(const BYTE* sid, std::size_t size) const
{
    auto same = [&](const Sid& s) { return s.size() == size && std::memcmp(s.data(), sid, size) == 0; };
    return same(user) || std::any_of(groups.begin(), groups.end(), same);
}

const Identity& CurrentIdentity()
{
    // Like a process's token, the identity is the one the process had at its
    // first registry call (taken anew in a child of fork(), which may have
    // changed it before calling).
    static thread_local Identity who;
    static thread_local std::uint64_t builtIn = ~std::uint64_t{0};
    if (builtIn != ForkGeneration()) {
        who = BuildIdentity();
        builtIn = ForkGeneration();
    }
    return who;
}

Sid MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities)
{
    Sid sid(8 + 4 * subAuthorities.size(), 0);
    sid[0] = SID_REVISION;
    sid[1] = static_cast<BYTE>(subAuthorities.size());
    sid[7] = authority;
    std::size_t at = 8;
    for (DWORD sub : subAuthorities) {
        for (int i = 0; i < 4; ++i) sid[at++] = static_cast<BYTE>(sub >> (8 * i));
    }
    return sid;
}

Sid UserSid(std::uint32_t uid) { return MakeSid(kUnixAuthority, {1, uid}); }
Sid SystemSid() { return MakeSid(kNtAuthority, {18}); }
Sid AdministratorsSid() { return MakeSid(kNtAuthority, {32, 544}); }
Sid UsersSid() { return MakeSid(kNtAuthority, {32, 545}); }
Sid CreatorOwnerSid() { return MakeSid(kCreatorAuthority, {0}); }

Sid DefaultOwner()
{
    const Identity& who = CurrentIdentity();
    return who.administrator ? AdministratorsSid() : who.user;
}

std::string SidText(const Sid& sid)
{
    if (SidLength(sid.data(), sid.size()) == 0) return std::string();
    std::uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[static_cast<std::size_t>(i)];
    std::string text = "S-1-" + std::to_string(authority);
    for (std::size_t i = 0; i < sid[1]; ++i) text += "-" + std::to_string(Get32(&sid[8 + 4 * i]));
    return text;
}

ACCESS_MASK MapGenericKeyRights(ACCESS_MASK mask)
{
    if (mask & GENERIC_READ) mask |= KEY_READ;
    if (mask & GENERIC_WRITE) mask |= KEY_WRITE;
    if (mask & GENERIC_EXECUTE) mask |= KEY_EXECUTE;
    if (mask & GENERIC_ALL) mask |= KEY_ALL_ACCESS;
    return mask & ~static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

LONG CheckAccess(const std::vector<BYTE>& descriptor, const Identity& who, ACCESS_MASK desired,
                 ACCESS_MASK& granted)
{
    const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
    desired = MapGenericKeyRights(desired & ~static_cast<ACCESS_MASK>(MAXIMUM_ALLOWED)) &
              ~static_cast<ACCESS_MASK>(ACCESS_SYSTEM_SECURITY);
    granted = 0;
    const BYTE* d = descriptor.data();
    const std::size_t size = descriptor.size();
    if (size < SECURITY_DESCRIPTOR_MIN_LENGTH) {
        // No descriptor at all: nothing restricts the key.
        granted = maximum ? (kKeyRights & ~static_cast<ACCESS_MASK>(ACCESS_SYSTEM_SECURITY)) | desired : desired;
        return ERROR_SUCCESS;
    }
    WORD control = Get16(d + 2);
    DWORD ownerAt = Get32(d + 4);
    DWORD daclAt = Get32(d + 16);

    bool isOwner = false;
    if (ownerAt != 0 && ownerAt < size) {
        std::size_t n = SidLength(d + ownerAt, size - ownerAt);
        isOwner = n != 0 && who.Has(d + ownerAt, n);
    }
    if ((control & SE_DACL_PRESENT) == 0 || daclAt == 0) {
        // A null DACL grants everything.
        granted = maximum ? kKeyRights & ~static_cast<ACCESS_MASK>(ACCESS_SYSTEM_SECURITY) : desired;
        return ERROR_SUCCESS;
    }
    if (daclAt + 8 > size) return ERROR_ACCESS_DENIED;
    const BYTE* acl = d + daclAt;
    std::size_t aclSize = std::min<std::size_t>(Get16(acl + 2), size - daclAt);
    WORD count = Get16(acl + 4);

    // The owner's implicit rights, unless an OWNER RIGHTS entry decides.
    bool ownerRightsEntry = false;
    for (std::size_t at = 8, i = 0; i < count && at + 8 <= aclSize; ++i) {
        const BYTE* ace = acl + at;
        WORD aceSize = Get16(ace + 2);
        if (aceSize < 8 || at + aceSize > aclSize) break;
        std::size_t n = SidLength(ace + 8, aceSize - 8);
        if (n != 0 && IsOwnerRights(ace + 8, n)) ownerRightsEntry = true;
        at += aceSize;
    }
    ACCESS_MASK allowed = isOwner && !ownerRightsEntry ? kOwnerImplicit : 0;
    ACCESS_MASK denied = 0;
    ACCESS_MASK remaining = desired & ~allowed;

    for (std::size_t at = 8, i = 0; i < count && at + 8 <= aclSize; ++i) {
        const BYTE* ace = acl + at;
        BYTE type = ace[0];
        BYTE flags = ace[1];
        WORD aceSize = Get16(ace + 2);
        if (aceSize < 8 || at + aceSize > aclSize) break;
        at += aceSize;
        if ((flags & INHERIT_ONLY_ACE) != 0) continue;
        if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_DENIED_ACE_TYPE) continue;
        std::size_t n = SidLength(ace + 8, aceSize - 8u);
        if (n == 0) continue;
        bool applies = who.Has(ace + 8, n) || (isOwner && IsOwnerRights(ace + 8, n));
        if (!applies) continue;
        ACCESS_MASK mask = MapGenericKeyRights(Get32(ace + 4));
        if (type == ACCESS_ALLOWED_ACE_TYPE) {
            allowed |= mask & ~denied;
            remaining &= ~mask;
        } else {
            denied |= mask & ~allowed;
            if (!maximum && (mask & remaining) != 0) return ERROR_ACCESS_DENIED;
        }
        if (!maximum && remaining == 0) break;
    }
    if (maximum) {
        if ((desired & ~allowed) != 0) return ERROR_ACCESS_DENIED;
        granted = allowed & kKeyRights;
        if (granted == 0) return ERROR_ACCESS_DENIED;
        return ERROR_SUCCESS;
    }
    if (remaining != 0) return ERROR_ACCESS_DENIED;
    granted = desired;
    return ERROR_SUCCESS;
}

bool EveryLocalUserMayRead(const std::vector<BYTE>& descriptor)
{
    constexpr ACCESS_MASK kRead = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;
    // Anyone: a user no entry names, with the groups every user is in.
    static const Identity anyone = [] {
        Identity who;
        who.groups.push_back(MakeSid(kWorldAuthority, {0}));
        who.groups.push_back(MakeSid(kNtAuthority, {11}));
        who.groups.push_back(UsersSid());
        return who;
    }();
    ACCESS_MASK granted = 0;
    if (CheckAccess(descriptor, anyone, kRead, granted) != ERROR_SUCCESS) return false;
    const BYTE* d = descriptor.data();
    const std::size_t size = descriptor.size();
    if (size < SECURITY_DESCRIPTOR_MIN_LENGTH) return true;
    const DWORD daclAt = Get32(d + 16);
    if ((Get16(d + 2) & SE_DACL_PRESENT) == 0 || daclAt == 0) return true;
    // Some user may be denied what anyone is granted: any entry that denies
    // a right to read (or one of a kind not known here) keeps the key from
    // every user's file.
    const BYTE* acl = d + daclAt;
    const std::size_t aclSize = std::min<std::size_t>(Get16(acl + 2), size - daclAt);
    const WORD count = Get16(acl + 4);
    for (std::size_t at = 8, i = 0; i < count && at + 8 <= aclSize; ++i) {
        const BYTE* ace = acl + at;
        const WORD aceSize = Get16(ace + 2);
        if (aceSize < 8 || at + aceSize > aclSize) return false;
        at += aceSize;
        if ((ace[1] & INHERIT_ONLY_ACE) != 0 || ace[0] == ACCESS_ALLOWED_ACE_TYPE) continue;
        if (ace[0] == SYSTEM_AUDIT_ACE_TYPE) continue;
        if ((MapGenericKeyRights(Get32(ace + 4)) & kRead) != 0 || ace[0] != ACCESS_DENIED_ACE_TYPE) return false;
    }
    return true;
}

}  // namespace netid::posix
