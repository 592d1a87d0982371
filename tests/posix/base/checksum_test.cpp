// SPDX-License-Identifier: LGPL-2.1-or-later
// CRC-32C of the store's records: the known value of the check string, and
// the table and the instruction agreeing at every length and alignment, also
// when a range is checksummed in pieces.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/posix/base/checksum.h"

namespace {

using netid::posix::Crc32c;
using netid::posix::Crc32cByInstruction;
using netid::posix::Crc32cByTable;

TEST(Crc32cTest, KnownValues)
{
    const char check[] = "123456789";
    EXPECT_EQ(Crc32c(0, check, 9), 0xE3069283u);
    EXPECT_EQ(Crc32cByTable(0, check, 9), 0xE3069283u);
    EXPECT_EQ(Crc32c(0, check, 0), 0u);
    // 32 zero bytes, a known value of the Castagnoli polynomial.
    std::vector<unsigned char> zeros(32, 0);
    EXPECT_EQ(Crc32c(0, zeros.data(), zeros.size()), 0x8A9136AAu);
    std::uint32_t byInstruction = 0;
    if (!Crc32cByInstruction(0, check, 9, byInstruction)) {
        GTEST_SKIP() << "this processor has no CRC-32C instruction: only the table was checked";
    }
    EXPECT_EQ(byInstruction, 0xE3069283u);
}

TEST(Crc32cTest, TableAndInstructionAgreeAtEveryLengthAndOffset)
{
    std::vector<unsigned char> data(96);
    std::uint32_t seed = 12345;
    for (auto& byte : data) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(seed >> 16);
    }
    std::uint32_t probe = 0;
    if (!Crc32cByInstruction(0, data.data(), 1, probe)) {
        GTEST_SKIP() << "this processor has no CRC-32C instruction";
    }
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t size = 0; offset + size <= data.size(); ++size) {
            const unsigned char* p = data.data() + offset;
            std::uint32_t byTable = Crc32cByTable(0, p, size);
            std::uint32_t byInstruction = 0;
            ASSERT_TRUE(Crc32cByInstruction(0, p, size, byInstruction));
            ASSERT_EQ(byTable, byInstruction) << "offset " << offset << " size " << size;
            // In two pieces, continuing from the first's result.
            std::size_t half = size / 3;
            ASSERT_EQ(Crc32c(Crc32c(0, p, half), p + half, size - half), byTable)
                << "offset " << offset << " size " << size;
        }
    }
}

}  // namespace
