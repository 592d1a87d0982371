// SPDX-License-Identifier: LGPL-2.1-or-later
// regctl query: one value, a key with its values and sub-keys, a whole tree
// (/s), or a search through the tree (/v NAME /s, /f PATTERN), printed as reg
// prints them.
#include "tools/regctl/access.h"
#include "tools/regctl/commands.h"
#include "tools/regctl/text.h"

namespace regctl {

namespace {

struct QueryState {
    REGSAM view = 0;
    std::string separator;
    int matches = 0;
    bool failed = false;
};

void ReportKeyError(QueryState& state, const KeyName& key, LONG status, std::ostream& err)
{
    state.failed = true;
    err << "ERROR: " << key.FullName() << ": " << StatusMessage(status) << "\n";
}

// Calls `visit` on the key open in `reg` and then on each key beneath it,
// depth first, in the platform's order of sub-keys.
template <typename Visit>
void WalkTree(CRegistry& reg, const KeyName& key, QueryState& state, std::ostream& err, Visit visit)
{
    visit(reg, key);
    std::vector<std::string> subKeys;
    LONG status = ReadSubKeys(reg, subKeys);
    if (status != ERROR_SUCCESS) {
        ReportKeyError(state, key, status, err);
        return;
    }
    for (const std::string& sub : subKeys) {
        KeyName child = ChildOf(key, sub);
        CRegistry subReg;
        status = OpenKeyName(subReg, child, KEY_READ | state.view);
        if (status == ERROR_FILE_NOT_FOUND) {
            continue;  // deleted since the enumeration
        }
        if (status != ERROR_SUCCESS) {
            ReportKeyError(state, child, status, err);
            continue;
        }
        WalkTree(subReg, child, state, err, visit);
    }
}

// A key as reg prints it: its name when it has values (or, with /s, always
// beneath the first key), the values, a blank line; without /s then the
// names of its sub-keys.
void QueryKey(CRegistry& reg, const KeyName& key, bool top, bool recurse, QueryState& state, std::ostream& out,
              std::ostream& err)
{
    std::vector<ValueEntry> values;
    LONG status = ReadAllValues(reg, values);
    if (status != ERROR_SUCCESS) {
        ReportKeyError(state, key, status, err);
        return;
    }
    if (!values.empty() || (recurse && !top)) {
        out << key.FullName() << "\n";
        for (const ValueEntry& value : values) {
            out << FormatValueLine(value.name, value.type, value.data, state.separator) << "\n";
        }
        out << "\n";
    }
    if (recurse) {
        return;
    }
    std::vector<std::string> subKeys;
    status = ReadSubKeys(reg, subKeys);
    if (status != ERROR_SUCCESS) {
        ReportKeyError(state, key, status, err);
        return;
    }
    for (const std::string& sub : subKeys) {
        out << ChildOf(key, sub).FullName() << "\n";
    }
}

// /f: does `text` hold the pattern (with /e: is it the pattern)? '*' stands
// for any text and '?' for any one character; /c compares letter case.
bool Matches(const std::string& pattern, const std::string& text, bool exact, bool caseSensitive)
{
    std::string p = caseSensitive ? pattern : ToLower(pattern);
    std::string t = caseSensitive ? text : ToLower(text);
    if (!exact) {
        p = "*" + p + "*";
    }
    // Wildcard matching with backtracking to the last '*'.
    size_t pi = 0, ti = 0, starP = std::string::npos, starT = 0;
    while (ti < t.size()) {
        if (pi < p.size() && (p[pi] == '?' || p[pi] == t[ti])) {
            ++pi;
            ++ti;
        } else if (pi < p.size() && p[pi] == '*') {
            starP = pi++;
            starT = ti;
        } else if (starP != std::string::npos) {
            pi = starP + 1;
            ti = ++starT;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}

int RunSearch(CRegistry& reg, const Command& command, QueryState& state, std::ostream& out, std::ostream& err)
{
    // Without /k, /v or /d everything is searched.
    bool all = !command.findKeys && !command.findValueNames && !command.findData;
    bool keys = all || command.findKeys;
    bool names = all || command.findValueNames;
    bool data = all || command.findData;
    out << "\n";
    WalkTree(reg, command.key, state, err, [&](CRegistry& at, const KeyName& key) {
        std::vector<ValueEntry> values;
        LONG status = ReadAllValues(at, values);
        if (status != ERROR_SUCCESS) {
            ReportKeyError(state, key, status, err);
            return;
        }
        std::string leaf = key.path.substr(key.path.rfind('\\') + 1);
        bool keyMatches = keys && !key.path.empty() && Matches(command.pattern, leaf, command.exact,
                                                                command.caseSensitive);
        std::vector<const ValueEntry*> found;
        for (const ValueEntry& value : values) {
            std::string shown = FormatValueData(value.type, value.data, state.separator);
            if ((names && Matches(command.pattern, value.name, command.exact, command.caseSensitive)) ||
                (data && Matches(command.pattern, shown, command.exact, command.caseSensitive))) {
                found.push_back(&value);
            }
        }
        if (!keyMatches && found.empty()) {
            return;
        }
        out << key.FullName() << "\n";
        for (const ValueEntry* value : found) {
            out << FormatValueLine(value->name, value->type, value->data, state.separator) << "\n";
        }
        if (!found.empty()) {
            out << "\n";
        }
        state.matches += (keyMatches ? 1 : 0) + static_cast<int>(found.size());
    });
    out << "End of search: " << state.matches << " match(es) found.\n";
    return state.failed || state.matches == 0 ? 1 : 0;
}

}  // namespace

int RunQuery(const Command& command, std::ostream& out, std::ostream& err)
{
    CRegistry reg;
    LONG status = OpenKeyName(reg, command.key, KEY_READ | command.view);
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    QueryState state;
    state.view = command.view;
    state.separator = command.hasSeparator ? command.separator : kDefaultListSeparator;
    if (command.find) {
        return RunSearch(reg, command, state, out, err);
    }
    bool oneValue = command.hasValueName || command.defaultValue;
    std::string name = command.hasValueName ? command.valueName : std::string();

    if (oneValue && command.recurse) {
        out << "\n";
        WalkTree(reg, command.key, state, err, [&](CRegistry& at, const KeyName& key) {
            ValueEntry value;
            LONG got = ReadValue(at, name, value);
            if (got == ERROR_SUCCESS) {
                out << key.FullName() << "\n"
                    << FormatValueLine(value.name, value.type, value.data, state.separator) << "\n\n";
                ++state.matches;
            } else if (got != ERROR_FILE_NOT_FOUND) {
                ReportKeyError(state, key, got, err);
            }
        });
        out << "End of search: " << state.matches << " match(es) found.\n";
        return state.failed ? 1 : 0;
    }
    if (oneValue) {
        ValueEntry value;
        status = ReadValue(reg, name, value);
        if (status == ERROR_FILE_NOT_FOUND && command.defaultValue) {
            // A key without a default value: reg shows it as not set.
            out << "\n" << command.key.FullName() << "\n"
                << "    (Default)    REG_SZ    (value not set)\n\n";
            return 0;
        }
        if (status != ERROR_SUCCESS) {
            return FailStatus(err, status);
        }
        out << "\n" << command.key.FullName() << "\n"
            << FormatValueLine(value.name, value.type, value.data, state.separator) << "\n\n";
        return 0;
    }
    out << "\n";
    if (command.recurse) {
        bool top = true;
        WalkTree(reg, command.key, state, err, [&](CRegistry& at, const KeyName& key) {
            QueryKey(at, key, top, true, state, out, err);
            top = false;
        });
    } else {
        QueryKey(reg, command.key, true, false, state, out, err);
    }
    return state.failed ? 1 : 0;
}

}  // namespace regctl
