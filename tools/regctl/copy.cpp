// SPDX-License-Identifier: LGPL-2.1-or-later
// regctl copy and compare: two keys side by side, their values and, with /s,
// everything beneath them.
#include <algorithm>
#include <map>

#include "tools/regctl/access.h"
#include "tools/regctl/commands.h"
#include "tools/regctl/text.h"

namespace regctl {

namespace {

bool SameKey(const KeyName& a, const KeyName& b)
{
    return a.root == b.root && EqualsNoCase(a.computer, b.computer) && EqualsNoCase(a.path, b.path);
}

bool IsBeneath(const KeyName& inner, const KeyName& outer)
{
    return inner.root == outer.root && EqualsNoCase(inner.computer, outer.computer) &&
           (outer.path.empty() ||
            (inner.path.size() > outer.path.size() && inner.path[outer.path.size()] == '\\' &&
             EqualsNoCase(inner.path.substr(0, outer.path.size()), outer.path)));
}

// ------------------------------------------------------------------ copy

struct CopyState {
    const Command* command;
    std::istream* in;
    std::ostream* out;
    bool declined = false;
};

LONG CopyTree(CRegistry& source, const KeyName& from, const KeyName& to, CopyState& state)
{
    const Command& command = *state.command;
    CRegistry target;
    if (!target.Connect(to.root, to.computer.empty() ? nullptr : to.computer.c_str()) ||
        !target.CreateKey(to.path.c_str(), nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE | command.view,
                          nullptr, nullptr)) {
        return target.GetStatus();
    }
    std::vector<ValueEntry> values;
    LONG status = ReadAllValues(source, values);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    for (const ValueEntry& value : values) {
        if (!command.force) {
            ValueEntry existing;
            status = ReadValue(target, value.name, existing);
            if (status == ERROR_SUCCESS &&
                !Confirm("Value " + (value.name.empty() ? std::string("(Default)") : value.name) + " exists in " +
                             to.FullName() + ", overwrite",
                         *state.in, *state.out)) {
                state.declined = true;
                continue;
            }
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
                return status;
            }
        }
        BYTE none = 0;
        if (!target.SetValue(value.name.c_str(), value.type, value.data.empty() ? &none : value.data.data(),
                             static_cast<DWORD>(value.data.size()))) {
            return target.GetStatus();
        }
    }
    if (!command.recurse) {
        return ERROR_SUCCESS;
    }
    std::vector<std::string> subKeys;
    status = ReadSubKeys(source, subKeys);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    for (const std::string& sub : subKeys) {
        CRegistry child;
        status = OpenKeyName(child, ChildOf(from, sub), KEY_READ | command.view);
        if (status == ERROR_FILE_NOT_FOUND) {
            continue;  // deleted since the enumeration
        }
        if (status == ERROR_SUCCESS) {
            status = CopyTree(child, ChildOf(from, sub), ChildOf(to, sub), state);
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
    }
    return ERROR_SUCCESS;
}

// ------------------------------------------------------------------ compare

struct CompareState {
    const Command* command;
    std::ostream* out;
    bool different = false;
};

std::string ValueText(const KeyName& key, const ValueEntry& value)
{
    return key.FullName() + FormatValueLine(value.name, value.type, value.data);
}

void Show(CompareState& state, char mark, const std::string& text, bool difference)
{
    CompareOutput shown = state.command->compareOutput;
    if (difference) {
        state.different = true;
    }
    if (shown == CompareOutput::kAll || (difference && shown == CompareOutput::kDifferences) ||
        (!difference && shown == CompareOutput::kSame)) {
        *state.out << mark << " " << text << "\n";
    }
}

LONG ReadCompared(CRegistry& reg, const Command& command, std::vector<ValueEntry>& values)
{
    if (!command.hasValueName && !command.defaultValue) {
        return ReadAllValues(reg, values);
    }
    ValueEntry value;
    LONG status = ReadValue(reg, command.hasValueName ? command.valueName : std::string(), value);
    if (status == ERROR_SUCCESS) {
        values.push_back(value);
    }
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

LONG CompareTree(CRegistry& first, const KeyName& one, CRegistry& second, const KeyName& two, CompareState& state)
{
    const Command& command = *state.command;
    std::vector<ValueEntry> left;
    std::vector<ValueEntry> right;
    LONG status = ReadCompared(first, command, left);
    if (status == ERROR_SUCCESS) {
        status = ReadCompared(second, command, right);
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    // Value names compare without regard to letter case, as the registry's do.
    std::map<std::string, const ValueEntry*> others;
    for (const ValueEntry& value : right) {
        others[ToUpper(value.name)] = &value;
    }
    for (const ValueEntry& value : left) {
        auto match = others.find(ToUpper(value.name));
        if (match == others.end()) {
            Show(state, '<', ValueText(one, value), true);
            continue;
        }
        const ValueEntry& other = *match->second;
        if (other.type == value.type && other.data == value.data) {
            Show(state, '=', ValueText(one, value), false);
        } else {
            Show(state, '<', ValueText(one, value), true);
            Show(state, '>', ValueText(two, other), true);
        }
        others.erase(match);
    }
    for (const ValueEntry& value : right) {
        if (others.count(ToUpper(value.name)) != 0) {
            Show(state, '>', ValueText(two, value), true);
        }
    }
    if (command.hasValueName || command.defaultValue) {
        return ERROR_SUCCESS;
    }

    std::vector<std::string> leftKeys;
    std::vector<std::string> rightKeys;
    status = ReadSubKeys(first, leftKeys);
    if (status == ERROR_SUCCESS) {
        status = ReadSubKeys(second, rightKeys);
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    auto contains = [](const std::vector<std::string>& names, const std::string& name) {
        return std::any_of(names.begin(), names.end(),
                           [&](const std::string& each) { return EqualsNoCase(each, name); });
    };
    for (const std::string& sub : leftKeys) {
        if (!contains(rightKeys, sub)) {
            Show(state, '<', ChildOf(one, sub).FullName(), true);
        } else if (command.recurse) {
            CRegistry a;
            CRegistry b;
            status = OpenKeyName(a, ChildOf(one, sub), KEY_READ | command.view);
            if (status == ERROR_SUCCESS) {
                status = OpenKeyName(b, ChildOf(two, sub), KEY_READ | command.view);
            }
            if (status == ERROR_SUCCESS) {
                status = CompareTree(a, ChildOf(one, sub), b, ChildOf(two, sub), state);
            }
            if (status != ERROR_SUCCESS) {
                return status;
            }
        } else {
            Show(state, '=', ChildOf(one, sub).FullName(), false);
        }
    }
    for (const std::string& sub : rightKeys) {
        if (!contains(leftKeys, sub)) {
            Show(state, '>', ChildOf(two, sub).FullName(), true);
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace

int RunCopy(const Command& command, std::istream& in, std::ostream& out, std::ostream& err)
{
    if (SameKey(command.key, command.key2)) {
        return Fail(err, "The source and destination keys cannot be the same.");
    }
    if (command.recurse && IsBeneath(command.key2, command.key)) {
        return Fail(err, "The destination key cannot be beneath the source key when copying with /s.");
    }
    CRegistry source;
    LONG status = OpenKeyName(source, command.key, KEY_READ | command.view);
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    CopyState state{&command, &in, &out};
    status = CopyTree(source, command.key, command.key2, state);
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    return state.declined ? 1 : Succeed(out);
}

int RunCompare(const Command& command, std::ostream& out, std::ostream& err)
{
    CRegistry first;
    CRegistry second;
    LONG status = OpenKeyName(first, command.key, KEY_READ | command.view);
    if (status == ERROR_SUCCESS) {
        status = OpenKeyName(second, command.key2, KEY_READ | command.view);
    }
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    CompareState state{&command, &out};
    status = CompareTree(first, command.key, second, command.key2, state);
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    out << "\nResult Compared: " << (state.different ? "Different" : "Identical") << "\n";
    Succeed(out);
    return state.different ? 2 : 0;
}

}  // namespace regctl
