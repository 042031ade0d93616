#include "platform/registry/store.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

constexpr const char* machine_dir = "/var/lib/tethra";
constexpr const char* file_name = "registry.db";

// Marks the file as ours in the SQLite header ("TETH"), so that another program's
// database named by mistake is refused instead of having tables added to it.
constexpr std::int64_t application_id = 0x54455448;
constexpr std::int64_t schema_version = 1;

LONG errno_error(int error_number)
{
    switch (error_number) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

LONG sqlite_error(sqlite3* db, int rc)
{
    switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return ERROR_SUCCESS;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
        return ERROR_REGISTRY_CORRUPT;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_TOOBIG:
        return ERROR_INVALID_PARAMETER;
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
        // The OS error tells a permission problem from a failing disk.
        return db ? errno_error(sqlite3_system_errno(db)) : ERROR_REGISTRY_IO_FAILED;
    default:
        // SQLITE_BUSY after the busy time-out, SQLITE_FULL, SQLITE_PROTOCOL, ...
        return ERROR_REGISTRY_IO_FAILED;
    }
}

// mkdir -p; 0 or the errno of the step that failed.
int make_dirs(const std::string& dir, mode_t mode)
{
    for (std::size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
        std::string prefix = dir.substr(0, pos);
        if (!prefix.empty() && ::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST)
            return errno;
        if (pos == std::string::npos)
            break;
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

bool may_access(const std::string& path, int mode)
{
    // The effective ids decide, as they do for the open that follows.
    return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

// The machine-wide file is used when this process can create or write it, and write
// in its directory (the WAL and shared-memory files live next to it).
bool machine_file_usable(std::string& path)
{
    std::string dir = machine_dir;
    if (make_dirs(dir, 0755) != 0 || !may_access(dir, W_OK | X_OK))
        return false;
    path = dir + "/" + file_name;
    return !may_access(path, F_OK) || may_access(path, R_OK | W_OK);
}

std::string home_dir()
{
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return home;
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* result = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
        result->pw_dir && result->pw_dir[0] == '/')
        return result->pw_dir;
    return {};
}

LONG user_file_path(std::string& path)
{
    // A relative XDG_CONFIG_HOME is invalid by the XDG rules and is ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (config && config[0] == '/') {
        base = config;
    } else {
        std::string home = home_dir();
        if (home.empty())
            return ERROR_PATH_NOT_FOUND;
        base = home + "/.config";
    }
    std::string dir = base + "/tethra";
    if (int error_number = make_dirs(dir, 0700))
        return errno_error(error_number);
    path = dir + "/" + file_name;
    return ERROR_SUCCESS;
}

}  // namespace

LONG registry_file_path(std::string& path)
{
    const char* named = std::getenv("TETHRA_REGISTRY_FILE");
    if (named && *named) {
        path = named;
        std::size_t slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0) {
            if (int error_number = make_dirs(path.substr(0, slash), 0755))
                return errno_error(error_number);
        }
        return ERROR_SUCCESS;
    }
    if (machine_file_usable(path))
        return ERROR_SUCCESS;
    return user_file_path(path);
}

registry_db::~registry_db()
{
    close();
}

LONG registry_db::select_file()
{
    // The rule depends on these variables only; while they stay the same the choice
    // stands, and a call costs no file system look-ups.
    std::string inputs;
    for (const char* name : {"TETHRA_REGISTRY_FILE", "XDG_CONFIG_HOME", "HOME"}) {
        const char* value = std::getenv(name);
        inputs += value ? "=" : "-";
        inputs += value ? value : "";
        inputs += '\0';
    }
    if (selected_ && inputs == inputs_)
        return ERROR_SUCCESS;

    std::string path;
    LONG result = registry_file_path(path);
    if (result != ERROR_SUCCESS) {
        close();
        selected_ = false;
        return result;
    }
    if (!selected_ || path != path_) {
        close();
        path_ = std::move(path);
        selected_ = true;
        ++generation_;
    }
    inputs_ = std::move(inputs);
    return ERROR_SUCCESS;
}

LONG registry_db::open()
{
    if (db_)
        return ERROR_SUCCESS;
    if (!selected_)
        return ERROR_REGISTRY_IO_FAILED;
    LONG result = open_file();
    if (result != ERROR_SUCCESS)
        close();
    return result;
}

LONG registry_db::open_file()
{
    // Without SQLITE_OPEN_CREATE: a missing file is made by create_file, never here.
    int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    if ((rc & 0xff) == SQLITE_CANTOPEN && sqlite3_system_errno(db_) == ENOENT) {
        close();
        if (LONG result = create_file(); result != ERROR_SUCCESS)
            return result;
        rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    }
    if (rc != SQLITE_OK)
        return sqlite_error(db_, rc);
    return configure();
}

LONG registry_db::create_file()
{
    // Switching a file to WAL needs it to itself: processes that start together on a new
    // file would get SQLITE_BUSY, which no busy time-out covers. So a new file is made
    // complete (WAL mode, schema) under a name of its own and then linked into place;
    // the process that comes second finds the first one's file and discards its own.
    std::string made = path_ + "-new-XXXXXX";
    int fd = ::mkstemp(made.data());
    if (fd < 0)
        return errno_error(errno);
    ::fchmod(fd, 0644);  // as SQLite would have created it
    ::close(fd);

    LONG result = ERROR_SUCCESS;
    {
        registry_db maker;
        maker.path_ = made;
        int rc = sqlite3_open_v2(made.c_str(), &maker.db_, SQLITE_OPEN_READWRITE, nullptr);
        result = rc == SQLITE_OK ? maker.configure() : sqlite_error(maker.db_, rc);
    }  // closing checkpoints the WAL into the file and removes it
    if (result == ERROR_SUCCESS && ::link(made.c_str(), path_.c_str()) != 0 && errno != EEXIST)
        result = errno_error(errno);
    ::unlink(made.c_str());
    return result;
}

LONG registry_db::configure()
{
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, registry_busy_timeout_ms);
    // WAL lets readers go on while one writer commits; FULL syncs every commit, so a
    // value whose call returned success survives a crash of the machine too.
    int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        return sqlite_error(db_, rc);
    rc = sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        return sqlite_error(db_, rc);
    return prepare_schema();
}

LONG registry_db::prepare_schema()
{
    // Most opens find the schema in place and need no write lock at all.
    auto check = [this](bool& ready) -> LONG {
        registry_query q(*this,
                         "SELECT (SELECT application_id FROM pragma_application_id),"
                         " (SELECT user_version FROM pragma_user_version),"
                         " (SELECT count(*) FROM sqlite_master)");
        int rc = q.step();
        if (rc != SQLITE_ROW)
            return error(rc);
        std::int64_t id = q.column_int64(0);
        std::int64_t version = q.column_int64(1);
        std::int64_t objects = q.column_int64(2);
        ready = id == application_id && version == schema_version;
        if (ready)
            return ERROR_SUCCESS;
        // Another program's database, or a layout this code does not know.
        if (id != 0 || objects != 0)
            return ERROR_REGISTRY_CORRUPT;
        return ERROR_SUCCESS;
    };

    bool ready = false;
    if (LONG result = check(ready); result != ERROR_SUCCESS || ready)
        return result;

    // An empty file made by someone else (create_file's own files arrive here alone):
    // the write lock lets one process create the schema, and the others find it done.
    registry_transaction tx(*this, true);
    if (tx.result() != ERROR_SUCCESS)
        return tx.result();
    if (LONG result = check(ready); result != ERROR_SUCCESS || ready)
        return result;
    static const char* const schema =
        "CREATE TABLE keys("
        " id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " parent INTEGER REFERENCES keys(id),"
        " name TEXT NOT NULL COLLATE NOCASE,"
        " UNIQUE(parent, name));"
        "CREATE TABLE key_values("
        " key INTEGER NOT NULL REFERENCES keys(id),"
        " name TEXT NOT NULL COLLATE NOCASE,"
        " type INTEGER NOT NULL,"
        " data BLOB NOT NULL,"
        " PRIMARY KEY(key, name));"
        "INSERT INTO keys(id, parent, name) VALUES"
        " (1, NULL, 'HKEY_CLASSES_ROOT'),"
        " (2, NULL, 'HKEY_CURRENT_USER'),"
        " (3, NULL, 'HKEY_LOCAL_MACHINE');"
        "PRAGMA application_id=1413829704;"
        "PRAGMA user_version=1;";
    static_assert(application_id == 1413829704 && schema_version == 1);
    int rc = sqlite3_exec(db_, schema, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        return error(rc);
    return tx.commit();
}

void registry_db::close()
{
    for (auto& entry : statements_)
        sqlite3_finalize(entry.second);
    statements_.clear();
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

LONG registry_db::error(int rc) const
{
    return sqlite_error(db_, rc);
}

sqlite3_stmt* registry_db::statement(const char* sql, int& rc)
{
    rc = SQLITE_OK;
    auto found = statements_.find(sql);
    if (found != statements_.end())
        return found->second;
    if (!db_) {
        rc = SQLITE_MISUSE;
        return nullptr;
    }
    sqlite3_stmt* stmt = nullptr;
    rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    statements_.emplace(sql, stmt);
    return stmt;
}

registry_query::registry_query(registry_db& db, const char* sql)
    : stmt_(db.statement(sql, rc_))
{
}

registry_query::~registry_query()
{
    if (stmt_) {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
}

registry_query& registry_query::bind(int index, std::int64_t value)
{
    if (rc_ == SQLITE_OK)
        rc_ = sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

registry_query& registry_query::bind(int index, std::string_view text)
{
    // An empty view may have no data pointer, which would bind SQL NULL.
    if (rc_ == SQLITE_OK)
        rc_ = sqlite3_bind_text64(stmt_, index, text.empty() ? "" : text.data(), text.size(),
                                  SQLITE_TRANSIENT, SQLITE_UTF8);
    return *this;
}

registry_query& registry_query::bind_blob(int index, const void* data, std::size_t size)
{
    // A null pointer would bind SQL NULL; an empty value is an empty blob.
    if (rc_ == SQLITE_OK)
        rc_ = size == 0 ? sqlite3_bind_zeroblob(stmt_, index, 0)
                        : sqlite3_bind_blob64(stmt_, index, data, size, SQLITE_TRANSIENT);
    return *this;
}

int registry_query::step()
{
    if (rc_ != SQLITE_OK)
        return rc_;
    return sqlite3_step(stmt_);
}

std::int64_t registry_query::column_int64(int column) const
{
    return sqlite3_column_int64(stmt_, column);
}

std::string_view registry_query::column_text(int column) const
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    if (!text)
        return {};
    return {text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))};
}

const void* registry_query::column_blob(int column) const
{
    return sqlite3_column_blob(stmt_, column);
}

std::size_t registry_query::column_bytes(int column) const
{
    return static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
}

registry_transaction::registry_transaction(registry_db& db, bool write) : db_(db)
{
    registry_query begin(db_, write ? "BEGIN IMMEDIATE" : "BEGIN");
    int rc = begin.step();
    if (rc == SQLITE_DONE)
        open_ = true;
    else
        result_ = db_.error(rc);
}

registry_transaction::~registry_transaction()
{
    if (open_) {
        registry_query rollback(db_, "ROLLBACK");
        rollback.step();
    }
}

LONG registry_transaction::commit()
{
    if (!open_)
        return result_;
    int rc = SQLITE_DONE;
    {
        registry_query commit(db_, "COMMIT");
        rc = commit.step();
    }
    if (rc == SQLITE_DONE) {
        open_ = false;
        return ERROR_SUCCESS;
    }
    // A failed COMMIT may leave the transaction open; the destructor rolls it back.
    if (sqlite3_get_autocommit(db_.handle()))
        open_ = false;
    result_ = db_.error(rc);
    return result_;
}

}  // namespace platform
