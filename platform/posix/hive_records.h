// The records of loaded hives and pending replacements, kept in two small
// files in the store directory and changed under a lock so that several
// processes agree on them; and the work a new start of the machine brings
// for hives (started by the call layer, reg_handles.cpp). The hive calls
// themselves are in reg_hives.cpp.
#ifndef NETID_PLATFORM_POSIX_HIVE_RECORDS_H
#define NETID_PLATFORM_POSIX_HIVE_RECORDS_H

#include <cstddef>
#include <string>
#include <vector>

#include "platform/posix/windows.h"

namespace netid::posix::hive {

// One record a line, fields apart by tabs; backslash escapes a tab, a line
// end or itself inside a field.
using Record = std::vector<std::string>;

// Loaded hives: root, key name, file, boot id at loading.
constexpr const char* kMounts = "hives.loaded";
constexpr std::size_t kMountFields = 4;
// Pending replacements: root, key path, staged copy of the new file, old
// file, boot id at recording.
constexpr const char* kReplacements = "hives.replace";
constexpr std::size_t kReplacementFields = 5;

// The store directory's record files, held under an exclusive lock for the
// life of this object.
class Records {
public:
    Records();
    ~Records();
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;

    bool Ok() const { return m_lock >= 0; }
    std::string Dir() const { return m_dir; }
    std::vector<Record> Read(const char* name) const;
    LONG Write(const char* name, const std::vector<Record>& records) const;

private:
    std::string m_dir;
    int m_lock = -1;
};

// The handle of a recorded root ("HKEY_USERS" or "HKEY_LOCAL_MACHINE").
HKEY HiveRootHandle(const std::string& name);

// Writes a loaded hive back to its file and takes it out of the store.
LONG Detach(const Record& mount);

// Carries out the recorded replacements, then writes every loaded hive back
// to its file and takes it out of the store. Uses the registry calls, so it
// must not run while the registry's lock is held. A replacement or load that
// cannot be finished stays recorded.
void CarryOutBootWork();

}  // namespace netid::posix::hive

#endif
