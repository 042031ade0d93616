// A client that stops answering while its port streams: the built server on a private
// bus, one pseudo-terminal, two client processes that keep up and one that is stopped
// (SIGSTOP) for a while and then continued (SIGCONT). Prints, before and during the stop,
// the bytes per second each other client received, the time from the peer's write to
// their OnData (median and 99th percentile) and whether every message reached them in
// order (breaks in the sequence numbers); the server's resident memory (VmRSS, and
// VmHWM, its peak) before, at its highest during and after the stop, against the limit
// ("MaxClientQueue"); what the stopped client received afterwards and how many
// spoMemoryError reports each client got. A plain pty copy of the same run is the
// yardstick. Asserts nothing.
//
//   slow_client_bench [STOP_SECONDS [LIMIT_KB [RATE_MB_PER_S]]]
//     STOP_SECONDS  how long the client is stopped (default 30)
//     LIMIT_KB      "MaxClientQueue" written into the run's registry store (default 4096)
//     RATE_MB_PER_S the peer's rate (default 1 MB/s, about nine times a 921600-baud
//                   line, which every client over the bus keeps up with); 0 writes as fast
//                   as the port reads, faster than a client over the bus takes its data,
//                   so that every client then runs into its limit, not only the stopped one
//
// The stream is 16-byte messages: the monotonic clock in ns at the peer's write (shared by
// every process of the machine), then a sequence number.
#include "platform/registry/registry.h"
#include "platform/rpc/testing/bus_fixture.h"
#include "platform/testing/process.h"
#include "platform/testing/testing.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using platform::testing::child;

constexpr LONG kPort = 3;
constexpr std::size_t kBatch = 64u << 10;

long long NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// The peer: writes stamped messages for `seconds` at `rate` bytes/s (0: full speed).
std::size_t Stream(const platform::testing::pty_peer& peer, double seconds, double rate)
{
    static unsigned long long seq = 0;
    std::string batch(kBatch, '\0');
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    std::size_t sent = 0;
    while (Clock::now() < end) {
        const long long stamp = NowNs();
        for (std::size_t off = 0; off < batch.size(); off += 16, ++seq) {
            std::memcpy(&batch[off], &stamp, 8);
            std::memcpy(&batch[off + 8], &seq, 8);
        }
        if (!peer.send(batch))
            break;
        sent += batch.size();
        if (rate > 0)
            std::this_thread::sleep_until(start + std::chrono::duration<double>(sent / rate));
    }
    return sent;
}

struct Memory {
    long rss_kb = 0;
    long hwm_kb = 0;
};

Memory MemoryOf(int pid)
{
    Memory m;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            m.rss_kb = std::atol(line.c_str() + 6);
        else if (line.rfind("VmHWM:", 0) == 0)
            m.hwm_kb = std::atol(line.c_str() + 6);
    }
    return m;
}

std::string Ask(child& c, const std::string& command)
{
    c.write_line(command);
    return c.read_line();
}

// One keeping-up client's figures for the stretch since its last "forget".
struct Figures {
    std::size_t bytes = 0;
    std::size_t reports = 0;
    std::size_t messages = 0;
    double median_us = 0;
    double p99_us = 0;
    std::size_t breaks = 0;  // places where the sequence of messages jumps
};

Figures Collect(child& c)
{
    Figures f;
    std::istringstream quiet(Ask(c, "quiet 1000"));
    std::string word;
    quiet >> word >> f.bytes >> f.reports;
    std::istringstream latency(Ask(c, "stamps"));
    latency >> word >> f.messages >> f.median_us >> f.p99_us >> f.breaks;
    Ask(c, "forget");
    return f;
}

void Print(const char* phase, std::vector<std::unique_ptr<child>>& others, double seconds)
{
    for (std::size_t i = 0; i < others.size(); ++i) {
        const Figures f = Collect(*others[i]);
        std::printf("  %-7s other client %zu: %7.2f MB/s, latency median %8.0f us, p99 %8.0f us, "
                    "%zu spoMemoryError, %zu break(s) in the sequence\n",
                    phase, i + 1, static_cast<double>(f.bytes) / seconds / 1e6, f.median_us,
                    f.p99_us, f.reports, f.breaks);
    }
}

double PlainCopyMBps(std::size_t bytes)
{
    platform::testing::pty_peer a;
    // The slave opened by a reader thread: the same kind of pair as the port's.
    std::thread reader([&] {
        std::ifstream in(a.path(), std::ios::binary);
        std::vector<char> buffer(kBatch);
        for (std::size_t got = 0; got < bytes && in;) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            got += static_cast<std::size_t>(in.gcount());
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string batch(kBatch, 'x');
    const long long start = NowNs();
    for (std::size_t sent = 0; sent < bytes; sent += batch.size())
        a.send(batch);
    reader.join();
    return static_cast<double>(bytes) / (static_cast<double>(NowNs() - start) / 1e9) / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const double stop_seconds = argc > 1 ? std::atof(argv[1]) : 30;
    const DWORD limit_kb = argc > 2 ? static_cast<DWORD>(std::atol(argv[2])) : 4096;
    const double rate = (argc > 3 ? std::atof(argv[3]) : 1) * 1e6;
    constexpr double kPhaseSeconds = 5;

    platform::testing::temp_registry registry;
    platform::testing::pty_peer peer;
    if (!registry.ready() || !peer.ready() || registry.map_port(peer.path(), kPort) != ERROR_SUCCESS) {
        std::printf("slow_client_bench: no registry store or pseudo-terminal\n");
        return 1;
    }
    HKEY hKey = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ostra\\Tethra", 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, &hKey, nullptr);
    RegSetValueExA(hKey, "MaxClientQueue", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&limit_kb),
                   sizeof limit_kb);
    RegCloseKey(hKey);
    // After the registry store: the server the bus starts inherits it.
    platform::rpc::testing::private_bus bus;
    if (!bus.ready()) {
        std::printf("slow_client_bench: no private bus\n");
        return 1;
    }
    std::ofstream(std::filesystem::path(bus.service_dir()) / "Ostra.Tethra.service")
        << "[D-BUS Service]\nName=Ostra.Tethra\nExec=" TETHRA_SERVER " -Embedding\n";

    std::printf("plain pty copy: %.1f MB/s\n", PlainCopyMBps(256u << 20));
    std::printf("stop %.0f s, MaxClientQueue %lu KB, peer rate %s\n", stop_seconds,
                static_cast<unsigned long>(limit_kb),
                rate > 0 ? (std::to_string(rate / 1e6).substr(0, 5) + " MB/s").c_str()
                         : "full speed");

    std::vector<std::unique_ptr<child>> others;
    for (int i = 0; i < 2; ++i)
        others.push_back(std::make_unique<child>(
            std::vector<std::string>{QUEUE_CLIENT, std::to_string(kPort)}, true));
    child slow({QUEUE_CLIENT, std::to_string(kPort)}, true);
    for (auto& c : others)
        if (c->read_line() != "ready")
            return 1;
    if (slow.read_line() != "ready")
        return 1;
    std::string output;
    int server = -1;
    if (platform::testing::run_program({"/usr/bin/busctl", "--address=" + bus.address(), "call",
                                        "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                        "org.freedesktop.DBus", "GetConnectionUnixProcessID", "s",
                                        "Ostra.Tethra"},
                                       &output) == 0)
        std::sscanf(output.c_str(), "u %d", &server);
    const Memory idle = MemoryOf(server);
    std::printf("server %d with 3 clients, idle: VmRSS %ld KB\n", server, idle.rss_kb);

    // Before: every client keeps up.
    double seconds = kPhaseSeconds;
    Stream(peer, seconds, rate);
    Print("before", others, seconds);
    Ask(slow, "forget");
    const Memory before = MemoryOf(server);

    // During: one client stopped; the memory is sampled as the peer streams.
    platform::testing::stop_process(slow.pid(), true);
    long peak_rss = 0;
    const auto stopped = Clock::now();
    while (Clock::now() - stopped < std::chrono::duration<double>(stop_seconds)) {
        Stream(peer, std::min(1.0, stop_seconds), rate);
        peak_rss = std::max(peak_rss, MemoryOf(server).rss_kb);
    }
    seconds = std::chrono::duration<double>(Clock::now() - stopped).count();
    Print("during", others, seconds);
    const Memory during = MemoryOf(server);
    platform::testing::stop_process(slow.pid(), false);

    // After: the stopped client takes what waited for it, then receives again.
    std::istringstream drained(Ask(slow, "quiet 3000"));
    std::string word;
    std::size_t drained_bytes = 0, reports = 0;
    drained >> word >> drained_bytes >> reports;
    Ask(slow, "forget");
    const std::size_t sent = Stream(peer, kPhaseSeconds, rate);
    std::istringstream resumed(Ask(slow, "quiet 1000"));
    std::size_t resumed_bytes = 0, resumed_reports = 0;
    resumed >> word >> resumed_bytes >> resumed_reports;
    Print("after", others, kPhaseSeconds);
    const Memory after = MemoryOf(server);

    std::printf("server memory (limit %lu KB per client):\n", static_cast<unsigned long>(limit_kb));
    std::printf("  VmRSS before the stop %ld KB, highest during %ld KB (+%ld KB), at its end %ld KB, "
                "after %ld KB\n",
                before.rss_kb, peak_rss, peak_rss - before.rss_kb, during.rss_kb, after.rss_kb);
    std::printf("  VmHWM before %ld KB, after %ld KB (+%ld KB)\n", before.hwm_kb, after.hwm_kb,
                after.hwm_kb - before.hwm_kb);
    std::printf("stopped client: after SIGCONT took %zu bytes that had waited, with %zu "
                "spoMemoryError; then received %zu of %zu bytes sent (%s), %zu more reports\n",
                drained_bytes, reports, resumed_bytes, sent,
                resumed_bytes == sent ? "resumed, all of them" : "NOT all", resumed_reports);
    return 0;
}
