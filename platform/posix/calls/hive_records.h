// SPDX-License-Identifier: LGPL-2.1-or-later
// What the hive calls keep between calls and processes, and the work a new
// start of the machine brings for hives (started by the call layer,
// reg_handles.cpp):
//   - where a loaded hive came from (its Origin), kept with the key the hive
//     hangs at, so that loading is one step of the store;
//   - pending replacements, in a small record file in the store directory,
//     changed under a lock so that several processes agree on them.
// The hive calls themselves are in reg_hives.cpp.
#ifndef NETID_PLATFORM_POSIX_HIVE_RECORDS_H
#define NETID_PLATFORM_POSIX_HIVE_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <string>
#include <vector>

#include "platform/posix/base/files.h"
#include "platform/posix/base/reg_tree.h"
#include "platform/posix/store/hive_origin.h"
#include "platform/posix/windows.h"

namespace netid::posix::hive {

// Writes `tree` back to the file it came from, in one step, through the
// directory that held it at loading: when that directory is no longer there
// under its name (replaced, or a link planted in its place), nothing is
// written and ERROR_ACCESS_DENIED returned.
LONG WriteBack(const Origin& origin, const RegTree& tree);

// Pending replacements: root, key path, staged copy of the new file, old
// file, boot id at recording.
constexpr const char* kReplacements = "hives.replace";
constexpr std::size_t kReplacementFields = 5;

// The store directory's record file, held under an exclusive lock for the
// life of this object.
class Records {
public:
    Records();
    ~Records();
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;

    bool Ok() const { return m_lock.valid(); }
    const std::string& Dir() const { return m_dir; }
    std::vector<Record> Read(const char* name) const;
    LONG Write(const char* name, const std::vector<Record>& records) const;

private:
    std::string m_dir;
    OwnedFd m_dirFd;
    uid_t m_owner = 0;  // whom the record files must belong to
    OwnedFd m_lock;
};

// The handle of a recorded root ("HKEY_USERS" or "HKEY_LOCAL_MACHINE").
HKEY HiveRootHandle(const std::string& name);

// Takes the hive loaded at `name` below `root` out of the store, writing it
// back to its file first when it changed since loading. ERROR_INVALID_PARAMETER
// when no hive loaded from a file hangs there; with `refuseWhileOpen`,
// ERROR_ACCESS_DENIED while a handle of this process is open inside it.
LONG Unload(HKEY root, const std::u16string& name, bool refuseWhileOpen);

// Carries out the recorded replacements, then takes every hive loaded in an
// earlier start of the machine back to its file, and removes hive files no
// key names any more. Makes registry calls, so it must not run while the
// registry's lock is held. A replacement or unload that cannot be finished
// stays for the next start.
void CarryOutBootWork();

}  // namespace netid::posix::hive

#endif
