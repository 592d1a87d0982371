// SPDX-License-Identifier: LGPL-2.1-or-later
#include "tools/regctl/commands.h"

#include <chrono>
#include <cstdio>
#include <random>

#include "platform/file_write.h"

#include "tools/regctl/access.h"
#include "tools/regctl/regfile.h"

namespace regctl {

namespace {

const char* const kFileNotFound = "The system cannot find the file specified.";

int SyntaxFail(std::ostream& err, Verb verb)
{
    err << "ERROR: Invalid syntax.\n"
        << "Type \"regctl " << VerbName(verb) << " /?\" for usage.\n";
    return 1;
}

bool FileExists(const std::string& file)
{
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    std::fclose(f);
    return true;
}

bool ReadWholeFile(const std::string& file, std::string& content)
{
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    content.clear();
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        content.append(buffer, got);
    }
    bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

// Writes the file whole or not at all, never through a name someone else
// could have planted beside it (platform/file_write.h).
bool WriteWholeFile(const std::string& file, const std::string& content)
{
    return netid::WriteWholeFile(file, content);
}

// Deletes the key with everything beneath it: its parent is opened in the
// chosen view, so that the key deleted is the one that view shows.
LONG DeleteKeyPath(const KeyName& key, REGSAM view)
{
    ToolRegistry reg;
    size_t slash = key.path.rfind('\\');
    KeyName parent = key;
    parent.path = slash == std::string::npos ? std::string() : key.path.substr(0, slash);
    LONG status = OpenKeyName(reg, parent, KEY_ALL_ACCESS | view);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::string child = slash == std::string::npos ? key.path : key.path.substr(slash + 1);
    return DeleteKeyTree(parent.path.empty() ? reg.Root() : reg.Handle(), child.c_str());
}

// ------------------------------------------------------------------ add

int RunAdd(const Command& command, std::istream& in, std::ostream& out, std::ostream& err)
{
    // Without /v the default value is set, to an empty REG_SZ when neither
    // /t nor /d says otherwise: reg does the same.
    DWORD type = REG_SZ;
    if (command.hasType && !ParseTypeName(command.typeName, type)) {
        return SyntaxFail(err, Verb::kAdd);
    }
    if (command.hasSeparator && type != REG_MULTI_SZ) {
        return SyntaxFail(err, Verb::kAdd);
    }
    Bytes data;
    std::string error;
    std::string separator = command.hasSeparator ? command.separator : kDefaultListSeparator;
    if (!ParseValueData(type, command.hasData, command.data, separator, data, error)) {
        return Fail(err, error);
    }

    CRegistry reg;
    if (!reg.Connect(command.key.root, command.key.computer.empty() ? nullptr : command.key.computer.c_str())) {
        return FailStatus(err, reg.GetStatus());
    }
    if (!reg.CreateKey(command.key.path.c_str(), nullptr, REG_OPTION_NON_VOLATILE,
                       KEY_READ | KEY_WRITE | command.view, nullptr, nullptr)) {
        return FailStatus(err, reg.GetStatus());
    }
    std::string name = command.hasValueName ? command.valueName : std::string();
    if (!command.force) {
        DWORD existingType = REG_NONE;
        DWORD size = 0;
        if (reg.QueryValue(name.c_str(), existingType, nullptr, &size)) {
            if (!Confirm("Value " + (name.empty() ? std::string("(Default)") : name) + " exists, overwrite", in,
                         out)) {
                return 1;
            }
        } else if (reg.GetStatus() != ERROR_FILE_NOT_FOUND) {
            return FailStatus(err, reg.GetStatus());
        }
    }
    BYTE none = 0;
    if (!reg.SetValue(name.c_str(), type, data.empty() ? &none : data.data(), static_cast<DWORD>(data.size()))) {
        return FailStatus(err, reg.GetStatus());
    }
    return Succeed(out);
}

// ------------------------------------------------------------------ delete

int RunDelete(const Command& command, std::istream& in, std::ostream& out, std::ostream& err)
{
    bool values = command.hasValueName || command.defaultValue || command.allValues;
    if (!values && command.key.path.empty()) {
        return Fail(err, "Invalid key name. A root key cannot be deleted.");
    }
    CRegistry reg;
    LONG status = OpenKeyName(reg, command.key, KEY_READ | KEY_WRITE | command.view);
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    std::string name = command.hasValueName ? command.valueName : std::string();
    if (command.hasValueName || command.defaultValue) {
        ValueEntry value;
        status = ReadValue(reg, name, value);
        if (status != ERROR_SUCCESS) {
            return FailStatus(err, status);
        }
    }
    if (!command.force) {
        std::string question =
            command.allValues ? "Delete all values under the registry key " + command.key.FullName()
            : values          ? "Delete the registry value " + (name.empty() ? std::string("(Default)") : name)
                              : "Permanently delete the registry key " + command.key.FullName();
        if (!Confirm(question, in, out)) {
            return 1;
        }
    }

    if (command.hasValueName || command.defaultValue) {
        if (!reg.DeleteValue(name.c_str())) {
            return FailStatus(err, reg.GetStatus());
        }
        return Succeed(out);
    }
    if (command.allValues) {
        std::vector<std::string> names;
        status = ReadValueNames(reg, names);
        if (status != ERROR_SUCCESS) {
            return FailStatus(err, status);
        }
        for (const std::string& each : names) {
            if (!reg.DeleteValue(each.c_str()) && reg.GetStatus() != ERROR_FILE_NOT_FOUND) {
                return FailStatus(err, reg.GetStatus());
            }
        }
        return Succeed(out);
    }
    reg.Close();
    status = DeleteKeyPath(command.key, command.view);
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    return Succeed(out);
}

// ------------------------------------------------------------------ hives

// Loading and unloading a hive need the backup and restore privileges
// enabled in the process's token (as reg enables them). CRegistry enables
// them only for saving and restoring, so we do it here. A token that does not
// hold them is left as it is; the platform then refuses the operation.
void EnableHivePrivileges()
{
    const char* const names[] = {SE_BACKUP_NAME, SE_RESTORE_NAME};
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return;
    }
    for (const char* name : names) {
        TOKEN_PRIVILEGES privileges = {};
        if (LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid)) {
            privileges.PrivilegeCount = 1;
            privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        }
    }
    CloseHandle(token);
}

// A name beside `file` that no one can guess ahead.
std::string FreshNameBeside(const std::string& file)
{
    std::random_device random;
    const unsigned long long value =
        (static_cast<unsigned long long>(random()) << 32 ^ random()) ^
        static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%016llx.new", value);
    return file + suffix;
}

// An existing file is overwritten with /y, or when the user says so.
bool MayWrite(const Command& command, bool exists, std::istream& in, std::ostream& out)
{
    return !exists || command.overwrite ||
           Confirm("File " + command.file + " already exists. Overwrite the file", in, out);
}

int RunSave(const Command& command, std::istream& in, std::ostream& out, std::ostream& err)
{
    CRegistry reg;
    LONG status = OpenKeyName(reg, command.key, KEY_READ | command.view);
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    // Another machine saves to a file of its own, the name being its path
    // (a bare name lands in its system folder): nothing of this machine's is
    // looked at or replaced, and a file already there is the server's to
    // refuse.
    if (!command.key.computer.empty()) {
        if (!reg.SaveKey(command.file.c_str(), nullptr)) {
            return FailStatus(err, reg.GetStatus());
        }
        return Succeed(out);
    }
    bool exists = FileExists(command.file);
    if (!MayWrite(command, exists, in, out)) {
        return 1;
    }
    // The platform will not write over a file; an existing one is replaced
    // only once the new one is complete, so a failed save loses nothing.
    // The new file's name beside it is fresh and unguessable, so that no one
    // can have planted anything under it.
    std::string target = exists ? FreshNameBeside(command.file) : command.file;
    if (!reg.SaveKey(target.c_str(), nullptr)) {
        status = reg.GetStatus();
        if (exists) {
            std::remove(target.c_str());
        }
        return FailStatus(err, status);
    }
    if (exists) {
        // One step: the old file is never gone before the new one is there.
        if (!MoveFileExA(target.c_str(), command.file.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            return Fail(err, "The hive was saved to \"" + target + "\" but could not replace \"" +
                                 command.file + "\".");
        }
    }
    return Succeed(out);
}

int RunRestore(const Command& command, std::ostream& out, std::ostream& err)
{
    if (!FileExists(command.file)) {
        return Fail(err, kFileNotFound);
    }
    CRegistry reg;
    LONG status = OpenKeyName(reg, command.key, KEY_ALL_ACCESS | command.view);
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    if (!reg.RestoreKey(command.file.c_str(), 0)) {
        return FailStatus(err, reg.GetStatus());
    }
    return Succeed(out);
}

int RunLoad(const Command& command, std::ostream& out, std::ostream& err)
{
    if (!FileExists(command.file)) {
        return Fail(err, kFileNotFound);
    }
    EnableHivePrivileges();
    CRegistry reg;
    if (!reg.Connect(command.key.root, nullptr)) {
        return FailStatus(err, reg.GetStatus());
    }
    if (!reg.LoadKey(command.key.path.c_str(), command.file.c_str())) {
        return FailStatus(err, reg.GetStatus());
    }
    return Succeed(out);
}

int RunUnload(const Command& command, std::ostream& out, std::ostream& err)
{
    EnableHivePrivileges();
    ToolRegistry reg;
    if (!reg.Connect(command.key.root, nullptr)) {
        return FailStatus(err, reg.GetStatus());
    }
    if (!reg.UnLoadFromRoot(command.key.path.c_str())) {
        return FailStatus(err, reg.GetStatus());
    }
    return Succeed(out);
}

// ------------------------------------------------------------------ .reg files

LONG ExportTree(CRegistry& reg, const KeyName& key, REGSAM view, std::string& text)
{
    std::vector<ValueEntry> values;
    std::vector<std::string> subKeys;
    LONG status = ReadAllValues(reg, values);
    if (status == ERROR_SUCCESS) {
        status = ReadSubKeys(reg, subKeys);
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    text += FormatRegFileKey(key.FullName());
    for (const ValueEntry& value : values) {
        text += FormatRegFileValue(value.name, value.type, value.data);
    }
    text += "\r\n";
    for (const std::string& sub : subKeys) {
        KeyName child = ChildOf(key, sub);
        CRegistry subReg;
        status = OpenKeyName(subReg, child, KEY_READ | view);
        if (status == ERROR_FILE_NOT_FOUND) {
            continue;  // deleted since the enumeration
        }
        if (status == ERROR_SUCCESS) {
            status = ExportTree(subReg, child, view, text);
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
    }
    return ERROR_SUCCESS;
}

int RunExport(const Command& command, std::istream& in, std::ostream& out, std::ostream& err)
{
    CRegistry reg;
    LONG status = OpenKeyName(reg, command.key, KEY_READ | command.view);
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    if (!MayWrite(command, FileExists(command.file), in, out)) {
        return 1;
    }
    std::string text = std::string(kRegFileHeader) + "\r\n\r\n";
    status = ExportTree(reg, command.key, command.view, text);
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    std::string encoded;
    if (!EncodeRegFile(text, encoded)) {
        return Fail(err, "The exported text is not valid Unicode; nothing was written.");
    }
    if (!WriteWholeFile(command.file, encoded)) {
        return Fail(err, "Cannot write the file \"" + command.file + "\".");
    }
    return Succeed(out);
}

LONG ApplyOp(const RegFileOp& op, REGSAM view, CRegistry& current)
{
    switch (op.kind) {
    case RegFileOp::kCreateKey:
        current.Close();
        if (!current.Connect(op.key.root, nullptr) ||
            !current.CreateKey(op.key.path.c_str(), nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE | view,
                               nullptr, nullptr)) {
            return current.GetStatus();
        }
        return ERROR_SUCCESS;
    case RegFileOp::kDeleteKey: {
        current.Close();
        // A key that is not there is already deleted.
        LONG status = DeleteKeyPath(op.key, view);
        return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
    }
    case RegFileOp::kSetValue: {
        BYTE none = 0;
        if (!current.SetValue(op.valueName.c_str(), op.type, op.data.empty() ? &none : op.data.data(),
                              static_cast<DWORD>(op.data.size()))) {
            return current.GetStatus();
        }
        return ERROR_SUCCESS;
    }
    case RegFileOp::kDeleteValue:
        if (!current.DeleteValue(op.valueName.c_str()) && current.GetStatus() != ERROR_FILE_NOT_FOUND) {
            return current.GetStatus();
        }
        return ERROR_SUCCESS;
    }
    return ERROR_INVALID_PARAMETER;
}

int RunImport(const Command& command, std::ostream& out, std::ostream& err)
{
    std::string raw;
    if (!ReadWholeFile(command.file, raw)) {
        return Fail(err, FileExists(command.file) ? "Cannot read the file \"" + command.file + "\"."
                                                  : std::string(kFileNotFound));
    }
    std::string text;
    std::string error;
    std::vector<RegFileOp> ops;
    if (!DecodeRegFile(raw, text, error) || !ParseRegFile(text, ops, error)) {
        return Fail(err, error + " Nothing was imported.");
    }
    CRegistry current;
    for (const RegFileOp& op : ops) {
        LONG status = ApplyOp(op, command.view, current);
        if (status != ERROR_SUCCESS) {
            FailStatus(err, status);
            err << "(line " << op.line << ": " << op.key.FullName() << ")\n";
            return 1;
        }
    }
    return Succeed(out);
}

}  // namespace

int RunCommand(const Command& command, std::istream& in, std::ostream& out, std::ostream& err)
{
    if (command.version) {
        out << VersionText();
        return 0;
    }
    if (command.help) {
        out << HelpText(command.verb);
        return 0;
    }
    switch (command.verb) {
    case Verb::kAdd: return RunAdd(command, in, out, err);
    case Verb::kQuery: return RunQuery(command, out, err);
    case Verb::kDelete: return RunDelete(command, in, out, err);
    case Verb::kCopy: return RunCopy(command, in, out, err);
    case Verb::kCompare: return RunCompare(command, out, err);
    case Verb::kSave: return RunSave(command, in, out, err);
    case Verb::kRestore: return RunRestore(command, out, err);
    case Verb::kLoad: return RunLoad(command, out, err);
    case Verb::kUnload: return RunUnload(command, out, err);
    case Verb::kExport: return RunExport(command, in, out, err);
    case Verb::kImport: return RunImport(command, out, err);
    case Verb::kNone: break;
    }
    out << HelpText(Verb::kNone);
    return 0;
}

int RunRegctl(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err)
{
    ParseResult parsed = ParseCommandLine(args);
    if (!parsed.ok) {
        for (const std::string& line : parsed.errors) {
            err << line << "\n";
        }
        return 1;
    }
    return RunCommand(parsed.command, in, out, err);
}

}  // namespace regctl
