// The serial driver's throughput and processor time on a pseudo-terminal pair against a
// plain read/write copy over the same kind of pair, and the processor time an idle open
// port costs.
// Prints figures; asserts nothing.
#include "platform/comm/comm.h"
#include "platform/sync/sync.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t total = 64 << 20;
constexpr std::size_t chunk = 64 * 1024;

struct pty {
    int master = -1;
    int slave = -1;
    std::string path;
    pty()
    {
        char name[128] = {};
        ::openpty(&master, &slave, name, nullptr, nullptr);
        for (int fd : {master, slave}) {
            termios t{};
            ::tcgetattr(fd, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
        path = name;
    }
    ~pty()
    {
        ::close(master);
        ::close(slave);
    }
};

void plain_write(int fd, const std::vector<char>& data)
{
    for (std::size_t done = 0; done < data.size();) {
        ssize_t n = ::write(fd, data.data() + done, std::min(chunk, data.size() - done));
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

void plain_read(int fd, std::vector<char>& data)
{
    for (std::size_t done = 0; done < data.size();) {
        ssize_t n = ::read(fd, data.data() + done, std::min(chunk, data.size() - done));
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double cpu_seconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Times a thread of the process gave up the processor to wait: its wake-ups.
double waits()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_nvcsw);
}

// One copy's wall-clock and processor seconds, and its wake-ups.
struct run {
    double wall = 1e9;
    double cpu = 1e9;
    double waits = 0;
};

template <class Copy>
run measure(Copy copy)
{
    double cpu = cpu_seconds();
    double waited = waits();
    auto start = std::chrono::steady_clock::now();
    copy();
    return {seconds_since(start), cpu_seconds() - cpu, waits() - waited};
}

// Both directions at once, plain descriptors on both ends.
run plain_copy(const std::vector<char>& data)
{
    pty p;
    std::vector<char> at_master(total), at_slave(total);
    return measure([&] {
        std::thread a([&] { plain_write(p.slave, data); });
        std::thread b([&] { plain_write(p.master, data); });
        std::thread c([&] { plain_read(p.master, at_master); });
        plain_read(p.slave, at_slave);
        a.join();
        b.join();
        c.join();
    });
}

// Both directions at once, the driver on the slave end.
run driver_copy(const std::vector<char>& data)
{
    pty p;
    HANDLE port = CreateFileA(p.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("cannot open %s: %lu\n", p.path.c_str(), static_cast<unsigned long>(GetLastError()));
        return {};
    }
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 10000, 0, 0};
    SetCommTimeouts(port, &t);
    std::vector<char> at_master(total), at_port(total);
    // Moves total bytes in chunks, one overlapped call at a time; a read may return fewer.
    auto port_transfer = [&](auto call) {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        for (std::size_t done = 0; done < total;) {
            DWORD n = 0;
            DWORD size = static_cast<DWORD>(std::min(chunk, total - done));
            if (!call(done, size, &n, &ov) && !GetOverlappedResult(port, &ov, &n, TRUE))
                break;
            if (n == 0)
                break;
            done += n;
        }
        CloseHandle(ov.hEvent);
    };
    auto port_write = [&] {
        port_transfer([&](std::size_t at, DWORD size, DWORD* n, OVERLAPPED* ov) {
            return WriteFile(port, data.data() + at, size, n, ov);
        });
    };
    auto port_read = [&] {
        port_transfer([&](std::size_t at, DWORD size, DWORD* n, OVERLAPPED* ov) {
            return ReadFile(port, at_port.data() + at, size, n, ov);
        });
    };
    run result = measure([&] {
        std::thread writer(port_write);
        std::thread b([&] { plain_write(p.master, data); });
        std::thread c([&] { plain_read(p.master, at_master); });
        port_read();
        writer.join();
        b.join();
        c.join();
    });
    CloseHandle(port);
    if (at_port != data || at_master != data)
        std::printf("data mismatch!\n");
    return result;
}

}  // namespace

int main()
{
    std::vector<char> data(total);
    for (std::size_t i = 0; i < total; ++i)
        data[i] = static_cast<char>((i * 131 + (i >> 9)) & 0xff);

    // Best of 3 by wall-clock time, each with its own processor time.
    run plain, driver;
    for (int round = 0; round < 3; ++round) {
        run r = plain_copy(data);
        if (r.wall < plain.wall)
            plain = r;
        r = driver_copy(data);
        if (r.wall < driver.wall)
            driver = r;
    }
    double mib = 2.0 * total / (1 << 20);
    std::printf("pty pair, 64 MiB each way at once (best of 3)\n");
    std::printf("  plain read/write: %.3f s  %.1f MiB/s  CPU %.3f s  %.0f wake-ups/MiB\n",
                plain.wall, mib / plain.wall, plain.cpu, plain.waits / mib);
    std::printf("  driver:           %.3f s  %.1f MiB/s  CPU %.3f s  %.0f wake-ups/MiB\n",
                driver.wall, mib / driver.wall, driver.cpu, driver.waits / mib);
    std::printf("  throughput ratio driver/plain: %.2f (target >= 0.8)\n",
                plain.wall / driver.wall);
    std::printf("  CPU ratio driver/plain: %.2f\n", driver.cpu / plain.cpu);

    pty p;
    HANDLE port = CreateFileA(p.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    SetCommMask(port, 0x01BB);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    WaitCommEvent(port, &events, &ov);
    double before = cpu_seconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double used = cpu_seconds() - before;
    std::printf("idle port with a WaitCommEvent pending: %.3f ms of CPU over 1 s\n", used * 1000);
    CloseHandle(port);
    CloseHandle(ov.hEvent);
    return 0;
}
