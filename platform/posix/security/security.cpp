// SPDX-License-Identifier: LGPL-2.1-or-later
// Security descriptors of keys: the default a new key gets (the one builder
// of the default descriptor), validation of what callers hand in (absolute
// or self-relative), merging the parts a caller sets, and extracting the
// parts a caller asks for; and the two Win32 calls on descriptors.
//
// The right to read or write each part is the handle's (READ_CONTROL,
// WRITE_DAC, WRITE_OWNER, ACCESS_SYSTEM_SECURITY) and is checked by the
// calls (reg_security.cpp) before these are called: a handle opened with
// ACCESS_SYSTEM_SECURITY while SeSecurityPrivilege was enabled keeps its
// right to the SACL after the privilege is disabled again.
//
// Descriptors are read and written byte by byte through their wire layout:
// the buffers callers hand in need not be aligned.
#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "platform/posix/base/byte_order.h"
#include "platform/posix/base/process.h"
#include "platform/posix/security/security.h"
#include "platform/posix/security/access.h"
#include "platform/posix/security/kernel.h"

namespace {

using netid::posix::Get16;
using netid::posix::Get32;
using netid::posix::Put16;
using netid::posix::Put32;

using Bytes = std::vector<BYTE>;

const LONG kErrorInvalidOwner = 1307;
const LONG kErrorInvalidPrimaryGroup = 1308;

const DWORD kProtectedDacl = 0x80000000;
const DWORD kProtectedSacl = 0x40000000;
const DWORD kUnprotectedDacl = 0x20000000;
const DWORD kUnprotectedSacl = 0x10000000;

const WORD kOwnerControl = SE_OWNER_DEFAULTED;
const WORD kGroupControl = SE_GROUP_DEFAULTED;
const WORD kDaclControl = SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_AUTO_INHERITED |
                          SE_DACL_PROTECTED | 0x0100;  // SE_DACL_AUTO_INHERIT_REQ
const WORD kSaclControl = SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_AUTO_INHERITED |
                          SE_SACL_PROTECTED | 0x0200;  // SE_SACL_AUTO_INHERIT_REQ

const size_t kHeaderSize = sizeof(SECURITY_DESCRIPTOR_RELATIVE);  // 20
const size_t kAclHeaderSize = sizeof(ACL);                        // 8
const size_t kUnknown = std::numeric_limits<size_t>::max();

// The absolute form: the same header with pointers in place of offsets.
struct AbsoluteDescriptor {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
};

// Appends `part` to `out`. (Grown and copied by hand: GCC 12 at -O2 and
// above warns falsely about inserting into a vector that small.)
void Append(Bytes& out, const Bytes& part)
{
    size_t at = out.size();
    out.resize(at + part.size());
    if (!part.empty()) {
        std::memcpy(out.data() + at, part.data(), part.size());
    }
}

// ------------------------------------------------------------ parts

// The length of a well-formed SID at `p` with `available` bytes, or 0.
size_t ValidSidLength(const BYTE* p, size_t available)
{
    if (available < 8) {
        return 0;
    }
    BYTE revision = p[0];
    BYTE count = p[1];
    if (revision != SID_REVISION || count > SID_MAX_SUB_AUTHORITIES) {
        return 0;
    }
    size_t length = 8 + 4 * static_cast<size_t>(count);
    return length <= available ? length : 0;
}

// Whether the ACE body after the header (type-specific) is sound: the SID it
// carries lies inside the ACE.
bool ValidAceBody(BYTE type, const BYTE* ace, size_t aceSize)
{
    size_t sidOffset = 0;
    switch (type) {
    case 0x0:   // access allowed
    case 0x1:   // access denied
    case 0x2:   // system audit
    case 0x3:   // system alarm
    case 0x9:   // access allowed, callback
    case 0xA:   // access denied, callback
    case 0xD:   // system audit, callback
    case 0xE:   // system alarm, callback
    case 0x11:  // mandatory label
    case 0x12:  // resource attribute
    case 0x13:  // scoped policy id
        sidOffset = 8;
        break;
    case 0x5:  // the object types: a flags word says which GUIDs follow
    case 0x6:
    case 0x7:
    case 0x8:
    case 0xB:
    case 0xC:
    case 0xF:
    case 0x10: {
        if (aceSize < 12) {
            return false;
        }
        DWORD flags = Get32(ace + 8);
        sidOffset = 12 + ((flags & 1) ? 16 : 0) + ((flags & 2) ? 16 : 0);
        break;
    }
    default:
        return true;  // a type of its own: its body is opaque
    }
    if (aceSize < sidOffset) {
        return false;
    }
    return ValidSidLength(ace + sidOffset, aceSize - sidOffset) != 0;
}

// The size of a well-formed ACL at `p` with `available` bytes, or 0.
size_t ValidAclLength(const BYTE* p, size_t available)
{
    if (available < kAclHeaderSize) {
        return 0;
    }
    BYTE revision = p[0];
    WORD aclSize = Get16(p + 2);
    WORD aceCount = Get16(p + 4);
    if (revision < ACL_REVISION || revision > ACL_REVISION_DS) {
        return 0;
    }
    if (aclSize < kAclHeaderSize || aclSize > available || aclSize % 4 != 0) {
        return 0;
    }
    size_t offset = kAclHeaderSize;
    for (WORD i = 0; i < aceCount; ++i) {
        if (offset + sizeof(ACE_HEADER) > aclSize) {
            return 0;
        }
        const BYTE* ace = p + offset;
        WORD aceSize = Get16(ace + 2);
        if (aceSize < sizeof(ACE_HEADER) || aceSize % 4 != 0 || offset + aceSize > aclSize) {
            return 0;
        }
        if (!ValidAceBody(ace[0], ace, aceSize)) {
            return 0;
        }
        offset += aceSize;
    }
    return aclSize;
}

// ------------------------------------------------------------ a descriptor, taken apart

struct Descriptor {
    WORD control = 0;  // without SE_SELF_RELATIVE
    std::optional<Bytes> owner;
    std::optional<Bytes> group;
    bool saclPresent = false;
    std::optional<Bytes> sacl;  // none while present: a null SACL
    bool daclPresent = false;
    std::optional<Bytes> dacl;  // none while present: a null DACL
};

// Locates a part of a self-relative descriptor; false when its offset lies
// outside. `where` is null for an absent part.
bool RelativePart(const BYTE* base, size_t length, DWORD offset, const BYTE*& where,
                  size_t& available)
{
    where = nullptr;
    available = 0;
    if (offset == 0) {
        return true;
    }
    if (offset < kHeaderSize || (length != kUnknown && offset >= length)) {
        return false;
    }
    where = base + offset;
    available = length == kUnknown ? kUnknown : length - offset;
    return true;
}

bool TakeSid(const BYTE* where, size_t available, std::optional<Bytes>& out)
{
    if (where == nullptr) {
        out.reset();
        return true;
    }
    size_t length = ValidSidLength(where, available);
    if (length == 0) {
        return false;
    }
    out = Bytes(where, where + length);
    return true;
}

bool TakeAcl(const BYTE* where, size_t available, std::optional<Bytes>& out)
{
    if (where == nullptr) {
        out.reset();
        return true;
    }
    size_t length = ValidAclLength(where, available);
    if (length == 0) {
        return false;
    }
    out = Bytes(where, where + length);
    return true;
}

// Takes a descriptor apart, checking every part. `length` bounds a
// self-relative descriptor (kUnknown: no bound is known).
LONG Parse(const void* descriptor, size_t length, Descriptor& out)
{
    if (descriptor == nullptr) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    const BYTE* base = static_cast<const BYTE*>(descriptor);
    if (length != kUnknown && length < kHeaderSize) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    if (base[0] != SECURITY_DESCRIPTOR_REVISION) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    WORD control = Get16(base + 2);
    out = Descriptor();
    out.control = control & ~static_cast<WORD>(SE_SELF_RELATIVE);
    out.saclPresent = (control & SE_SACL_PRESENT) != 0;
    out.daclPresent = (control & SE_DACL_PRESENT) != 0;

    const BYTE* owner = nullptr;
    const BYTE* group = nullptr;
    const BYTE* sacl = nullptr;
    const BYTE* dacl = nullptr;
    size_t ownerAvail = kUnknown, groupAvail = kUnknown, saclAvail = kUnknown,
           daclAvail = kUnknown;
    if (control & SE_SELF_RELATIVE) {
        if (!RelativePart(base, length, Get32(base + 4), owner, ownerAvail) ||
            !RelativePart(base, length, Get32(base + 8), group, groupAvail) ||
            !RelativePart(base, length, out.saclPresent ? Get32(base + 12) : 0, sacl,
                          saclAvail) ||
            !RelativePart(base, length, out.daclPresent ? Get32(base + 16) : 0, dacl,
                          daclAvail)) {
            return ERROR_INVALID_SECURITY_DESCR;
        }
    } else {
        if (length != kUnknown && length < sizeof(AbsoluteDescriptor)) {
            return ERROR_INVALID_SECURITY_DESCR;
        }
        AbsoluteDescriptor absolute;
        std::memcpy(&absolute, base, sizeof absolute);
        owner = static_cast<const BYTE*>(absolute.Owner);
        group = static_cast<const BYTE*>(absolute.Group);
        sacl = reinterpret_cast<const BYTE*>(absolute.Sacl);
        dacl = reinterpret_cast<const BYTE*>(absolute.Dacl);
    }
    // A list that is not present is not read, whatever its field holds.
    if (!out.saclPresent) {
        sacl = nullptr;
    }
    if (!out.daclPresent) {
        dacl = nullptr;
    }
    if (!TakeSid(owner, ownerAvail, out.owner) || !TakeSid(group, groupAvail, out.group)) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    if (!TakeAcl(sacl, saclAvail, out.sacl) || !TakeAcl(dacl, daclAvail, out.dacl)) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    return ERROR_SUCCESS;
}

// Puts a descriptor together in self-relative form with the parts `info`
// names: header, SACL, DACL, owner, group.
Bytes Serialize(const Descriptor& d, SECURITY_INFORMATION info)
{
    bool wantOwner = (info & OWNER_SECURITY_INFORMATION) != 0;
    bool wantGroup = (info & GROUP_SECURITY_INFORMATION) != 0;
    bool wantDacl = (info & DACL_SECURITY_INFORMATION) != 0;
    bool wantSacl = (info & SACL_SECURITY_INFORMATION) != 0;

    WORD control = SE_SELF_RELATIVE;
    if (wantOwner) control |= d.control & kOwnerControl;
    if (wantGroup) control |= d.control & kGroupControl;
    if (wantDacl) control |= d.control & kDaclControl;
    if (wantSacl) control |= d.control & kSaclControl;
    control &= ~static_cast<WORD>(SE_DACL_PRESENT | SE_SACL_PRESENT);
    if (wantDacl && d.daclPresent) control |= SE_DACL_PRESENT;
    if (wantSacl && d.saclPresent) control |= SE_SACL_PRESENT;

    Bytes out(kHeaderSize, 0);
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    auto append = [&out](const std::optional<Bytes>& part, size_t fieldOffset) {
        if (!part) {
            return;
        }
        Put32(out.data() + fieldOffset, static_cast<DWORD>(out.size()));
        Append(out, *part);
    };
    if (wantSacl && d.saclPresent) append(d.sacl, 12);
    if (wantDacl && d.daclPresent) append(d.dacl, 16);
    if (wantOwner) append(d.owner, 4);
    if (wantGroup) append(d.group, 8);
    Put16(out.data() + 2, control);
    return out;
}

const SECURITY_INFORMATION kAllParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                       DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

// ------------------------------------------------------------ the default

Bytes MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities)
{
    Bytes sid(8 + 4 * subAuthorities.size(), 0);
    sid[0] = SID_REVISION;
    sid[1] = static_cast<BYTE>(subAuthorities.size());
    sid[7] = authority;
    size_t offset = 8;
    for (DWORD sub : subAuthorities) {
        Put32(sid.data() + offset, sub);
        offset += 4;
    }
    return sid;
}

const BYTE kNtAuthority = 5;
Bytes SystemSid() { return MakeSid(kNtAuthority, {18}); }               // S-1-5-18
Bytes AdministratorsSid() { return MakeSid(kNtAuthority, {32, 544}); }  // S-1-5-32-544
Bytes UsersSid() { return MakeSid(kNtAuthority, {32, 545}); }           // S-1-5-32-545

Bytes MakeAce(BYTE type, BYTE flags, ACCESS_MASK mask, const Bytes& sid)
{
    Bytes ace(8, 0);
    ace[0] = type;
    ace[1] = flags;
    Put16(ace.data() + 2, static_cast<WORD>(8 + sid.size()));
    Put32(ace.data() + 4, mask);
    Append(ace, sid);
    return ace;
}

Bytes MakeAcl(BYTE revision, const std::vector<Bytes>& aces)
{
    Bytes acl(kAclHeaderSize, 0);
    acl[0] = revision;
    for (const Bytes& ace : aces) {
        Append(acl, ace);
    }
    Put16(acl.data() + 2, static_cast<WORD>(acl.size()));
    Put16(acl.data() + 4, static_cast<WORD>(aces.size()));
    return acl;
}

// The default of a fresh registry, and the one default descriptor of this
// platform layer: owner Administrators, group SYSTEM; SYSTEM and
// Administrators have full access, Users may read; all entries inherited by
// sub-keys.
Descriptor RootDefault()
{
    Descriptor d;
    d.owner = AdministratorsSid();
    d.group = SystemSid();
    d.daclPresent = true;
    d.dacl = MakeAcl(ACL_REVISION,
                     {MakeAce(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS,
                              SystemSid()),
                      MakeAce(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS,
                              AdministratorsSid()),
                      MakeAce(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_READ,
                              UsersSid())});
    d.control = SE_DACL_PRESENT;
    return d;
}

// The entries of a parent's ACL that a new sub-key inherits. A key is a
// container: entries inherited by containers apply to it (and go on being
// inherited unless propagation stops here); entries inherited only by
// objects pass through it, inherit-only, to whatever lies beneath.
std::vector<Bytes> InheritedAces(const Bytes& acl)
{
    std::vector<Bytes> out;
    WORD count = Get16(acl.data() + 4);
    size_t offset = kAclHeaderSize;
    for (WORD i = 0; i < count; ++i) {
        const BYTE* ace = acl.data() + offset;
        WORD aceSize = Get16(ace + 2);
        BYTE flags = ace[1];
        offset += aceSize;
        BYTE inherited = 0;
        if (flags & CONTAINER_INHERIT_ACE) {
            inherited = flags & ~static_cast<BYTE>(INHERIT_ONLY_ACE);
            if (flags & NO_PROPAGATE_INHERIT_ACE) {
                inherited &= ~static_cast<BYTE>(CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE |
                                                 NO_PROPAGATE_INHERIT_ACE);
            }
        } else if ((flags & OBJECT_INHERIT_ACE) && !(flags & NO_PROPAGATE_INHERIT_ACE)) {
            inherited = flags | INHERIT_ONLY_ACE;
        } else {
            continue;
        }
        Bytes copy(ace, ace + aceSize);
        copy[1] = inherited | INHERITED_ACE;
        out.push_back(std::move(copy));
    }
    return out;
}

bool ParseStored(const Bytes& stored, Descriptor& out)
{
    if (stored.empty() || Parse(stored.data(), stored.size(), out) != ERROR_SUCCESS) {
        out = RootDefault();
        return false;
    }
    return true;
}

}  // namespace

namespace netid::posix {

namespace {
std::vector<BYTE> BuildDefaultKeySecurity(const std::vector<BYTE>* parent, const std::vector<BYTE>* owner);
}

std::vector<BYTE> DefaultKeySecurity(const std::vector<BYTE>* parent, const std::vector<BYTE>* owner)
{
    // Keys are made beneath few distinct parents' descriptors: the last few
    // answers are kept.
    struct Entry {
        std::vector<BYTE> parent;
        bool hasParent;
        std::vector<BYTE> owner;
        std::vector<BYTE> result;
    };
    static thread_local std::vector<Entry> recent;
    const std::vector<BYTE> noOwner;
    const std::vector<BYTE>& ownerBytes = owner != nullptr ? *owner : noOwner;
    for (const Entry& e : recent) {
        if (e.hasParent == (parent != nullptr) && (parent == nullptr || e.parent == *parent) &&
            e.owner == ownerBytes) {
            return e.result;
        }
    }
    std::vector<BYTE> result = BuildDefaultKeySecurity(parent, owner);
    if (recent.size() >= 8) recent.erase(recent.begin());
    recent.push_back({parent != nullptr ? *parent : std::vector<BYTE>(), parent != nullptr, ownerBytes, result});
    return result;
}

namespace {
std::vector<BYTE> BuildDefaultKeySecurity(const std::vector<BYTE>* parent, const std::vector<BYTE>* owner)
{
    Descriptor parentDescriptor;
    if (parent == nullptr || !ParseStored(*parent, parentDescriptor)) {
        Descriptor root = RootDefault();
        if (owner != nullptr && !owner->empty()) root.owner = *owner;
        return Serialize(root, kAllParts);
    }
    Descriptor child;
    child.owner = parentDescriptor.owner ? parentDescriptor.owner : AdministratorsSid();
    if (owner != nullptr && !owner->empty()) child.owner = *owner;
    child.group = parentDescriptor.group ? parentDescriptor.group : SystemSid();

    std::vector<Bytes> daclAces;
    if (parentDescriptor.daclPresent && parentDescriptor.dacl) {
        daclAces = InheritedAces(*parentDescriptor.dacl);
    }
    if (!daclAces.empty()) {
        child.dacl = MakeAcl((*parentDescriptor.dacl)[0], daclAces);
        child.control |= SE_DACL_AUTO_INHERITED;
    } else {
        // Nothing to inherit: the key gets the default entries.
        child.dacl = RootDefault().dacl;
    }
    child.daclPresent = true;
    child.control |= SE_DACL_PRESENT;

    if (parentDescriptor.saclPresent && parentDescriptor.sacl) {
        std::vector<Bytes> saclAces = InheritedAces(*parentDescriptor.sacl);
        if (!saclAces.empty()) {
            child.sacl = MakeAcl((*parentDescriptor.sacl)[0], saclAces);
            child.saclPresent = true;
            child.control |= SE_SACL_PRESENT | SE_SACL_AUTO_INHERITED;
        }
    }
    return Serialize(child, kAllParts);
}

}  // namespace

std::vector<BYTE> OwnedHiveSecurity(const std::vector<BYTE>& owner)
{
    Descriptor d;
    d.owner = owner;
    d.group = owner;
    d.daclPresent = true;
    d.dacl = MakeAcl(ACL_REVISION,
                     {MakeAce(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, owner),
                      MakeAce(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS, SystemSid()),
                      MakeAce(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_ALL_ACCESS,
                              AdministratorsSid())});
    d.control = SE_DACL_PRESENT;
    return Serialize(d, kAllParts);
}

LONG ValidateSecurityDescriptor(const void* descriptor, DWORD length)
{
    Descriptor parsed;
    return Parse(descriptor, length == 0 ? kUnknown : length, parsed);
}

LONG CheckOwnerAssignable(const void* incoming)
{
    Descriptor update;
    if (incoming == nullptr || Parse(incoming, kUnknown, update) != ERROR_SUCCESS) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    if (!update.owner) {
        return kErrorInvalidOwner;
    }
    if (PrivilegeEnabled(SE_RESTORE_NAME) || PrivilegeEnabled("SeTakeOwnershipPrivilege")) {
        return ERROR_SUCCESS;
    }
    const Identity& me = CurrentIdentity();
    if (*update.owner == me.user || (me.administrator && *update.owner == AdministratorsSid())) {
        return ERROR_SUCCESS;
    }
    return kErrorInvalidOwner;
}

LONG MergeSecurity(std::vector<BYTE>& stored, SECURITY_INFORMATION info, const void* incoming)
{
    if ((info & kAllParts) == 0 || incoming == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Descriptor update;
    if (Parse(incoming, kUnknown, update) != ERROR_SUCCESS) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    if ((info & OWNER_SECURITY_INFORMATION) && !update.owner) {
        return kErrorInvalidOwner;
    }
    if ((info & GROUP_SECURITY_INFORMATION) && !update.group) {
        return kErrorInvalidPrimaryGroup;
    }

    Descriptor result;
    ParseStored(stored, result);
    if (info & OWNER_SECURITY_INFORMATION) {
        result.owner = update.owner;
        result.control = (result.control & ~kOwnerControl) | (update.control & kOwnerControl);
    }
    if (info & GROUP_SECURITY_INFORMATION) {
        result.group = update.group;
        result.control = (result.control & ~kGroupControl) | (update.control & kGroupControl);
    }
    if (info & DACL_SECURITY_INFORMATION) {
        result.daclPresent = update.daclPresent;
        result.dacl = update.dacl;
        result.control = (result.control & ~kDaclControl) | (update.control & kDaclControl);
        if (info & kProtectedDacl) result.control |= SE_DACL_PROTECTED;
        if (info & kUnprotectedDacl) result.control &= ~static_cast<WORD>(SE_DACL_PROTECTED);
    }
    if (info & SACL_SECURITY_INFORMATION) {
        result.saclPresent = update.saclPresent;
        result.sacl = update.sacl;
        result.control = (result.control & ~kSaclControl) | (update.control & kSaclControl);
        if (info & kProtectedSacl) result.control |= SE_SACL_PROTECTED;
        if (info & kUnprotectedSacl) result.control &= ~static_cast<WORD>(SE_SACL_PROTECTED);
    }
    stored = Serialize(result, kAllParts);
    return ERROR_SUCCESS;
}

LONG ExtractSecurity(const std::vector<BYTE>& stored, SECURITY_INFORMATION info,
                     PSECURITY_DESCRIPTOR out, LPDWORD size)
{
    if (size == nullptr) {
        return ERROR_NOACCESS;
    }
    Descriptor parsed;
    ParseStored(stored, parsed);
    Bytes part = Serialize(parsed, info);
    DWORD needed = static_cast<DWORD>(part.size());
    if (*size < needed) {
        *size = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (out == nullptr) {
        return ERROR_NOACCESS;
    }
    std::memcpy(out, part.data(), part.size());
    *size = needed;
    return ERROR_SUCCESS;
}

}  // namespace netid::posix

BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor)
{
    if (netid::posix::ValidateSecurityDescriptor(pSecurityDescriptor, 0) != ERROR_SUCCESS) {
        netid::posix::SetLastErrorCode(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor)
{
    // The header and each part rounded up to four bytes; for a
    // self-relative descriptor never less than the span its parts occupy,
    // so that copying this many bytes always takes the whole descriptor.
    Descriptor parsed;
    if (Parse(pSecurityDescriptor, kUnknown, parsed) != ERROR_SUCCESS) {
        return 0;
    }
    const BYTE* base = static_cast<const BYTE*>(pSecurityDescriptor);
    bool relative = (Get16(base + 2) & SE_SELF_RELATIVE) != 0;
    auto rounded = [](size_t n) { return (n + 3) & ~static_cast<size_t>(3); };
    size_t length = relative ? kHeaderSize : sizeof(AbsoluteDescriptor);
    size_t span = kHeaderSize;
    auto add = [&](const std::optional<Bytes>& part, size_t fieldOffset) {
        if (!part) {
            return;
        }
        length += rounded(part->size());
        if (relative) {
            span = std::max(span, Get32(base + fieldOffset) + part->size());
        }
    };
    add(parsed.owner, 4);
    add(parsed.group, 8);
    if (parsed.saclPresent) add(parsed.sacl, 12);
    if (parsed.daclPresent) add(parsed.dacl, 16);
    return static_cast<DWORD>(std::max(length, span));
}
