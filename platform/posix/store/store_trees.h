// SPDX-License-Identifier: LGPL-2.1-or-later
// Whole key trees of a hive: copying a key with everything beneath it out of
// the in-memory hive, and adding a tree to a commit. What files the trees
// come from or go to is the hive calls' business.
#ifndef NETID_PLATFORM_POSIX_STORE_TREES_H
#define NETID_PLATFORM_POSIX_STORE_TREES_H

#include "platform/posix/base/reg_tree.h"
#include "platform/posix/store/store_model.h"

namespace netid::posix::store {

// Copies key `id` of `model` and everything beneath it (hives mounted
// beneath it are not part of it: their keys are left out).
void ExportTree(const Model& model, KeyId id, RegTree& out);

// True when a hive is mounted at a key beneath `id` (or at `id`).
bool HasMountBeneath(const Model& model, KeyId id);

// ERROR_BADDB for a tree no hive can hold, put at `depth` below its root:
// an empty or too long name, a backslash in one, two sub-keys or two values
// of one key whose names are the same name, nesting deeper than the
// registry allows.
LONG CheckTree(const RegTree& tree, std::size_t depth);

// Adds the values of `tree` to key `key` and its sub-keys beneath it (a tree
// CheckTree passed): each sub-key keeps its class, time and descriptor (or,
// without one, gets what it inherits from its parent); `volatileKeys` makes
// them volatile.
void ImportTree(Batch& batch, KeyId key, const RegTree& tree, bool volatileKeys);

}  // namespace netid::posix::store

#endif
