#include "platform/rpc/client/bus.h"

#include "platform/rpc/client/client.h"
#include "platform/rpc/client/sink_host.h"
#include "platform/rpc/wire.h"

#include <QCoreApplication>
#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QEventLoop>

#include <climits>
#include <memory>
#include <utility>

namespace platform::rpc::client {

namespace {

const char kConnectionName[] = "tethra-client";

}  // namespace

bus_host* bus_host::instance(HRESULT* phr) noexcept
{
    // Started on first use and stopped when the process's statics go, before Qt's own.
    static bus_host s_host;
    if (!s_host.m_bConnected) {
        if (phr)
            *phr = CO_E_SERVER_EXEC_FAILURE;
        return nullptr;
    }
    if (phr)
        *phr = S_OK;
    return &s_host;
}

bus_host::bus_host()
{
    m_thread = std::thread([this] { run(); });
    std::unique_lock lock(m_mutex);
    m_cvReady.wait(lock, [this] { return m_bStarted; });
}

bus_host::~bus_host()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_pLoop)
            QMetaObject::invokeMethod(m_pLoop, &QEventLoop::quit, Qt::QueuedConnection);
    }
    if (m_thread.joinable())
        m_thread.join();
}

void bus_host::run()
{
    // QtDBus wants a QCoreApplication; a plain program has none, so the library makes one
    // on this thread. A program with its own keeps it.
    static int s_argc = 1;
    static char s_arg0[] = "tethra-client";
    static char* s_argv[] = {s_arg0, nullptr};
    std::unique_ptr<QCoreApplication> app;
    if (!QCoreApplication::instance())
        app = std::make_unique<QCoreApplication>(s_argc, s_argv);

    QEventLoop loop;
    std::unique_ptr<sink_host> sinks;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                            QString::fromLatin1(kConnectionName));
        std::lock_guard lock(m_mutex);
        if (bus.isConnected()) {
            sinks = std::make_unique<sink_host>();
            if (sinks->attach(bus)) {
                m_bConnected = true;
                m_uniqueName = bus.baseService();
                m_pSinks = sinks.get();
                m_pLoop = &loop;
            }
        }
        m_bStarted = true;
    }
    m_cvReady.notify_all();

    if (m_bConnected)
        loop.exec();

    {
        std::lock_guard lock(m_mutex);
        m_pLoop = nullptr;
    }
    if (sinks)
        sinks->detach(connection());
    sinks.reset();
    QDBusConnection::disconnectFromBus(QString::fromLatin1(kConnectionName));
}

QDBusConnection bus_host::connection() const
{
    return QDBusConnection(QString::fromLatin1(kConnectionName));
}

HRESULT bus_host::call(const QString& service, const QString& path, const QString& iface,
                       const QString& method, const QList<QVariant>& args,
                       QDBusMessage* pReply)
{
    QDBusMessage reply;
    if (on_bus_thread()) {
        // A sink handler calling the server: this thread waits on the network itself.
        // INT_MAX is libdbus's "no time-out".
        QDBusMessage msg = QDBusMessage::createMethodCall(service, path, iface, method);
        msg.setArguments(args);
        reply = connection().call(msg, QDBus::Block, INT_MAX);
    } else {
        // Any other thread hands the call to this library's thread and waits for the
        // reply there, so QtDBus is used on that thread only (and never makes the
        // caller's thread one of its own).
        struct pending_call {
            std::mutex mutex;
            std::condition_variable cvDone;
            bool bDone = false;
            QDBusMessage reply;
        };
        auto pending = std::make_shared<pending_call>();
        if (!call_async(service, path, iface, method, args, [pending](const QDBusMessage& r) {
                {
                    std::lock_guard lock(pending->mutex);
                    pending->reply = r;
                    pending->bDone = true;
                }
                pending->cvDone.notify_all();
            }))
            return RPC_E_DISCONNECTED;
        std::unique_lock lock(pending->mutex);
        pending->cvDone.wait(lock, [&] { return pending->bDone; });
        reply = pending->reply;
    }
    if (pReply)
        *pReply = reply;
    return reply.type() == QDBusMessage::ReplyMessage ? S_OK : map_error_reply(reply);
}

bool bus_host::call_async(const QString& service, const QString& path, const QString& iface,
                          const QString& method, const QList<QVariant>& args,
                          std::function<void(const QDBusMessage&)> done)
{
    QDBusMessage msg = QDBusMessage::createMethodCall(service, path, iface, method);
    msg.setArguments(args);
    return run_on_bus_thread([this, msg, done = std::move(done)] {
        // INT_MAX is libdbus's "no time-out".
        auto* pWatcher = new QDBusPendingCallWatcher(connection().asyncCall(msg, INT_MAX), m_pLoop);
        QObject::connect(pWatcher, &QDBusPendingCallWatcher::finished, m_pLoop, [pWatcher, done] {
            done(pWatcher->reply());
            pWatcher->deleteLater();
        });
    });
}

void bus_host::post(const QString& service, const QString& path, const QString& iface,
                    const QString& method, const QList<QVariant>& args)
{
    QDBusMessage msg = QDBusMessage::createMethodCall(service, path, iface, method);
    msg.setArguments(args);
    msg.setAutoStartService(false);
    run_on_bus_thread([this, msg] { connection().send(msg); });
}

bool bus_host::run_on_bus_thread(std::function<void()> work)
{
    if (m_thread.get_id() == std::this_thread::get_id()) {
        work();
        return true;
    }
    std::lock_guard lock(m_mutex);
    if (!m_pLoop)
        return false;
    // Queued events of one thread run in the order posted, so calls keep their order.
    return QMetaObject::invokeMethod(m_pLoop, std::move(work), Qt::QueuedConnection);
}

HRESULT map_error_reply(const QDBusMessage& reply) noexcept
{
    // Calls wait without a time-out, so NoReply only comes from the bus when the server
    // left it before answering.
    if (reply.errorName() == QLatin1String(platform::rpc::kErrNoReply))
        return RPC_E_DISCONNECTED;
    return platform::rpc::hresult_from_error(reply.errorName(), reply.errorMessage());
}

}  // namespace platform::rpc::client
