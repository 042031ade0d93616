#include "platform/registry/registry.h"

#include "platform/registry/store.h"

#include <sqlite3.h>

#include <cstring>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform {

namespace {

constexpr std::size_t max_key_name = 255;

struct open_key {
    std::int64_t id = 0;
    REGSAM access = 0;
    std::uint64_t generation = 0;
};

// Everything the calls share, behind one lock: the connection and the open keys.
struct registry_state {
    std::mutex mutex;
    registry_db db;
    // HKEY values are numbers handed out once and never reused, so a closed handle
    // stays invalid for good instead of naming some later key.
    std::unordered_map<std::uintptr_t, open_key> keys;
    std::uintptr_t next_handle = first_handle;

    static constexpr std::uintptr_t first_handle = 0x1000;
};

registry_state* state_instance = nullptr;

// SQLite connections must not cross fork(): the child would share the parent's file
// locks and bookkeeping. The connection is closed around every fork (and reopened on
// the next call, in parent and child alike); holding the lock meanwhile means no other
// thread is inside SQLite at that moment.
void before_fork()
{
    state_instance->mutex.lock();
    state_instance->db.close();
}

void after_fork()
{
    state_instance->mutex.unlock();
}

registry_state& state()
{
    static registry_state* instance = [] {
        auto* created = new registry_state;  // lives until the process ends
        state_instance = created;
        pthread_atfork(before_fork, after_fork, after_fork);
        return created;
    }();
    return *instance;
}

// Closes the connection at normal exit so that the WAL is checkpointed into the file.
struct close_at_exit {
    ~close_at_exit()
    {
        if (!state_instance)
            return;
        std::lock_guard lock(state_instance->mutex);
        state_instance->db.close();
    }
} closer;

template <class Body>
LONG guarded(Body&& body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_GEN_FAILURE;
    }
}

bool is_root(HKEY hKey, std::int64_t& id)
{
    if (hKey == HKEY_CLASSES_ROOT)
        id = root_classes_root;
    else if (hKey == HKEY_CURRENT_USER)
        id = root_current_user;
    else if (hKey == HKEY_LOCAL_MACHINE)
        id = root_local_machine;
    else
        return false;
    return true;
}

// Chooses the file, validates the handle against the table and opens the database.
LONG begin_call(registry_state& s, HKEY hKey, open_key& key)
{
    LONG result = s.db.select_file();
    if (result != ERROR_SUCCESS)
        return result;
    if (is_root(hKey, key.id)) {
        key.access = KEY_ALL_ACCESS;
    } else {
        auto found = s.keys.find(reinterpret_cast<std::uintptr_t>(hKey));
        if (found == s.keys.end() || found->second.generation != s.db.generation())
            return ERROR_INVALID_HANDLE;
        key = found->second;
    }
    return s.db.open();
}

HKEY insert_key(registry_state& s, std::int64_t id, REGSAM access)
{
    std::uintptr_t value = s.next_handle;
    s.next_handle += 4;
    // Keep clear of the predefined roots' values.
    if (s.next_handle >= 0x80000000U && s.next_handle < 0x80000010U)
        s.next_handle = 0x80000010U;
    s.keys[value] = open_key{id, access, s.db.generation()};
    return reinterpret_cast<HKEY>(value);
}

// ERROR_KEY_DELETED when another call (of any process) deleted the key since it was
// opened: key rows are never reused, so a handle never reaches a key of the same name
// created later.
LONG check_alive(registry_db& db, std::int64_t id)
{
    registry_query q(db, "SELECT 1 FROM keys WHERE id = ?");
    int rc = q.bind(1, id).step();
    if (rc == SQLITE_ROW)
        return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : db.error(rc);
}

// The frame of every call on one open key: under the store's lock, with the handle
// validated, the access the call needs granted (0: no check), and a transaction (a writing
// one for `write`) in which the key is known to exist still. Then body(s, key, tx).
template <class Body>
LONG key_call(HKEY hKey, REGSAM needed, bool write, Body&& body)
{
    registry_state& s = state();
    std::lock_guard lock(s.mutex);
    open_key key;
    if (LONG result = begin_call(s, hKey, key); result != ERROR_SUCCESS)
        return result;
    if (needed != 0 && !(key.access & needed))
        return ERROR_ACCESS_DENIED;
    registry_transaction tx(s.db, write);
    if (tx.result() != ERROR_SUCCESS)
        return tx.result();
    if (LONG result = check_alive(s.db, key.id); result != ERROR_SUCCESS)
        return result;
    return body(s, key, tx);
}

// Splits "a\b\c" into its names. An empty or null path has none and names the key
// itself; a leading backslash or an empty name inside the path is a bad path.
LONG split_path(LPCSTR lpSubKey, std::vector<std::string_view>& names)
{
    if (!lpSubKey || !*lpSubKey)
        return ERROR_SUCCESS;
    if (lpSubKey[0] == '\\')
        return ERROR_BAD_PATHNAME;
    std::string_view rest(lpSubKey);
    while (!rest.empty()) {
        std::size_t slash = rest.find('\\');
        std::string_view name = rest.substr(0, slash);
        if (name.empty())
            return ERROR_BAD_PATHNAME;
        if (name.size() > max_key_name)
            return ERROR_INVALID_PARAMETER;
        names.push_back(name);
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    return ERROR_SUCCESS;
}

// Follows names from key `id` as far as they exist. `found` counts the names
// found; `id` ends as the last key reached.
LONG walk(registry_db& db, std::int64_t& id, const std::vector<std::string_view>& names,
          std::size_t& found)
{
    found = 0;
    for (std::string_view name : names) {
        registry_query q(db, "SELECT id FROM keys WHERE parent = ? AND name = ?");
        int rc = q.bind(1, id).bind(2, name).step();
        if (rc == SQLITE_DONE)
            return ERROR_SUCCESS;
        if (rc != SQLITE_ROW)
            return db.error(rc);
        id = q.column_int64(0);
        ++found;
    }
    return ERROR_SUCCESS;
}

// Stores the bytes in the caller's buffer with the size rules of the query calls.
LONG copy_out(const void* data, std::size_t size, LPBYTE lpData, LPDWORD lpcbData)
{
    if (!lpcbData)
        return ERROR_SUCCESS;
    if (lpData) {
        if (*lpcbData < size) {
            *lpcbData = static_cast<DWORD>(size);
            return ERROR_MORE_DATA;
        }
        if (size)
            std::memcpy(lpData, data, size);
    }
    *lpcbData = static_cast<DWORD>(size);
    return ERROR_SUCCESS;
}

std::string_view value_name(LPCSTR lpValueName)
{
    return lpValueName ? std::string_view(lpValueName) : std::string_view();
}

LONG open_or_create(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, bool create,
                    PHKEY phkResult, LPDWORD lpdwDisposition)
{
    std::vector<std::string_view> names;
    if (LONG result = split_path(lpSubKey, names); result != ERROR_SUCCESS)
        return result;

    registry_state& s = state();
    std::lock_guard lock(s.mutex);
    open_key parent;
    if (LONG result = begin_call(s, hKey, parent); result != ERROR_SUCCESS)
        return result;

    std::int64_t id = parent.id;
    std::size_t found = 0;
    {
        registry_transaction tx(s.db, false);
        if (tx.result() != ERROR_SUCCESS)
            return tx.result();
        if (LONG result = check_alive(s.db, parent.id); result != ERROR_SUCCESS)
            return result;
        if (LONG result = walk(s.db, id, names, found); result != ERROR_SUCCESS)
            return result;
        if (LONG result = tx.commit(); result != ERROR_SUCCESS)
            return result;
    }

    bool created = false;
    if (found < names.size()) {
        if (!create)
            return ERROR_FILE_NOT_FOUND;
        if (!(parent.access & KEY_CREATE_SUB_KEY))
            return ERROR_ACCESS_DENIED;
        // Walk again under the write lock: another process may have changed the tree
        // since the read above.
        registry_transaction tx(s.db, true);
        if (tx.result() != ERROR_SUCCESS)
            return tx.result();
        if (LONG result = check_alive(s.db, parent.id); result != ERROR_SUCCESS)
            return result;
        id = parent.id;
        if (LONG result = walk(s.db, id, names, found); result != ERROR_SUCCESS)
            return result;
        for (std::size_t i = found; i < names.size(); ++i) {
            registry_query q(s.db, "INSERT INTO keys(parent, name) VALUES(?, ?)");
            int rc = q.bind(1, id).bind(2, names[i]).step();
            if (rc != SQLITE_DONE)
                return s.db.error(rc);
            id = sqlite3_last_insert_rowid(s.db.handle());
            created = true;
        }
        if (LONG result = tx.commit(); result != ERROR_SUCCESS)
            return result;
    }

    *phkResult = insert_key(s, id, samDesired);
    if (lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

}  // namespace

}  // namespace platform

using namespace platform;

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/,
                     DWORD dwOptions, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                     LPDWORD lpdwDisposition)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (dwOptions != REG_OPTION_NON_VOLATILE)
        return ERROR_INVALID_PARAMETER;
    return guarded([&] {
        return open_or_create(hKey, lpSubKey, samDesired, true, phkResult, lpdwDisposition);
    });
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                   PHKEY phkResult)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return guarded(
        [&] { return open_or_create(hKey, lpSubKey, samDesired, false, phkResult, nullptr); });
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    return guarded([&]() -> LONG {
        return key_call(
            hKey, KEY_QUERY_VALUE, false,
            [&](registry_state& s, const open_key& key, registry_transaction&) -> LONG {
                registry_query q(s.db,
                                 "SELECT type, data FROM key_values WHERE key = ? AND name = ?");
                int rc = q.bind(1, key.id).bind(2, value_name(lpValueName)).step();
                if (rc == SQLITE_DONE)
                    return ERROR_FILE_NOT_FOUND;
                if (rc != SQLITE_ROW)
                    return s.db.error(rc);
                if (lpType)
                    *lpType = static_cast<DWORD>(q.column_int64(0));
                const void* data = q.column_blob(1);
                return copy_out(data, q.column_bytes(1), lpData, lpcbData);
            });
    });
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                    const BYTE* lpData, DWORD cbData)
{
    if (dwType == REG_DWORD && cbData != sizeof(DWORD))
        return ERROR_INVALID_PARAMETER;
    if (!lpData && cbData)
        return ERROR_INVALID_PARAMETER;
    return guarded([&]() -> LONG {
        std::string text;
        const void* data = lpData;
        std::size_t size = cbData;
        if (dwType == REG_SZ) {
            // Stored up to the first NUL and always with one, so the size a query
            // reports includes the terminator whether or not the caller counted it.
            const char* chars = reinterpret_cast<const char*>(lpData);
            text.assign(chars ? chars : "", chars ? strnlen(chars, cbData) : 0);
            data = text.c_str();
            size = text.size() + 1;
        }

        return key_call(
            hKey, KEY_SET_VALUE, true,
            [&](registry_state& s, const open_key& key, registry_transaction& tx) -> LONG {
                // An existing value keeps its row, and so its name's case and its place in
                // the enumeration order.
                registry_query q(s.db,
                                 "INSERT INTO key_values(key, name, type, data) VALUES(?, ?, ?, ?)"
                                 " ON CONFLICT(key, name) DO UPDATE SET"
                                 " type = excluded.type, data = excluded.data");
                int rc = q.bind(1, key.id)
                             .bind(2, value_name(lpValueName))
                             .bind(3, static_cast<std::int64_t>(dwType))
                             .bind_blob(4, data, size)
                             .step();
                if (rc != SQLITE_DONE)
                    return s.db.error(rc);
                return tx.commit();
            });
    });
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpReserved || !lpValueName || !lpcchValueName || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    return guarded([&]() -> LONG {
        return key_call(
            hKey, KEY_QUERY_VALUE, false,
            [&](registry_state& s, const open_key& key, registry_transaction&) -> LONG {
                registry_query q(s.db,
                                 "SELECT name, type, data FROM key_values WHERE key = ?"
                                 " ORDER BY rowid LIMIT 1 OFFSET ?");
                int rc = q.bind(1, key.id).bind(2, static_cast<std::int64_t>(dwIndex)).step();
                if (rc == SQLITE_DONE)
                    return ERROR_NO_MORE_ITEMS;
                if (rc != SQLITE_ROW)
                    return s.db.error(rc);
                std::string_view name = q.column_text(0);
                // The name buffer's size counts the terminator; the size returned does not.
                // A short buffer leaves the size as it was, as documented for this call.
                if (*lpcchValueName <= name.size())
                    return ERROR_MORE_DATA;
                std::memcpy(lpValueName, name.data(), name.size());
                lpValueName[name.size()] = '\0';
                *lpcchValueName = static_cast<DWORD>(name.size());
                if (lpType)
                    *lpType = static_cast<DWORD>(q.column_int64(1));
                const void* data = q.column_blob(2);
                return copy_out(data, q.column_bytes(2), lpData, lpcbData);
            });
    });
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    if (!lpSubKey)
        return ERROR_INVALID_PARAMETER;
    return guarded([&]() -> LONG {
        std::vector<std::string_view> names;
        if (LONG result = split_path(lpSubKey, names); result != ERROR_SUCCESS)
            return result;
        return key_call(
            hKey, 0, true,
            [&](registry_state& s, const open_key& key, registry_transaction& tx) -> LONG {
                std::int64_t id = key.id;
                std::size_t found = 0;
                if (LONG result = walk(s.db, id, names, found); result != ERROR_SUCCESS)
                    return result;
                if (found < names.size())
                    return ERROR_FILE_NOT_FOUND;
                if (id == root_classes_root || id == root_current_user || id == root_local_machine)
                    return ERROR_ACCESS_DENIED;
                static const char* const delete_values =
                    "WITH RECURSIVE tree(id) AS (SELECT ?"
                    " UNION ALL SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id)"
                    " DELETE FROM key_values WHERE key IN tree";
                static const char* const delete_keys =
                    "WITH RECURSIVE tree(id) AS (SELECT ?"
                    " UNION ALL SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id)"
                    " DELETE FROM keys WHERE id IN tree";
                for (const char* sql : {delete_values, delete_keys}) {
                    registry_query q(s.db, sql);
                    int rc = q.bind(1, id).step();
                    if (rc != SQLITE_DONE)
                        return s.db.error(rc);
                }
                return tx.commit();
            });
    });
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    return guarded([&]() -> LONG {
        return key_call(
            hKey, KEY_SET_VALUE, true,
            [&](registry_state& s, const open_key& key, registry_transaction& tx) -> LONG {
                registry_query q(s.db, "DELETE FROM key_values WHERE key = ? AND name = ?");
                int rc = q.bind(1, key.id).bind(2, value_name(lpValueName)).step();
                if (rc != SQLITE_DONE)
                    return s.db.error(rc);
                if (sqlite3_changes(s.db.handle()) == 0)
                    return ERROR_FILE_NOT_FOUND;
                return tx.commit();
            });
    });
}

LONG RegCloseKey(HKEY hKey)
{
    std::int64_t root = 0;
    if (is_root(hKey, root))
        return ERROR_SUCCESS;
    return guarded([&]() -> LONG {
        registry_state& s = state();
        std::lock_guard lock(s.mutex);
        return s.keys.erase(reinterpret_cast<std::uintptr_t>(hKey)) ? ERROR_SUCCESS
                                                                    : ERROR_INVALID_HANDLE;
    });
}
