// SPDX-License-Identifier: LGPL-2.1-or-later
// The command line of regctl: an operation and its arguments, in the forms
// of the Windows reg command. Options start with '/' or '-', in any case;
// --help and --version are understood as well.
#ifndef NETID_TOOLS_REGCTL_ARGS_H
#define NETID_TOOLS_REGCTL_ARGS_H

#include <string>
#include <vector>

#include "tools/regctl/keyname.h"

namespace regctl {

enum class Verb {
    kNone, kAdd, kQuery, kDelete, kCopy, kCompare, kSave, kRestore, kLoad, kUnload, kExport, kImport
};

// What compare shows: /od (the default), /oa, /os, /on.
enum class CompareOutput { kDifferences, kAll, kSame, kNothing };

struct Command {
    Verb verb = Verb::kNone;
    bool help = false;     // /?, -h or --help: print the help of the verb (or the general help)
    bool version = false;  // --version
    KeyName key;
    KeyName key2;  // copy and compare: the second key
    std::string file;
    REGSAM view = 0;  // /reg:32 or /reg:64: KEY_WOW64_32KEY or KEY_WOW64_64KEY
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
    bool force = false;      // /f (add, delete, copy)
    bool overwrite = false;  // /y
    bool recurse = false;    // /s (query, copy, compare)
    // query /f PATTERN [/k] [/v] [/d] [/c] [/e]
    bool find = false;
    std::string pattern;
    bool findKeys = false;
    bool findValueNames = false;
    bool findData = false;
    bool caseSensitive = false;
    bool exact = false;
    CompareOutput compareOutput = CompareOutput::kDifferences;
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
