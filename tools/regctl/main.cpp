// SPDX-License-Identifier: LGPL-2.1-or-later
// regctl: prepares and inspects the registry from the command line, with the
// operations and output of the Windows reg command.
#include <iostream>
#include <string>
#include <vector>

#include "tools/regctl/commands.h"

int main(int argc, char** argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(argv[i]);
    }
    int status = regctl::RunRegctl(args, std::cin, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
