// SPDX-License-Identifier: LGPL-2.1-or-later
// Little-endian fields at any address, aligned or not: how hive files,
// security descriptors and the store's own files lay out their numbers.
// Only reading and writing them.
#ifndef NETID_PLATFORM_POSIX_BYTE_ORDER_H
#define NETID_PLATFORM_POSIX_BYTE_ORDER_H

#include <cstdint>

#include "platform/posix/windows.h"

namespace netid::posix {

inline WORD Get16(const BYTE* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }

inline DWORD Get32(const BYTE* p)
{
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
           (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
}

inline std::uint64_t Get64(const BYTE* p)
{
    return static_cast<std::uint64_t>(Get32(p)) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}

inline void Put16(BYTE* p, WORD v)
{
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
}

inline void Put32(BYTE* p, DWORD v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

inline void Put64(BYTE* p, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

}  // namespace netid::posix

#endif
