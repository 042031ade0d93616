// What clients of a shared port get from it on a pseudo-terminal pair: bytes per second
// delivered to every client, and the time from the peer's write to each client's OnData
// (median and 99th percentile), for 1 and 8 in-process clients of one port registry,
// against a plain read/write copy over the same kind of pair in the same run; and the
// same time for a short message to a port left with the settings it opened with.
// Prints figures; asserts nothing.
#include "idl/tethra.h"
#include "platform/com/com.h"
#include "platform/testing/testing.h"
#include "server/Tethra.h"
#include "traffic/tests/test_sink.h"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr LONG kPort = 5;
constexpr std::size_t kStreamBytes = 16u << 20;
constexpr int kProbes = 400;
constexpr std::size_t kProbeBytes = 8;
constexpr int kMessages = 100;
constexpr std::size_t kMessageBytes = 7;

// Counts OnData bytes and notes when the count reached each mark.
class BenchSink : public SinkBase {
public:
    ~BenchSink() { wait_refs(0); }

    STDMETHODIMP OnData(VARIANT data) override
    {
        const std::size_t n = data.parray ? data.parray->rgsabound[0].cElements : 0;
        {
            std::lock_guard lock(mutex_);
            bytes_ += n;
            last_ = Clock::now();
        }
        changed_.notify_all();
        return S_OK;
    }
    STDMETHODIMP OnPortEvent(EventConstants) override { return S_OK; }
    STDMETHODIMP OnError(ErrorConstants) override { return S_OK; }

    // Waits until count bytes have arrived; the time the last of them arrived.
    Clock::time_point wait_bytes(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return bytes_ >= count; });
        return last_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t bytes_ = 0;
    Clock::time_point last_;
};

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

void write_all(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, std::min<std::size_t>(size, 65536));
        if (n <= 0)
            continue;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// ---- the plain copy over a pty pair ------------------------------------------------------------

struct RawFigures {
    double bytes_per_second;
    std::vector<double> latency_us;
};

RawFigures raw_copy()
{
    int master = -1, slave = -1;
    ::openpty(&master, &slave, nullptr, nullptr, nullptr);
    for (int fd : {master, slave}) {
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    RawFigures figures{};
    const std::string stream(kStreamBytes, 'x');
    const Clock::time_point start = Clock::now();
    std::thread reader([&] {
        std::vector<char> buffer(65536);
        for (std::size_t got = 0; got < kStreamBytes;) {
            ssize_t n = ::read(slave, buffer.data(), buffer.size());
            if (n > 0)
                got += static_cast<std::size_t>(n);
        }
    });
    write_all(master, stream.data(), stream.size());
    reader.join();
    figures.bytes_per_second =
        static_cast<double>(kStreamBytes) / std::chrono::duration<double>(Clock::now() - start).count();

    char probe[kProbeBytes] = {};
    for (int i = 0; i < kProbes; ++i) {
        const Clock::time_point sent = Clock::now();
        write_all(master, probe, sizeof probe);
        for (std::size_t got = 0; got < sizeof probe;) {
            ssize_t n = ::read(slave, probe, sizeof probe - got);
            if (n > 0)
                got += static_cast<std::size_t>(n);
        }
        figures.latency_us.push_back(micros(Clock::now() - sent));
    }
    ::close(master);
    ::close(slave);
    return figures;
}

// ---- through the shared port -------------------------------------------------------------------

struct PortFigures {
    double bytes_per_second;  // per client: every client receives the whole stream
    std::vector<double> latency_us;
};

// A new client of COM<kPort> with the sink advised on it; null when there is none.
ISerialPort* connect(CTethra& tethra, BenchSink& sink)
{
    ISerialPort* port = nullptr;
    if (tethra.CreatePort(kPort, &port) != S_OK) {
        std::printf("CreatePort failed\n");
        return nullptr;
    }
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    port->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    container->FindConnectionPoint(DIID__ISerialPortEvents, &point);
    point->Advise(&sink, &cookie);
    point->Release();
    container->Release();
    return port;
}

PortFigures through_port(int clients, ULONG buffer_size)
{
    platform::testing::pty_peer peer;
    platform::testing::temp_registry registry;
    registry.map_port(peer.path(), kPort);
    CTethra tethra;
    std::vector<ISerialPort*> ports(clients, nullptr);
    std::vector<std::unique_ptr<BenchSink>> sinks;
    for (int i = 0; i < clients; ++i) {
        sinks.push_back(std::make_unique<BenchSink>());
        ports[i] = connect(tethra, *sinks.back());
        if (!ports[i])
            return {};
    }
    // Reads return what has arrived at once, so a probe is not held back by a time-out.
    ports[0]->put_ReceiveBufferSize(buffer_size);
    ports[0]->put_ReadIntervalTimeOut(MAXDWORD);
    ports[0]->put_ReadTotalTimeoutMult(0);
    ports[0]->put_ReadTotalTimeoutConst(0);

    PortFigures figures{};
    const std::string stream(kStreamBytes, 'y');
    const Clock::time_point start = Clock::now();
    peer.send(stream);
    Clock::time_point last = start;
    for (auto& sink : sinks)
        last = std::max(last, sink->wait_bytes(kStreamBytes));
    figures.bytes_per_second =
        static_cast<double>(kStreamBytes) / std::chrono::duration<double>(last - start).count();

    const std::string probe(kProbeBytes, 'p');
    for (int i = 1; i <= kProbes; ++i) {
        const Clock::time_point sent = Clock::now();
        peer.send(probe);
        for (auto& sink : sinks)
            figures.latency_us.push_back(
                micros(sink->wait_bytes(kStreamBytes + i * kProbeBytes) - sent));
    }
    for (ISerialPort* port : ports)
        port->Release();
    return figures;
}

// A short message to one client of a port with every setting as it opened with: the
// time from the peer's write to OnData, once per message.
std::vector<double> default_port_latency()
{
    platform::testing::pty_peer peer;
    platform::testing::temp_registry registry;
    registry.map_port(peer.path(), kPort);
    CTethra tethra;
    BenchSink sink;
    ISerialPort* port = connect(tethra, sink);
    if (!port)
        return {};
    std::vector<double> latency_us;
    const std::string message(kMessageBytes, 'k');
    for (int i = 1; i <= kMessages; ++i) {
        const Clock::time_point sent = Clock::now();
        peer.send(message);
        latency_us.push_back(micros(sink.wait_bytes(i * kMessageBytes) - sent));
    }
    port->Release();
    return latency_us;
}

}  // namespace

int main()
{
    const RawFigures raw = raw_copy();
    std::printf("Shared port on a pty pair, %zu MiB stream, %d probes of %zu bytes\n",
                kStreamBytes >> 20, kProbes, kProbeBytes);
    std::printf("plain pty copy: %.1f MB/s, latency median %.1f us, p99 %.1f us\n\n",
                raw.bytes_per_second / 1e6, percentile(raw.latency_us, 0.5),
                percentile(raw.latency_us, 0.99));
    std::printf("%-8s %-8s %-16s %-10s %-14s %-14s %-10s\n", "clients", "buffer",
                "MB/s per client", "of plain", "median us", "p99 us", "x plain");
    for (int clients : {1, 8}) {
        for (ULONG buffer : {512UL, 4096UL}) {
            const PortFigures port = through_port(clients, buffer);
            const double median = percentile(port.latency_us, 0.5);
            std::printf("%-8d %-8lu %-16.1f %-10.2f %-14.1f %-14.1f %-10.1f\n", clients,
                        static_cast<unsigned long>(buffer), port.bytes_per_second / 1e6,
                        port.bytes_per_second / raw.bytes_per_second, median,
                        percentile(port.latency_us, 0.99),
                        median / percentile(raw.latency_us, 0.5));
        }
    }
    const std::vector<double> defaults = default_port_latency();
    std::printf("\nport with its default settings, %d messages of %zu bytes: latency median "
                "%.1f us, p99 %.1f us\n",
                kMessages, kMessageBytes, percentile(defaults, 0.5), percentile(defaults, 0.99));
    return 0;
}
