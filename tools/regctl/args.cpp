#include "tools/regctl/args.h"

#include "tools/regctl/text.h"

namespace regctl {

namespace {

struct VerbEntry {
    Verb verb;
    const char* name;
};

const VerbEntry kVerbs[] = {
    {Verb::kAdd, "add"},         {Verb::kQuery, "query"},   {Verb::kDelete, "delete"},
    {Verb::kSave, "save"},       {Verb::kRestore, "restore"}, {Verb::kLoad, "load"},
    {Verb::kUnload, "unload"},   {Verb::kExport, "export"}, {Verb::kImport, "import"},
};

bool IsHelpSwitch(const std::string& arg)
{
    return arg == "/?" || arg == "-?" || EqualsNoCase(arg, "/h") || EqualsNoCase(arg, "-h");
}

bool IsOption(const std::string& arg) { return arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-'); }

// The option's name without its leading character, in lower case.
std::string OptionName(const std::string& arg)
{
    std::string name = arg.substr(1);
    for (char& ch : name) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    return name;
}

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

// Which options each operation takes, and how many plain arguments.
struct VerbShape {
    int positional;       // the key and/or the file
    bool keyFirst;        // the first positional argument is a key name
    bool allowRemote;     // \\computer\ accepted
    const char* options;  // accepted options, blank-separated, with a trailing blank
};

VerbShape ShapeOf(Verb verb)
{
    switch (verb) {
    case Verb::kAdd: return {1, true, true, "v ve t s d f "};
    case Verb::kQuery: return {1, true, true, "v ve s se "};
    case Verb::kDelete: return {1, true, true, "v ve va f "};
    case Verb::kSave: return {2, true, false, "y "};
    case Verb::kRestore: return {2, true, false, ""};
    case Verb::kLoad: return {2, true, false, ""};
    case Verb::kUnload: return {1, true, false, ""};
    case Verb::kExport: return {2, true, false, "y "};
    case Verb::kImport: return {1, false, false, ""};
    case Verb::kNone: break;
    }
    return {0, false, false, ""};
}

bool Accepts(const VerbShape& shape, const std::string& option)
{
    return std::string(" ") .append(shape.options).find(" " + option + " ") != std::string::npos;
}

bool TakesArgument(Verb verb, const std::string& option)
{
    if (option == "v" || option == "t" || option == "d" || option == "se") {
        return true;
    }
    return option == "s" && verb == Verb::kAdd;
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
    if (IsHelpSwitch(args[0])) {
        if (args.size() != 1) {
            return SyntaxError(Verb::kNone);
        }
        result.ok = true;
        result.command.help = true;
        return result;
    }
    Verb verb = Verb::kNone;
    for (const VerbEntry& entry : kVerbs) {
        if (EqualsNoCase(args[0], entry.name)) {
            verb = entry.verb;
        }
    }
    if (verb == Verb::kNone) {
        return SyntaxError(Verb::kNone);
    }
    Command& command = result.command;
    command.verb = verb;
    if (args.size() == 2 && IsHelpSwitch(args[1])) {
        command.help = true;
        result.ok = true;
        return result;
    }

    VerbShape shape = ShapeOf(verb);
    std::vector<std::string> positional;
    std::vector<std::string> seen;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // A plain argument, or one that only looks like an option because
        // it is a file name starting with '-' or '/' in a file position.
        if (!IsOption(arg) || (static_cast<int>(positional.size()) < shape.positional &&
                               !Accepts(shape, OptionName(arg)) && !IsHelpSwitch(arg) &&
                               (positional.size() > 0 || !shape.keyFirst))) {
            positional.push_back(arg);
            continue;
        }
        std::string option = OptionName(arg);
        if (!Accepts(shape, option)) {
            return SyntaxError(verb);
        }
        for (const std::string& earlier : seen) {
            if (earlier == option) {
                return SyntaxError(verb);  // the same option twice
            }
        }
        seen.push_back(option);
        std::string value;
        if (TakesArgument(verb, option)) {
            if (i + 1 >= args.size()) {
                return SyntaxError(verb);
            }
            value = args[++i];
        }
        if (option == "v") {
            command.hasValueName = true;
            command.valueName = value;
        } else if (option == "ve") {
            command.defaultValue = true;
        } else if (option == "va") {
            command.allValues = true;
        } else if (option == "t") {
            command.hasType = true;
            command.typeName = value;
        } else if (option == "s" && verb == Verb::kAdd) {
            command.hasSeparator = true;
            command.separator = value;
        } else if (option == "s") {
            command.recurse = true;
        } else if (option == "se") {
            command.hasSeparator = true;
            command.separator = value;
        } else if (option == "d") {
            command.hasData = true;
            command.data = value;
        } else if (option == "f") {
            command.force = true;
        } else if (option == "y") {
            command.overwrite = true;
        }
    }
    if (static_cast<int>(positional.size()) != shape.positional) {
        return SyntaxError(verb);
    }
    // At most one of /v, /ve and /va.
    if (int(command.hasValueName) + int(command.defaultValue) + int(command.allValues) > 1) {
        return SyntaxError(verb);
    }
    // A separator is one character.
    if (command.hasSeparator && command.separator.size() != 1) {
        return SyntaxError(verb);
    }
    if (shape.keyFirst) {
        if (!ParseKeyName(positional[0], shape.allowRemote, command.key)) {
            return KeyNameError(verb);
        }
        // Another computer's registry offers only these two roots.
        if (!command.key.computer.empty() && command.key.root != HKEY_LOCAL_MACHINE &&
            command.key.root != HKEY_USERS) {
            return KeyNameError(verb);
        }
        if (positional.size() > 1) {
            command.file = positional[1];
        }
    } else {
        command.file = positional[0];
    }
    if (command.file.empty() && (verb == Verb::kSave || verb == Verb::kRestore || verb == Verb::kLoad ||
                                 verb == Verb::kExport || verb == Verb::kImport)) {
        return SyntaxError(verb);
    }
    // Hives are loaded and unloaded directly beneath HKLM or HKU.
    if (verb == Verb::kLoad || verb == Verb::kUnload) {
        if ((command.key.root != HKEY_LOCAL_MACHINE && command.key.root != HKEY_USERS) ||
            command.key.path.empty()) {
            return KeyNameError(verb);
        }
    }
    result.ok = true;
    return result;
}

}  // namespace regctl
