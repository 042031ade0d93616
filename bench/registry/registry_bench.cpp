// Prints how fast the registry store answers: queries, writes (each one synced
// transaction), and writes from several processes into one file at once.
//
// registry_bench [directory]   (default: the temporary directory)
#include "platform/registry/registry.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

HKEY create(const std::string& path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot create %s\n", path.c_str());
        std::exit(1);
    }
    return key;
}

int write_values(const std::string& path, int count)
{
    HKEY key = create(path);
    for (int i = 0; i < count; ++i) {
        DWORD value = static_cast<DWORD>(i);
        std::string name = "v" + std::to_string(i);
        if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4) !=
            ERROR_SUCCESS)
            return 1;
    }
    RegCloseKey(key);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::filesystem::path dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path();
    std::string file = (dir / ("registry-bench-" + std::to_string(::getpid()) + ".db")).string();
    ::setenv("TETHRA_REGISTRY_FILE", file.c_str(), 1);

    constexpr int writes = 500;
    auto start = clock_type::now();
    write_values("Bench\\Single", writes);
    double elapsed = seconds_since(start);
    std::printf("set value, one process:    %6.0f calls/s  (%.2f ms each)\n", writes / elapsed,
                1000 * elapsed / writes);

    constexpr int queries = 20000;
    HKEY key = create("Bench\\Single");
    start = clock_type::now();
    for (int i = 0; i < queries; ++i) {
        DWORD value = 0;
        DWORD size = sizeof value;
        std::string name = "v" + std::to_string(i % writes);
        RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    }
    elapsed = seconds_since(start);
    std::printf("query value:               %6.0f calls/s  (%.1f us each)\n", queries / elapsed,
                1e6 * elapsed / queries);

    start = clock_type::now();
    for (int i = 0; i < queries / 10; ++i) {
        HKEY opened = nullptr;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Bench\\Single", 0, KEY_READ, &opened);
        RegCloseKey(opened);
    }
    elapsed = seconds_since(start);
    std::printf("open + close key:          %6.0f calls/s\n", queries / 10 / elapsed);
    RegCloseKey(key);

    constexpr int processes = 4;
    start = clock_type::now();
    for (int p = 0; p < processes; ++p) {
        if (::fork() == 0)
            ::_exit(write_values("Bench\\P" + std::to_string(p), writes / processes));
    }
    int failed = 0;
    for (int p = 0; p < processes; ++p) {
        int status = 0;
        ::wait(&status);
        failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    elapsed = seconds_since(start);
    std::printf("set value, %d processes:   %6.0f calls/s in all%s\n", processes, writes / elapsed,
                failed ? "  (some writers failed)" : "");

    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(file + suffix);
    return 0;
}
