// The command line of regctl: an operation and its arguments, in the forms
// of the Windows reg command. Options start with '/' or '-', in any case.
#ifndef NETID_TOOLS_REGCTL_ARGS_H
#define NETID_TOOLS_REGCTL_ARGS_H

#include <string>
#include <vector>

#include "tools/regctl/keyname.h"

namespace regctl {

enum class Verb { kNone, kAdd, kQuery, kDelete, kSave, kRestore, kLoad, kUnload, kExport, kImport };

struct Command {
    Verb verb = Verb::kNone;
    bool help = false;  // /? given: print the help of the verb (or the general help)
    KeyName key;
    std::string file;
    bool hasValueName = false;  // /v NAME
    std::string valueName;
    bool defaultValue = false;  // /ve
    bool allValues = false;     // /va
    bool hasType = false;       // /t TYPE
    std::string typeName;
    bool hasSeparator = false;  // /s SEPARATOR (add), /se SEPARATOR (query)
    std::string separator;
    bool hasData = false;  // /d DATA
    std::string data;
    bool force = false;      // /f
    bool overwrite = false;  // /y
    bool recurse = false;    // /s (query)
};

struct ParseResult {
    bool ok = false;
    Command command;
    // On failure, the lines for standard error: "ERROR: ..." and, for bad
    // syntax, the hint where to find the usage.
    std::vector<std::string> errors;
};

// The verb's name as the help texts spell it, e.g. "add"; "" for kNone.
const char* VerbName(Verb verb);

// Parses the arguments after the program name.
ParseResult ParseCommandLine(const std::vector<std::string>& args);

}  // namespace regctl

#endif
