// The server and its clients in separate processes, on a private dbus-daemon: the port
// registry and the runtime in this process, 1 and 8 client processes (the C++ client
// library) on one pseudo-terminal pair, reading with ReceiveBufferSize 512 and 65536.
// Prints the bytes per second delivered to every client, the device-to-OnData latency
// (median and 99th percentile of 16-byte messages every 5 ms, stamped with the monotonic
// clock that every process shares), the client-to-device bytes per second, and a plain
// pty copy in the same run. Asserts nothing.
//
//   rpc_fanout_bench                       the whole run
//   rpc_fanout_bench --client PORT BUFSIZE MODE COUNT
//       one client (started by the run): MODE stream waits for COUNT bytes and prints
//       "done <ns>"; latency waits for COUNT messages and prints "lat <us>" for each,
//       then "end"; send
//       sends COUNT bytes to the device in synchronous 64 KiB sends.
#include "platform/com/com.h"
#include "platform/rpc/client/client.h"
#include "platform/rpc/client/tests/child_process.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/testing/bus_fixture.h"
#include "platform/rpc/tests/tethra_factory.h"
#include "platform/testing/testing.h"
#include "traffic/tests/test_sink.h"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr LONG kPort = 7;
constexpr int kLatencyMessages = 200;
constexpr std::size_t kSendBytes = 16u << 20;

long long now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

// ---- a client process -------------------------------------------------------------------

class BenchSink : public SinkBase {
public:
    STDMETHODIMP OnData(VARIANT data) override
    {
        if (data.vt != (VT_ARRAY | VT_UI1) || !data.parray)
            return E_INVALIDARG;
        const auto* p = static_cast<const char*>(data.parray->pvData);
        const std::size_t n = data.parray->rgsabound[0].cElements;
        if (latency) {
            // Each message is the sender's clock reading and a sequence number.
            pending.append(p, n);
            const long long arrived = now_ns();
            while (pending.size() >= 16) {
                long long sent = 0;
                std::memcpy(&sent, pending.data(), sizeof sent);
                latencies.push_back(static_cast<double>(arrived - sent) / 1000.0);
                pending.erase(0, 16);
            }
            if (latencies.size() == count) {
                for (double us : latencies)
                    std::printf("lat %.1f\n", us);
                std::printf("end\n");
                std::fflush(stdout);
            }
        } else {
            const bool before = bytes < count;
            bytes += n;
            if (before && bytes >= count) {
                std::printf("done %lld\n", now_ns());
                std::fflush(stdout);
            }
        }
        return S_OK;
    }
    STDMETHODIMP OnPortEvent(EventConstants) override { return S_OK; }
    STDMETHODIMP OnError(ErrorConstants) override { return S_OK; }

    bool latency = false;
    std::size_t count = 0;
    std::size_t bytes = 0;
    std::string pending;
    std::vector<double> latencies;
};

int client_main(LONG port_number, ULONG buffer_size, const std::string& mode, std::size_t count)
{
    static BenchSink sink;
    sink.latency = mode == "latency";
    sink.count = count;
    ITethra* tethra = nullptr;
    ISerialPort* port = nullptr;
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    if (FAILED(CoCreateInstance(CLSID_Tethra, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                                reinterpret_cast<void**>(&tethra))) ||
        FAILED(tethra->CreatePort(port_number, &port)) ||
        FAILED(port->put_ReceiveBufferSize(buffer_size)) ||
        // Reads return what has arrived at once, as in bench/port.
        FAILED(port->put_ReadIntervalTimeOut(MAXDWORD)) ||
        FAILED(port->put_ReadTotalTimeoutMult(0)) || FAILED(port->put_ReadTotalTimeoutConst(0)) ||
        FAILED(port->QueryInterface(IID_IConnectionPointContainer,
                                    reinterpret_cast<void**>(&container))) ||
        FAILED(container->FindConnectionPoint(DIID__ISerialPortEvents, &point)) ||
        FAILED(point->Advise(&sink, &cookie))) {
        std::printf("failed\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    if (mode == "send") {
        const std::string chunk(65536, 's');
        for (std::size_t sent = 0; sent < count; sent += chunk.size()) {
            VARIANT v;
            VariantInit(&v);
            SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(chunk.size()));
            std::memcpy(psa->pvData, chunk.data(), chunk.size());
            v.vt = VT_ARRAY | VT_UI1;
            v.parray = psa;
            port->Send(v, VARIANT_TRUE);
            VariantClear(&v);
        }
    }
    for (;;)
        ::pause();  // until the run ends it
}

// ---- the run ----------------------------------------------------------------------------

using Child = rpc_client_test::child_process;

std::string self_path()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

std::vector<std::unique_ptr<Child>> start_clients(int n, ULONG buffer_size, const char* mode,
                                                  std::size_t count)
{
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < n; ++i) {
        children.push_back(std::make_unique<Child>(std::vector<std::string>{
            self_path(), "--client", std::to_string(kPort), std::to_string(buffer_size), mode,
            std::to_string(count)}));
        if (children.back()->first_line() != "ready") {
            std::printf("a client did not start: %s\n", children.back()->first_line().c_str());
            std::exit(1);
        }
    }
    return children;
}

// Every client receives the whole stream; bytes/s per client (the slowest) and in all.
void stream(platform::testing::pty_peer& peer, int n, ULONG buffer_size, std::size_t bytes)
{
    auto children = start_clients(n, buffer_size, "stream", bytes);
    const long long start = now_ns();
    const std::string chunk(65536, 'x');
    for (std::size_t sent = 0; sent < bytes; sent += chunk.size())
        peer.send(chunk);
    long long last = start;
    for (auto& c : children) {
        std::istringstream line(c->read_line());
        std::string word;
        long long done = 0;
        line >> word >> done;
        last = std::max(last, done);
    }
    const double seconds = static_cast<double>(last - start) / 1e9;
    std::printf("%d client%s, ReceiveBufferSize %6lu: %7.1f MB/s to every client, %7.1f MB/s in all\n",
                n, n > 1 ? "s" : " ", static_cast<unsigned long>(buffer_size),
                static_cast<double>(bytes) / seconds / 1e6,
                static_cast<double>(bytes) * n / seconds / 1e6);
    children.clear();
    peer.wait_closed(10000);
}

void latency(platform::testing::pty_peer& peer, int n)
{
    auto children = start_clients(n, 512, "latency", kLatencyMessages);
    for (int i = 0; i < kLatencyMessages; ++i) {
        char message[16] = {};
        const long long t = now_ns();
        std::memcpy(message, &t, sizeof t);
        std::memcpy(message + 8, &i, sizeof i);
        peer.send(message, sizeof message);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<double> us;
    for (auto& c : children)
        for (std::string line = c->read_line(); line.rfind("lat ", 0) == 0; line = c->read_line())
            us.push_back(std::atof(line.c_str() + 4));
    std::printf("%d client%s, device -> OnData latency: median %.0f us, p99 %.0f us (%zu messages)\n",
                n, n > 1 ? "s" : " ", percentile(us, 0.5), percentile(us, 0.99), us.size());
    children.clear();
    peer.wait_closed(10000);
}

void client_to_device(platform::testing::pty_peer& peer)
{
    auto children = start_clients(1, 512, "send", kSendBytes);
    const long long start = now_ns();
    const std::size_t got = peer.receive(kSendBytes, 20000).size();
    const double seconds = static_cast<double>(now_ns() - start) / 1e9;
    std::printf("1 client  -> device: %.1f MB/s (%zu bytes)\n",
                static_cast<double>(got) / seconds / 1e6, got);
    children.clear();
    peer.wait_closed(10000);
}

double plain_copy(std::size_t bytes)
{
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return 0;
    for (int fd : {master, slave}) {
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    const std::string data(bytes, 'x');
    const long long start = now_ns();
    std::thread reader([&] {
        std::vector<char> buffer(65536);
        for (std::size_t got = 0; got < bytes;) {
            const ssize_t n = ::read(slave, buffer.data(), buffer.size());
            if (n > 0)
                got += static_cast<std::size_t>(n);
        }
    });
    for (std::size_t off = 0; off < bytes;) {
        const ssize_t n = ::write(master, data.data() + off, std::min<std::size_t>(bytes - off, 65536));
        if (n > 0)
            off += static_cast<std::size_t>(n);
    }
    reader.join();
    const double seconds = static_cast<double>(now_ns() - start) / 1e9;
    ::close(master);
    ::close(slave);
    return static_cast<double>(bytes) / seconds / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && std::strcmp(argv[1], "--client") == 0)
        return client_main(std::atoi(argv[2]), static_cast<ULONG>(std::atol(argv[3])), argv[4],
                           static_cast<std::size_t>(std::atoll(argv[5])));

    platform::rpc::testing::private_bus bus;
    platform::testing::temp_registry registry;
    platform::testing::pty_peer peer;
    if (!bus.ready() || !registry.ready() || !peer.ready() ||
        registry.map_port(peer.path(), kPort) != ERROR_SUCCESS) {
        std::printf("rpc_fanout_bench: no private bus or pseudo-terminal\n");
        return 1;
    }
    TethraFactory factory;
    DWORD cookie = 0;
    CoRegisterClassObject(CLSID_Tethra, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);

    std::printf("plain pty copy: %.1f MB/s\n", plain_copy(64u << 20));
    for (ULONG buffer_size : {512UL, 65536UL}) {
        stream(peer, 1, buffer_size, 16u << 20);
        stream(peer, 8, buffer_size, 4u << 20);
    }
    latency(peer, 1);
    latency(peer, 8);
    client_to_device(peer);

    CoRevokeClassObject(cookie);
    platform::rpc::stop_server();
    return 0;
}
