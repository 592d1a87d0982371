// The storage engine's key and value primitives: reading rows, and the
// writes, each one transaction. Opening the store, transactions and the
// change log are in store_database.cpp.
#include "platform/posix/store_engine.h"

#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/process.h"
#include "platform/posix/reg_limits.h"
#include "platform/posix/security.h"
#include "platform/posix/store_statement.h"
#include "platform/posix/text.h"

namespace netid::posix {

// ------------------------------------------------------------ reading keys
bool StoreEngine::LoadKey(std::int64_t id, KeyRow& row)
{
    Statement stmt = Prepare(
        "SELECT parent, name, class, volatile, last_write, security FROM keys WHERE id = ?1");
    stmt.Bind(1, id);
    if (!stmt.Step()) {
        return false;
    }
    row.id = id;
    row.parent = stmt.Int(0);
    row.name = stmt.Text(1);
    row.keyClass = stmt.Text(2);
    row.isVolatile = stmt.Int(3) != 0;
    row.lastWrite = static_cast<std::uint64_t>(stmt.Int(4));
    row.security = stmt.Blob(5);
    return true;
}

bool StoreEngine::KeyExists(std::int64_t id)
{
    Statement stmt = Prepare("SELECT 1 FROM keys WHERE id = ?1");
    return stmt.Bind(1, id).Step();
}

std::int64_t StoreEngine::FindChild(std::int64_t parent, const std::string& name)
{
    Statement stmt = Prepare("SELECT id FROM keys WHERE parent = ?1 AND uname = ?2");
    stmt.Bind(1, parent).Bind(2, FoldCase(name));
    return stmt.Step() ? stmt.Int(0) : 0;
}

std::int64_t StoreEngine::FindPath(std::int64_t start, const std::vector<std::string>& names)
{
    std::int64_t id = start;
    for (const std::string& name : names) {
        if (name.size() > kMaxKeyNameLength) {
            return 0;
        }
        id = FindChild(id, name);
        if (id == 0) {
            return 0;
        }
    }
    return id;
}

std::vector<std::string> StoreEngine::NamesFromRoot(std::int64_t id, std::int64_t& root)
{
    std::vector<std::string> names;
    KeyRow row;
    while (id != m_machine && id != m_users) {
        if (!LoadKey(id, row)) Fail(ERROR_KEY_DELETED);
        names.push_back(row.name);
        id = row.parent;
    }
    root = id;
    std::reverse(names.begin(), names.end());
    return names;
}

bool StoreEngine::IsWithin(std::int64_t id, std::int64_t top)
{
    for (std::size_t depth = 0; id != 0 && depth < kMaxDepth; ++depth) {
        if (id == top) {
            return true;
        }
        Statement stmt = Prepare("SELECT parent FROM keys WHERE id = ?1");
        id = stmt.Bind(1, id).Step() ? stmt.Int(0) : 0;
    }
    return false;
}

bool StoreEngine::FirstChild(std::int64_t parent, SubKeyEntry& out)
{
    Statement stmt = Prepare(
        "SELECT name, class, last_write FROM keys WHERE parent = ?1 ORDER BY uname LIMIT 1");
    if (!stmt.Bind(1, parent).Step()) {
        return false;
    }
    out = SubKeyEntry{stmt.Text(0), stmt.Text(1), static_cast<std::uint64_t>(stmt.Int(2))};
    return true;
}

std::vector<SubKeyEntry> StoreEngine::Children(std::int64_t parent)
{
    std::vector<SubKeyEntry> out;
    Statement stmt =
        Prepare("SELECT name, class, last_write FROM keys WHERE parent = ?1 ORDER BY uname");
    stmt.Bind(1, parent);
    while (stmt.Step()) {
        out.push_back(
            SubKeyEntry{stmt.Text(0), stmt.Text(1), static_cast<std::uint64_t>(stmt.Int(2))});
    }
    return out;
}

bool StoreEngine::LoadKeyFacts(std::int64_t id, KeyFacts& facts)
{
    if (!LoadKey(id, facts.row)) {
        return false;
    }
    Statement keys = Prepare(
        "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0),"
        " coalesce(max(length(CAST(class AS BLOB))), 0) FROM keys WHERE parent = ?1");
    keys.Bind(1, id);
    keys.Step();
    Statement vals = Prepare(
        "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0),"
        " coalesce(max(length(data)), 0) FROM vals WHERE key = ?1");
    vals.Bind(1, id);
    vals.Step();
    facts.subKeys = static_cast<DWORD>(keys.Int(0));
    facts.maxSubKeyName = static_cast<DWORD>(keys.Int(1));
    facts.maxClass = static_cast<DWORD>(keys.Int(2));
    facts.values = static_cast<DWORD>(vals.Int(0));
    facts.maxValueName = static_cast<DWORD>(vals.Int(1));
    facts.maxValueData = static_cast<DWORD>(vals.Int(2));
    return true;
}

void StoreEngine::ExportTree(std::int64_t id, RegTree& out)
{
    KeyRow row;
    if (!LoadKey(id, row)) {
        Fail(ERROR_KEY_DELETED);
    }
    out.name = row.name;
    out.keyClass = row.keyClass;
    out.security = row.security;
    out.lastWrite = row.lastWrite;
    out.values = Values(id);
    out.subkeys.clear();
    std::vector<std::int64_t> children;
    {
        Statement stmt = Prepare("SELECT id FROM keys WHERE parent = ?1 ORDER BY uname");
        stmt.Bind(1, id);
        while (stmt.Step()) children.push_back(stmt.Int(0));
    }
    for (std::int64_t child : children) {
        out.subkeys.emplace_back();
        ExportTree(child, out.subkeys.back());
    }
}

std::vector<std::int64_t> StoreEngine::ChildIds(std::int64_t id)
{
    std::vector<std::int64_t> children;
    Statement stmt = Prepare("SELECT id FROM keys WHERE parent = ?1");
    stmt.Bind(1, id);
    while (stmt.Step()) children.push_back(stmt.Int(0));
    return children;
}

// ------------------------------------------------------------ reading values
bool StoreEngine::QueryValue(std::int64_t key, const std::string& name, DWORD& type,
                             std::vector<BYTE>& data)
{
    Statement stmt = Prepare("SELECT type, data FROM vals WHERE key = ?1 AND uname = ?2");
    stmt.Bind(1, key).Bind(2, FoldCase(name));
    if (!stmt.Step()) {
        return false;
    }
    type = static_cast<DWORD>(stmt.Int(0));
    data = stmt.Blob(1);
    return true;
}

std::vector<RegValue> StoreEngine::Values(std::int64_t key)
{
    std::vector<RegValue> out;
    Statement stmt = Prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id");
    stmt.Bind(1, key);
    while (stmt.Step()) {
        out.push_back(RegValue{stmt.Text(0), static_cast<DWORD>(stmt.Int(1)), stmt.Blob(2)});
    }
    return out;
}

// ------------------------------------------------------------ writing keys
std::int64_t StoreEngine::CreateChild(std::int64_t parent, const std::string& name,
                                      const std::string& keyClass, bool isVolatile,
                                      const std::vector<BYTE>& security, std::uint64_t lastWrite)
{
    Prepare("INSERT INTO keys(parent, name, uname, class, volatile, last_write, security) "
            "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)")
        .Bind(1, parent)
        .Bind(2, name)
        .Bind(3, FoldCase(name))
        .Bind(4, keyClass)
        .Bind(5, isVolatile ? 1 : 0)
        .Bind(6, static_cast<std::int64_t>(lastWrite))
        .BindBlob(7, security.data(), security.size())
        .Run();
    return sqlite3_last_insert_rowid(m_db);
}

std::int64_t StoreEngine::CreatePath(std::int64_t start, const std::vector<std::string>& names,
                                     const KeyShaper& shape)
{
    return Transact([&] {
        std::int64_t id = start;
        KeyRow parent;
        if (!LoadKey(id, parent)) Fail(ERROR_KEY_DELETED);
        for (size_t i = 0; i < names.size(); ++i) {
            std::int64_t next = FindChild(id, names[i]);
            if (next != 0) {
                id = next;
                if (!LoadKey(id, parent)) Fail(ERROR_KEY_DELETED);
                continue;
            }
            NewKey key = shape(parent, i + 1 == names.size());
            next = CreateChild(id, names[i], key.keyClass, key.isVolatile, key.security,
                               NowAsFileTime());
            TouchAndReport(id, REG_NOTIFY_CHANGE_NAME);
            id = next;
            if (!LoadKey(id, parent)) Fail(ERROR_KEY_DELETED);
        }
        return id;
    });
}

void StoreEngine::DeleteSubtree(std::int64_t id)
{
    for (std::int64_t child : ChildIds(id)) {
        DeleteSubtree(child);
    }
    // The deletion is recorded while the key still has its ancestors.
    AppendChange(id, kChangeKeyDeleted, static_cast<std::int64_t>(NowAsFileTime()));
    Prepare("DELETE FROM vals WHERE key = ?1").Bind(1, id).Run();
    Prepare("DELETE FROM keys WHERE id = ?1").Bind(1, id).Run();
}

LONG StoreEngine::DeleteKey(std::int64_t id)
{
    return Transact([&]() -> LONG {
        KeyRow row;
        if (!LoadKey(id, row)) Fail(ERROR_FILE_NOT_FOUND);  // gone meanwhile
        Statement children = Prepare("SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
        bool hasChildren = children.Bind(1, id).Step();
        if (row.parent == 0 || hasChildren) {
            // Hive roots are never deleted, nor a key with sub-keys.
            return ERROR_ACCESS_DENIED;
        }
        DeleteSubtree(id);
        TouchAndReport(row.parent, REG_NOTIFY_CHANGE_NAME);
        return ERROR_SUCCESS;
    });
}

void StoreEngine::WriteSecurity(std::int64_t id, const std::vector<BYTE>& security)
{
    Prepare("UPDATE keys SET security = ?2 WHERE id = ?1")
        .Bind(1, id)
        .BindBlob(2, security.data(), security.size())
        .Run();
}

LONG StoreEngine::SetSecurity(std::int64_t id,
                              const std::function<LONG(std::vector<BYTE>&)>& merge)
{
    return Transact([&]() -> LONG {
        KeyRow row;
        if (!LoadKey(id, row)) Fail(ERROR_KEY_DELETED);
        std::vector<BYTE> security = row.security;
        LONG status = merge(security);
        if (status != ERROR_SUCCESS) {
            return status;  // nothing written: the stored descriptor stays
        }
        WriteSecurity(row.id, security);
        Report(row.id, REG_NOTIFY_CHANGE_SECURITY | REG_NOTIFY_CHANGE_ATTRIBUTES);
        return ERROR_SUCCESS;
    });
}

void StoreEngine::InsertValues(std::int64_t key, const std::vector<RegValue>& values)
{
    for (const RegValue& value : values) {
        Prepare("INSERT OR REPLACE INTO vals(key, name, uname, type, data) "
                "VALUES (?1, ?2, ?3, ?4, ?5)")
            .Bind(1, key)
            .Bind(2, value.name)
            .Bind(3, FoldCase(value.name))
            .Bind(4, value.type)
            .BindBlob(5, value.data.data(), value.data.size())
            .Run();
    }
}

void StoreEngine::ImportChildren(std::int64_t key, const std::vector<BYTE>& parentSecurity,
                                 const std::vector<RegTree>& children, bool isVolatile)
{
    std::uint64_t now = NowAsFileTime();
    for (const RegTree& child : children) {
        if (child.name.empty() || child.name.size() > kMaxKeyNameLength ||
            child.name.find('\\') != std::string::npos) {
            Fail(ERROR_BADDB);
        }
        if (FindChild(key, child.name) != 0) {
            Fail(ERROR_BADDB);
        }
        std::vector<BYTE> security =
            child.security.empty() ? DefaultKeySecurity(&parentSecurity) : child.security;
        std::int64_t id = CreateChild(key, child.name, child.keyClass, isVolatile, security,
                                      child.lastWrite != 0 ? child.lastWrite : now);
        InsertValues(id, child.values);
        ImportChildren(id, security, child.subkeys, isVolatile);
    }
}

void StoreEngine::ReplaceContents(std::int64_t id, const RegTree& tree, bool volatileKeys)
{
    Transact([&] {
        KeyRow row;
        if (!LoadKey(id, row)) Fail(ERROR_KEY_DELETED);
        for (std::int64_t child : ChildIds(row.id)) {
            DeleteSubtree(child);
        }
        Prepare("DELETE FROM vals WHERE key = ?1").Bind(1, row.id).Run();
        InsertValues(row.id, tree.values);
        std::vector<BYTE> security = tree.security.empty() ? row.security : tree.security;
        if (!tree.security.empty()) {
            WriteSecurity(row.id, security);
        }
        ImportChildren(row.id, security, tree.subkeys, volatileKeys || row.isVolatile);
        DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
        if (!tree.security.empty()) filter |= REG_NOTIFY_CHANGE_SECURITY;
        TouchAndReport(row.id, filter);
    });
}

// ------------------------------------------------------------ writing values
void StoreEngine::SetValue(std::int64_t key, const std::string& name, DWORD type,
                           const BYTE* data, DWORD size)
{
    Transact([&] {
        if (!KeyExists(key)) Fail(ERROR_KEY_DELETED);
        // An existing value keeps its place in the order and its name.
        Statement update =
            Prepare("UPDATE vals SET type = ?3, data = ?4 WHERE key = ?1 AND uname = ?2");
        update.Bind(1, key).Bind(2, FoldCase(name)).Bind(3, type);
        update.BindBlob(4, data, size).Run();
        Statement changed = Prepare("SELECT changes()");
        changed.Step();
        if (changed.Int(0) == 0) {
            Prepare("INSERT INTO vals(key, name, uname, type, data) VALUES (?1, ?2, ?3, ?4, ?5)")
                .Bind(1, key)
                .Bind(2, name)
                .Bind(3, FoldCase(name))
                .Bind(4, type)
                .BindBlob(5, data, size)
                .Run();
        }
        TouchAndReport(key, REG_NOTIFY_CHANGE_LAST_SET);
    });
}

bool StoreEngine::DeleteValue(std::int64_t key, const std::string& name)
{
    return Transact([&] {
        if (!KeyExists(key)) Fail(ERROR_KEY_DELETED);
        Prepare("DELETE FROM vals WHERE key = ?1 AND uname = ?2")
            .Bind(1, key)
            .Bind(2, FoldCase(name))
            .Run();
        Statement changed = Prepare("SELECT changes()");
        changed.Step();
        if (changed.Int(0) == 0) {
            return false;
        }
        TouchAndReport(key, REG_NOTIFY_CHANGE_LAST_SET);
        return true;
    });
}

}  // namespace netid::posix
