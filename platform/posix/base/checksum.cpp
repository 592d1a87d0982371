// SPDX-License-Identifier: LGPL-2.1-or-later
// CRC-32C over byte ranges. The SSE 4.2 instruction computes it eight bytes
// at a time; processors without it take the byte-wise table.
#include "platform/posix/base/checksum.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <nmmintrin.h>
#endif

namespace netid::posix {
namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78u;  // reflected Castagnoli

std::array<std::uint32_t, 256> MakeTable()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
        table[i] = c;
    }
    return table;
}

std::uint32_t ByTable(std::uint32_t crc, const unsigned char* p, std::size_t n)
{
    static const std::array<std::uint32_t, 256> table = MakeTable();
    while (n-- > 0) crc = table[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t ByInstruction(std::uint32_t crc,
                                                               const unsigned char* p,
                                                               std::size_t n)
{
    std::uint64_t c = crc;
    while (n >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        c = _mm_crc32_u64(c, word);
        p += 8;
        n -= 8;
    }
    auto c32 = static_cast<std::uint32_t>(c);
    while (n-- > 0) c32 = _mm_crc32_u8(c32, *p++);
    return c32;
}

bool HasInstruction()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_SSE4_2) != 0;
}
#endif

}  // namespace

std::uint32_t Crc32c(std::uint32_t crc, const void* data, std::size_t size)
{
    const auto* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
#if defined(__x86_64__)
    static const bool hardware = HasInstruction();
    crc = hardware ? ByInstruction(crc, p, size) : ByTable(crc, p, size);
#else
    crc = ByTable(crc, p, size);
#endif
    return ~crc;
}

std::uint32_t Crc32cByTable(std::uint32_t crc, const void* data, std::size_t size)
{
    return ~ByTable(~crc, static_cast<const unsigned char*>(data), size);
}

bool Crc32cByInstruction(std::uint32_t crc, const void* data, std::size_t size, std::uint32_t& result)
{
#if defined(__x86_64__)
    if (HasInstruction()) {
        result = ~ByInstruction(~crc, static_cast<const unsigned char*>(data), size);
        return true;
    }
#else
    (void)crc;
    (void)data;
    (void)size;
    (void)result;
#endif
    return false;
}

}  // namespace netid::posix
