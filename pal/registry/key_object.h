// A handle's view of a registry key: the key's id in the store and the access granted at
// open. The predefined roots are no handles; they resolve to the root rows directly.
#pragma once

#include <string>
#include <vector>

#include "pal/handle/handle.h"
#include "pal/registry/registry.h"
#include "pal/registry/store.h"

namespace pal::reg {

class KeyObject : public KernelObject {
public:
    KeyObject(KeyId id, DWORD access) : id_(id), access_(access) {}
    KeyId id() const { return id_; }
    DWORD access() const { return access_; }

private:
    const KeyId id_;
    const DWORD access_;
};

struct KeyRef {
    KeyId id = 0;
    DWORD access = 0;
    bool root = false;
};

// The key behind a handle or predefined root; ERROR_INVALID_HANDLE for anything else
// (HKEY_CURRENT_CONFIG included).
LONG ResolveKey(HKEY key, KeyRef& out);

// The root row of a predefined key (0 when it is none of ours).
KeyId RootOf(HKEY key);

// Splits a sub-key path into names. Null or "" gives none; one trailing '\' is allowed.
// A leading '\' or an empty name: ERROR_BAD_PATHNAME; a name over 255 characters:
// ERROR_INVALID_PARAMETER.
LONG SplitPath(const char* subKey, std::vector<std::string>& names);

// Walks names down from id; create makes the missing keys (created tells whether the
// last one was new). Without create a missing key is ERROR_FILE_NOT_FOUND.
LONG WalkPath(Txn& txn, KeyId id, const std::vector<std::string>& names, bool create, KeyId& out,
              bool* created = nullptr);

// 0 when the key may be deleted; ERROR_ACCESS_DENIED for the roots and loaded hives.
LONG CheckDeletable(Txn& txn, KeyId id);

// Generic and MAXIMUM_ALLOWED rights as the key rights they stand for.
DWORD MapKeyAccess(REGSAM desired);

}  // namespace pal::reg
