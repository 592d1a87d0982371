// SPDX-License-Identifier: LGPL-2.1-or-later
// Parsing regctl's command line (args.h): a table of the verbs, with the
// keys and files each takes and the options it accepts, and what each
// option sets in the command.
#include "tools/regctl/args.h"

#include <iterator>

#include "tools/regctl/text.h"

namespace regctl {

namespace {

// What an option sets in the command: `value` is its argument, or null when
// it takes none (or, for query /v, was given none).
using Setter = void (*)(Command& command, const std::string* value);

enum class Argument {
    kNone,
    kRequired,
    kOptional,  // query /v: a name, unless what follows is another option
};

struct OptionEntry {
    const char* name;  // without the leading character, in lower case
    Argument argument;
    Setter set;
};

void SetValueName(Command& c, const std::string* v)
{
    c.hasValueName = true;
    c.valueName = *v;
}
void SetValueNameOrSearch(Command& c, const std::string* v)
{
    if (v == nullptr) {
        c.findValueNames = true;  // query /f ... /v: search value names
    } else {
        SetValueName(c, v);
    }
}
void SetDefaultValue(Command& c, const std::string*) { c.defaultValue = true; }
void SetAllValues(Command& c, const std::string*) { c.allValues = true; }
void SetType(Command& c, const std::string* v)
{
    c.hasType = true;
    c.typeName = *v;
}
void SetSeparator(Command& c, const std::string* v)
{
    c.hasSeparator = true;
    c.separator = *v;
}
void SetData(Command& c, const std::string* v)
{
    c.hasData = true;
    c.data = *v;
}
void SetForce(Command& c, const std::string*) { c.force = true; }
void SetRecurse(Command& c, const std::string*) { c.recurse = true; }
void SetFind(Command& c, const std::string* v)
{
    c.find = true;
    c.pattern = *v;
}
void SetFindKeys(Command& c, const std::string*) { c.findKeys = true; }
void SetFindData(Command& c, const std::string*) { c.findData = true; }
void SetCaseSensitive(Command& c, const std::string*) { c.caseSensitive = true; }
void SetExact(Command& c, const std::string*) { c.exact = true; }
void SetOverwrite(Command& c, const std::string*) { c.overwrite = true; }
void SetView32(Command& c, const std::string*) { c.view = KEY_WOW64_32KEY; }
void SetView64(Command& c, const std::string*) { c.view = KEY_WOW64_64KEY; }
void ShowAll(Command& c, const std::string*) { c.compareOutput = CompareOutput::kAll; }
void ShowDifferences(Command& c, const std::string*) { c.compareOutput = CompareOutput::kDifferences; }
void ShowSame(Command& c, const std::string*) { c.compareOutput = CompareOutput::kSame; }
void ShowNothing(Command& c, const std::string*) { c.compareOutput = CompareOutput::kNothing; }

// Which options each operation takes, and what each does there.
const OptionEntry kAddOptions[] = {
    {"v", Argument::kRequired, SetValueName}, {"ve", Argument::kNone, SetDefaultValue},
    {"t", Argument::kRequired, SetType},      {"s", Argument::kRequired, SetSeparator},
    {"d", Argument::kRequired, SetData},      {"f", Argument::kNone, SetForce},
};
const OptionEntry kQueryOptions[] = {
    {"v", Argument::kOptional, SetValueNameOrSearch}, {"ve", Argument::kNone, SetDefaultValue},
    {"s", Argument::kNone, SetRecurse},               {"se", Argument::kRequired, SetSeparator},
    {"f", Argument::kRequired, SetFind},              {"k", Argument::kNone, SetFindKeys},
    {"d", Argument::kNone, SetFindData},              {"c", Argument::kNone, SetCaseSensitive},
    {"e", Argument::kNone, SetExact},
};
const OptionEntry kDeleteOptions[] = {
    {"v", Argument::kRequired, SetValueName}, {"ve", Argument::kNone, SetDefaultValue},
    {"va", Argument::kNone, SetAllValues},    {"f", Argument::kNone, SetForce},
};
const OptionEntry kCopyOptions[] = {{"s", Argument::kNone, SetRecurse}, {"f", Argument::kNone, SetForce}};
const OptionEntry kCompareOptions[] = {
    {"v", Argument::kRequired, SetValueName}, {"ve", Argument::kNone, SetDefaultValue},
    {"oa", Argument::kNone, ShowAll},         {"od", Argument::kNone, ShowDifferences},
    {"os", Argument::kNone, ShowSame},        {"on", Argument::kNone, ShowNothing},
    {"s", Argument::kNone, SetRecurse},
};
const OptionEntry kOverwriteOptions[] = {{"y", Argument::kNone, SetOverwrite}};
// Every verb takes these as well.
const OptionEntry kViewOptions[] = {{"reg:32", Argument::kNone, SetView32},
                                    {"reg:64", Argument::kNone, SetView64}};

struct VerbEntry {
    Verb verb;
    const char* name;
    int positional;        // the keys and/or the file, before the options
    int keys;              // how many of them, from the first, are key names
    bool allowRemote;      // \\computer\ accepted
    bool hiveRoot;         // the key lies directly beneath HKLM or HKU (load, unload)
    const OptionEntry* options;  // besides kViewOptions
    std::size_t optionCount;
};

const VerbEntry kVerbs[] = {
    {Verb::kAdd, "add", 1, 1, true, false, kAddOptions, std::size(kAddOptions)},
    {Verb::kQuery, "query", 1, 1, true, false, kQueryOptions, std::size(kQueryOptions)},
    {Verb::kDelete, "delete", 1, 1, true, false, kDeleteOptions, std::size(kDeleteOptions)},
    {Verb::kCopy, "copy", 2, 2, true, false, kCopyOptions, std::size(kCopyOptions)},
    {Verb::kCompare, "compare", 2, 2, true, false, kCompareOptions, std::size(kCompareOptions)},
    {Verb::kSave, "save", 2, 1, true, false, kOverwriteOptions, std::size(kOverwriteOptions)},
    {Verb::kRestore, "restore", 2, 1, false, false, nullptr, 0},
    {Verb::kLoad, "load", 2, 1, false, true, nullptr, 0},
    {Verb::kUnload, "unload", 1, 1, false, true, nullptr, 0},
    {Verb::kExport, "export", 2, 1, false, false, kOverwriteOptions, std::size(kOverwriteOptions)},
    {Verb::kImport, "import", 1, 0, false, false, nullptr, 0},
};

const VerbEntry* FindVerb(const std::string& name)
{
    for (const VerbEntry& entry : kVerbs) {
        if (EqualsNoCase(name, entry.name)) {
            return &entry;
        }
    }
    return nullptr;
}

// The option of that name the verb takes, or null.
const OptionEntry* FindOption(const VerbEntry& verb, const std::string& option)
{
    for (std::size_t i = 0; i < verb.optionCount; ++i) {
        if (option == verb.options[i].name) {
            return &verb.options[i];
        }
    }
    for (const OptionEntry& view : kViewOptions) {
        if (option == view.name) {
            return &view;
        }
    }
    return nullptr;
}

bool IsHelpSwitch(const std::string& arg)
{
    return arg == "/?" || arg == "-?" || EqualsNoCase(arg, "/h") || EqualsNoCase(arg, "-h") || arg == "--help";
}

bool IsOption(const std::string& arg) { return arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-'); }

// The option's name without its leading character, in lower case.
std::string OptionName(const std::string& arg) { return ToLower(arg.substr(1)); }

ParseResult SyntaxError(Verb verb)
{
    ParseResult result;
    result.errors.push_back("ERROR: Invalid syntax.");
    std::string usage = verb == Verb::kNone ? "regctl /?" : std::string("regctl ") + VerbName(verb) + " /?";
    result.errors.push_back("Type \"" + usage + "\" for usage.");
    return result;
}

ParseResult KeyNameError(Verb verb)
{
    ParseResult result = SyntaxError(verb);
    result.errors[0] = "ERROR: Invalid key name.";
    return result;
}

// True when `option` may not follow the options `seen`: the same option
// twice, both views, or two of compare's output options.
bool Clashes(const std::vector<std::string>& seen, const std::string& option)
{
    for (const std::string& earlier : seen) {
        if (earlier == option || (earlier.rfind("reg:", 0) == 0 && option.rfind("reg:", 0) == 0) ||
            (earlier.size() == 2 && earlier[0] == 'o' && option.size() == 2 && option[0] == 'o')) {
            return true;
        }
    }
    return false;
}

// The options after the keys and files, into `command`; false on bad syntax.
bool ParseOptions(const VerbEntry& verb, const std::vector<std::string>& args, std::size_t from,
                  Command& command)
{
    std::vector<std::string> seen;
    for (std::size_t i = from; i < args.size(); ++i) {
        if (!IsOption(args[i])) {
            return false;
        }
        std::string name = OptionName(args[i]);
        const OptionEntry* option = FindOption(verb, name);
        if (option == nullptr || Clashes(seen, name)) {
            return false;
        }
        seen.push_back(name);
        const bool next = i + 1 < args.size();
        const std::string* value = nullptr;
        if (option->argument == Argument::kOptional) {
            if (next && !(IsOption(args[i + 1]) && FindOption(verb, OptionName(args[i + 1])) != nullptr)) {
                value = &args[++i];
            }
        } else if (option->argument == Argument::kRequired) {
            if (!next) {
                return false;
            }
            value = &args[++i];
        }
        option->set(command, value);
    }
    return true;
}

// What the options say together: false when they do not fit.
bool OptionsAgree(const Command& command)
{
    // At most one of /v, /ve and /va.
    if (int(command.hasValueName) + int(command.defaultValue) + int(command.allValues) > 1) {
        return false;
    }
    // A separator is one character.
    if (command.hasSeparator && command.separator.size() != 1) {
        return false;
    }
    // The search options belong to /f, which searches on its own.
    if (!command.find && (command.findKeys || command.findValueNames || command.findData ||
                          command.caseSensitive || command.exact)) {
        return false;
    }
    return !(command.find && (command.hasValueName || command.defaultValue));
}

}  // namespace

const char* VerbName(Verb verb)
{
    for (const VerbEntry& entry : kVerbs) {
        if (entry.verb == verb) {
            return entry.name;
        }
    }
    return "";
}

ParseResult ParseCommandLine(const std::vector<std::string>& args)
{
    ParseResult result;
    if (args.empty()) {
        return SyntaxError(Verb::kNone);
    }
    if (IsHelpSwitch(args[0]) || args[0] == "--version") {
        if (args.size() != 1) {
            return SyntaxError(Verb::kNone);
        }
        result.ok = true;
        result.command.help = args[0] != "--version";
        result.command.version = !result.command.help;
        return result;
    }
    const VerbEntry* entry = FindVerb(args[0]);
    if (entry == nullptr) {
        return SyntaxError(Verb::kNone);
    }
    const Verb verb = entry->verb;
    Command& command = result.command;
    command.verb = verb;
    if (args.size() == 2 && IsHelpSwitch(args[1])) {
        command.help = true;
        result.ok = true;
        return result;
    }

    // The keys and files come first, then the options; a file name may look
    // like an option.
    const std::size_t positionalCount = static_cast<std::size_t>(entry->positional);
    const std::size_t keyCount = static_cast<std::size_t>(entry->keys);
    if (args.size() < 1 + positionalCount) {
        return SyntaxError(verb);
    }
    std::vector<std::string> positional(args.begin() + 1, args.begin() + 1 + entry->positional);
    for (std::size_t i = 0; i < keyCount; ++i) {
        if (IsOption(positional[i])) {
            return SyntaxError(verb);
        }
    }
    if (!ParseOptions(*entry, args, 1 + positionalCount, command) || !OptionsAgree(command)) {
        return SyntaxError(verb);
    }

    std::size_t index = 0;
    for (KeyName* key : {&command.key, &command.key2}) {
        if (index == keyCount) {
            break;
        }
        if (!ParseKeyName(positional[index], entry->allowRemote, *key)) {
            return KeyNameError(verb);
        }
        // Another computer's registry offers only these two roots.
        if (!key->computer.empty() && key->root != HKEY_LOCAL_MACHINE && key->root != HKEY_USERS) {
            return KeyNameError(verb);
        }
        ++index;
    }
    if (positionalCount > keyCount) {
        command.file = positional[keyCount];
        if (command.file.empty()) {
            return SyntaxError(verb);
        }
    }
    // Hives are loaded and unloaded directly beneath HKLM or HKU.
    if (entry->hiveRoot && ((command.key.root != HKEY_LOCAL_MACHINE && command.key.root != HKEY_USERS) ||
                            command.key.path.empty())) {
        return KeyNameError(verb);
    }
    result.ok = true;
    return result;
}

}  // namespace regctl
