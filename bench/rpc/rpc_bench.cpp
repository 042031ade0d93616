// The cost of the bus between a client and the server, on a private dbus-daemon with the
// server runtime and a port registry in this process and a client on a bus connection of
// its own: the round trip of a property read (median and 99th percentile, calls per
// second), and the bytes per second a pseudo-terminal's peer gets through to the
// client's OnData sink (bench/port gives the in-process figure to compare with).
// Prints figures; asserts nothing.
#include "platform/rpc/rpc.h"
#include "platform/rpc/testing/bus_fixture.h"
#include "platform/rpc/tests/tethra_factory.h"
#include "platform/testing/testing.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr LONG kPort = 9;
constexpr int kCalls = 2000;
constexpr std::size_t kStreamBytes = 8u << 20;

// The client's OnData sink: counts bytes.
class CountingSink : public QDBusVirtualObject {
public:
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.interface() == QLatin1String("org.freedesktop.DBus.Introspectable"))
            return false;  // Qt answers from introspect()
        if (message.member() == QLatin1String("OnData")) {
            {
                std::lock_guard lock(mutex);
                bytes += static_cast<std::size_t>(message.arguments().value(0).toByteArray().size());
            }
            changed.notify_all();
        }
        connection.send(message.createReply(QVariant(0)));
        return true;
    }
    QString introspect(const QString&) const override
    {
        return QStringLiteral("<interface name=\"Ostra.Tethra._ISerialPortEvents\"/>");
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t bytes = 0;
};

QDBusMessage Call(QDBusConnection& bus, const QString& service, const QString& path,
                  const char* itf, const char* method, const QList<QVariant>& args = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, QLatin1String(itf),
                                                       QLatin1String(method));
    call.setArguments(args);
    return bus.call(call, QDBus::Block, 60000);
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main()
{
    platform::rpc::testing::private_bus bus;
    platform::testing::temp_registry registry;
    platform::testing::pty_peer peer;
    if (!bus.ready() || !registry.ready() || !peer.ready() ||
        registry.map_port(peer.path(), kPort) != ERROR_SUCCESS) {
        std::printf("rpc_bench: no private bus or pseudo-terminal\n");
        return 1;
    }
    TethraFactory factory;
    DWORD cookie = 0;
    CoRegisterClassObject(CLSID_Tethra, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);

    QDBusConnection client = QDBusConnection::connectToBus(QString::fromStdString(bus.address()),
                                                           QStringLiteral("bench-client"));
    const QString server =
        Call(client, QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
             "org.freedesktop.DBus", "GetNameOwner", {QStringLiteral("Ostra.Tethra")})
            .arguments()
            .value(0)
            .toString();
    const QString tethra = Call(client, server, QStringLiteral("/Ostra/Tethra"),
                                "Ostra.Tethra.IClassFactory", "CreateInstance",
                                {QStringLiteral("{5AA04296-B290-4D75-80E1-DE6703FB8774}")})
                               .arguments()
                               .value(1)
                               .value<QDBusObjectPath>()
                               .path();
    const QString port = Call(client, server, tethra, "Ostra.Tethra.ITethra", "CreatePort", {int(kPort)})
                             .arguments()
                             .value(1)
                             .value<QDBusObjectPath>()
                             .path();

    // Round trips of a property read.
    std::vector<double> ms;
    const auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
        const auto t0 = Clock::now();
        Call(client, server, port, "Ostra.Tethra.ISerialPort", "get_BaudRate");
        ms.push_back(Ms(Clock::now() - t0));
    }
    const double seconds = Ms(Clock::now() - start) / 1000.0;
    std::sort(ms.begin(), ms.end());
    std::printf("get_BaudRate round trip: median %.3f ms, 99th percentile %.3f ms, %.0f calls/s\n",
                ms[ms.size() / 2], ms[ms.size() * 99 / 100], kCalls / seconds);

    // A stream from the peer to the client's sink.
    QThread sinkThread;
    sinkThread.start();
    auto* sink = new CountingSink;
    sink->moveToThread(&sinkThread);
    client.registerVirtualObject(QStringLiteral("/bench/events"), sink);
    const QString point = Call(client, server, port, "Ostra.Tethra.IConnectionPointContainer",
                               "FindConnectionPoint",
                               {QStringLiteral("{F8ED87C1-42AD-4DFF-ABF7-710CD4282223}")})
                              .arguments()
                              .value(1)
                              .value<QDBusObjectPath>()
                              .path();
    Call(client, server, point, "Ostra.Tethra.IConnectionPoint", "Advise",
         {QVariant::fromValue(QDBusObjectPath(QStringLiteral("/bench/events")))});
    const std::string chunk(4096, 'x');
    const auto streamStart = Clock::now();
    for (std::size_t sent = 0; sent < kStreamBytes; sent += chunk.size())
        peer.send(chunk);
    {
        std::unique_lock lock(sink->mutex);
        sink->changed.wait_for(lock, std::chrono::seconds(120),
                               [&] { return sink->bytes >= kStreamBytes; });
    }
    const double streamSeconds = Ms(Clock::now() - streamStart) / 1000.0;
    std::printf("pty peer -> bus client OnData: %zu bytes in %.2f s, %.1f MiB/s\n", sink->bytes,
                streamSeconds, static_cast<double>(sink->bytes) / streamSeconds / (1 << 20));

    QDBusConnection::disconnectFromBus(QStringLiteral("bench-client"));
    CoRevokeClassObject(cookie);
    platform::rpc::stop_server();
    client.unregisterObject(QStringLiteral("/bench/events"));
    sinkThread.quit();
    sinkThread.wait();
    delete sink;
    return 0;
}
