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

// One entry of an access list, as ForEachAce gives it.
struct Ace {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;        // as stored, generic rights not mapped
    const BYTE* sid;
    std::size_t sidLength;   // 0: no well-formed SID
};

// Calls `visit(ace)` for each entry of the list at `acl` (`aclSize` bytes
// that lie within the descriptor) in order, until it returns false. False
// when an entry does not fit the list: the walk stops there.
template <typename Visit>
bool ForEachAce(const BYTE* acl, std::size_t aclSize, Visit visit)
{
    const WORD count = Get16(acl + 4);
    for (std::size_t at = 8, i = 0; i < count && at + 8 <= aclSize; ++i) {
        const BYTE* entry = acl + at;
        const WORD size = Get16(entry + 2);
        if (size < 8 || at + size > aclSize) return false;
        at += size;
        const Ace ace{entry[0], entry[1], Get32(entry + 4), entry + 8, SidLength(entry + 8, size - 8u)};
        if (!visit(ace)) break;
    }
    return true;
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

    // The owner's implicit rights, unless an OWNER RIGHTS entry decides.
    bool ownerRightsEntry = false;
    ForEachAce(acl, aclSize, [&](const Ace& ace) {
        if (ace.sidLength != 0 && IsOwnerRights(ace.sid, ace.sidLength)) ownerRightsEntry = true;
        return true;
    });
    ACCESS_MASK allowed = isOwner && !ownerRightsEntry ? kOwnerImplicit : 0;
    ACCESS_MASK denied = 0;
    ACCESS_MASK remaining = desired & ~allowed;

    bool refused = false;
    ForEachAce(acl, aclSize, [&](const Ace& ace) {
        if ((ace.flags & INHERIT_ONLY_ACE) != 0) return true;
        if (ace.type != ACCESS_ALLOWED_ACE_TYPE && ace.type != ACCESS_DENIED_ACE_TYPE) return true;
        if (ace.sidLength == 0) return true;
        bool applies = who.Has(ace.sid, ace.sidLength) || (isOwner && IsOwnerRights(ace.sid, ace.sidLength));
        if (!applies) return true;
        ACCESS_MASK mask = MapGenericKeyRights(ace.mask);
        if (ace.type == ACCESS_ALLOWED_ACE_TYPE) {
            allowed |= mask & ~denied;
            remaining &= ~mask;
        } else {
            denied |= mask & ~allowed;
            if (!maximum && (mask & remaining) != 0) {
                refused = true;
                return false;
            }
        }
        return maximum || remaining != 0;
    });
    if (refused) return ERROR_ACCESS_DENIED;
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
    bool open = true;
    const bool wellFormed = ForEachAce(acl, aclSize, [&](const Ace& ace) {
        if ((ace.flags & INHERIT_ONLY_ACE) != 0 || ace.type == ACCESS_ALLOWED_ACE_TYPE ||
            ace.type == SYSTEM_AUDIT_ACE_TYPE) {
            return true;
        }
        open = ace.type == ACCESS_DENIED_ACE_TYPE && (MapGenericKeyRights(ace.mask) & kRead) == 0;
        return open;
    });
    return wellFormed && open;
}

}  // namespace netid::posix
