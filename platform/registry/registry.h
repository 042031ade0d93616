// The registry store: keys and values with the documented behaviour of the calls of the
// same names, kept in one SQLite database.
//
// Where the database is, decided on each call from the environment:
//   1. TETHRA_REGISTRY_FILE, when set and not empty, names the file (tests use it);
//   2. else /var/lib/tethra/registry.db, when this process may create or write that file
//      and write in its directory (normally root only);
//   3. else $XDG_CONFIG_HOME/tethra/registry.db, with $HOME/.config in place of an unset
//      or relative XDG_CONFIG_HOME.
// Missing directories are created. A process that may not write the machine-wide file
// does not read it either: it sees its per-user file only. When the rule names another
// file than before, the store switches to it, and keys opened in the old file answer
// ERROR_INVALID_HANDLE. Across fork() the connection is closed and each process reopens
// it on its next call; a child goes on using the keys its parent had open.
//
// Several processes and threads may use one file at once: each call is one SQLite
// transaction (writes take the write lock first, waiting up to 10 s for another writer),
// the journal is a WAL and every commit is synced, so a call that returned ERROR_SUCCESS
// has stored its value for good, and a crash of any writer never damages the file.
//
// Results are ERROR_* codes, never exceptions. Besides each call's own codes, any call
// that reaches the file may return:
//   ERROR_REGISTRY_CORRUPT    the file is not a SQLite database, is damaged, or is another
//                             program's database (it is then left untouched);
//   ERROR_ACCESS_DENIED       the file or its directory may not be read or written;
//   ERROR_REGISTRY_IO_FAILED  the file cannot be opened or written for another reason, or
//                             another process held the write lock past the time-out;
//   ERROR_PATH_NOT_FOUND      no file can be named: no TETHRA_REGISTRY_FILE, no right to
//                             the machine-wide file, and no home directory;
//   ERROR_NOT_ENOUGH_MEMORY   out of memory.
// A failed open is tried again by the next call, so the process goes on once the file is
// repaired or replaced.
//
// Keys: HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT and HKEY_CURRENT_USER are three separate
// trees of the one file (HKEY_CLASSES_ROOT is not a merged view of other keys, and in the
// machine-wide file HKEY_CURRENT_USER is shared by every user who writes it). The roots
// are always open; closing them is a harmless success. Every other HKEY is an entry in a
// table of open keys: a closed or made-up HKEY gives ERROR_INVALID_HANDLE, a key deleted
// while open (by any process) gives ERROR_KEY_DELETED, even if a key of the same name has
// been created since. Paths use backslashes; a leading backslash or an empty name inside
// a path is ERROR_BAD_PATHNAME, a name over 255 characters ERROR_INVALID_PARAMETER. Key
// and value names compare with ASCII case folding and keep the case they were created
// with. Value name null or "" is the key's default value.
//
// Access: the samDesired of the open is enforced: KEY_QUERY_VALUE to query or enumerate
// values, KEY_SET_VALUE to set or delete them, KEY_CREATE_SUB_KEY to create subkeys;
// otherwise ERROR_ACCESS_DENIED. Security attributes and class names are ignored: file
// permissions are the only protection of the store.
//
// Not given on Linux: volatile keys, links, change notification, per-key security.
#pragma once

#include "platform/base/types.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000U)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001U)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002U)))

#define KEY_QUERY_VALUE 0x0001U
#define KEY_SET_VALUE 0x0002U
#define KEY_CREATE_SUB_KEY 0x0004U
#define KEY_ENUMERATE_SUB_KEYS 0x0008U
#define KEY_READ 0x20019U
#define KEY_WRITE 0x20006U
#define KEY_ALL_ACCESS 0xF003FU

#define REG_OPTION_NON_VOLATILE 0x00000000U
#define REG_CREATED_NEW_KEY 0x00000001U
#define REG_OPENED_EXISTING_KEY 0x00000002U

#define REG_NONE 0U
#define REG_SZ 1U
#define REG_BINARY 3U
#define REG_DWORD 4U

// Opens lpSubKey below hKey, creating every missing key on the way (the write needs
// KEY_CREATE_SUB_KEY on hKey); *lpdwDisposition tells REG_CREATED_NEW_KEY from
// REG_OPENED_EXISTING_KEY. dwOptions must be REG_OPTION_NON_VOLATILE, else
// ERROR_INVALID_PARAMETER. A null or empty lpSubKey opens hKey again as a new HKEY.
// *phkResult is null on failure.
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                     DWORD dwOptions, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition);
// Opens an existing key: ERROR_FILE_NOT_FOUND when a key of the path is missing. A null
// or empty lpSubKey opens hKey again as a new HKEY. ulOptions is ignored. *phkResult is
// null on failure.
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   PHKEY phkResult);
// lpValueName null or "" names the key's default value. *lpType gets the type when
// lpType is not null. With lpData null, *lpcbData gets the size; with a buffer of
// *lpcbData bytes that is too small, the call fails with ERROR_MORE_DATA, stores the size
// needed in *lpcbData and leaves the buffer alone. A REG_SZ size counts its terminator.
// ERROR_FILE_NOT_FOUND for a missing value (a new key has no default value);
// ERROR_INVALID_PARAMETER for a non-null lpReserved or lpData without lpcbData.
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData);
// Creates or replaces a value (an existing value keeps its name's case and its place in
// the enumeration). REG_DWORD needs cbData 4, else ERROR_INVALID_PARAMETER. REG_SZ is
// stored up to its first NUL within cbData bytes and always with a terminator, so a
// caller that leaves the terminator out of cbData still stores a proper string. Other
// types (REG_BINARY, ...) are stored as the cbData bytes given. lpData may be null only
// with cbData 0.
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                    const BYTE* lpData, DWORD cbData);
// Value dwIndex of the key, in the order the values were first set; ERROR_NO_MORE_ITEMS
// past the end. *lpcchValueName is the name buffer's size in characters including the
// terminator and gets the name's length without it; a name that does not fit gives
// ERROR_MORE_DATA and leaves *lpcchValueName as it was. Type and data as for
// RegQueryValueExA, ERROR_MORE_DATA with the size needed for a short data buffer.
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
// Deletes the key with its whole subtree (also when it has subkeys) in one transaction;
// an empty lpSubKey deletes hKey's own key. ERROR_FILE_NOT_FOUND for a missing key,
// ERROR_ACCESS_DENIED for a root, ERROR_INVALID_PARAMETER for a null lpSubKey. The
// handle's access rights are not checked: file permissions decide.
LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
// ERROR_FILE_NOT_FOUND for a missing value.
LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
// Frees the HKEY (it never touches the file). ERROR_INVALID_HANDLE for a handle that is
// not open; ERROR_SUCCESS for the roots, which stay open.
LONG RegCloseKey(HKEY hKey);
