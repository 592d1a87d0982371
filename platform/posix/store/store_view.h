// SPDX-License-Identifier: LGPL-2.1-or-later
// A hive's public view: what of a hive every local user may read, in a file
// every local user can read.
//
// The machine's hive (and HKEY_USERS\.DEFAULT) is read by every user, yet a
// key there may have a descriptor that lets only some read it. Such a hive
// is kept in two files: the hive itself (X.hive), which only its owner can
// read, and its view (X-public.hive), which everyone can. The view holds
// every key that lies beneath keys every local user may read, with the
// hive's own ids, names, descriptors, flags and times. Of a key whose
// descriptor does not let every local user read it (EveryLocalUserMayRead)
// the view holds only that: its values, its class and its sub-keys are
// withheld, and the key is marked so (kKeyWithheld).
//
// A process that cannot read the hive reads its view instead; the access
// check then answers ERROR_ACCESS_DENIED for a right to read a withheld
// key, whatever its descriptor grants (the view holds nothing to read).
//
// Writers bring the view along: after each commit of the hive, with the
// hive's lock still held, the keys the commit touched are brought into the
// view as one commit of the view, which notes how many commits of the hive
// it shows (Model::Mirrored). A view that does not show the commit before
// (a writer stopped between the two, a power loss that kept one and not
// the other) is brought in step with the whole hive instead.
#ifndef NETID_PLATFORM_POSIX_STORE_VIEW_H
#define NETID_PLATFORM_POSIX_STORE_VIEW_H

#include <cstdint>

#include "platform/posix/store/store_hive.h"

namespace netid::posix::store {

// The view of hive X is the hive X + kViewSuffix.
constexpr const char* kViewSuffix = "-public";

// Brings `view` in step with `real`, whose commit `payload` took it from
// `seqBefore` commits to real.Seq(): only the keys the commit touched, or
// (no payload, or a view not showing `seqBefore`) the whole hive, which
// `wasWhole` tells. The caller holds the writers' lock of `real`.
LONG ReflectInView(const Model& real, Hive& view, const Bytes* payload, std::uint64_t seqBefore,
                   bool* wasWhole = nullptr);

}  // namespace netid::posix::store

#endif
