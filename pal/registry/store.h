// The registry store: one SQLite database per machine root ($VQ_ROOT/registry.db), one
// connection per process, every Reg* call one transaction on it.
//
//   keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent, name COLLATE NOCASE, mtime)
//   vals(id INTEGER PRIMARY KEY, key, name COLLATE NOCASE, type, data BLOB)
//   mounts(key INTEGER PRIMARY KEY, file)            -- hives loaded by RegLoadKey
//
// Ids give creation order, which is enumeration order; an overwritten value keeps its row
// and so its place. AUTOINCREMENT never hands out a deleted key's id again, so a handle
// to a deleted key cannot reach a newer one. NOCASE folds ASCII letters only, which is the
// case rule of registry names. The four roots are rows 1..4 with parent 0.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "pal/registry/tree.h"
#include "pal/types.h"

namespace pal::core {
class SqliteDb;
class SqliteStatement;
}  // namespace pal::core

namespace pal::reg {

using KeyId = int64_t;
constexpr KeyId kClassesRoot = 1;
constexpr KeyId kCurrentUser = 2;
constexpr KeyId kLocalMachine = 3;
constexpr KeyId kUsers = 4;

struct KeyInfo {
    DWORD subKeys = 0;
    DWORD maxSubKeyLen = 0;
    DWORD values = 0;
    DWORD maxValueNameLen = 0;
    DWORD maxValueLen = 0;
    FILETIME lastWrite{};
};

// The store's operations inside one transaction. Each returns 0 or a Win32 error; a
// failing statement gives ERROR_CANTREAD or ERROR_CANTWRITE.
class Txn {
public:
    explicit Txn(core::SqliteDb& db) : db_(db) {}

    // 0 when the key exists, else ERROR_KEY_DELETED.
    LONG CheckKey(KeyId id);
    // ERROR_FILE_NOT_FOUND when there is no such child.
    LONG Child(KeyId parent, const std::string& name, KeyId& out);
    LONG CreateChild(KeyId parent, const std::string& name, KeyId& out);
    LONG Parent(KeyId id, KeyId& parent);
    // Levels below its root (a root is 0).
    LONG Depth(KeyId id, int& depth);
    LONG ChildAt(KeyId parent, DWORD index, std::string& name, FILETIME& lastWrite);  // ERROR_NO_MORE_ITEMS
    LONG ChildCount(KeyId parent, DWORD& count);
    LONG Info(KeyId id, KeyInfo& info);
    // "HKEY_LOCAL_MACHINE\SOFTWARE\X" with the names as stored.
    LONG Path(KeyId id, std::string& path);

    LONG GetValue(KeyId key, const std::string& name, Value& out);  // ERROR_FILE_NOT_FOUND
    LONG ValueAt(KeyId key, DWORD index, Value& out);               // ERROR_NO_MORE_ITEMS
    // Overwrites in place (the value keeps its row, so its enumeration place).
    LONG SetValue(KeyId key, const Value& value);
    LONG DeleteValue(KeyId key, const std::string& name);  // ERROR_FILE_NOT_FOUND

    // The key's row and values (the caller made sure it has no children).
    LONG DeleteKey(KeyId id);
    // Every value and sub-key below the key; the key stays.
    LONG DeleteContents(KeyId id);
    // levels: how many levels of sub-keys to read with their contents (-1: all; 0: the
    // sub-keys' names only, with empty contents).
    LONG ReadTree(KeyId id, Tree& out, int levels = -1);
    // Merges tree's values and sub-keys into the key (tree.name is not used). Existing
    // values are replaced only when overwrite is set.
    LONG WriteTree(KeyId id, const Tree& tree, bool overwrite);

    // Loaded hives: the key a file is mounted at (0 when none), the file of a key.
    LONG MountByFile(const std::string& file, KeyId& key);
    LONG MountFile(KeyId key, std::string& file);  // ERROR_FILE_NOT_FOUND when not a mount
    LONG AddMount(KeyId key, const std::string& file);
    LONG RemoveMount(KeyId key);

private:
    core::SqliteStatement& Stmt(const char* sql);
    LONG Touch(KeyId id);
    // The enumeration cursor (store.cpp): what tells a changed store, where index goes on.
    LONG StoreState(int64_t& changes, int64_t& dataVersion);
    int64_t ContinueAfter(bool values, KeyId key, DWORD index, int64_t& changes, int64_t& dataVersion);
    void Remember(bool values, KeyId key, DWORD index, int64_t rowid, int64_t changes, int64_t dataVersion);

    core::SqliteDb& db_;
};

class Store {
public:
    // Runs fn inside one transaction. A write transaction takes the store's write lock at
    // once (BEGIN IMMEDIATE) and commits when fn returns 0; otherwise it rolls back. Calls
    // from the threads of a process are serialised.
    static LONG Run(bool write, const std::function<LONG(Txn&)>& fn);
    // Moves committed transactions from the WAL into the database file, synced.
    static LONG Flush();
};

// The current time as a FILETIME.
FILETIME Now();

}  // namespace pal::reg
