// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading and setting a key's security descriptor through CRegistry.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/win32.h"
#include "registry/registry.h"
#include "support/environment.h"
#include "support/privileges.h"
#include "support/scratch_key.h"

namespace {

using Bytes = std::vector<BYTE>;

DWORD ReadDword(const Bytes& b, size_t at)
{
    DWORD v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}
WORD ReadWord(const Bytes& b, size_t at)
{
    WORD v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}
void PutDword(Bytes& b, size_t at, DWORD v) { std::memcpy(b.data() + at, &v, sizeof v); }
void PutWord(Bytes& b, size_t at, WORD v) { std::memcpy(b.data() + at, &v, sizeof v); }

// SIDs as bytes: Everyone (S-1-1-0) and BUILTIN\Users (S-1-5-32-545).
Bytes EveryoneSid() { return {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}; }
Bytes UsersSid() { return {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0}; }

Bytes Ace(BYTE flags, ACCESS_MASK mask, const Bytes& sid)
{
    Bytes ace(8, 0);
    ace[0] = ACCESS_ALLOWED_ACE_TYPE;
    ace[1] = flags;
    PutWord(ace, 2, static_cast<WORD>(8 + sid.size()));
    PutDword(ace, 4, mask);
    ace.reserve(ace.size() + sid.size());  // spares GCC 12 a false -Warray-bounds at -O2
    ace.insert(ace.end(), sid.begin(), sid.end());
    return ace;
}

// A self-relative descriptor holding only a DACL of the given entries.
Bytes DaclDescriptor(const std::vector<Bytes>& aces)
{
    Bytes acl(8, 0);
    acl[0] = ACL_REVISION;
    for (const Bytes& ace : aces) acl.insert(acl.end(), ace.begin(), ace.end());
    PutWord(acl, 2, static_cast<WORD>(acl.size()));
    PutWord(acl, 4, static_cast<WORD>(aces.size()));
    Bytes sd(20, 0);
    sd[0] = SECURITY_DESCRIPTOR_REVISION;
    PutWord(sd, 2, SE_SELF_RELATIVE | SE_DACL_PRESENT);
    PutDword(sd, 16, 20);
    sd.reserve(sd.size() + acl.size());  // likewise
    sd.insert(sd.end(), acl.begin(), acl.end());
    return sd;
}

// The DACL of a self-relative descriptor, as bytes.
Bytes DaclOf(const Bytes& sd)
{
    if (!(ReadWord(sd, 2) & SE_DACL_PRESENT) || ReadDword(sd, 16) == 0) return Bytes();
    size_t at = ReadDword(sd, 16);
    return Bytes(sd.begin() + at, sd.begin() + at + ReadWord(sd, at + 2));
}

class RegistrySecurity : public ::testing::Test {
protected:
    RegistrySecurity() : m_key("RegistrySecurity")
    {
        EXPECT_TRUE(m_registry.Connect(HKEY_CURRENT_USER, nullptr));
        EXPECT_TRUE(m_registry.OpenKey(m_key.Path().c_str(), KEY_ALL_ACCESS));
    }

    // The key's descriptor with the parts `info` names, read in two steps.
    Bytes Read(SECURITY_INFORMATION info)
    {
        BYTE probe[1] = {0};
        DWORD size = 0;
        EXPECT_FALSE(m_registry.GetKeySecurity(info, probe, &size));
        EXPECT_EQ(m_registry.GetStatus(), ERROR_INSUFFICIENT_BUFFER);
        Bytes sd(size);
        EXPECT_TRUE(m_registry.GetKeySecurity(info, sd.data(), &size));
        sd.resize(size);
        return sd;
    }

    ScratchKey m_key;
    CRegistry m_registry;
};

}  // namespace

TEST_F(RegistrySecurity, NullDescriptorIsRefusedEvenForASizeQuery)
{
    DWORD size = 0;
    EXPECT_FALSE(m_registry.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, &size));
    EXPECT_EQ(m_registry.GetStatus(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(size, 0u);
    SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION;
    EXPECT_FALSE(m_registry.SetKeySecurity(info, nullptr));
    EXPECT_EQ(m_registry.GetStatus(), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistrySecurity, SizeQueryGivesTheSizeNeeded)
{
    const SECURITY_INFORMATION all =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    BYTE small[20] = {0};
    DWORD size = sizeof small;
    EXPECT_FALSE(m_registry.GetKeySecurity(all, small, &size));
    EXPECT_EQ(m_registry.GetStatus(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_GT(size, DWORD(sizeof small));

    Bytes sd(size + 16, 0);
    DWORD given = DWORD(sd.size());
    ASSERT_TRUE(m_registry.GetKeySecurity(all, sd.data(), &given));
    EXPECT_EQ(given, size);
    EXPECT_TRUE(IsValidSecurityDescriptor(sd.data()));
    EXPECT_TRUE(ReadWord(sd, 2) & SE_SELF_RELATIVE);
    EXPECT_NE(ReadDword(sd, 4), 0u) << "an owner";
    EXPECT_NE(ReadDword(sd, 8), 0u) << "a group";
    EXPECT_LE(GetSecurityDescriptorLength(sd.data()), size);
}

TEST_F(RegistrySecurity, DaclSetIsReadBack)
{
    Bytes owner = Read(OWNER_SECURITY_INFORMATION);
    Bytes wanted = DaclDescriptor({Ace(0, KEY_ALL_ACCESS, EveryoneSid()),
                                   Ace(CONTAINER_INHERIT_ACE, KEY_READ, UsersSid())});
    SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION;
    ASSERT_TRUE(m_registry.SetKeySecurity(info, wanted.data())) << m_registry.GetStatus();

    Bytes back = Read(DACL_SECURITY_INFORMATION);
    EXPECT_EQ(DaclOf(back), DaclOf(wanted));
    EXPECT_EQ(ReadDword(back, 4), 0u) << "only the DACL was asked for";
    if (!RunningUnderWine()) {
        // Wine deviation: Wine shows a default owner until a descriptor is
        // first set, and then takes the owner from the caller's token.
        EXPECT_EQ(Read(OWNER_SECURITY_INFORMATION), owner) << "the owner is untouched";
    }
}

TEST_F(RegistrySecurity, MalformedDescriptorIsRefusedAndTheOldOneKept)
{
    Bytes before = Read(DACL_SECURITY_INFORMATION);
    // The entry's SID claims more sub-authorities than the entry holds.
    Bytes bad = DaclDescriptor({Ace(0, KEY_READ, EveryoneSid())});
    bad[20 + 8 + 8 + 1] = 4;
    SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION;
    EXPECT_FALSE(m_registry.SetKeySecurity(info, bad.data()));
    if (RunningUnderWine()) {
        // Wine deviation: Wine reads past the entry and reports ERROR_NOACCESS.
        EXPECT_NE(m_registry.GetStatus(), ERROR_SUCCESS);
    } else {
        EXPECT_EQ(m_registry.GetStatus(), ERROR_INVALID_SECURITY_DESCR);
    }
    EXPECT_EQ(Read(DACL_SECURITY_INFORMATION), before);
}

// The right to a key's SACL is the handle's: granted at opening while
// SeSecurityPrivilege is enabled, and kept after the privilege is disabled.
TEST_F(RegistrySecurity, SaclNeedsAHandleOpenedWithThePrivilege)
{
    if (!SetPrivilege("SeSecurityPrivilege", false)) {
        GTEST_SKIP() << "the token does not hold SeSecurityPrivilege";
    }
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, m_key.Path().c_str(), 0,
                                KEY_READ | ACCESS_SYSTEM_SECURITY, &key);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    if (!RunningUnderWine()) {
        // Wine deviation: Wine grants ACCESS_SYSTEM_SECURITY without the privilege.
        EXPECT_EQ(status, ERROR_PRIVILEGE_NOT_HELD);
    }

    ASSERT_TRUE(SetPrivilege("SeSecurityPrivilege", true));
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, m_key.Path().c_str(), 0,
                            KEY_READ | ACCESS_SYSTEM_SECURITY, &key),
              ERROR_SUCCESS);
    SetPrivilege("SeSecurityPrivilege", false);
    BYTE sd[256];
    DWORD size = sizeof sd;
    EXPECT_EQ(RegGetKeySecurity(key, SACL_SECURITY_INFORMATION, sd, &size), ERROR_SUCCESS);
    RegCloseKey(key);

    // Without that right the SACL stays closed, whatever else the handle may do.
    size = sizeof sd;
    EXPECT_EQ(RegGetKeySecurity(m_key.Handle(), SACL_SECURITY_INFORMATION, sd, &size),
              ERROR_ACCESS_DENIED);
}
