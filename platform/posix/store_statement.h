// The engine's own view of SQLite: a prepared statement in use, and SQLite's
// result codes as Win32 statuses. Included by the engine's files only
// (store_database.cpp, store_engine.cpp); nothing above the engine sees SQL.
#ifndef NETID_PLATFORM_POSIX_STORE_STATEMENT_H
#define NETID_PLATFORM_POSIX_STORE_STATEMENT_H

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/status.h"
#include "platform/posix/windows.h"

namespace netid::posix {

LONG StatusOfSqlite(int rc);

// A cached statement while one caller uses it: reset and its bindings
// cleared when the caller is done.
class Statement {
public:
    Statement(sqlite3* db, sqlite3_stmt* stmt) : m_db(db), m_stmt(stmt) {}
    ~Statement()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, std::int64_t value)
    {
        sqlite3_bind_int64(m_stmt, index, value);
        return *this;
    }
    Statement& Bind(int index, const std::string& text)
    {
        sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindBlob(int index, const void* data, size_t size)
    {
        sqlite3_bind_blob(m_stmt, index, size == 0 ? "" : data, static_cast<int>(size),
                          SQLITE_TRANSIENT);
        return *this;
    }
    // True while a row is available.
    bool Step()
    {
        int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        Fail(StatusOfSqlite(rc));
    }
    void Run()
    {
        while (Step()) {
        }
    }
    std::int64_t Int(int column) { return sqlite3_column_int64(m_stmt, column); }
    bool IsNull(int column) { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    std::string Text(int column)
    {
        const void* p = sqlite3_column_blob(m_stmt, column);
        int n = sqlite3_column_bytes(m_stmt, column);
        return p == nullptr ? std::string() : std::string(static_cast<const char*>(p), n);
    }
    std::vector<BYTE> Blob(int column)
    {
        const BYTE* p = static_cast<const BYTE*>(sqlite3_column_blob(m_stmt, column));
        int n = sqlite3_column_bytes(m_stmt, column);
        return p == nullptr ? std::vector<BYTE>() : std::vector<BYTE>(p, p + n);
    }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt;
};

}  // namespace netid::posix

#endif
