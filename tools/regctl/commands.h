// The operations of regctl, carried out through CRegistry.
#ifndef NETID_TOOLS_REGCTL_COMMANDS_H
#define NETID_TOOLS_REGCTL_COMMANDS_H

#include <ostream>
#include <string>
#include <vector>

#include "tools/regctl/args.h"

namespace regctl {

// Runs the tool on the arguments after the program name; returns the exit
// status (0 success, 1 failure). Results go to `out`, errors to `err`.
int RunRegctl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Carries out one parsed command.
int RunCommand(const Command& command, std::ostream& out, std::ostream& err);

// The text of a status code as the error line shows it (without "ERROR: ").
std::string StatusMessage(LONG status);

// The help text of a verb, or the general help for Verb::kNone.
std::string HelpText(Verb verb);

}  // namespace regctl

#endif
