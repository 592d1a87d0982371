// SPDX-License-Identifier: LGPL-2.1-or-later
// CRC-32C (Castagnoli), the checksum of the store's records: hardware
// instructions where the processor has them, a table otherwise.
#ifndef NETID_PLATFORM_POSIX_CHECKSUM_H
#define NETID_PLATFORM_POSIX_CHECKSUM_H

#include <cstddef>
#include <cstdint>

namespace netid::posix {

// Continues the CRC-32C `crc` over `size` bytes at `data` (start with 0).
std::uint32_t Crc32c(std::uint32_t crc, const void* data, std::size_t size);

// The two ways Crc32c computes it, each on its own, so that both can be
// checked on a processor that has the instruction: the byte-wise table, and
// the instruction (false from Crc32cByInstruction where the processor lacks it;
// `result` is then left alone).
std::uint32_t Crc32cByTable(std::uint32_t crc, const void* data, std::size_t size);
bool Crc32cByInstruction(std::uint32_t crc, const void* data, std::size_t size, std::uint32_t& result);

}  // namespace netid::posix

#endif
