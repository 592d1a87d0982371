// SPDX-License-Identifier: LGPL-2.1-or-later
// The version resource of setnetid.exe, read back through the platform's own
// version API as Explorer and installers read it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class VersionResource : public ::testing::Test {
protected:
    void SetUp() override
    {
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeA(NETID_SETNETID_EXE, &ignored);
        ASSERT_NE(size, 0u) << NETID_SETNETID_EXE << " has no version resource, error "
                            << GetLastError();
        m_block.resize(size);
        ASSERT_TRUE(GetFileVersionInfoA(NETID_SETNETID_EXE, 0, size, m_block.data()));
    }

    // The value at `path` in the block, or null.
    const void* Query(const std::string& path, UINT* length)
    {
        void* value = nullptr;
        *length = 0;
        if (!VerQueryValueA(m_block.data(), path.c_str(), &value, length)) {
            return nullptr;
        }
        return value;
    }

    std::vector<char> m_block;
};

TEST_F(VersionResource, FixedPartCarriesVersionOneZeroZeroOne)
{
    UINT length = 0;
    auto info = static_cast<const VS_FIXEDFILEINFO*>(Query("\\", &length));
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(info->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(info->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(info->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(info->dwProductVersionLS, 0x00000001u);
    EXPECT_EQ(info->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(info->dwFileFlags & info->dwFileFlagsMask, 0u) << "no debug/pre-release flags";
}

TEST_F(VersionResource, OneTranslationGermanUnicode)
{
    UINT length = 0;
    auto pairs = static_cast<const WORD*>(Query("\\VarFileInfo\\Translation", &length));
    ASSERT_NE(pairs, nullptr);
    ASSERT_EQ(length, 2 * sizeof(WORD));
    EXPECT_EQ(pairs[0], 0x0407);  // German (Germany)
    EXPECT_EQ(pairs[1], 1200);    // Unicode
}

TEST_F(VersionResource, StringsOfTheGermanBlock)
{
    struct Entry {
        const char* name;
        const char* expected;  // null: present and not empty
    };
    const Entry entries[] = {
        {"CompanyName", nullptr},      {"FileDescription", nullptr},
        {"FileVersion", "1, 0, 0, 1"}, {"InternalName", "setnetid"},
        {"LegalCopyright", nullptr},   {"OriginalFilename", "setnetid.exe"},
        {"ProductName", nullptr},      {"ProductVersion", "1, 0, 0, 1"},
    };
    for (const Entry& entry : entries) {
        SCOPED_TRACE(entry.name);
        UINT length = 0;
        auto text = static_cast<const char*>(
            Query(std::string("\\StringFileInfo\\040704b0\\") + entry.name, &length));
        ASSERT_NE(text, nullptr);
        if (entry.expected != nullptr) {
            EXPECT_STREQ(text, entry.expected);
        } else {
            EXPECT_GT(std::string(text).size(), 0u);
        }
    }
}

TEST_F(VersionResource, NoOtherStringBlock)
{
    UINT length = 0;
    EXPECT_EQ(Query("\\StringFileInfo\\040904b0\\FileVersion", &length), nullptr);
    EXPECT_EQ(Query("\\StringFileInfo\\040704e4\\FileVersion", &length), nullptr);
}

}  // namespace
