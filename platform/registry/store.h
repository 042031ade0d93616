// The SQLite file behind the registry calls: where it lives, opening it, its schema, and
// the mapping of SQLite results to ERROR_* codes. Internal to platform/registry.
//
// Every member is used under the one lock of registry.cpp, so the connection is never
// shared between threads at the same moment.
#pragma once

#include "platform/base/types.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace platform {

// Key rows of the three predefined roots; created with the schema, never deleted.
constexpr std::int64_t root_classes_root = 1;
constexpr std::int64_t root_current_user = 2;
constexpr std::int64_t root_local_machine = 3;

// Time another process's write transaction may hold us up before a call gives up.
constexpr int registry_busy_timeout_ms = 10000;

// The file the location rule of registry.h names at this moment: TETHRA_REGISTRY_FILE,
// else the machine-wide file if this process may create or write it, else the per-user
// file. Creates missing directories on the way. ERROR_SUCCESS or the reason there is none.
LONG registry_file_path(std::string& path);

class registry_db {
public:
    registry_db() = default;
    registry_db(const registry_db&) = delete;
    registry_db& operator=(const registry_db&) = delete;
    ~registry_db();

    // Follows the location rule: when it names another file than before, closes the
    // connection and counts a new generation (handles of the old file go stale).
    LONG select_file();
    // Opens the selected file if it is not open yet: WAL journal, busy time-out, schema.
    // A failed open leaves nothing open, so the next call tries again.
    LONG open();
    void close();
    std::uint64_t generation() const { return generation_; }

    // ERROR_* for a SQLite result code of this connection.
    LONG error(int rc) const;

    // A cached prepared statement; null (with rc set) when it cannot be prepared.
    sqlite3_stmt* statement(const char* sql, int& rc);

    sqlite3* handle() const { return db_; }

private:
    LONG open_file();
    LONG create_file();
    LONG configure();
    LONG prepare_schema();

    sqlite3* db_ = nullptr;
    std::string path_;
    std::string inputs_;  // the environment the path was chosen under
    bool selected_ = false;
    std::uint64_t generation_ = 0;
    // Keyed by the address of the statement's text: every caller passes a literal.
    std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

// One statement run: binds, steps, reads columns, and resets itself when it goes.
class registry_query {
public:
    registry_query(registry_db& db, const char* sql);
    registry_query(const registry_query&) = delete;
    registry_query& operator=(const registry_query&) = delete;
    ~registry_query();

    registry_query& bind(int index, std::int64_t value);
    registry_query& bind(int index, std::string_view text);
    registry_query& bind_blob(int index, const void* data, std::size_t size);

    // SQLITE_ROW, SQLITE_DONE or an error code (also a failed prepare or bind).
    int step();

    std::int64_t column_int64(int column) const;
    std::string_view column_text(int column) const;
    const void* column_blob(int column) const;
    std::size_t column_bytes(int column) const;

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = 0;
};

// A transaction for one call: BEGIN (reads) or BEGIN IMMEDIATE (writes, which waits up
// to the busy time-out for other writers). Rolled back unless committed.
class registry_transaction {
public:
    registry_transaction(registry_db& db, bool write);
    registry_transaction(const registry_transaction&) = delete;
    registry_transaction& operator=(const registry_transaction&) = delete;
    ~registry_transaction();

    LONG result() const { return result_; }
    LONG commit();

private:
    registry_db& db_;
    LONG result_ = ERROR_SUCCESS;
    bool open_ = false;
};

}  // namespace platform
