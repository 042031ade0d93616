#include "platform/testing/testing.h"

#include "platform/testing/socat.h"

#include "platform/comm/comm.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace platform::testing {

// ---- temp_registry ----------------------------------------------------------------------------

temp_registry::temp_registry()
{
    char dir[] = "/tmp/tethra-registry-XXXXXX";
    if (!::mkdtemp(dir))
        return;
    dir_ = dir;
    file_ = dir_ + "/registry.db";
    ::setenv("TETHRA_REGISTRY_FILE", file_.c_str(), 1);
}

temp_registry::~temp_registry()
{
    if (dir_.empty())
        return;
    ::unsetenv("TETHRA_REGISTRY_FILE");
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::string name = file_ + suffix;
        ::unlink(name.c_str());
    }
    ::rmdir(dir_.c_str());
}

LONG temp_registry::map_port(const std::string& device_path, LONG number) const
{
    const std::string data = "COM" + std::to_string(number);
    return set_machine_value("HARDWARE\\DEVICEMAP\\SERIALCOMM", device_path.c_str(), REG_SZ,
                             data.c_str(), static_cast<DWORD>(data.size() + 1));
}

LONG set_machine_value(const std::string& key, const char* name, DWORD type, const void* data,
                       DWORD size)
{
    HKEY hKey = nullptr;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    result = RegSetValueExA(hKey, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(hKey);
    return result;
}

// ---- pattern_bytes ----------------------------------------------------------------------------

std::string pattern_bytes(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    std::uint32_t x = seed * 2654435761U + 1;
    for (char& c : bytes) {
        x = x * 1664525U + 1013904223U;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

// ---- pty_peer -------------------------------------------------------------------------------------

pty_peer::pty_peer()
{
    int slave = -1;
    char name[128] = {};
    if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
        master_ = -1;
        return;
    }
    termios t{};
    ::tcgetattr(master_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(master_, TCSANOW, &t);
    ::close(slave);
    path_ = name;
}

pty_peer::~pty_peer()
{
    if (master_ >= 0)
        ::close(master_);
}

bool pty_peer::send(const void* data, std::size_t size) const
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        pollfd p{master_, POLLOUT, 0};
        if (::poll(&p, 1, 60000) <= 0)
            return false;
        ssize_t n = ::write(master_, bytes, size);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EIO)
                continue;
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool pty_peer::send_paced(const std::string& bytes, std::size_t piece, DWORD interval_ms) const
{
    for (std::size_t off = 0; off < bytes.size(); off += piece) {
        if (!send(bytes.data() + off, std::min(piece, bytes.size() - off)))
            return false;
        Sleep(interval_ms);
    }
    return true;
}

std::vector<BYTE> pty_peer::receive(std::size_t count, DWORD timeout_ms) const
{
    return read_fd(master_, count, timeout_ms);
}

std::size_t pty_peer::discard(std::size_t count, DWORD timeout_ms) const
{
    return read_fd(master_, count, timeout_ms, nullptr);
}

bool pty_peer::wait_closed(DWORD timeout_ms) const
{
    const DWORD start = GetTickCount();
    BYTE buffer[4096];
    for (;;) {
        DWORD waited = GetTickCount() - start;
        if (waited >= timeout_ms)
            return false;
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout_ms - waited)) < 0 && errno != EINTR)
            return false;
        if (p.revents & POLLHUP)
            return true;
        if (p.revents & POLLIN) {
            ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n < 0 && errno == EIO)
                return true;
        }
    }
}

// ---- device_holder ----------------------------------------------------------------------------

device_holder::device_holder(const std::string& name)
{
    int to_parent[2];
    int to_child[2];
    if (::pipe(to_parent) != 0)
        return;
    if (::pipe(to_child) != 0) {
        ::close(to_parent[0]);
        ::close(to_parent[1]);
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(to_parent[0]);
        ::close(to_child[1]);
        HANDLE held = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        char ok = held != INVALID_HANDLE_VALUE ? 'y' : 'n';
        [[maybe_unused]] ssize_t w = ::write(to_parent[1], &ok, 1);
        char go;
        [[maybe_unused]] ssize_t r = ::read(to_child[0], &go, 1);
        ::_exit(0);
    }
    ::close(to_parent[1]);
    ::close(to_child[0]);
    to_child_ = to_child[1];
    char ok = 'n';
    if (pid_ > 0 && ::read(to_parent[0], &ok, 1) == 1)
        holding_ = ok == 'y';
    ::close(to_parent[0]);
}

device_holder::~device_holder()
{
    if (to_child_ >= 0)
        ::close(to_child_);  // the child's read ends: it exits, the device is released
    if (pid_ > 0)
        ::waitpid(pid_, nullptr, 0);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

double process_cpu_ms()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

double idle_cpu_ms_over_a_second()
{
    const double before = process_cpu_ms();
    ::usleep(1000 * 1000);
    return process_cpu_ms() - before;
}

}  // namespace platform::testing
