// SPDX-License-Identifier: LGPL-2.1-or-later
// Security descriptors of keys: validation of what callers hand in, the
// default a new key gets, merging and extracting parts.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/posix/security/security.h"

using netid::posix::DefaultKeySecurity;
using netid::posix::ExtractSecurity;
using netid::posix::MergeSecurity;
using netid::posix::ValidateSecurityDescriptor;
using Bytes = std::vector<BYTE>;

namespace {

DWORD ReadDword(const Bytes& b, size_t at)
{
    DWORD v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
WORD ReadWord(const Bytes& b, size_t at)
{
    WORD v;
    std::memcpy(&v, b.data() + at, 2);
    return v;
}
void PutDword(Bytes& b, size_t at, DWORD v) { std::memcpy(b.data() + at, &v, 4); }
void PutWord(Bytes& b, size_t at, WORD v) { std::memcpy(b.data() + at, &v, 2); }
void Append(Bytes& out, const Bytes& part)
{
    size_t at = out.size();
    out.resize(at + part.size());
    std::memcpy(out.data() + at, part.data(), part.size());
}

// S-1-5-... as bytes.
Bytes NtSid(std::initializer_list<DWORD> subs)
{
    Bytes sid(8 + 4 * subs.size(), 0);
    sid[0] = 1;
    sid[1] = static_cast<BYTE>(subs.size());
    sid[7] = 5;
    size_t at = 8;
    for (DWORD s : subs) {
        PutDword(sid, at, s);
        at += 4;
    }
    return sid;
}

std::string SidText(const Bytes& b, size_t at)
{
    std::string text = "S-1-" + std::to_string(b[at + 7]);
    for (BYTE i = 0; i < b[at + 1]; ++i) {
        text += "-" + std::to_string(ReadDword(b, at + 8 + 4 * i));
    }
    return text;
}

// A self-relative descriptor: owner, group and a DACL of (flags, mask, sid).
struct AceEntry {
    BYTE flags;
    ACCESS_MASK mask;
    Bytes sid;
};

Bytes MakeDescriptor(const std::vector<AceEntry>& aces, BYTE aclRevision = ACL_REVISION)
{
    Bytes owner = NtSid({32, 544});
    Bytes group = NtSid({18});
    Bytes acl(8, 0);
    acl[0] = aclRevision;
    for (const AceEntry& a : aces) {
        Bytes ace(8, 0);
        ace[1] = a.flags;
        PutWord(ace, 2, static_cast<WORD>(8 + a.sid.size()));
        PutDword(ace, 4, a.mask);
        Append(ace, a.sid);
        Append(acl, ace);
    }
    PutWord(acl, 2, static_cast<WORD>(acl.size()));
    PutWord(acl, 4, static_cast<WORD>(aces.size()));
    Bytes sd(20, 0);
    sd[0] = 1;
    PutWord(sd, 2, SE_SELF_RELATIVE | SE_DACL_PRESENT);
    PutDword(sd, 4, 20);
    Append(sd, owner);
    PutDword(sd, 8, static_cast<DWORD>(sd.size()));
    Append(sd, group);
    PutDword(sd, 16, static_cast<DWORD>(sd.size()));
    Append(sd, acl);
    return sd;
}

// Offsets inside MakeDescriptor's layout with one ACE of a 2-part SID.
const size_t kOwner = 20;
const size_t kDacl = 20 + 16 + 12;
const size_t kAce = kDacl + 8;

}  // namespace

TEST(KernelSecurity, MalformedDescriptorsAreRefused)
{
    const Bytes good = MakeDescriptor({{0, KEY_READ, NtSid({32, 545})}});
    ASSERT_EQ(ValidateSecurityDescriptor(good.data(), DWORD(good.size())), ERROR_SUCCESS);
    ASSERT_EQ(ValidateSecurityDescriptor(good.data(), 0), ERROR_SUCCESS);

    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        DWORD lengthCut;  // bytes taken off the length handed in
    };
    const Case cases[] = {
        {"descriptor revision 2", [](Bytes& b) { b[0] = 2; }, 0},
        {"shorter than a header", [](Bytes&) {}, DWORD(good.size() - 19)},
        {"owner offset beyond the buffer", [](Bytes& b) { PutDword(b, 4, 4000); }, 0},
        {"owner offset inside the header", [](Bytes& b) { PutDword(b, 4, 8); }, 0},
        {"owner SID revision 2", [](Bytes& b) { b[kOwner] = 2; }, 0},
        {"owner SID with 16 sub-authorities", [](Bytes& b) { b[kOwner + 1] = 16; }, 0},
        {"DACL cut off by the length", [](Bytes&) {}, 4},
        {"ACL revision 1", [](Bytes& b) { b[kDacl] = 1; }, 0},
        {"ACL revision 5", [](Bytes& b) { b[kDacl] = 5; }, 0},
        {"AclSize beyond the buffer",
         [](Bytes& b) { PutWord(b, kDacl + 2, ReadWord(b, kDacl + 2) + 4); }, 0},
        {"AclSize below its header", [](Bytes& b) { PutWord(b, kDacl + 2, 4); }, 0},
        {"AclSize not a multiple of four",
         [](Bytes& b) { PutWord(b, kDacl + 2, ReadWord(b, kDacl + 2) - 2); }, 0},
        {"AceCount beyond the entries", [](Bytes& b) { PutWord(b, kDacl + 4, 2); }, 0},
        {"AceSize zero", [](Bytes& b) { PutWord(b, kAce + 2, 0); }, 0},
        {"AceSize beyond the ACL", [](Bytes& b) { PutWord(b, kAce + 2, 64); }, 0},
        {"ACE SID longer than the ACE", [](Bytes& b) { b[kAce + 8 + 1] = 3; }, 0},
    };
    for (const Case& c : cases) {
        Bytes bad = good;
        c.damage(bad);
        DWORD length = DWORD(bad.size()) - c.lengthCut;
        EXPECT_EQ(ValidateSecurityDescriptor(bad.data(), length), ERROR_INVALID_SECURITY_DESCR)
            << c.what;
    }
    EXPECT_EQ(ValidateSecurityDescriptor(nullptr, 0), ERROR_INVALID_SECURITY_DESCR);
}

TEST(KernelSecurity, WellFormedVariantsAreAccepted)
{
    const Bytes good = MakeDescriptor({{0, KEY_READ, NtSid({32, 545})}});
    struct Case {
        const char* what;
        std::function<void(Bytes&)> change;
    };
    const Case cases[] = {
        {"ACL revision 4", [](Bytes& b) { b[kDacl] = ACL_REVISION_DS; }},
        {"ACL revision 3", [](Bytes& b) { b[kDacl] = 3; }},
        {"no owner, no group", [](Bytes& b) { PutDword(b, 4, 0); PutDword(b, 8, 0); }},
        {"a null DACL", [](Bytes& b) { PutDword(b, 16, 0); }},
        {"a DACL not present is not read",
         [](Bytes& b) { PutWord(b, 2, SE_SELF_RELATIVE); PutDword(b, 16, 9999); }},
        {"an ACE of a type of its own", [](Bytes& b) { b[kAce] = 0x30; }},
    };
    for (const Case& c : cases) {
        Bytes variant = good;
        c.change(variant);
        EXPECT_EQ(ValidateSecurityDescriptor(variant.data(), DWORD(variant.size())), ERROR_SUCCESS)
            << c.what;
        EXPECT_TRUE(IsValidSecurityDescriptor(variant.data())) << c.what;
    }
}

TEST(KernelSecurity, AbsoluteDescriptorIsReadThroughItsPointers)
{
    const Bytes relative = MakeDescriptor({{0, KEY_ALL_ACCESS, NtSid({18})}});
    Bytes owner(relative.begin() + 20, relative.begin() + 36);
    Bytes acl(relative.begin() + kDacl, relative.end());
    struct Absolute {
        BYTE Revision;
        BYTE Sbz1;
        WORD Control;
        void* Owner;
        void* Group;
        void* Sacl;
        void* Dacl;
    } absolute{1, 0, SE_DACL_PRESENT, owner.data(), nullptr, nullptr, acl.data()};
    ASSERT_EQ(ValidateSecurityDescriptor(&absolute, 0), ERROR_SUCCESS);
    EXPECT_EQ(GetSecurityDescriptorLength(&absolute), sizeof absolute + owner.size() + acl.size());

    // Merged in, the stored descriptor is self-relative and carries the parts.
    Bytes stored = DefaultKeySecurity(nullptr);
    ASSERT_EQ(MergeSecurity(stored, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &absolute),
              ERROR_SUCCESS);
    DWORD size = 0;
    ASSERT_EQ(ExtractSecurity(stored, DACL_SECURITY_INFORMATION, nullptr, &size),
              ERROR_INSUFFICIENT_BUFFER);
    Bytes out(size);
    ASSERT_EQ(ExtractSecurity(stored, DACL_SECURITY_INFORMATION, out.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(Bytes(out.begin() + ReadDword(out, 16), out.end()), acl);

    absolute.Owner = nullptr;  // the owner is named but missing
    Bytes before = stored;
    EXPECT_NE(MergeSecurity(stored, OWNER_SECURITY_INFORMATION, &absolute), ERROR_SUCCESS);
    EXPECT_EQ(stored, before);
}

TEST(KernelSecurity, RootDefaultAndInheritance)
{
    Bytes root = DefaultKeySecurity(nullptr);
    ASSERT_EQ(ValidateSecurityDescriptor(root.data(), DWORD(root.size())), ERROR_SUCCESS);
    EXPECT_EQ(SidText(root, ReadDword(root, 4)), "S-1-5-32-544");
    EXPECT_EQ(SidText(root, ReadDword(root, 8)), "S-1-5-18");
    size_t dacl = ReadDword(root, 16);
    ASSERT_EQ(ReadWord(root, dacl + 4), 3);
    std::vector<std::pair<std::string, DWORD>> entries;
    size_t at = dacl + 8;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(root[at + 1], CONTAINER_INHERIT_ACE);
        entries.push_back({SidText(root, at + 8), ReadDword(root, at + 4)});
        at += ReadWord(root, at + 2);
    }
    EXPECT_EQ(entries, (std::vector<std::pair<std::string, DWORD>>{
                           {"S-1-5-18", KEY_ALL_ACCESS},
                           {"S-1-5-32-544", KEY_ALL_ACCESS},
                           {"S-1-5-32-545", KEY_READ}}));

    // A parent with one entry of each kind of inheritance.
    Bytes parent = MakeDescriptor({
        {0, 0x1, NtSid({1})},                                              // not inherited
        {CONTAINER_INHERIT_ACE, 0x2, NtSid({2})},                          // inherited, goes on
        {CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE, 0x4, NtSid({3})},  // stops here
        {CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, 0x8, NtSid({4})},       // applies below only
        {OBJECT_INHERIT_ACE, 0x10, NtSid({5})},                            // passes through
    });
    Bytes child = DefaultKeySecurity(&parent);
    ASSERT_EQ(ValidateSecurityDescriptor(child.data(), DWORD(child.size())), ERROR_SUCCESS);
    EXPECT_EQ(SidText(child, ReadDword(child, 4)), "S-1-5-32-544");
    EXPECT_EQ(SidText(child, ReadDword(child, 8)), "S-1-5-18");
    size_t cd = ReadDword(child, 16);
    ASSERT_EQ(ReadWord(child, cd + 4), 4);
    const BYTE expectedFlags[] = {
        CONTAINER_INHERIT_ACE | INHERITED_ACE,
        INHERITED_ACE,
        CONTAINER_INHERIT_ACE | INHERITED_ACE,
        OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE,
    };
    const DWORD expectedMasks[] = {0x2, 0x4, 0x8, 0x10};
    at = cd + 8;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(child[at + 1], expectedFlags[i]) << i;
        EXPECT_EQ(ReadDword(child, at + 4), expectedMasks[i]) << i;
        at += ReadWord(child, at + 2);
    }
    // The grandchild inherits what the child passes on.
    Bytes grandchild = DefaultKeySecurity(&child);
    size_t gd = ReadDword(grandchild, 16);
    EXPECT_EQ(ReadWord(grandchild, gd + 4), 3);
}

TEST(KernelSecurity, ExtractionSizesAndParts)
{
    Bytes stored = DefaultKeySecurity(nullptr);
    struct Case {
        SECURITY_INFORMATION info;
        DWORD size;
    };
    // Header 20; owner S-1-5-32-544 16; group S-1-5-18 12; DACL 8 + 20 + 24 + 24.
    const Case cases[] = {
        {0, 20},
        {OWNER_SECURITY_INFORMATION, 36},
        {GROUP_SECURITY_INFORMATION, 32},
        {DACL_SECURITY_INFORMATION, 96},
        {OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, 124},
    };
    for (const Case& c : cases) {
        DWORD size = 0;
        EXPECT_EQ(ExtractSecurity(stored, c.info, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(size, c.size) << c.info;
        Bytes out(c.size + 8, 0xCC);
        size = c.size - 1;
        if (c.size > 20) {
            EXPECT_EQ(ExtractSecurity(stored, c.info, out.data(), &size), ERROR_INSUFFICIENT_BUFFER);
            EXPECT_EQ(size, c.size);
            EXPECT_EQ(out[0], 0xCC) << "nothing written when it does not fit";
        }
        size = DWORD(out.size());
        ASSERT_EQ(ExtractSecurity(stored, c.info, out.data(), &size), ERROR_SUCCESS);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(ValidateSecurityDescriptor(out.data(), size), ERROR_SUCCESS);
        EXPECT_EQ(GetSecurityDescriptorLength(out.data()), c.size);
        WORD control = ReadWord(out, 2);
        EXPECT_TRUE(control & SE_SELF_RELATIVE);
        EXPECT_EQ((control & SE_DACL_PRESENT) != 0, (c.info & DACL_SECURITY_INFORMATION) != 0);
        EXPECT_EQ(ReadDword(out, 4) != 0, (c.info & OWNER_SECURITY_INFORMATION) != 0);
        EXPECT_EQ(ReadDword(out, 8) != 0, (c.info & GROUP_SECURITY_INFORMATION) != 0);
        EXPECT_EQ(ReadDword(out, 12), 0u);
    }
    EXPECT_EQ(ExtractSecurity(stored, DACL_SECURITY_INFORMATION, nullptr, nullptr), ERROR_NOACCESS);
}

TEST(KernelSecurity, SaclIsMergedAndExtractedOnItsOwn)
{
    Bytes stored = DefaultKeySecurity(nullptr);
    Bytes sacl = MakeDescriptor({{0, KEY_ALL_ACCESS, NtSid({18})}});
    PutWord(sacl, 2, SE_SELF_RELATIVE | SE_SACL_PRESENT);
    PutDword(sacl, 12, ReadDword(sacl, 16));
    PutDword(sacl, 16, 0);
    sacl[kAce] = SYSTEM_AUDIT_ACE_TYPE;

    size_t daclAt = ReadDword(stored, 16);
    Bytes dacl(stored.begin() + daclAt, stored.begin() + daclAt + ReadWord(stored, daclAt + 2));
    ASSERT_EQ(MergeSecurity(stored, SACL_SECURITY_INFORMATION, sacl.data()), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(ExtractSecurity(stored, SACL_SECURITY_INFORMATION, nullptr, &size),
              ERROR_INSUFFICIENT_BUFFER);
    Bytes out(size);
    ASSERT_EQ(ExtractSecurity(stored, SACL_SECURITY_INFORMATION, out.data(), &size), ERROR_SUCCESS);
    EXPECT_TRUE(ReadWord(out, 2) & SE_SACL_PRESENT);
    EXPECT_FALSE(ReadWord(out, 2) & SE_DACL_PRESENT);
    EXPECT_EQ(out[ReadDword(out, 12) + 8], SYSTEM_AUDIT_ACE_TYPE);
    // The DACL is untouched by setting the SACL.
    size = 0;
    ExtractSecurity(stored, DACL_SECURITY_INFORMATION, nullptr, &size);
    Bytes withDacl(size);
    ASSERT_EQ(ExtractSecurity(stored, DACL_SECURITY_INFORMATION, withDacl.data(), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(Bytes(withDacl.begin() + ReadDword(withDacl, 16), withDacl.end()), dacl);
}

TEST(KernelSecurity, MergeReplacesOnlyTheNamedParts)
{
    Bytes stored = DefaultKeySecurity(nullptr);
    Bytes incoming = MakeDescriptor({{0, KEY_READ, NtSid({32, 545})}});
    PutDword(incoming, 4, 36);  // owner: the group's SID, S-1-5-18
    ASSERT_EQ(MergeSecurity(stored, DACL_SECURITY_INFORMATION, incoming.data()), ERROR_SUCCESS);
    EXPECT_EQ(SidText(stored, ReadDword(stored, 4)), "S-1-5-32-544") << "owner kept";
    EXPECT_EQ(ReadWord(stored, ReadDword(stored, 16) + 4), 1) << "DACL replaced";

    Bytes before = stored;
    Bytes bad = incoming;
    bad[kDacl] = 9;
    EXPECT_EQ(MergeSecurity(stored, DACL_SECURITY_INFORMATION, bad.data()),
              ERROR_INVALID_SECURITY_DESCR);
    EXPECT_EQ(stored, before);
    EXPECT_EQ(MergeSecurity(stored, 0, incoming.data()), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(MergeSecurity(stored, DACL_SECURITY_INFORMATION, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(stored, before);

    ASSERT_EQ(MergeSecurity(stored, OWNER_SECURITY_INFORMATION, incoming.data()), ERROR_SUCCESS);
    EXPECT_EQ(SidText(stored, ReadDword(stored, 4)), "S-1-5-18");
    EXPECT_EQ(ReadWord(stored, ReadDword(stored, 16) + 4), 1) << "DACL kept";
}
