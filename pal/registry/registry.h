// The registry: keys and typed values in one SQLite store per machine root
// ($VQ_ROOT/registry.db), shared by every process (see docs/registry.md).
//
// - Roots: HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT and HKEY_USERS. Other
//   predefined keys (HKEY_CURRENT_CONFIG ...) do not exist: ERROR_INVALID_HANDLE.
// - Names are case-insensitive for ASCII letters and keep the case they were created with.
//   A key name is 1..255 characters without '\'; a value name at most 16383 characters
//   (longer: ERROR_INVALID_PARAMETER). "" (or null) names the default value.
// - Enumeration follows creation order; overwriting a value keeps its place.
// - Every call is one transaction: when it returns success its change is committed and
//   survives the process being killed; other processes see it at their next call.
// - A handle keeps naming its key; once the key is deleted (by anyone) calls on the handle
//   fail with ERROR_KEY_DELETED.
// - Access rights of a handle are checked as on Windows (KEY_QUERY_VALUE to read values,
//   KEY_SET_VALUE to write them, KEY_ENUMERATE_SUB_KEYS, KEY_CREATE_SUB_KEY); no ACLs.
// - Hive files (RegSaveKey / RegRestoreKey / RegLoadKey) are standalone SQLite files and
//   need SeBackupPrivilege / SeRestorePrivilege enabled (pal/security).
// - REG_OPTION_VOLATILE keys are stored like the others (they outlive a reboot).
#pragma once

#include "pal/error/error.h"
#include "pal/types.h"

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef ACCESS_MASK REGSAM;
typedef LONG LSTATUS;

#define VQ_PREDEFINED_HKEY(v) (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(v))))
#define HKEY_CLASSES_ROOT VQ_PREDEFINED_HKEY(0x80000000)
#define HKEY_CURRENT_USER VQ_PREDEFINED_HKEY(0x80000001)
#define HKEY_LOCAL_MACHINE VQ_PREDEFINED_HKEY(0x80000002)
#define HKEY_USERS VQ_PREDEFINED_HKEY(0x80000003)
#define HKEY_PERFORMANCE_DATA VQ_PREDEFINED_HKEY(0x80000004)
#define HKEY_CURRENT_CONFIG VQ_PREDEFINED_HKEY(0x80000005)
#define HKEY_DYN_DATA VQ_PREDEFINED_HKEY(0x80000006)

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_DWORD_LITTLE_ENDIAN 4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_LINK 6u
#define REG_MULTI_SZ 7u
#define REG_RESOURCE_LIST 8u
#define REG_FULL_RESOURCE_DESCRIPTOR 9u
#define REG_RESOURCE_REQUIREMENTS_LIST 10u
#define REG_QWORD 11u
#define REG_QWORD_LITTLE_ENDIAN 11u

#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define KEY_READ ((READ_CONTROL | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & ~SYNCHRONIZE)
#define KEY_WRITE ((READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & ~SYNCHRONIZE)
#define KEY_EXECUTE (KEY_READ & ~SYNCHRONIZE)
#define KEY_ALL_ACCESS                                                                                 \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | \
      KEY_NOTIFY | KEY_CREATE_LINK) &                                                                  \
     ~SYNCHRONIZE)

#define REG_OPTION_RESERVED 0x0000u
#define REG_OPTION_NON_VOLATILE 0x0000u
#define REG_OPTION_VOLATILE 0x0001u
#define REG_OPTION_CREATE_LINK 0x0002u
#define REG_OPTION_BACKUP_RESTORE 0x0004u
#define REG_OPTION_OPEN_LINK 0x0008u

#define REG_CREATED_NEW_KEY 0x00000001u
#define REG_OPENED_EXISTING_KEY 0x00000002u

// RegRestoreKey flags (accepted; a restore always replaces the key's contents).
#define REG_WHOLE_HIVE_VOLATILE 0x00000001u
#define REG_REFRESH_HIVE 0x00000002u
#define REG_NO_LAZY_FLUSH 0x00000004u
#define REG_FORCE_RESTORE 0x00000008u

// Creates the key and any missing keys above it. *lpdwDisposition: REG_CREATED_NEW_KEY
// or REG_OPENED_EXISTING_KEY. Creating a key needs KEY_CREATE_SUB_KEY on hKey.
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                     const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition);
// A missing key: ERROR_FILE_NOT_FOUND. A null or empty sub-key opens hKey again.
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
LONG RegCloseKey(HKEY hKey);

// With lpData null, *lpcbData receives the size. A buffer too small: ERROR_MORE_DATA with
// the size needed in *lpcbData and the buffer untouched. Strings come back as stored.
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData);
// Stores cbData bytes of any type as given (string data should include its terminator).
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData);
LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);

// Sub-keys and values by index in creation order; past the end ERROR_NO_MORE_ITEMS. A name
// buffer too small (sizes in characters, terminator included): ERROR_MORE_DATA.
LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName);
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);

// Deletes a key without sub-keys (one with sub-keys: ERROR_ACCESS_DENIED) and its values.
// An empty sub-key deletes hKey's own key. Roots and loaded hives cannot be deleted.
LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
// Deletes the sub-key's values and whole tree (with lpSubKey null or empty: hKey's
// values and sub-keys, keeping the key).
LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
// Copies the tree below hKeySrc\lpSubKey into hKeyDest (merging, values overwritten).
LONG RegCopyTreeA(HKEY hKeySrc, LPCSTR lpSubKey, HKEY hKeyDest);

// Counts, longest names (characters, without terminator) and longest data (bytes). Keys
// have no class here (empty) and report no security descriptor.
LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime);
// Everything is committed already; this also forces it to disk.
LONG RegFlushKey(HKEY hKey);

// Writes hKey's tree to a new file (ERROR_ALREADY_EXISTS when the file exists). Needs
// SeBackupPrivilege enabled (else ERROR_PRIVILEGE_NOT_HELD). File names are Windows paths.
LONG RegSaveKeyA(HKEY hKey, LPCSTR lpFile, const LPSECURITY_ATTRIBUTES lpSecurityAttributes);
// Replaces hKey's values and sub-keys with the file's. Needs SeRestorePrivilege. A file
// that is no hive: ERROR_BADDB. Handles to the replaced sub-keys become deleted keys.
LONG RegRestoreKeyA(HKEY hKey, LPCSTR lpFile, DWORD dwFlags);
// Mounts a hive file as the new key HKLM\lpSubKey or HKU\lpSubKey (one name, no '\'; an
// existing key: ERROR_ALREADY_EXISTS; a file already loaded: ERROR_SHARING_VIOLATION).
// The tree is copied into the store and written back to the file by RegUnLoadKey. Both
// need SeBackupPrivilege and SeRestorePrivilege.
LONG RegLoadKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpFile);
LONG RegUnLoadKeyA(HKEY hKey, LPCSTR lpSubKey);

#define RegCreateKeyEx RegCreateKeyExA
#define RegOpenKeyEx RegOpenKeyExA
#define RegCreateKey RegCreateKeyA
#define RegOpenKey RegOpenKeyA
#define RegQueryValueEx RegQueryValueExA
#define RegSetValueEx RegSetValueExA
#define RegDeleteValue RegDeleteValueA
#define RegEnumKeyEx RegEnumKeyExA
#define RegEnumKey RegEnumKeyA
#define RegEnumValue RegEnumValueA
#define RegDeleteKey RegDeleteKeyA
#define RegDeleteTree RegDeleteTreeA
#define RegCopyTree RegCopyTreeA
#define RegQueryInfoKey RegQueryInfoKeyA
#define RegSaveKey RegSaveKeyA
#define RegRestoreKey RegRestoreKeyA
#define RegLoadKey RegLoadKeyA
#define RegUnLoadKey RegUnLoadKeyA
