// Hive files (layout in hive.h), and the calls that save, restore, load and unload them.
// A loaded hive is a copy of the file's tree in the store, recorded in the mounts table;
// RegUnLoadKey writes the tree back to the file and drops it from the store.
#include "pal/registry/hive.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>

#include "pal/core/sqlite_store.h"
#include "pal/file/path.h"
#include "pal/registry/key_object.h"
#include "pal/registry/registry.h"
#include "pal/registry/store.h"
#include "pal/security/security.h"

namespace pal::reg {

namespace {

const char* const kFormat = "vq-registry-hive";
constexpr int64_t kVersion = 1;

const char* const kHiveSchema = R"sql(
CREATE TABLE hive(format TEXT NOT NULL, version INTEGER NOT NULL);
CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL);
CREATE TABLE vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL, name TEXT NOT NULL,
                  type INTEGER NOT NULL, data BLOB NOT NULL);
)sql";

class Database {
public:
    Database() = default;
    ~Database() {
        if (db_) sqlite3_close(db_);
    }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    bool Open(const std::string& path, int flags) {
        return sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) == SQLITE_OK;
    }
    bool Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
    sqlite3* get() const { return db_; }

private:
    sqlite3* db_ = nullptr;
};

struct Writer {
    core::SqliteStatement key;
    core::SqliteStatement value;
    int64_t nextKey = 1;

    // Rows in pre-order, so a parent's id is always below its children's.
    bool Put(const Tree& tree, int64_t parent) {
        const int64_t id = nextKey++;
        key.Reset();
        if (key.Bind(1, id).Bind(2, parent).Bind(3, tree.name).Step() != SQLITE_DONE) return false;
        for (const Value& v : tree.values) {
            value.Reset();
            value.Bind(1, id).Bind(2, v.name).Bind(3, static_cast<int64_t>(v.type));
            value.BindBlob(4, v.data.data(), v.data.size());
            if (value.Step() != SQLITE_DONE) return false;
        }
        for (const Tree& child : tree.keys)
            if (!Put(child, id)) return false;
        return true;
    }
};

LONG WriteInto(const std::string& path, const Tree& tree) {
    Database db;
    if (!db.Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) return ERROR_CANTWRITE;
    if (!db.Exec("PRAGMA journal_mode=DELETE") || !db.Exec("BEGIN") || !db.Exec(kHiveSchema))
        return ERROR_CANTWRITE;
    core::SqliteStatement header(db.get(), "INSERT INTO hive(format, version) VALUES (?1, ?2)");
    if (header.Bind(1, std::string(kFormat)).Bind(2, kVersion).Step() != SQLITE_DONE) return ERROR_CANTWRITE;
    Writer w{core::SqliteStatement(db.get(), "INSERT INTO keys(id, parent, name) VALUES (?1, ?2, ?3)"),
             core::SqliteStatement(db.get(), "INSERT INTO vals(key, name, type, data) VALUES (?1, ?2, ?3, ?4)")};
    if (!w.Put(tree, 0)) return ERROR_CANTWRITE;
    w.key = {};
    w.value = {};
    header = {};
    return db.Exec("COMMIT") ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

struct FlatKey {
    Tree node;
    std::vector<size_t> children;
};

Tree Assemble(std::vector<FlatKey>& flat, size_t index) {
    Tree tree = std::move(flat[index].node);
    for (size_t child : flat[index].children) tree.keys.push_back(Assemble(flat, child));
    return tree;
}

LONG ReadFrom(sqlite3* db, Tree& out) {
    core::SqliteStatement header(db, "SELECT format, version FROM hive");
    if (header.Step() != SQLITE_ROW || header.Text(0) != kFormat || header.Int(1) != kVersion ||
        header.Step() != SQLITE_DONE)
        return ERROR_BADDB;

    std::vector<FlatKey> flat;
    std::vector<int> depth;
    std::map<int64_t, size_t> byId;
    core::SqliteStatement keys(db, "SELECT id, parent, name, typeof(name) FROM keys ORDER BY id");
    int rc;
    while ((rc = keys.Step()) == SQLITE_ROW) {
        const int64_t id = keys.Int(0), parent = keys.Int(1);
        if (keys.Text(3) != "text") return ERROR_BADDB;
        if (flat.empty() != (parent == 0)) return ERROR_BADDB;  // exactly one top, first
        size_t index = flat.size();
        flat.push_back(FlatKey{Tree{keys.Text(2), {}, {}}, {}});
        depth.push_back(0);
        if (parent != 0) {
            auto p = byId.find(parent);
            if (p == byId.end()) return ERROR_BADDB;  // parents come before their children
            depth[index] = depth[p->second] + 1;
            if (depth[index] > kMaxDepth) return ERROR_BADDB;
            flat[p->second].children.push_back(index);
        }
        byId[id] = index;
    }
    if (rc != SQLITE_DONE || flat.empty()) return ERROR_BADDB;

    core::SqliteStatement vals(db, "SELECT key, name, type, data, typeof(name) FROM vals ORDER BY id");
    while ((rc = vals.Step()) == SQLITE_ROW) {
        auto k = byId.find(vals.Int(0));
        const int64_t type = vals.Int(2);
        if (k == byId.end() || vals.Text(4) != "text" || type < 0 || type > 0xFFFFFFFFLL) return ERROR_BADDB;
        flat[k->second].node.values.push_back(Value{vals.Text(1), static_cast<DWORD>(type), vals.Blob(3)});
    }
    if (rc != SQLITE_DONE) return ERROR_BADDB;
    Tree tree = Assemble(flat, 0);
    if (!ValidTree(tree)) return ERROR_BADDB;
    out = std::move(tree);
    return ERROR_SUCCESS;
}

// The file a caller names, as the Linux path, resolved when it exists (so one file loaded
// under two spellings is seen as one).
std::string HivePath(LPCSTR file) {
    std::string path = MapPath(file);
    char resolved[PATH_MAX];
    if (!path.empty() && realpath(path.c_str(), resolved)) path = resolved;
    return path;
}

}  // namespace

LONG WriteHiveFile(const std::string& path, const Tree& tree, bool exclusive) {
    std::string target = path;
    if (exclusive) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) return ERROR_ALREADY_EXISTS;
            if (errno == ENOENT || errno == ENOTDIR) return ERROR_PATH_NOT_FOUND;
            return static_cast<LONG>(ErrorFromErrno(errno));
        }
        close(fd);
    } else {
        target = path + ".vqtmp." + std::to_string(getpid());
        unlink(target.c_str());
    }
    LONG e = WriteInto(target, tree);
    if (e == ERROR_SUCCESS && !exclusive && rename(target.c_str(), path.c_str()) != 0)
        e = static_cast<LONG>(ErrorFromErrno(errno));
    if (e != ERROR_SUCCESS) {
        unlink(target.c_str());
        unlink((target + "-journal").c_str());
    }
    return e;
}

LONG ReadHiveFile(const std::string& path, Tree& tree) {
    struct stat st{};
    if (path.empty() || stat(path.c_str(), &st) != 0) return ERROR_FILE_NOT_FOUND;
    if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
    Database db;
    if (!db.Open(path, SQLITE_OPEN_READONLY)) return ERROR_BADDB;
    return ReadFrom(db.get(), tree);
}

}  // namespace pal::reg

using pal::reg::KeyId;
using pal::reg::KeyRef;
using pal::reg::Store;
using pal::reg::Tree;
using pal::reg::Txn;

LONG RegSaveKeyA(HKEY hKey, LPCSTR lpFile, const LPSECURITY_ATTRIBUTES) {
    KeyRef key;
    if (LONG e = pal::reg::ResolveKey(hKey, key)) return e;
    if (!pal::PrivilegeEnabled(pal::kSeBackupPrivilege)) return ERROR_PRIVILEGE_NOT_HELD;
    if (!lpFile || !*lpFile) return ERROR_INVALID_PARAMETER;
    const std::string path = pal::MapPath(lpFile);
    Tree tree;
    LONG e = Store::Run(false, [&](Txn& txn) -> LONG {
        if (LONG c = txn.CheckKey(key.id)) return c;
        std::string full;
        if (LONG p = txn.Path(key.id, full)) return p;
        tree.name = full.substr(full.rfind('\\') + 1);
        return txn.ReadTree(key.id, tree);
    });
    if (e) return e;
    return pal::reg::WriteHiveFile(path, tree, true);
}

LONG RegRestoreKeyA(HKEY hKey, LPCSTR lpFile, DWORD) {
    KeyRef key;
    if (LONG e = pal::reg::ResolveKey(hKey, key)) return e;
    if (!pal::PrivilegeEnabled(pal::kSeRestorePrivilege)) return ERROR_PRIVILEGE_NOT_HELD;
    if (!lpFile || !*lpFile) return ERROR_INVALID_PARAMETER;
    Tree tree;
    if (LONG e = pal::reg::ReadHiveFile(pal::reg::HivePath(lpFile), tree)) return e;
    return Store::Run(true, [&](Txn& txn) -> LONG {
        if (LONG c = txn.CheckKey(key.id)) return c;
        if (LONG d = txn.DeleteContents(key.id)) return d;
        return txn.WriteTree(key.id, tree, true);
    });
}

namespace {

// The hive root (HKLM or HKU) and the one name below it that RegLoadKey/RegUnLoadKey take.
LONG HiveTarget(HKEY hKey, LPCSTR lpSubKey, KeyId& root, std::string& name) {
    root = pal::reg::RootOf(hKey);
    if (root != pal::reg::kLocalMachine && root != pal::reg::kUsers) {
        KeyRef any;
        return pal::reg::ResolveKey(hKey, any) ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER;
    }
    if (!pal::PrivilegeEnabled(pal::kSeBackupPrivilege) || !pal::PrivilegeEnabled(pal::kSeRestorePrivilege))
        return ERROR_PRIVILEGE_NOT_HELD;
    std::vector<std::string> names;
    if (LONG e = pal::reg::SplitPath(lpSubKey, names)) return e;
    if (names.size() != 1) return ERROR_INVALID_PARAMETER;
    name = names[0];
    return ERROR_SUCCESS;
}

}  // namespace

LONG RegLoadKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpFile) {
    KeyId root = 0;
    std::string name;
    if (LONG e = HiveTarget(hKey, lpSubKey, root, name)) return e;
    if (!lpFile || !*lpFile) return ERROR_INVALID_PARAMETER;
    const std::string path = pal::reg::HivePath(lpFile);
    Tree tree;
    if (LONG e = pal::reg::ReadHiveFile(path, tree)) return e;
    return Store::Run(true, [&](Txn& txn) -> LONG {
        KeyId mounted = 0, id = 0;
        if (LONG m = txn.MountByFile(path, mounted)) return m;
        if (mounted) return ERROR_SHARING_VIOLATION;
        LONG c = txn.Child(root, name, id);
        if (c == ERROR_SUCCESS) return ERROR_ALREADY_EXISTS;
        if (c != ERROR_FILE_NOT_FOUND) return c;
        if ((c = txn.CreateChild(root, name, id)) || (c = txn.WriteTree(id, tree, true))) return c;
        return txn.AddMount(id, path);
    });
}

LONG RegUnLoadKeyA(HKEY hKey, LPCSTR lpSubKey) {
    KeyId root = 0;
    std::string name;
    if (LONG e = HiveTarget(hKey, lpSubKey, root, name)) return e;
    // One write transaction throughout, so no change made meanwhile misses the file.
    return Store::Run(true, [&](Txn& txn) -> LONG {
        KeyId id = 0;
        std::string file;
        if (LONG c = txn.Child(root, name, id)) return c;
        LONG m = txn.MountFile(id, file);
        if (m) return m == ERROR_FILE_NOT_FOUND ? ERROR_INVALID_PARAMETER : m;
        Tree tree;
        tree.name = name;
        if (LONG r = txn.ReadTree(id, tree)) return r;
        if (LONG w = pal::reg::WriteHiveFile(file, tree, false)) return w;
        if (LONG d = txn.DeleteContents(id)) return d;
        if (LONG d = txn.DeleteKey(id)) return d;
        return txn.RemoveMount(id);
    });
}
