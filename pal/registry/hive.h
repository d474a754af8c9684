// Hive files: a key's tree in a standalone SQLite database (rollback journal, no WAL, so
// the file is complete on its own once written):
//
//   hive(format TEXT, version INTEGER)   -- one row: 'vq-registry-hive', 1
//   keys(id INTEGER PRIMARY KEY, parent INTEGER, name TEXT)
//   vals(id INTEGER PRIMARY KEY, key INTEGER, name TEXT, type INTEGER, data BLOB)
//
// The saved key is the one row with parent 0; every other key names an earlier row as its
// parent. Ids give the order of sub-keys and values.
#pragma once

#include <string>

#include "pal/registry/tree.h"

namespace pal::reg {

// Writes tree to path. exclusive: the file must not exist (ERROR_ALREADY_EXISTS);
// otherwise the file is replaced whole (written beside it, then renamed over it).
LONG WriteHiveFile(const std::string& path, const Tree& tree, bool exclusive);

// Reads a hive file: ERROR_FILE_NOT_FOUND, or ERROR_BADDB for anything that is not a
// well-formed hive.
LONG ReadHiveFile(const std::string& path, Tree& tree);

}  // namespace pal::reg
