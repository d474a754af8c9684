// The registry store on SQLite (schema and rules in store.h). The connection is opened on
// first use and kept for the life of the process; a forked child opens its own, as a
// SQLite connection must not cross a fork.
#include "pal/registry/store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <ctime>
#include <map>
#include <vector>
#include <memory>
#include <mutex>

#include "pal/core/root.h"
#include "pal/core/sqlite_store.h"
#include "pal/error/error.h"

namespace pal::reg {

namespace {

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL COLLATE NOCASE,
  mtime INTEGER NOT NULL DEFAULT 0,
  UNIQUE(parent, name));
CREATE INDEX IF NOT EXISTS keys_by_parent ON keys(parent);
CREATE TABLE IF NOT EXISTS vals(
  id INTEGER PRIMARY KEY,
  key INTEGER NOT NULL,
  name TEXT NOT NULL COLLATE NOCASE,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  UNIQUE(key, name));
CREATE INDEX IF NOT EXISTS vals_by_key ON vals(key);
CREATE TABLE IF NOT EXISTS mounts(key INTEGER PRIMARY KEY, file TEXT NOT NULL);
INSERT OR IGNORE INTO keys(id, parent, name) VALUES
  (1, 0, 'HKEY_CLASSES_ROOT'), (2, 0, 'HKEY_CURRENT_USER'),
  (3, 0, 'HKEY_LOCAL_MACHINE'), (4, 0, 'HKEY_USERS');
PRAGMA user_version = 1;
)sql";

struct Connection {
    std::unique_ptr<core::SqliteDb> db;
    std::map<const char*, core::SqliteStatement> statements;  // by SQL text (literals)
    std::vector<core::SqliteStatement*> used;                 // by the running transaction
    pid_t pid = 0;
};

std::mutex& StoreMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

Connection*& Current() {
    static Connection* connection = nullptr;
    return connection;
}

// The process's connection; the store mutex must be held.
LONG Connect(Connection*& out) {
    Connection*& c = Current();
    if (c && c->pid != getpid()) c = nullptr;  // inherited over fork: not ours to use (nor close)
    if (!c) {
        std::string error;
        auto db = core::SqliteDb::Open(core::RootDir() + "/registry.db", kSchema, error);
        if (!db) return ERROR_CANTOPEN;
        c = new Connection{std::move(db), {}, {}, getpid()};  // lives as long as the process
    }
    out = c;
    return ERROR_SUCCESS;
}

bool IsError(int rc) { return rc != SQLITE_ROW && rc != SQLITE_DONE; }

DWORD Clamp(int64_t v) { return v < 0 ? 0 : v > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<DWORD>(v); }

FILETIME FromInt(int64_t v) {
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(v));
    t.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
    return t;
}

int64_t ToInt(const FILETIME& t) {
    return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

}  // namespace

FILETIME Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    constexpr int64_t kEpochDelta = 116444736000000000LL;  // 1601-01-01 to 1970-01-01, 100 ns
    return FromInt(kEpochDelta + static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100);
}

core::SqliteStatement& Txn::Stmt(const char* sql) {
    auto& cache = Current()->statements;
    auto it = cache.find(sql);
    if (it == cache.end()) it = cache.emplace(sql, db_.Prepare(sql)).first;
    it->second.Reset();
    Current()->used.push_back(&it->second);
    return it->second;
}

LONG Txn::Touch(KeyId id) {
    auto& s = Stmt("UPDATE keys SET mtime = ?2 WHERE id = ?1");
    return IsError(s.Bind(1, id).Bind(2, ToInt(Now())).Step()) ? ERROR_CANTWRITE : ERROR_SUCCESS;
}

LONG Txn::CheckKey(KeyId id) {
    auto& s = Stmt("SELECT 1 FROM keys WHERE id = ?1");
    int rc = s.Bind(1, id).Step();
    if (IsError(rc)) return ERROR_CANTREAD;
    return rc == SQLITE_ROW ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

LONG Txn::Child(KeyId parent, const std::string& name, KeyId& out) {
    auto& s = Stmt("SELECT id FROM keys WHERE parent = ?1 AND name = ?2");
    int rc = s.Bind(1, parent).Bind(2, name).Step();
    if (IsError(rc)) return ERROR_CANTREAD;
    if (rc != SQLITE_ROW) return ERROR_FILE_NOT_FOUND;
    out = s.Int(0);
    return ERROR_SUCCESS;
}

LONG Txn::CreateChild(KeyId parent, const std::string& name, KeyId& out) {
    auto& s = Stmt("INSERT INTO keys(parent, name, mtime) VALUES (?1, ?2, ?3)");
    if (IsError(s.Bind(1, parent).Bind(2, name).Bind(3, ToInt(Now())).Step())) return ERROR_CANTWRITE;
    out = db_.LastInsertId();
    return Touch(parent);
}

LONG Txn::Parent(KeyId id, KeyId& parent) {
    auto& s = Stmt("SELECT parent FROM keys WHERE id = ?1");
    int rc = s.Bind(1, id).Step();
    if (IsError(rc)) return ERROR_CANTREAD;
    if (rc != SQLITE_ROW) return ERROR_KEY_DELETED;
    parent = s.Int(0);
    return ERROR_SUCCESS;
}

LONG Txn::Depth(KeyId id, int& depth) {
    depth = -1;
    for (int guard = 0; id != 0 && guard <= kMaxDepth + 1; ++guard) {
        if (LONG e = Parent(id, id)) return e;
        ++depth;
    }
    return ERROR_SUCCESS;
}

// Enumeration by index (RegEnumKeyEx, RegEnumValue) asks for 0, 1, 2 ... in turn. An
// OFFSET query per index would make that quadratic, so the row an index gave is kept, and
// the next index continues after it, as long as nothing in the store changed meanwhile
// (no write by this connection, none committed by another): then the answer is exactly
// what the OFFSET query would give. Guarded by the store's mutex, as every Txn is.
namespace {
struct EnumCursor {
    const void* db = nullptr;
    bool values = false;
    KeyId key = 0;
    DWORD index = 0;
    int64_t rowid = 0;
    int64_t changes = -1;
    int64_t dataVersion = -1;
};
EnumCursor g_cursor;
}  // namespace

LONG Txn::StoreState(int64_t& changes, int64_t& dataVersion) {
    // Called after the transaction's first read (CheckKey), so this is the version of
    // the snapshot the transaction reads.
    unsigned int version = 0;
    if (sqlite3_file_control(db_.handle(), "main", SQLITE_FCNTL_DATA_VERSION, &version) != SQLITE_OK)
        return ERROR_CANTREAD;
    dataVersion = version;
    changes = sqlite3_total_changes64(db_.handle());
    return ERROR_SUCCESS;
}

// The row id for index under the cursor's rule: 0 when the cursor does not apply.
int64_t Txn::ContinueAfter(bool values, KeyId key, DWORD index, int64_t& changes, int64_t& dataVersion) {
    if (StoreState(changes, dataVersion) != ERROR_SUCCESS) return 0;
    const EnumCursor& c = g_cursor;
    if (c.db == &db_ && c.values == values && c.key == key && index != 0 && c.index == index - 1 &&
        c.changes == changes && c.dataVersion == dataVersion)
        return c.rowid;
    return 0;
}

void Txn::Remember(bool values, KeyId key, DWORD index, int64_t rowid, int64_t changes, int64_t dataVersion) {
    g_cursor = EnumCursor{&db_, values, key, index, rowid, changes, dataVersion};
}

LONG Txn::ChildAt(KeyId parent, DWORD index, std::string& name, FILETIME& lastWrite) {
    int64_t changes = 0, version = 0;
    const int64_t after = ContinueAfter(false, parent, index, changes, version);
    auto& s = after ? Stmt("SELECT name, mtime, id FROM keys WHERE parent = ?1 AND id > ?2 ORDER BY id LIMIT 1")
                    : Stmt("SELECT name, mtime, id FROM keys WHERE parent = ?1 ORDER BY id LIMIT 1 OFFSET ?2");
    int rc = s.Bind(1, parent).Bind(2, after ? after : static_cast<int64_t>(index)).Step();
    if (IsError(rc)) return ERROR_CANTREAD;
    if (rc != SQLITE_ROW) return ERROR_NO_MORE_ITEMS;
    name = s.Text(0);
    lastWrite = FromInt(s.Int(1));
    Remember(false, parent, index, s.Int(2), changes, version);
    return ERROR_SUCCESS;
}

LONG Txn::ChildCount(KeyId parent, DWORD& count) {
    auto& s = Stmt("SELECT count(*) FROM keys WHERE parent = ?1");
    if (s.Bind(1, parent).Step() != SQLITE_ROW) return ERROR_CANTREAD;
    count = Clamp(s.Int(0));
    return ERROR_SUCCESS;
}

LONG Txn::Info(KeyId id, KeyInfo& info) {
    auto& k = Stmt("SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0) FROM keys WHERE parent = ?1");
    if (k.Bind(1, id).Step() != SQLITE_ROW) return ERROR_CANTREAD;
    info.subKeys = Clamp(k.Int(0));
    info.maxSubKeyLen = Clamp(k.Int(1));
    auto& v = Stmt(
        "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0), coalesce(max(length(data)), 0) "
        "FROM vals WHERE key = ?1");
    if (v.Bind(1, id).Step() != SQLITE_ROW) return ERROR_CANTREAD;
    info.values = Clamp(v.Int(0));
    info.maxValueNameLen = Clamp(v.Int(1));
    info.maxValueLen = Clamp(v.Int(2));
    auto& t = Stmt("SELECT mtime FROM keys WHERE id = ?1");
    int rc = t.Bind(1, id).Step();
    if (IsError(rc)) return ERROR_CANTREAD;
    if (rc != SQLITE_ROW) return ERROR_KEY_DELETED;
    info.lastWrite = FromInt(t.Int(0));
    return ERROR_SUCCESS;
}

LONG Txn::Path(KeyId id, std::string& path) {
    path.clear();
    auto& s = Stmt("SELECT parent, name FROM keys WHERE id = ?1");
    for (int depth = 0; id != 0; ++depth) {
        s.Reset();
        int rc = s.Bind(1, id).Step();
        if (IsError(rc) || depth > 100000) return ERROR_CANTREAD;
        if (rc != SQLITE_ROW) return ERROR_KEY_DELETED;
        path = path.empty() ? s.Text(1) : s.Text(1) + "\\" + path;
        id = s.Int(0);
    }
    return ERROR_SUCCESS;
}

LONG Txn::GetValue(KeyId key, const std::string& name, Value& out) {
    auto& s = Stmt("SELECT name, type, data FROM vals WHERE key = ?1 AND name = ?2");
    int rc = s.Bind(1, key).Bind(2, name).Step();
    if (IsError(rc)) return ERROR_CANTREAD;
    if (rc != SQLITE_ROW) return ERROR_FILE_NOT_FOUND;
    out.name = s.Text(0);
    out.type = static_cast<DWORD>(s.Int(1));
    out.data = s.Blob(2);
    return ERROR_SUCCESS;
}

LONG Txn::ValueAt(KeyId key, DWORD index, Value& out) {
    int64_t changes = 0, version = 0;
    const int64_t after = ContinueAfter(true, key, index, changes, version);
    auto& s = after ? Stmt("SELECT name, type, data, id FROM vals WHERE key = ?1 AND id > ?2 ORDER BY id LIMIT 1")
                    : Stmt("SELECT name, type, data, id FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2");
    int rc = s.Bind(1, key).Bind(2, after ? after : static_cast<int64_t>(index)).Step();
    if (IsError(rc)) return ERROR_CANTREAD;
    if (rc != SQLITE_ROW) return ERROR_NO_MORE_ITEMS;
    out.name = s.Text(0);
    out.type = static_cast<DWORD>(s.Int(1));
    out.data = s.Blob(2);
    Remember(true, key, index, s.Int(3), changes, version);
    return ERROR_SUCCESS;
}

LONG Txn::SetValue(KeyId key, const Value& value) {
    // An upsert keeps the row (and its place); the stored name keeps its first spelling.
    auto& s = Stmt(
        "INSERT INTO vals(key, name, type, data) VALUES (?1, ?2, ?3, ?4) "
        "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    s.Bind(1, key).Bind(2, value.name).Bind(3, static_cast<int64_t>(value.type));
    s.BindBlob(4, value.data.data(), value.data.size());
    if (IsError(s.Step())) return ERROR_CANTWRITE;
    return Touch(key);
}

LONG Txn::DeleteValue(KeyId key, const std::string& name) {
    auto& s = Stmt("DELETE FROM vals WHERE key = ?1 AND name = ?2");
    if (IsError(s.Bind(1, key).Bind(2, name).Step())) return ERROR_CANTWRITE;
    if (db_.Changes() == 0) return ERROR_FILE_NOT_FOUND;
    return Touch(key);
}

LONG Txn::DeleteKey(KeyId id) {
    KeyId parent = 0;
    if (LONG e = Parent(id, parent)) return e;
    auto& v = Stmt("DELETE FROM vals WHERE key = ?1");
    if (IsError(v.Bind(1, id).Step())) return ERROR_CANTWRITE;
    auto& k = Stmt("DELETE FROM keys WHERE id = ?1");
    if (IsError(k.Bind(1, id).Step())) return ERROR_CANTWRITE;
    return Touch(parent);
}

LONG Txn::DeleteContents(KeyId id) {
    static const char* const kSub =
        "WITH RECURSIVE sub(id) AS (SELECT id FROM keys WHERE parent = ?1 "
        "UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) ";
    static const std::string vals = std::string(kSub) + "DELETE FROM vals WHERE key = ?1 OR key IN (SELECT id FROM sub)";
    static const std::string mounts = std::string(kSub) + "DELETE FROM mounts WHERE key IN (SELECT id FROM sub)";
    static const std::string keys = std::string(kSub) + "DELETE FROM keys WHERE id IN (SELECT id FROM sub)";
    for (const std::string* sql : {&vals, &mounts, &keys})
        if (IsError(Stmt(sql->c_str()).Bind(1, id).Step())) return ERROR_CANTWRITE;
    return Touch(id);
}

LONG Txn::ReadTree(KeyId id, Tree& out, int levels) {
    out.values.clear();
    out.keys.clear();
    auto& v = Stmt("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id");
    v.Bind(1, id);
    int rc;
    while ((rc = v.Step()) == SQLITE_ROW)
        out.values.push_back(Value{v.Text(0), static_cast<DWORD>(v.Int(1)), v.Blob(2)});
    if (IsError(rc)) return ERROR_CANTREAD;

    std::vector<std::pair<KeyId, std::string>> children;
    auto& k = Stmt("SELECT id, name FROM keys WHERE parent = ?1 ORDER BY id");
    k.Bind(1, id);
    while ((rc = k.Step()) == SQLITE_ROW) children.emplace_back(k.Int(0), k.Text(1));
    if (IsError(rc)) return ERROR_CANTREAD;
    // The statements are reused below, so the rows are collected first.
    for (auto& [childId, name] : children) {
        Tree child;
        child.name = name;
        if (levels != 0)
            if (LONG e = ReadTree(childId, child, levels < 0 ? -1 : levels - 1)) return e;
        out.keys.push_back(std::move(child));
    }
    return ERROR_SUCCESS;
}

LONG Txn::WriteTree(KeyId id, const Tree& tree, bool overwrite) {
    for (const Value& value : tree.values) {
        if (!overwrite) {
            Value existing;
            LONG e = GetValue(id, value.name, existing);
            if (e == ERROR_SUCCESS) continue;
            if (e != ERROR_FILE_NOT_FOUND) return e;
        }
        if (LONG e = SetValue(id, value)) return e;
    }
    for (const Tree& child : tree.keys) {
        KeyId childId = 0;
        LONG e = Child(id, child.name, childId);
        if (e == ERROR_FILE_NOT_FOUND) e = CreateChild(id, child.name, childId);
        if (e) return e;
        if ((e = WriteTree(childId, child, overwrite))) return e;
    }
    return ERROR_SUCCESS;
}

LONG Txn::MountByFile(const std::string& file, KeyId& key) {
    auto& s = Stmt("SELECT key FROM mounts WHERE file = ?1");
    int rc = s.Bind(1, file).Step();
    if (IsError(rc)) return ERROR_CANTREAD;
    key = rc == SQLITE_ROW ? s.Int(0) : 0;
    return ERROR_SUCCESS;
}

LONG Txn::MountFile(KeyId key, std::string& file) {
    auto& s = Stmt("SELECT file FROM mounts WHERE key = ?1");
    int rc = s.Bind(1, key).Step();
    if (IsError(rc)) return ERROR_CANTREAD;
    if (rc != SQLITE_ROW) return ERROR_FILE_NOT_FOUND;
    file = s.Text(0);
    return ERROR_SUCCESS;
}

LONG Txn::AddMount(KeyId key, const std::string& file) {
    auto& s = Stmt("INSERT INTO mounts(key, file) VALUES (?1, ?2)");
    return IsError(s.Bind(1, key).Bind(2, file).Step()) ? ERROR_CANTWRITE : ERROR_SUCCESS;
}

LONG Txn::RemoveMount(KeyId key) {
    auto& s = Stmt("DELETE FROM mounts WHERE key = ?1");
    return IsError(s.Bind(1, key).Step()) ? ERROR_CANTWRITE : ERROR_SUCCESS;
}

LONG Store::Run(bool write, const std::function<LONG(Txn&)>& fn) {
    std::lock_guard<std::mutex> lock(StoreMutex());
    Connection* c = nullptr;
    if (LONG e = Connect(c)) return e;
    core::SqliteDb& db = *c->db;
    // Every registry call is a transaction of its own, so their own statements are kept
    // prepared too: parsing them each time was a good part of a small call's cost.
    auto control = [&](const char* sql) {
        auto it = c->statements.find(sql);
        if (it == c->statements.end()) it = c->statements.emplace(sql, db.Prepare(sql)).first;
        const int rc = it->second.Step();
        it->second.Reset();
        return rc == SQLITE_DONE;
    };
    // Readers take a snapshot (deferred BEGIN), so one call sees one state of the store.
    if (!control(write ? "BEGIN IMMEDIATE" : "BEGIN")) return write ? ERROR_CANTWRITE : ERROR_CANTREAD;
    Txn txn(db);
    c->used.clear();
    LONG result = fn(txn);
    // A statement left on a row would keep its read snapshot past the transaction, and
    // the connection would stop seeing other processes' writes.
    for (core::SqliteStatement* used : c->used) used->Reset();
    c->used.clear();
    if (result != ERROR_SUCCESS) {
        control("ROLLBACK");
        return result;
    }
    if (!control("COMMIT")) {
        control("ROLLBACK");
        return write ? ERROR_CANTWRITE : ERROR_CANTREAD;
    }
    return ERROR_SUCCESS;
}

LONG Store::Flush() {
    std::lock_guard<std::mutex> lock(StoreMutex());
    Connection* c = nullptr;
    if (LONG e = Connect(c)) return e;
    // In WAL mode with synchronous=NORMAL a checkpoint syncs the WAL first, so after it
    // every committed transaction is on disk.
    int rc = sqlite3_wal_checkpoint_v2(c->db->handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return rc == SQLITE_OK || rc == SQLITE_BUSY ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

}  // namespace pal::reg
