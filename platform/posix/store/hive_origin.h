// SPDX-License-Identifier: LGPL-2.1-or-later
// Where a loaded hive came from, kept with the key the hive hangs at so that
// loading is one step of the store; and the line form it is written in,
// shared with the record file of the hive calls (calls/hive_records.h).
#ifndef NETID_PLATFORM_POSIX_STORE_HIVE_ORIGIN_H
#define NETID_PLATFORM_POSIX_STORE_HIVE_ORIGIN_H

#include <cstdint>
#include <string>
#include <vector>

namespace netid::posix::hive {

// Where a loaded hive came from: the file and its directory as they were
// when it was loaded, and the start of the machine it was loaded in.
struct Origin {
    std::string boot;
    std::string file;  // absolute
    std::uint64_t dirDevice = 0, dirInode = 0;
    std::uint64_t fileDevice = 0, fileInode = 0;
};
std::string EncodeOrigin(const Origin& origin);
bool DecodeOrigin(const std::string& text, Origin& origin);

// One record a line, fields apart by tabs; backslash escapes a tab, a line
// end or itself inside a field.
using Record = std::vector<std::string>;

// The records of `text`; a last line without its end was never written
// whole and is dropped.
std::vector<Record> ParseRecords(const std::string& text);
// One record as a line, without its end.
std::string JoinRecord(const Record& record);

}  // namespace netid::posix::hive

#endif
