#include "tools/regctl/args.h"

#include "tools/regctl/text.h"

namespace regctl {

namespace {

struct VerbEntry {
    Verb verb;
    const char* name;
};

const VerbEntry kVerbs[] = {
    {Verb::kAdd, "add"},       {Verb::kQuery, "query"},     {Verb::kDelete, "delete"},
    {Verb::kCopy, "copy"},     {Verb::kCompare, "compare"}, {Verb::kSave, "save"},
    {Verb::kRestore, "restore"}, {Verb::kLoad, "load"},     {Verb::kUnload, "unload"},
    {Verb::kExport, "export"}, {Verb::kImport, "import"},
};

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

// Which options each operation takes, and what comes before them.
struct VerbShape {
    int positional;       // the keys and/or the file
    int keys;             // how many of them, from the first, are key names
    bool allowRemote;     // \\computer\ accepted
    const char* options;  // accepted options, blank-separated, with a trailing blank
};

VerbShape ShapeOf(Verb verb)
{
    switch (verb) {
    case Verb::kAdd: return {1, 1, true, "v ve t s d f reg:32 reg:64 "};
    case Verb::kQuery: return {1, 1, true, "v ve s se f k d c e reg:32 reg:64 "};
    case Verb::kDelete: return {1, 1, true, "v ve va f reg:32 reg:64 "};
    case Verb::kCopy: return {2, 2, true, "s f reg:32 reg:64 "};
    case Verb::kCompare: return {2, 2, true, "v ve oa od os on s reg:32 reg:64 "};
    case Verb::kSave: return {2, 1, false, "y reg:32 reg:64 "};
    case Verb::kRestore: return {2, 1, false, "reg:32 reg:64 "};
    case Verb::kLoad: return {2, 1, false, "reg:32 reg:64 "};
    case Verb::kUnload: return {1, 1, false, "reg:32 reg:64 "};
    case Verb::kExport: return {2, 1, false, "y reg:32 reg:64 "};
    case Verb::kImport: return {1, 0, false, "reg:32 reg:64 "};
    case Verb::kNone: break;
    }
    return {0, 0, false, ""};
}

bool Accepts(const VerbShape& shape, const std::string& option)
{
    return std::string(" ").append(shape.options).find(" " + option + " ") != std::string::npos;
}

bool TakesArgument(Verb verb, const std::string& option)
{
    if (option == "v" || option == "t" || option == "se") {
        return true;
    }
    if (option == "f") {
        return verb == Verb::kQuery;  // elsewhere /f forces
    }
    return (option == "d" || option == "s") && verb == Verb::kAdd;
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

    // The keys and files come first, then the options; a file name may look
    // like an option.
    VerbShape shape = ShapeOf(verb);
    if (static_cast<int>(args.size()) < 1 + shape.positional) {
        return SyntaxError(verb);
    }
    std::vector<std::string> positional(args.begin() + 1, args.begin() + 1 + shape.positional);
    for (int i = 0; i < shape.keys; ++i) {
        if (IsOption(positional[i])) {
            return SyntaxError(verb);
        }
    }
    std::vector<std::string> seen;
    bool bareValueName = false;  // query /v without a name: search value names
    for (size_t i = 1 + shape.positional; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!IsOption(arg)) {
            return SyntaxError(verb);
        }
        std::string option = OptionName(arg);
        if (!Accepts(shape, option)) {
            return SyntaxError(verb);
        }
        for (const std::string& earlier : seen) {
            if (earlier == option || (earlier.rfind("reg:", 0) == 0 && option.rfind("reg:", 0) == 0) ||
                (earlier.size() == 2 && earlier[0] == 'o' && option.size() == 2 && option[0] == 'o')) {
                return SyntaxError(verb);  // the same option twice, or two of a kind
            }
        }
        seen.push_back(option);
        std::string value;
        if (TakesArgument(verb, option)) {
            bool next = i + 1 < args.size();
            if (option == "v" && verb == Verb::kQuery &&
                (!next || (IsOption(args[i + 1]) && Accepts(shape, OptionName(args[i + 1]))))) {
                bareValueName = true;
            } else if (!next) {
                return SyntaxError(verb);
            } else {
                value = args[++i];
            }
        }
        if (option == "v" && !bareValueName) {
            command.hasValueName = true;
            command.valueName = value;
        } else if (option == "v") {
            command.findValueNames = true;
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
        } else if (option == "d" && verb == Verb::kAdd) {
            command.hasData = true;
            command.data = value;
        } else if (option == "d") {
            command.findData = true;
        } else if (option == "f" && verb == Verb::kQuery) {
            command.find = true;
            command.pattern = value;
        } else if (option == "f") {
            command.force = true;
        } else if (option == "k") {
            command.findKeys = true;
        } else if (option == "c") {
            command.caseSensitive = true;
        } else if (option == "e") {
            command.exact = true;
        } else if (option == "y") {
            command.overwrite = true;
        } else if (option == "reg:32") {
            command.view = KEY_WOW64_32KEY;
        } else if (option == "reg:64") {
            command.view = KEY_WOW64_64KEY;
        } else if (option == "oa") {
            command.compareOutput = CompareOutput::kAll;
        } else if (option == "od") {
            command.compareOutput = CompareOutput::kDifferences;
        } else if (option == "os") {
            command.compareOutput = CompareOutput::kSame;
        } else if (option == "on") {
            command.compareOutput = CompareOutput::kNothing;
        }
    }
    // At most one of /v, /ve and /va.
    if (int(command.hasValueName) + int(command.defaultValue) + int(command.allValues) > 1) {
        return SyntaxError(verb);
    }
    // A separator is one character.
    if (command.hasSeparator && command.separator.size() != 1) {
        return SyntaxError(verb);
    }
    // The search options belong to /f, which searches on its own.
    if (!command.find && (command.findKeys || command.findValueNames || command.findData ||
                          command.caseSensitive || command.exact)) {
        return SyntaxError(verb);
    }
    if (command.find && (command.hasValueName || command.defaultValue)) {
        return SyntaxError(verb);
    }

    int index = 0;
    for (KeyName* key : {&command.key, &command.key2}) {
        if (index == shape.keys) {
            break;
        }
        if (!ParseKeyName(positional[index], shape.allowRemote, *key)) {
            return KeyNameError(verb);
        }
        // Another computer's registry offers only these two roots.
        if (!key->computer.empty() && key->root != HKEY_LOCAL_MACHINE && key->root != HKEY_USERS) {
            return KeyNameError(verb);
        }
        ++index;
    }
    if (shape.positional > shape.keys) {
        command.file = positional[shape.keys];
        if (command.file.empty()) {
            return SyntaxError(verb);
        }
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
