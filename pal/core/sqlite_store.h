// A small SQLite wrapper shared by the registry and event-log stores.
//
// Durability: WAL journal with synchronous=NORMAL. A transaction that returned is in the
// WAL file, so it survives the writing process being killed at any point after; a power
// cut may lose the last transactions but never leaves the store inconsistent. That is the
// platform's own guarantee for its registry and logs, which flush lazily too.
// Concurrency: any number of processes; writers serialise through BEGIN IMMEDIATE and a
// busy time-out, readers never block writers. A connection is opened without SQLite's own
// mutex: its owner serialises the threads that use it. A statement left on a row holds
// its read snapshot open, so callers Reset() statements as soon as they are done, or the
// connection stops seeing other processes' writes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace pal::core {

class SqliteStatement {
public:
    SqliteStatement() = default;
    SqliteStatement(sqlite3* db, const char* sql);
    ~SqliteStatement();
    SqliteStatement(SqliteStatement&& o) noexcept;
    SqliteStatement& operator=(SqliteStatement&& o) noexcept;
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    SqliteStatement& Bind(int index, int64_t value);
    SqliteStatement& Bind(int index, const std::string& text);
    SqliteStatement& BindBlob(int index, const void* data, size_t size);
    SqliteStatement& BindNull(int index);
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step();
    void Reset();

    int64_t Int(int column) const;
    std::string Text(int column) const;
    std::vector<uint8_t> Blob(int column) const;
    bool IsNull(int column) const;

private:
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteDb {
public:
    // Opens (creating) the database and runs the schema script once per open.
    // Returns null and sets error when it cannot.
    static std::unique_ptr<SqliteDb> Open(const std::string& path, const char* schema, std::string& error);
    ~SqliteDb();

    bool Exec(const char* sql);
    SqliteStatement Prepare(const char* sql);
    // BEGIN IMMEDIATE / COMMIT / ROLLBACK.
    bool Begin();
    bool Commit();
    void Rollback();
    int64_t LastInsertId() const;
    int Changes() const;
    std::string LastError() const;
    sqlite3* handle() const { return db_; }

private:
    explicit SqliteDb(sqlite3* db) : db_(db) {}
    sqlite3* db_;
};

// Rolls back unless committed.
class SqliteTransaction {
public:
    explicit SqliteTransaction(SqliteDb& db) : db_(db), active_(db.Begin()) {}
    ~SqliteTransaction() {
        if (active_) db_.Rollback();
    }
    bool ok() const { return active_; }
    bool Commit() {
        if (!active_) return false;
        active_ = false;
        return db_.Commit();
    }

private:
    SqliteDb& db_;
    bool active_;
};

}  // namespace pal::core
