// The file under the calls: several writer processes, damaged and unreadable files.
#include "platform/registry/tests/temp_store.h"

#include <sqlite3.h>

#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using RegistryFile = TempStore;

// Runs one statement with a connection of the test's own: its first column, "done", or
// SQLite's error message.
std::string Sql(const std::string& path, const char* sql)
{
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(stmt);
    std::string result = rc == SQLITE_DONE ? "done" : sqlite3_errmsg(db);
    if (rc == SQLITE_ROW)
        result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return result;
}

DWORD Expected(int process, int i)
{
    return static_cast<DWORD>(process * 100000 + i);
}

// Waits for the start signal (the pipe closing), so that all children open the new file
// and make its schema at the same moment, then writes into one key they share.
int WriterChild(int start_fd, int process, int values)
{
    char byte;
    while (::read(start_fd, &byte, 1) > 0) {
    }
    HKEY shared = TempStore::Create("Writers\\Shared");
    for (int i = 0; i < values; ++i) {
        std::string name = "p" + std::to_string(process) + "_" + std::to_string(i);
        if (!shared || TempStore::SetDword(shared, name.c_str(), Expected(process, i)))
            return 1;
    }
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
    ASSERT_EQ(Open("Writers\\Shared", &shared), ERROR_SUCCESS);
    for (int p = 0; p < processes; ++p) {
        for (int i = 0; i < values; ++i) {
            std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
            EXPECT_EQ(GetDword(shared, name.c_str()), Expected(p, i)) << name;
        }
    }
    RegCloseKey(shared);
    EXPECT_EQ(Sql(file_, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(Sql(file_, "PRAGMA journal_mode"), "wal");
}

TEST_F(RegistryFile, ChildUsesHandleOpenedBeforeFork)
{
    HKEY key = Create("Inherited");
    ASSERT_EQ(SetString(key, "parent", "before"), ERROR_SUCCESS);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        ::_exit(GetString(key, "parent") == "before" && SetString(key, "child", "after") == 0 ? 0 : 1);
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
    std::ofstream(file_, std::ios::binary) << garbage;
    HKEY key = nullptr;
    EXPECT_EQ(Open("x", &key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_REGISTRY_CORRUPT);

    // A real store whose pages are overwritten behind the header.
    std::string damaged = dir_ + "/damaged.db";
    ::setenv("TETHRA_REGISTRY_FILE", damaged.c_str(), 1);
    ASSERT_EQ(SetString(HKEY_LOCAL_MACHINE, "v", "x"), ERROR_SUCCESS);
    ::setenv("TETHRA_REGISTRY_FILE", file_.c_str(), 1);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_REGISTRY_CORRUPT);  // and damaged closed
    {
        std::fstream io(damaged, std::ios::binary | std::ios::in | std::ios::out);
        io.seekp(100);
        io << garbage.substr(0, 8000);
    }
    ::setenv("TETHRA_REGISTRY_FILE", damaged.c_str(), 1);
    EXPECT_EQ(GetString(HKEY_LOCAL_MACHINE, "v"), "<error 1015>");

    // Another program's database is refused and left as it was.
    std::string foreign = dir_ + "/foreign.db";
    ASSERT_EQ(Sql(foreign, "CREATE TABLE t(x)"), "done");
    ::setenv("TETHRA_REGISTRY_FILE", foreign.c_str(), 1);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(Sql(foreign, "SELECT group_concat(name) FROM sqlite_master"), "t");

    // Repaired: the calls work again in the same process.
    std::filesystem::remove(file_);
    ::setenv("TETHRA_REGISTRY_FILE", file_.c_str(), 1);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_SUCCESS);
}

TEST_F(RegistryFile, UnusableFilesAndPaths)
{
    ::setenv("TETHRA_REGISTRY_FILE", dir_.c_str(), 1);  // a directory
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 1), ERROR_REGISTRY_IO_FAILED);
    std::string nested = dir_ + "/a/b/registry.db";  // missing directories are made
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
    EXPECT_EQ(Size(HKEY_LOCAL_MACHINE, "x", &size), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "x", 2), ERROR_ACCESS_DENIED);
}

}  // namespace
