// SPDX-License-Identifier: LGPL-2.1-or-later
// The operations of regctl, carried out through CRegistry: the dispatcher
// and each operation (add, delete, hives and .reg files in commands.cpp,
// query in query.cpp, copy and compare in copy.cpp).
#ifndef NETID_TOOLS_REGCTL_COMMANDS_H
#define NETID_TOOLS_REGCTL_COMMANDS_H

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "tools/regctl/args.h"

namespace regctl {

// Runs the tool on the arguments after the program name; returns the exit
// status (0 success, 1 failure; compare: 0 identical, 2 different). Results
// and questions go to `out`, errors to `err`; answers come from `in`.
int RunRegctl(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

// Carries out one parsed command.
int RunCommand(const Command& command, std::istream& in, std::ostream& out, std::ostream& err);

int RunQuery(const Command& command, std::ostream& out, std::ostream& err);
int RunCopy(const Command& command, std::istream& in, std::ostream& out, std::ostream& err);
int RunCompare(const Command& command, std::ostream& out, std::ostream& err);

// The help text of a verb, or the general help for Verb::kNone.
std::string HelpText(Verb verb);
// What --version prints.
std::string VersionText();

}  // namespace regctl

#endif
