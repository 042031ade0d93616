// The server and its clients in separate processes, on a private dbus-daemon: the port
// registry and the runtime in this process, 1 and 8 client processes (the C++ client
// library) on one pseudo-terminal pair, reading with ReceiveBufferSize 512 and 65536.
// Prints the bytes per second delivered to every client (16 MiB to each), the
// device-to-OnData latency
// (median and 99th percentile of 16-byte messages every 5 ms, stamped with the monotonic
// clock that every process shares), the client-to-device bytes per second (64 KiB Sends,
// synchronous and asynchronous), and, in the same run, two yardsticks: a plain pty copy
// (bytes, and 16-byte messages between two threads) and the bus alone (byte arrays of
// the proxies' merged size to plain echo processes with the same window of calls on the
// way, half the round trip of a 16-byte call, and the one-way time of 16-byte calls to
// eight echo processes at once). Asserts nothing. docs/performance.md says where the
// time goes.
//
//   rpc_fanout_bench                       the whole run, then a table of the figures
//   rpc_fanout_bench --bus-sizes           the bus alone for calls of 4 KiB to 128 KiB
//   rpc_fanout_bench --to-device           client to device only, beside the plain pty
//                                          copy and the bus alone with the client's call
//                                          size, with a window and one call at a time
//   rpc_fanout_bench --fan-out             8 clients with 64 KiB buffers only, beside the
//                                          bus alone and the plain pty copy
// Every stream and bus-alone figure comes with the processor time per MB delivered of this
// process, its busiest threads, the bus daemon and the receiving processes; every stream
// figure with the page faults of this process.
//   rpc_fanout_bench --latency             the latencies only, beside the bus alone's
//   rpc_fanout_bench --client PORT BUFSIZE MODE COUNT
//       one client (started by the run): MODE stream waits for COUNT bytes and prints
//       "done <ns>"; latency waits for COUNT messages and prints "lat <us>" for each,
//       then "end"; send (sendasync) sends COUNT bytes to the device in synchronous
//       (asynchronous) 64 KiB sends.
//   rpc_fanout_bench --echo COUNT          a plain echo process for the bus-alone figures
//   rpc_fanout_bench --echo-latency COUNT  one that prints "lat <us>" for each of COUNT
//                                          stamped calls, then "end"
#include "platform/com/com.h"
#include "platform/registry/registry.h"
#include "platform/rpc/client/client.h"
#include "platform/rpc/client/tests/child_process.h"
#include "platform/rpc/rpc.h"
#include "platform/rpc/sink_proxy.h"
#include "platform/rpc/testing/bus_fixture.h"
#include "platform/rpc/tests/tethra_factory.h"
#include "platform/testing/testing.h"
#include "traffic/tests/test_sink.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVirtualObject>

#include <dirent.h>
#include <sys/resource.h>
#include <malloc.h>
#include <pty.h>
#include <time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <fstream>
#include <map>
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
// What every receiver gets in a stream figure, one client or eight, the bus alone's echo
// processes as well. Not less: the first round in which the server queues a burst for
// eight clients touches some 14 MB of memory it never used before (3,500 page faults
// here, whatever the stream's length), a fixed cost that was a fifth of a 4 MiB round.
constexpr std::size_t kStreamBytes = 16u << 20;

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
    if (mode == "send" || mode == "sendasync") {
        const std::string chunk(65536, 's');
        for (std::size_t sent = 0; sent < count; sent += chunk.size()) {
            VARIANT v;
            VariantInit(&v);
            SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(chunk.size()));
            std::memcpy(psa->pvData, chunk.data(), chunk.size());
            v.vt = VT_ARRAY | VT_UI1;
            v.parray = psa;
            port->Send(v, mode == "send" ? VARIANT_TRUE : VARIANT_FALSE);
            VariantClear(&v);
        }
    }
    for (;;)
        ::pause();  // until the run ends it
}

// ---- the bus alone -------------------------------------------------------------------------

// A plain process on the bus that answers every call at once, counts the bytes of the
// byte arrays it is given and prints "done <ns>" when it has COUNT of them: what the bus
// costs without the server, its port or the client library.
class EchoObject : public QDBusVirtualObject {
public:
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.interface() == QLatin1String("org.freedesktop.DBus.Introspectable"))
            return false;
        const QByteArray data = message.arguments().value(0).toByteArray();
        if (latency) {
            // A 16-byte message that starts with the sender's clock reading.
            long long sent = 0;
            if (data.size() >= static_cast<qsizetype>(sizeof sent))
                std::memcpy(&sent, data.constData(), sizeof sent);
            latencies.push_back(static_cast<double>(now_ns() - sent) / 1000.0);
            connection.send(message.createReply(QVariant(0)));
            if (latencies.size() == count) {
                for (double us : latencies)
                    std::printf("lat %.1f\n", us);
                std::printf("end\n");
                std::fflush(stdout);
            }
            return true;
        }
        const bool before = bytes < count;
        bytes += static_cast<std::size_t>(data.size());
        connection.send(message.createReply(QVariant(0)));
        if (before && bytes >= count) {
            std::printf("done %lld\n", now_ns());
            std::fflush(stdout);
        }
        return true;
    }
    QString introspect(const QString&) const override { return {}; }
    std::size_t count = 0;
    std::size_t bytes = 0;
    bool latency = false;  // stamp each message's arrival instead of counting bytes
    std::vector<double> latencies;
};

int echo_main(std::size_t count, bool latency)
{
    int argc = 1;
    char name[] = "rpc_fanout_bench";
    char* argv[] = {name, nullptr};
    // The same as the server runtime does for its process (platform/rpc/server.cpp), so
    // that the bus alone is what the daemon costs, not what this process's allocator does.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 8 << 20);
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    EchoObject echo;
    echo.count = count;
    echo.latency = latency;
    if (!bus.registerVirtualObject(QStringLiteral("/echo"), &echo)) {
        std::printf("failed\n");
        return 1;
    }
    std::printf("ready %s\n", bus.baseService().toLatin1().constData());
    std::fflush(stdout);
    return app.exec();
}


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

// The latest "done <ns>" of the children, each of which prints one; start if earlier.
long long last_done(const std::vector<std::unique_ptr<Child>>& children, long long start)
{
    long long last = start;
    for (const auto& c : children) {
        std::istringstream line(c->read_line());
        std::string word;
        long long done = 0;
        line >> word >> done;
        last = std::max(last, done);
    }
    return last;
}

// Minor page faults of this process so far.
long page_faults()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Processor time of this process (the server and the pty's far end), in ms.
double process_cpu_ms()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Processor time (ns, from schedstat) and name of each task in a /proc/<pid>/task folder.
struct task_time {
    std::string name;
    long long ns = 0;
};
std::map<long, task_time> task_times(const std::string& folder)
{
    std::map<long, task_time> times;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return times;
    while (const dirent* entry = ::readdir(dir)) {
        const long tid = std::atol(entry->d_name);
        if (tid <= 0)
            continue;
        const std::string task = folder + "/" + entry->d_name;
        task_time t;
        std::ifstream(task + "/schedstat") >> t.ns;
        std::getline(std::ifstream(task + "/comm"), t.name);
        times[tid] = t;
    }
    ::closedir(dir);
    return times;
}

// Processor time so far of this process's threads, and of its child processes (the bus
// daemon, the clients or echo processes), each the sum of its threads, by id.
struct cpu_snapshot {
    std::map<long, task_time> threads;
    std::map<long, task_time> children;
};
cpu_snapshot cpu_now()
{
    cpu_snapshot now;
    now.threads = task_times("/proc/self/task");
    for (const auto& [tid, t] : now.threads) {
        std::ifstream list("/proc/self/task/" + std::to_string(tid) + "/children");
        for (long pid = 0; list >> pid;) {
            task_time& child = now.children[pid];
            std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), child.name);
            for (const auto& [ctid, ct] : task_times("/proc/" + std::to_string(pid) + "/task"))
                child.ns += ct.ns;
        }
    }
    return now;
}

// Since `before`, as ms of processor time per MB delivered: this process's busiest threads,
// the bus daemon, and the receiving processes together. Threads and processes that ended
// meanwhile are not counted.
void print_cpu(const cpu_snapshot& before, double mb)
{
    const cpu_snapshot now = cpu_now();
    auto ms_per_mb = [mb](const std::map<long, task_time>& was, long id, long long ns) {
        const auto it = was.find(id);
        return static_cast<double>(ns - (it == was.end() ? 0 : it->second.ns)) / 1e6 / mb;
    };
    std::vector<std::pair<double, std::string>> rows;
    for (const auto& [tid, t] : now.threads)
        rows.emplace_back(ms_per_mb(before.threads, tid, t.ns), t.name + "/" + std::to_string(tid));
    std::sort(rows.rbegin(), rows.rend());
    std::printf("  threads, ms of processor time per MB delivered:");
    for (std::size_t i = 0; i < rows.size() && i < 14 && rows[i].first > 0.005; ++i)
        std::printf(" %s %.2f", rows[i].second.c_str(), rows[i].first);
    double daemon = 0, receivers = 0;
    int count = 0;
    for (const auto& [pid, child] : now.children) {
        const double ms = ms_per_mb(before.children, pid, child.ns);
        if (child.name == "dbus-daemon") {
            daemon += ms;
        } else {
            receivers += ms;
            ++count;
        }
    }
    std::printf("\n  processes, ms of processor time per MB delivered: bus daemon %.2f, %d "
                "receiving processes %.2f in all\n",
                daemon, count, receivers);
}

// Every client receives the whole stream; bytes/s per client (the slowest) and in all.
double stream(platform::testing::pty_peer& peer, int n, ULONG buffer_size, std::size_t bytes)
{
    auto children = start_clients(n, buffer_size, "stream", bytes);
    const cpu_snapshot cpu_before = cpu_now();
    const long faults_before = page_faults();
    const long long start = now_ns();
    const double cpu_start = process_cpu_ms();
    const std::string chunk(65536, 'x');
    for (std::size_t sent = 0; sent < bytes; sent += chunk.size())
        peer.send(chunk);
    const long long last = last_done(children, start);
    const double seconds = static_cast<double>(last - start) / 1e9;
    const double cpu = process_cpu_ms() - cpu_start;
    std::printf("%d client%s, ReceiveBufferSize %6lu: %7.1f MB/s to every client, %7.1f MB/s in "
                "all, server process %.2f ms of processor time per MB delivered\n",
                n, n > 1 ? "s" : " ", static_cast<unsigned long>(buffer_size),
                static_cast<double>(bytes) / seconds / 1e6,
                static_cast<double>(bytes) * n / seconds / 1e6,
                cpu / (static_cast<double>(bytes) * n / 1e6));
    print_cpu(cpu_before, static_cast<double>(bytes) * n / 1e6);
    std::printf("  server process: %ld page faults (memory touched for the first time)\n",
                page_faults() - faults_before);
    children.clear();
    peer.wait_closed(10000);
    return static_cast<double>(bytes) * n / seconds / 1e6;
}

struct percentiles {
    double p50 = 0;
    double p99 = 0;
};

percentiles latency(platform::testing::pty_peer& peer, int n)
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
    return {percentile(us, 0.5), percentile(us, 0.99)};
}

double client_to_device(platform::testing::pty_peer& peer, const char* mode)
{
    auto children = start_clients(1, 512, mode, kSendBytes);
    const long long start = now_ns();
    const double cpu_start = process_cpu_ms();
    const std::size_t got = peer.discard(kSendBytes, 20000);
    const double seconds = static_cast<double>(now_ns() - start) / 1e9;
    const double cpu = process_cpu_ms() - cpu_start;
    std::printf("1 client  -> device (%s): %.1f MB/s (%zu bytes), server process %.0f ms of "
                "processor time per 16 MiB\n",
                mode, static_cast<double>(got) / seconds / 1e6, got,
                cpu * static_cast<double>(kSendBytes) / static_cast<double>(std::max<std::size_t>(got, 1)));
    children.clear();
    peer.wait_closed(10000);
    return static_cast<double>(got) / seconds / 1e6;
}

// The bus alone: this process sends 64 KiB byte arrays to n echo processes, at most
// kSinkWindow calls on the way to each, as the server sends OnData; MB/s in all.
// window: calls on the way to each echo at most; 1 makes every call wait for the answer
// to the one before, as a synchronous Send does.
double bus_stream(int n, std::size_t bytes, qsizetype chunk_size,
                  std::size_t window_size = platform::rpc::kSinkWindow)
{
    std::vector<std::unique_ptr<Child>> children;
    std::vector<QString> names;
    for (int i = 0; i < n; ++i) {
        children.push_back(std::make_unique<Child>(
            std::vector<std::string>{self_path(), "--echo", std::to_string(bytes)}));
        const std::string& first = children.back()->first_line();
        if (first.rfind("ready ", 0) != 0) {
            std::printf("an echo process did not start: %s\n", first.c_str());
            std::exit(1);
        }
        names.push_back(QString::fromStdString(first.substr(6)));
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QByteArray chunk(chunk_size, 'x');
    std::vector<std::deque<QDBusPendingCall>> in_flight(static_cast<std::size_t>(n));
    const cpu_snapshot cpu_before = cpu_now();
    const double cpu_start = process_cpu_ms();
    const long long start = now_ns();
    for (std::size_t sent = 0; sent < bytes; sent += static_cast<std::size_t>(chunk.size()))
        for (int i = 0; i < n; ++i) {
            auto& window = in_flight[static_cast<std::size_t>(i)];
            if (window.size() >= window_size) {
                window.front().waitForFinished();
                window.pop_front();
            }
            QDBusMessage call = QDBusMessage::createMethodCall(
                names[static_cast<std::size_t>(i)], QStringLiteral("/echo"),
                QStringLiteral("bench.Echo"), QStringLiteral("OnData"));
            call << chunk;
            window.push_back(bus.asyncCall(call));
        }
    const long long last = last_done(children, start);
    for (auto& window : in_flight)
        for (auto& call : window)
            call.waitForFinished();
    // What any sender on this bus pays for the same calls: the yardstick of the server
    // process's processor time per MB.
    const double mb = static_cast<double>(bytes) * n / 1e6;
    std::printf("bus alone, %d echo%s, %lld-byte calls%s: sender process %.2f ms of processor "
                "time per MB delivered\n",
                n, n > 1 ? "es" : "", static_cast<long long>(chunk_size),
                window_size == 1 ? " one at a time" : "", (process_cpu_ms() - cpu_start) / mb);
    print_cpu(cpu_before, mb);
    return static_cast<double>(bytes) * n / (static_cast<double>(last - start) / 1e9) / 1e6;
}

// The bus alone: round trips of a 16-byte call to an echo process. A notification is one
// way, so half of this is what the bus itself adds to the device-to-OnData latency.
percentiles bus_round_trip()
{
    Child echo({self_path(), "--echo", "0"});
    if (echo.first_line().rfind("ready ", 0) != 0)
        return {};
    const QString name = QString::fromStdString(echo.first_line().substr(6));
    QDBusConnection bus = QDBusConnection::sessionBus();
    std::vector<double> us;
    for (int i = 0; i < kLatencyMessages; ++i) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            name, QStringLiteral("/echo"), QStringLiteral("bench.Echo"), QStringLiteral("OnData"));
        call << QByteArray(16, 'x');
        const long long t = now_ns();
        bus.call(call);
        us.push_back(static_cast<double>(now_ns() - t) / 1000.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {percentile(us, 0.5), percentile(us, 0.99)};
}

// The bus alone, one way to n receivers: every 5 ms a 16-byte call stamped with the clock
// goes to each of n echo processes, as the server sends an OnData to each of n clients;
// each echo notes when it arrived. What the bus and the receivers' scheduling add to the
// device-to-OnData latency of n clients before the server has read a byte.
percentiles bus_fanout_latency(int n)
{
    std::vector<std::unique_ptr<Child>> children;
    std::vector<QString> names;
    for (int i = 0; i < n; ++i) {
        children.push_back(std::make_unique<Child>(std::vector<std::string>{
            self_path(), "--echo-latency", std::to_string(kLatencyMessages)}));
        const std::string& first = children.back()->first_line();
        if (first.rfind("ready ", 0) != 0)
            return {};
        names.push_back(QString::fromStdString(first.substr(6)));
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    std::vector<QDBusPendingCall> calls;
    for (int m = 0; m < kLatencyMessages; ++m) {
        QByteArray message(16, '\0');
        const long long t = now_ns();
        std::memcpy(message.data(), &t, sizeof t);
        for (const QString& name : names) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                name, QStringLiteral("/echo"), QStringLiteral("bench.Echo"), QStringLiteral("OnData"));
            call << message;
            calls.push_back(bus.asyncCall(call));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<double> us;
    for (auto& c : children)
        for (std::string line = c->read_line(); line.rfind("lat ", 0) == 0; line = c->read_line())
            us.push_back(std::atof(line.c_str() + 4));
    for (auto& call : calls)
        call.waitForFinished();
    return {percentile(us, 0.5), percentile(us, 0.99)};
}

// 16-byte messages every 5 ms through a pty between two threads.
percentiles plain_latency()
{
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return {};
    for (int fd : {master, slave}) {
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    std::vector<double> us;
    std::thread reader([&] {
        char buffer[512];
        std::string pending;
        while (us.size() < static_cast<std::size_t>(kLatencyMessages)) {
            const ssize_t n = ::read(slave, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            const long long arrived = now_ns();
            pending.append(buffer, static_cast<std::size_t>(n));
            while (pending.size() >= 16) {
                long long sent = 0;
                std::memcpy(&sent, pending.data(), sizeof sent);
                us.push_back(static_cast<double>(arrived - sent) / 1000.0);
                pending.erase(0, 16);
            }
        }
    });
    for (int i = 0; i < kLatencyMessages; ++i) {
        char message[16] = {};
        const long long t = now_ns();
        std::memcpy(message, &t, sizeof t);
        if (::write(master, message, sizeof message) != sizeof message)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reader.join();
    ::close(master);
    ::close(slave);
    return {percentile(us, 0.5), percentile(us, 0.99)};
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
    if (argc == 3 && std::strcmp(argv[1], "--echo") == 0)
        return echo_main(static_cast<std::size_t>(std::atoll(argv[2])), false);
    if (argc == 3 && std::strcmp(argv[1], "--echo-latency") == 0)
        return echo_main(static_cast<std::size_t>(std::atoll(argv[2])), true);
    if (argc == 2 && std::strcmp(argv[1], "--bus-sizes") == 0) {
        platform::rpc::testing::private_bus bus;
        for (int round = 0; round < 3; ++round)
            for (qsizetype size : {4096, 16384, 32768, 49152, 57344, 61440, 65536, 131072})
                std::printf("bus alone, %6lld-byte calls: 1 echo %.1f MB/s, 8 echoes %.1f MB/s in all\n",
                            static_cast<long long>(size), bus_stream(1, kStreamBytes, size),
                            bus_stream(8, kStreamBytes, size));
        return 0;
    }

    const bool to_device_only = argc == 2 && std::strcmp(argv[1], "--to-device") == 0;
    const bool fan_out_only = argc == 2 && std::strcmp(argv[1], "--fan-out") == 0;
    const bool latency_only = argc == 2 && std::strcmp(argv[1], "--latency") == 0;
    platform::rpc::testing::private_bus bus;
    platform::testing::temp_registry registry;
    platform::testing::pty_peer peer;
    if (!bus.ready() || !registry.ready() || !peer.ready() ||
        registry.map_port(peer.path(), kPort) != ERROR_SUCCESS) {
        std::printf("rpc_fanout_bench: no private bus or pseudo-terminal\n");
        return 1;
    }
    // Every client must get the whole stream, however far it falls behind the pty under
    // load: the most "MaxClientQueue" there is, so that none of its data is dropped (the
    // run would otherwise wait for bytes that never come).
    HKEY hKey = nullptr;
    const DWORD limit_kb = 1048576;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ostra\\Tethra", 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, &hKey, nullptr);
    RegSetValueExA(hKey, "MaxClientQueue", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&limit_kb),
                   sizeof limit_kb);
    RegCloseKey(hKey);
    TethraFactory factory;
    DWORD cookie = 0;
    CoRegisterClassObject(CLSID_Tethra, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);

    const double plain = plain_copy(64u << 20);
    if (latency_only) {
        for (int round = 0; round < 3; ++round) {
            const percentiles one = latency(peer, 1);
            const percentiles eight = latency(peer, 8);
            const percentiles rt = bus_round_trip();
            const percentiles bus8 = bus_fanout_latency(8);
            std::printf("round %d: p50/p99 us: 1 client %.0f/%.0f (bus alone, half a round trip "
                        "%.0f/%.0f), 8 clients %.0f/%.0f (bus alone to 8 echoes %.0f/%.0f)\n",
                        round, one.p50, one.p99, rt.p50 / 2, rt.p99 / 2, eight.p50, eight.p99,
                        bus8.p50, bus8.p99);
        }
        CoRevokeClassObject(cookie);
        platform::rpc::stop_server();
        return 0;
    }
    if (fan_out_only) {
        for (int round = 0; round < 3; ++round)
            std::printf("round %d: 8 clients 64 KiB %.1f MB/s in all, bus alone %.1f MB/s, plain pty %.1f MB/s\n",
                        round, stream(peer, 8, 65536, kStreamBytes),
                        bus_stream(8, kStreamBytes, platform::rpc::kSinkMergeBytes), plain);
        CoRevokeClassObject(cookie);
        platform::rpc::stop_server();
        return 0;
    }
    if (to_device_only) {
        for (int round = 0; round < 3; ++round) {
            const double sync = client_to_device(peer, "send");
            const double async = client_to_device(peer, "sendasync");
            const double bus64 = bus_stream(1, kSendBytes, 65536);
            const double bus64_sync = bus_stream(1, kSendBytes, 65536, 1);
            std::printf("round %d: sync %.1f, async %.1f, bus alone (64 KiB calls) %.1f, one at a "
                        "time %.1f, plain pty %.1f MB/s\n",
                        round, sync, async, bus64, bus64_sync, plain);
        }
        CoRevokeClassObject(cookie);
        platform::rpc::stop_server();
        return 0;
    }
    const percentiles plain_lat = plain_latency();
    double rate[2][2] = {};
    for (int b = 0; b < 2; ++b) {
        const ULONG buffer_size = b == 0 ? 512UL : 65536UL;
        rate[b][0] = stream(peer, 1, buffer_size, kStreamBytes);
        rate[b][1] = stream(peer, 8, buffer_size, kStreamBytes);
    }
    const percentiles lat1 = latency(peer, 1);
    const percentiles lat8 = latency(peer, 8);
    const double to_device = client_to_device(peer, "send");
    const double to_device_async = client_to_device(peer, "sendasync");
    const double bus1 = bus_stream(1, kStreamBytes, platform::rpc::kSinkMergeBytes);
    const double bus8 = bus_stream(8, kStreamBytes, platform::rpc::kSinkMergeBytes);
    const percentiles bus_rt = bus_round_trip();
    const percentiles bus_lat8 = bus_fanout_latency(8);

    // The figures side by side: the bus alone is the ceiling the bus itself sets (byte
    // arrays to plain echo processes; for the latency half a round trip with one echo,
    // and the one-way time of calls to eight echoes with eight).
    std::printf("\n%-34s %10s %10s %12s %12s\n", "figure", "tethra", "target", "bus alone",
                "plain pty");
    auto row = [](const char* what, double got, double target, double bus_only, double pty) {
        std::printf("%-34s %10.1f %10.1f %12.1f %12.1f\n", what, got, target, bus_only, pty);
    };
    row("1 client, 512 B buffers, MB/s", rate[0][0], 21, bus1, plain);
    row("8 clients, 512 B buffers, MB/s", rate[0][1], 10.5, bus8, plain);
    row("1 client, 64 KiB buffers, MB/s", rate[1][0], 55, bus1, plain);
    row("8 clients, 64 KiB buffers, MB/s", rate[1][1], 144, bus8, plain);
    row("1 client latency p50, us", lat1.p50, 122, bus_rt.p50 / 2, plain_lat.p50);
    row("1 client latency p99, us", lat1.p99, 380, bus_rt.p99 / 2, plain_lat.p99);
    row("8 clients latency p50, us", lat8.p50, 224, bus_lat8.p50, plain_lat.p50);
    row("8 clients latency p99, us", lat8.p99, 528, bus_lat8.p99, plain_lat.p99);
    row("client -> device, sync, MB/s", to_device, 60, bus1, plain);
    row("client -> device, async, MB/s", to_device_async, 60, bus1, plain);

    CoRevokeClassObject(cookie);
    platform::rpc::stop_server();
    return 0;
}
