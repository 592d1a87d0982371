#include "tools/regctl/commands.h"

#include <cstdio>

#include "registry/registry.h"
#include "tools/regctl/regfile.h"
#include "tools/regctl/values.h"

namespace regctl {

namespace {

const char* const kSuccess = "The operation completed successfully.";
const char* const kFileNotFound = "The system cannot find the file specified.";

struct ValueEntry {
    std::string name;
    DWORD type = REG_NONE;
    Bytes data;
};

std::string ToStd(const CString& text) { return std::string(static_cast<LPCSTR>(text), text.GetLength()); }

LPCSTR ComputerOf(const KeyName& key) { return key.computer.empty() ? nullptr : key.computer.c_str(); }

int Fail(std::ostream& err, const std::string& message)
{
    err << "ERROR: " << message << "\n";
    return 1;
}

int FailStatus(std::ostream& err, LONG status) { return Fail(err, StatusMessage(status)); }

int SyntaxFail(std::ostream& err, Verb verb)
{
    err << "ERROR: Invalid syntax.\n"
        << "Type \"regctl " << VerbName(verb) << " /?\" for usage.\n";
    return 1;
}

int Succeed(std::ostream& out)
{
    out << kSuccess << "\n";
    return 0;
}

// Connects `reg` to the key's root and opens `path` beneath it.
LONG OpenPath(CRegistry& reg, const KeyName& key, const std::string& path, REGSAM access)
{
    if (!reg.Connect(key.root, ComputerOf(key))) {
        return reg.GetStatus();
    }
    // OpenKey may succeed while its status reports the key-fact query that
    // follows the open: the key is open all the same.
    if (!reg.OpenKey(path.c_str(), access)) {
        return reg.GetStatus();
    }
    return ERROR_SUCCESS;
}

KeyName ChildOf(const KeyName& key, const std::string& child)
{
    KeyName result = key;
    result.path = key.path.empty() ? child : key.path + "\\" + child;
    return result;
}

// Reads one value of the open key whatever its size.
LONG ReadValue(CRegistry& reg, const std::string& name, ValueEntry& value)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        DWORD type = REG_NONE;
        DWORD size = 0;
        if (!reg.QueryValue(name.c_str(), type, nullptr, &size)) {
            return reg.GetStatus();
        }
        Bytes buffer(static_cast<size_t>(size) + 1);  // never empty: the pointer is never null
        DWORD got = static_cast<DWORD>(buffer.size());
        if (reg.QueryValue(name.c_str(), type, buffer.data(), &got)) {
            buffer.resize(got);
            value.name = name;
            value.type = type;
            value.data.swap(buffer);
            return ERROR_SUCCESS;
        }
        if (reg.GetStatus() != ERROR_MORE_DATA) {
            return reg.GetStatus();  // else the value grew in between: again
        }
    }
    return ERROR_MORE_DATA;
}

// The names of the open key's values, in the platform's order.
LONG ReadValueNames(CRegistry& reg, std::vector<std::string>& names)
{
    for (DWORD index = 0;; ++index) {
        CString name;
        DWORD type = REG_NONE;
        if (!reg.EnumValue(index, name, type, nullptr, nullptr)) {
            LONG status = reg.GetStatus();
            return status == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : status;
        }
        names.push_back(ToStd(name));
    }
}

LONG ReadAllValues(CRegistry& reg, std::vector<ValueEntry>& values)
{
    std::vector<std::string> names;
    LONG status = ReadValueNames(reg, names);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    for (const std::string& name : names) {
        ValueEntry entry;
        status = ReadValue(reg, name, entry);
        if (status == ERROR_FILE_NOT_FOUND) {
            continue;  // deleted by someone else since the enumeration
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
        values.push_back(entry);
    }
    return ERROR_SUCCESS;
}

LONG ReadSubKeys(CRegistry& reg, std::vector<std::string>& names)
{
    for (DWORD index = 0;; ++index) {
        CString name;
        CString keyClass;
        if (!reg.EnumKey(index, name, keyClass)) {
            LONG status = reg.GetStatus();
            return status == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : status;
        }
        names.push_back(ToStd(name));
    }
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

bool WriteWholeFile(const std::string& file, const std::string& content)
{
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

std::string ValueLabel(const std::string& name)
{
    return name.empty() ? std::string("The default value") : "The value \"" + name + "\"";
}

// ------------------------------------------------------------------ add

int RunAdd(const Command& command, std::ostream& out, std::ostream& err)
{
    // /t or /d without a name set the default value, as reg does.
    bool setsValue = command.hasValueName || command.defaultValue || command.hasType || command.hasData;
    DWORD type = REG_SZ;
    if (command.hasType && !ParseTypeName(command.typeName, type)) {
        return SyntaxFail(err, Verb::kAdd);
    }
    if (command.hasSeparator && type != REG_MULTI_SZ) {
        return SyntaxFail(err, Verb::kAdd);
    }
    Bytes data;
    if (setsValue) {
        std::string error;
        std::string separator = command.hasSeparator ? command.separator : kDefaultListSeparator;
        if (!ParseValueData(type, command.hasData ? command.data : std::string(), separator, data, error)) {
            return Fail(err, error);
        }
    }

    CRegistry reg;
    if (!reg.Connect(command.key.root, ComputerOf(command.key))) {
        return FailStatus(err, reg.GetStatus());
    }
    if (!reg.CreateKey(command.key.path.c_str(), nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                       nullptr, nullptr)) {
        return FailStatus(err, reg.GetStatus());
    }
    if (!setsValue) {
        return Succeed(out);
    }
    std::string name = command.hasValueName ? command.valueName : std::string();
    if (!command.force) {
        // reg would ask whether to overwrite; with no one to ask, refuse.
        DWORD existingType = REG_NONE;
        DWORD size = 0;
        if (reg.QueryValue(name.c_str(), existingType, nullptr, &size)) {
            return Fail(err, ValueLabel(name) + " already exists in " + command.key.FullName() +
                                 ". Add /f to overwrite it; regctl does not prompt.");
        }
        if (reg.GetStatus() != ERROR_FILE_NOT_FOUND) {
            return FailStatus(err, reg.GetStatus());
        }
    }
    BYTE none = 0;
    if (!reg.SetValue(name.c_str(), type, data.empty() ? &none : data.data(), static_cast<DWORD>(data.size()))) {
        return FailStatus(err, reg.GetStatus());
    }
    return Succeed(out);
}

// ------------------------------------------------------------------ query

struct QueryState {
    std::string separator;
    int matches = 0;
    bool failed = false;
};

// Prints one key with its values, then its sub-keys (or, with `recurse`,
// each sub-key in the same way).
void QueryAll(CRegistry& reg, const KeyName& key, bool recurse, QueryState& state, std::ostream& out,
              std::ostream& err)
{
    std::vector<ValueEntry> values;
    std::vector<std::string> subKeys;
    LONG status = ReadAllValues(reg, values);
    if (status == ERROR_SUCCESS) {
        status = ReadSubKeys(reg, subKeys);
    }
    if (status != ERROR_SUCCESS) {
        state.failed = true;
        err << "ERROR: " << key.FullName() << ": " << StatusMessage(status) << "\n";
        return;
    }
    out << key.FullName() << "\n";
    for (const ValueEntry& value : values) {
        out << FormatValueLine(value.name, value.type, value.data, state.separator) << "\n";
    }
    if (!values.empty() || recurse) {
        out << "\n";
    }
    for (const std::string& sub : subKeys) {
        KeyName child = ChildOf(key, sub);
        if (!recurse) {
            out << child.FullName() << "\n";
            continue;
        }
        CRegistry subReg;
        status = OpenPath(subReg, child, child.path, KEY_READ);
        if (status != ERROR_SUCCESS) {
            state.failed = true;
            err << "ERROR: " << child.FullName() << ": " << StatusMessage(status) << "\n";
            continue;
        }
        QueryAll(subReg, child, recurse, state, out, err);
    }
    if (!subKeys.empty() && !recurse) {
        out << "\n";
    }
}

// Searches the tree for the value `name`, printing each key that has it.
void QueryValueTree(CRegistry& reg, const KeyName& key, const std::string& name, QueryState& state,
                    std::ostream& out, std::ostream& err)
{
    ValueEntry value;
    LONG status = ReadValue(reg, name, value);
    if (status == ERROR_SUCCESS) {
        out << key.FullName() << "\n"
            << FormatValueLine(value.name, value.type, value.data, state.separator) << "\n\n";
        ++state.matches;
    } else if (status != ERROR_FILE_NOT_FOUND) {
        state.failed = true;
        err << "ERROR: " << key.FullName() << ": " << StatusMessage(status) << "\n";
    }
    std::vector<std::string> subKeys;
    status = ReadSubKeys(reg, subKeys);
    if (status != ERROR_SUCCESS) {
        state.failed = true;
        err << "ERROR: " << key.FullName() << ": " << StatusMessage(status) << "\n";
        return;
    }
    for (const std::string& sub : subKeys) {
        KeyName child = ChildOf(key, sub);
        CRegistry subReg;
        status = OpenPath(subReg, child, child.path, KEY_READ);
        if (status != ERROR_SUCCESS) {
            state.failed = true;
            err << "ERROR: " << child.FullName() << ": " << StatusMessage(status) << "\n";
            continue;
        }
        QueryValueTree(subReg, child, name, state, out, err);
    }
}

int RunQuery(const Command& command, std::ostream& out, std::ostream& err)
{
    CRegistry reg;
    LONG status = OpenPath(reg, command.key, command.key.path, KEY_READ);
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    QueryState state;
    state.separator = command.hasSeparator ? command.separator : kDefaultListSeparator;
    bool oneValue = command.hasValueName || command.defaultValue;
    std::string name = command.hasValueName ? command.valueName : std::string();

    if (oneValue && command.recurse) {
        out << "\n";
        QueryValueTree(reg, command.key, name, state, out, err);
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
    QueryAll(reg, command.key, command.recurse, state, out, err);
    return state.failed ? 1 : 0;
}

// ------------------------------------------------------------------ delete

int RunDelete(const Command& command, std::ostream& out, std::ostream& err)
{
    bool values = command.hasValueName || command.defaultValue || command.allValues;
    if (!values && command.key.path.empty()) {
        return Fail(err, "Invalid key name. A root key cannot be deleted.");
    }
    CRegistry reg;
    LONG status = OpenPath(reg, command.key, command.key.path, KEY_READ | KEY_WRITE);
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
        // reg would ask for confirmation; with no one to ask, refuse.
        std::string what = command.allValues ? "all values of " + command.key.FullName()
                           : values         ? ValueLabel(name) + " of " + command.key.FullName()
                                            : "the key " + command.key.FullName() + " with all its subkeys";
        return Fail(err, "Deleting " + what + " needs /f; regctl does not prompt for confirmation.");
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
    // A path with a backslash is taken relative to the root; give a top-level
    // key one in front so that it is too.
    reg.Close();
    CRegistry deleter;
    if (!deleter.Connect(command.key.root, ComputerOf(command.key))) {
        return FailStatus(err, deleter.GetStatus());
    }
    std::string path = command.key.path;
    if (path.find('\\') == std::string::npos) {
        path = "\\" + path;
    }
    if (!deleter.DeleteKey(path.c_str())) {
        return FailStatus(err, deleter.GetStatus());
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

int RefuseOverwrite(std::ostream& err, const std::string& file)
{
    return Fail(err, "The file \"" + file + "\" already exists. Add /y to overwrite it; regctl does not prompt.");
}

int RunSave(const Command& command, std::ostream& out, std::ostream& err)
{
    CRegistry reg;
    LONG status = OpenPath(reg, command.key, command.key.path, KEY_READ);
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    bool exists = FileExists(command.file);
    if (exists && !command.overwrite) {
        return RefuseOverwrite(err, command.file);
    }
    // The platform will not write over a file; an existing one is replaced
    // only once the new one is complete, so a failed save loses nothing.
    std::string target = exists ? command.file + ".regctl-new" : command.file;
    if (exists) {
        std::remove(target.c_str());
    }
    if (!reg.SaveKey(target.c_str(), nullptr)) {
        status = reg.GetStatus();
        if (exists) {
            std::remove(target.c_str());
        }
        return FailStatus(err, status);
    }
    if (exists) {
        if (std::remove(command.file.c_str()) != 0 || std::rename(target.c_str(), command.file.c_str()) != 0) {
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
    LONG status = OpenPath(reg, command.key, command.key.path, KEY_ALL_ACCESS);
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

// UnLoadKey works on the open key, while the platform unloads a hive only
// through the root's own handle (HKLM or HKU). This object makes the
// connection's root its open key for that one call, and forgets it again so
// that Close does not close the root twice.
class CRootRegistry : public CRegistry {
public:
    BOOL UnLoadFromRoot(LPCSTR subKey)
    {
        HKEY saved = m_hKey;
        m_hKey = m_hRegistry;
        BOOL result = UnLoadKey(subKey);
        m_hKey = saved;
        return result;
    }
};

int RunUnload(const Command& command, std::ostream& out, std::ostream& err)
{
    EnableHivePrivileges();
    CRootRegistry reg;
    if (!reg.Connect(command.key.root, nullptr)) {
        return FailStatus(err, reg.GetStatus());
    }
    if (!reg.UnLoadFromRoot(command.key.path.c_str())) {
        return FailStatus(err, reg.GetStatus());
    }
    return Succeed(out);
}

// ------------------------------------------------------------------ .reg files

LONG ExportTree(CRegistry& reg, const KeyName& key, std::string& text)
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
        status = OpenPath(subReg, child, child.path, KEY_READ);
        if (status == ERROR_FILE_NOT_FOUND) {
            continue;  // deleted since the enumeration
        }
        if (status == ERROR_SUCCESS) {
            status = ExportTree(subReg, child, text);
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
    }
    return ERROR_SUCCESS;
}

int RunExport(const Command& command, std::ostream& out, std::ostream& err)
{
    CRegistry reg;
    LONG status = OpenPath(reg, command.key, command.key.path, KEY_READ);
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    if (FileExists(command.file) && !command.overwrite) {
        return RefuseOverwrite(err, command.file);
    }
    std::string text = std::string(kRegFileHeader) + "\r\n\r\n";
    status = ExportTree(reg, command.key, text);
    if (status != ERROR_SUCCESS) {
        return FailStatus(err, status);
    }
    if (!WriteWholeFile(command.file, text)) {
        return Fail(err, "Cannot write the file \"" + command.file + "\".");
    }
    return Succeed(out);
}

LONG ApplyOp(const RegFileOp& op, CRegistry& current)
{
    switch (op.kind) {
    case RegFileOp::kCreateKey:
        current.Close();
        if (!current.Connect(op.key.root, nullptr) ||
            !current.CreateKey(op.key.path.c_str(), nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                               nullptr, nullptr)) {
            return current.GetStatus();
        }
        return ERROR_SUCCESS;
    case RegFileOp::kDeleteKey: {
        current.Close();
        CRegistry deleter;
        if (!deleter.Connect(op.key.root, nullptr)) {
            return deleter.GetStatus();
        }
        std::string path = op.key.path;
        if (path.find('\\') == std::string::npos) {
            path = "\\" + path;
        }
        // A key that is not there is already deleted.
        if (!deleter.DeleteKey(path.c_str()) && deleter.GetStatus() != ERROR_FILE_NOT_FOUND) {
            return deleter.GetStatus();
        }
        return ERROR_SUCCESS;
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
        LONG status = ApplyOp(op, current);
        if (status != ERROR_SUCCESS) {
            return Fail(err, "Line " + std::to_string(op.line) + ": " + op.key.FullName() + ": " +
                                 StatusMessage(status));
        }
    }
    return Succeed(out);
}

}  // namespace

std::string StatusMessage(LONG status)
{
    switch (status) {
    case ERROR_FILE_NOT_FOUND: return "The system was unable to find the specified registry key or value.";
    case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED: return "Access is denied.";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory resources are available to process this command.";
    case ERROR_SHARING_VIOLATION:
        return "The process cannot access the file because it is being used by another process.";
    case ERROR_BAD_NETPATH: return "The network path was not found.";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ERROR_ALREADY_EXISTS: return "Cannot create a file when that file already exists.";
    case ERROR_MORE_DATA: return "More data is available.";
    case ERROR_BADDB: return "The configuration registry database is corrupt.";
    case ERROR_BADKEY: return "The configuration registry key is invalid.";
    case ERROR_CANTOPEN: return "The configuration registry key could not be opened.";
    case ERROR_CANTREAD: return "The configuration registry key could not be read.";
    case ERROR_CANTWRITE: return "The configuration registry key could not be written.";
    case ERROR_REGISTRY_CORRUPT:
        return "The structure of one of the files containing registry data is corrupt.";
    case ERROR_REGISTRY_IO_FAILED: return "An I/O operation initiated by the registry failed unrecoverably.";
    case ERROR_NOT_REGISTRY_FILE:
        return "The system has attempted to load or restore a file into the registry, but the specified "
               "file is not in a registry file format.";
    case ERROR_KEY_DELETED: return "Illegal operation attempted on a registry key that has been marked for deletion.";
    case ERROR_EXCEPTION_IN_SERVICE: return "An exception occurred in the service when handling the control request.";
    case ERROR_PRIVILEGE_NOT_HELD: return "A required privilege is not held by the client.";
    default: break;
    }
    return "The operation failed with status " + std::to_string(status) + ".";
}

int RunCommand(const Command& command, std::ostream& out, std::ostream& err)
{
    if (command.help) {
        out << HelpText(command.verb);
        return 0;
    }
    switch (command.verb) {
    case Verb::kAdd: return RunAdd(command, out, err);
    case Verb::kQuery: return RunQuery(command, out, err);
    case Verb::kDelete: return RunDelete(command, out, err);
    case Verb::kSave: return RunSave(command, out, err);
    case Verb::kRestore: return RunRestore(command, out, err);
    case Verb::kLoad: return RunLoad(command, out, err);
    case Verb::kUnload: return RunUnload(command, out, err);
    case Verb::kExport: return RunExport(command, out, err);
    case Verb::kImport: return RunImport(command, out, err);
    case Verb::kNone: break;
    }
    out << HelpText(Verb::kNone);
    return 0;
}

int RunRegctl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    ParseResult parsed = ParseCommandLine(args);
    if (!parsed.ok) {
        for (const std::string& line : parsed.errors) {
            err << line << "\n";
        }
        return 1;
    }
    return RunCommand(parsed.command, out, err);
}

}  // namespace regctl
