// The file under the calls: several writer processes, damaged and unreadable files,
// and where the file is kept.
#include "platform/registry/tests/temp_store.h"

#include <sqlite3.h>

#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using RegistryFile = TempStore;

// Runs one statement on the file with a connection of the test's own.
std::string SqlText(const std::string& path, const char* sql)
{
    sqlite3* db = nullptr;
    std::string result = "<cannot open>";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
        if (rc == SQLITE_OK)
            rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW && sqlite3_column_text(stmt, 0))
            result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        else if (rc == SQLITE_DONE)
            result = "done";
        else
            result = sqlite3_errmsg(db);
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return result;
}

void WriteFile(const std::string& path, const std::string& bytes, std::ios::openmode mode)
{
    std::ofstream out(path, std::ios::binary | mode);
    out << bytes;
}

// Each child waits for the start signal (the pipe closing), so that all of them open the
// new file, and create its schema, at the same moment.
int WriterChild(int start_fd, int index, int values)
{
    char byte;
    while (::read(start_fd, &byte, 1) > 0) {
    }
    std::string own = "Writers\\P" + std::to_string(index);
    HKEY key = nullptr;
    HKEY shared = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, own.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS ||
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Writers\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &shared, nullptr) != ERROR_SUCCESS)
        return 2;
    for (int i = 0; i < values; ++i) {
        DWORD value = static_cast<DWORD>(index * 100000 + i);
        std::string name = "v" + std::to_string(i);
        std::string shared_name = "p" + std::to_string(index) + "_" + name;
        if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4) !=
                ERROR_SUCCESS ||
            RegSetValueExA(shared, shared_name.c_str(), 0, REG_DWORD,
                           reinterpret_cast<BYTE*>(&value), 4) != ERROR_SUCCESS)
            return 3;
    }
    RegCloseKey(key);
    RegCloseKey(shared);
    return 0;
}

TEST_F(RegistryFile, ConcurrentWriterProcessesLoseNothing)
{
    constexpr int processes = 4;
    constexpr int values = 60;
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(start[1]);
            ::_exit(WriterChild(start[0], p, values));
        }
        children.push_back(pid);
    }
    ::close(start[0]);
    ::close(start[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }

    HKEY shared = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Writers\\Shared", 0, KEY_READ, &shared),
              ERROR_SUCCESS);
    for (int p = 0; p < processes; ++p) {
        HKEY key = nullptr;
        std::string own = "Writers\\P" + std::to_string(p);
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, own.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
        for (int i = 0; i < values; ++i) {
            std::string name = "v" + std::to_string(i);
            std::string shared_name = "p" + std::to_string(p) + "_" + name;
            for (auto [k, n] : {std::pair{key, name}, {shared, shared_name}}) {
                DWORD value = 0;
                DWORD size = sizeof value;
                ASSERT_EQ(RegQueryValueExA(k, n.c_str(), nullptr, nullptr,
                                           reinterpret_cast<BYTE*>(&value), &size),
                          ERROR_SUCCESS)
                    << n;
                EXPECT_EQ(value, static_cast<DWORD>(p * 100000 + i));
            }
        }
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
    EXPECT_EQ(RegCloseKey(shared), ERROR_SUCCESS);
    EXPECT_EQ(SqlText(file_, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(SqlText(file_, "PRAGMA journal_mode"), "wal");
}

TEST_F(RegistryFile, ChildUsesHandleOpenedBeforeFork)
{
    HKEY key = Create("Inherited");
    ASSERT_EQ(SetString(key, "parent", "before"), ERROR_SUCCESS);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        bool ok = GetString(key, "parent") == "before" && SetString(key, "child", "after") == 0;
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(GetString(key, "child"), "after");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// Damaged files give error codes; once the file is good again, so are the calls.
TEST_F(RegistryFile, DamagedFilesReportCorruption)
{
    std::string garbage(16384, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 7919 + 13) % 251);
    WriteFile(file_, garbage, std::ios::trunc);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "x", 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

    // A real store whose pages are overwritten behind the header.
    std::string damaged = dir_ + "/damaged.db";
    ::setenv("TETHRA_REGISTRY_FILE", damaged.c_str(), 1);
    HKEY made = Create("Damaged\\Soon");
    ASSERT_EQ(SetString(made, "v", "x"), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(made), ERROR_SUCCESS);
    ::setenv("TETHRA_REGISTRY_FILE", file_.c_str(), 1);  // closes the damaged file
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_REGISTRY_CORRUPT);
    {
        std::fstream io(damaged, std::ios::binary | std::ios::in | std::ios::out);
        io.seekp(100);
        io << garbage.substr(0, 8000);
    }
    ::setenv("TETHRA_REGISTRY_FILE", damaged.c_str(), 1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Damaged\\Soon", 0, KEY_READ, &key),
              ERROR_REGISTRY_CORRUPT);

    // Another program's database is refused and left as it was.
    std::string foreign = dir_ + "/foreign.db";
    ASSERT_EQ(SqlText(foreign, "CREATE TABLE t(x)"), "done");
    ::setenv("TETHRA_REGISTRY_FILE", foreign.c_str(), 1);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(SqlText(foreign, "SELECT group_concat(name) FROM sqlite_master"), "t");

    // Repaired: the calls work again in the same process.
    std::filesystem::remove(file_);
    ::setenv("TETHRA_REGISTRY_FILE", file_.c_str(), 1);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_SUCCESS);
}

TEST_F(RegistryFile, UnusableFilesAndPaths)
{
    // A directory where the file should be.
    ::setenv("TETHRA_REGISTRY_FILE", dir_.c_str(), 1);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_REGISTRY_IO_FAILED);

    // Missing directories are made.
    std::string nested = dir_ + "/a/b/registry.db";
    ::setenv("TETHRA_REGISTRY_FILE", nested.c_str(), 1);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(nested));

    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads files whatever their permissions; the unreadable file "
                        "case needs an ordinary user";
    ::setenv("TETHRA_REGISTRY_FILE", file_.c_str(), 1);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_SUCCESS);
    ::setenv("TETHRA_REGISTRY_FILE", nested.c_str(), 1);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_SUCCESS);  // and file_ is closed
    ASSERT_EQ(::chmod(file_.c_str(), 0), 0);
    ::setenv("TETHRA_REGISTRY_FILE", file_.c_str(), 1);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(HKEY_LOCAL_MACHINE, "x", nullptr, nullptr, nullptr, &size),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 2), ERROR_ACCESS_DENIED);
}

// Without TETHRA_REGISTRY_FILE the per-user file is used by a process that cannot
// write the machine-wide one.
TEST_F(RegistryFile, PerUserFileFollowsXdgConfigHome)
{
    if (::geteuid() == 0 || ::access("/var/lib/tethra", W_OK) == 0)
        GTEST_SKIP() << "this process may write the machine-wide file, which takes precedence";
    const char* old_home = std::getenv("HOME");
    const char* old_config = std::getenv("XDG_CONFIG_HOME");
    std::string saved_home = old_home ? old_home : "";
    std::string saved_config = old_config ? old_config : "";

    ::unsetenv("TETHRA_REGISTRY_FILE");
    ::setenv("XDG_CONFIG_HOME", (dir_ + "/xdg").c_str(), 1);
    ::setenv("HOME", (dir_ + "/home").c_str(), 1);
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, "where", 1), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/xdg/tethra/registry.db"));
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, "where", 2), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/home/.config/tethra/registry.db"));

    ::setenv("HOME", saved_home.c_str(), 1);
    if (old_config)
        ::setenv("XDG_CONFIG_HOME", saved_config.c_str(), 1);
}

}  // namespace
