// SPDX-License-Identifier: LGPL-2.1-or-later
// The registry's limits, one copy each: the longest key and value names and
// the deepest nesting of keys. Only the numbers; each is checked where it
// applies.
#ifndef NETID_PLATFORM_POSIX_REG_LIMITS_H
#define NETID_PLATFORM_POSIX_REG_LIMITS_H

#include <cstddef>

namespace netid::posix {

// Longest name of one key, in characters.
constexpr std::size_t kMaxKeyNameLength = 255;
// Longest name of a value, in characters.
constexpr std::size_t kMaxValueNameLength = 16383;
// Deepest nesting of keys below a root (hive files carry no deeper trees;
// walks up a key's ancestors stop here).
constexpr std::size_t kMaxDepth = 512;

}  // namespace netid::posix

#endif
