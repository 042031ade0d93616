#include "platform/rpc/client/bus.h"

#include "platform/rpc/client/client.h"
#include "platform/rpc/client/sink_host.h"
#include "platform/rpc/wire.h"

#include <QCoreApplication>
#include <QDBusError>
#include <QEventLoop>

#include <climits>
#include <memory>

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
    QDBusMessage msg = QDBusMessage::createMethodCall(service, path, iface, method);
    msg.setArguments(args);
    // INT_MAX is libdbus's "no time-out".
    QDBusMessage reply = connection().call(msg, QDBus::Block, INT_MAX);
    if (pReply)
        *pReply = reply;
    return reply.type() == QDBusMessage::ReplyMessage ? S_OK : map_error_reply(reply);
}

void bus_host::post(const QString& service, const QString& path, const QString& iface,
                    const QString& method, const QList<QVariant>& args)
{
    QDBusMessage msg = QDBusMessage::createMethodCall(service, path, iface, method);
    msg.setArguments(args);
    msg.setAutoStartService(false);
    connection().send(msg);
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
