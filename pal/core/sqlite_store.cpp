#include "pal/core/sqlite_store.h"

#include <sqlite3.h>

namespace pal::core {

SqliteStatement::SqliteStatement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
}

SqliteStatement::~SqliteStatement() {
    if (stmt_) sqlite3_finalize(stmt_);
}

SqliteStatement::SqliteStatement(SqliteStatement&& o) noexcept : stmt_(o.stmt_) { o.stmt_ = nullptr; }

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& o) noexcept {
    if (this != &o) {
        if (stmt_) sqlite3_finalize(stmt_);
        stmt_ = o.stmt_;
        o.stmt_ = nullptr;
    }
    return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
}

SqliteStatement& SqliteStatement::BindBlob(int index, const void* data, size_t size) {
    // A zero-length blob stays a blob (not NULL), so "no data" and "empty data" differ.
    sqlite3_bind_blob(stmt_, index, size ? data : "", static_cast<int>(size), SQLITE_TRANSIENT);
    return *this;
}

SqliteStatement& SqliteStatement::BindNull(int index) {
    sqlite3_bind_null(stmt_, index);
    return *this;
}

int SqliteStatement::Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_MISUSE; }

void SqliteStatement::Reset() {
    if (!stmt_) return;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

int64_t SqliteStatement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string SqliteStatement::Text(int column) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
}

std::vector<uint8_t> SqliteStatement::Blob(int column) const {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
    int n = sqlite3_column_bytes(stmt_, column);
    return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
}

bool SqliteStatement::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

// Every process's connection keeps its own page cache, and a write by another process
// empties it at the next read anyway: services that poll a growing store would otherwise
// grow by SQLite's default of 2 MiB per store before their memory levels off.
constexpr char kCacheSize[] = "PRAGMA cache_size=-512";  // KiB

std::unique_ptr<SqliteDb> SqliteDb::Open(const std::string& path, const char* schema, std::string& error) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 30000);
    std::unique_ptr<SqliteDb> out(new SqliteDb(db));
    // Several processes may open a new store at the same moment; switching the journal
    // mode or creating the schema can then report busy without waiting, so try again.
    for (int attempt = 0;; ++attempt) {
        if (out->Exec("PRAGMA journal_mode=WAL") && out->Exec("PRAGMA synchronous=NORMAL") &&
            out->Exec(kCacheSize) && (!schema || out->Exec(schema)))
            return out;
        int code = sqlite3_errcode(db) & 0xff;
        if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) || attempt >= 3000) {
            error = out->LastError();
            return nullptr;
        }
        sqlite3_sleep(10);
    }
}

SqliteDb::~SqliteDb() { sqlite3_close_v2(db_); }

bool SqliteDb::Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

SqliteStatement SqliteDb::Prepare(const char* sql) { return SqliteStatement(db_, sql); }

bool SqliteDb::Begin() { return Exec("BEGIN IMMEDIATE"); }

bool SqliteDb::Commit() {
    if (Exec("COMMIT")) return true;
    Rollback();
    return false;
}

void SqliteDb::Rollback() { Exec("ROLLBACK"); }

int64_t SqliteDb::LastInsertId() const { return sqlite3_last_insert_rowid(db_); }

int SqliteDb::Changes() const { return sqlite3_changes(db_); }

std::string SqliteDb::LastError() const { return sqlite3_errmsg(db_); }

}  // namespace pal::core
