// The work a new start of the machine brings for hives.
#ifndef NETID_PLATFORM_POSIX_HIVE_BOOT_H
#define NETID_PLATFORM_POSIX_HIVE_BOOT_H

namespace netid::posix::hive {

// Carries out the recorded replacements, then writes every loaded hive back
// to its file and takes it out of the store. Uses the registry calls, so it
// must not run while the store is held. A replacement or load that cannot be
// finished stays recorded.
void CarryOutBootWork();

}  // namespace netid::posix::hive

#endif
