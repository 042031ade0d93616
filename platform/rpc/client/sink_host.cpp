#include "platform/rpc/client/sink_host.h"

#include "platform/rpc/wire.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <algorithm>
#include <vector>

namespace platform::rpc::client {

using namespace platform::rpc;

namespace {

const char kSinkRoot[] = "/Ostra/Tethra/Sink";

// Calls one member of a sink with its arguments in declaration order.
HRESULT call_sink(IUnknown* pSink, const interface_info& itf, const member_info& member,
                  VARIANTARG* rgArgs)
{
    if (itf.kind != interface_kind::dispinterface)
        return member.invoke(pSink, rgArgs);
    // A dispatch interface is reached through Invoke, which takes the arguments in reverse.
    std::vector<VARIANTARG> reversed(rgArgs, rgArgs + member.param_count);
    std::reverse(reversed.begin(), reversed.end());
    DISPPARAMS params = {reversed.data(), nullptr, member.param_count, 0};
    return static_cast<IDispatch*>(pSink)->Invoke(member.dispid, IID_NULL, 0, DISPATCH_METHOD,
                                                  &params, nullptr, nullptr, nullptr);
}

}  // namespace

sink_host::sink_host() = default;

sink_host::~sink_host()
{
    for (auto& [n, e] : m_sinks)
        e.pSink->Release();
}

bool sink_host::attach(QDBusConnection bus)
{
    return bus.registerVirtualObject(QString::fromLatin1(kSinkRoot), this,
                                     QDBusConnection::SubPath);
}

void sink_host::detach(QDBusConnection bus)
{
    bus.unregisterObject(QString::fromLatin1(kSinkRoot), QDBusConnection::UnregisterTree);
}

ULONG sink_host::number_of(const QString& path)
{
    const QString prefix = QString::fromLatin1(kSinkRoot) + QLatin1Char('/');
    if (!path.startsWith(prefix))
        return 0;
    bool ok = false;
    ULONG n = path.mid(prefix.size()).toULong(&ok, 10);
    return ok ? n : 0;
}

QString sink_host::add(IUnknown* pSink, const interface_info& itf)
{
    std::lock_guard lock(m_mutex);
    if (m_nNext == 0)
        return QString();
    ULONG n = m_nNext++;
    m_sinks[n] = entry{pSink, &itf};
    return QString::fromLatin1(kSinkRoot) + QLatin1Char('/') + QString::number(n);
}

void sink_host::remove(const QString& path)
{
    ULONG n = number_of(path);
    IUnknown* pSink = nullptr;
    {
        std::unique_lock lock(m_mutex);
        auto it = m_sinks.find(n);
        if (it == m_sinks.end())
            return;
        pSink = it->second.pSink;
        m_sinks.erase(it);
        if (m_callingThread != std::this_thread::get_id())
            m_cvIdle.wait(lock, [&] { return m_nCalling != n; });
    }
    pSink->Release();
}

QString sink_host::introspect(const QString&) const
{
    // Introspect calls reach handleMessage, which answers them per sink.
    return QString();
}

bool sink_host::handleMessage(const QDBusMessage& message, const QDBusConnection& connection)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    const ULONG n = number_of(message.path());
    entry e{};
    {
        std::lock_guard lock(m_mutex);
        auto it = m_sinks.find(n);
        if (it != m_sinks.end()) {
            e = it->second;
            e.pSink->AddRef();
            m_nCalling = n;
            m_callingThread = std::this_thread::get_id();
        }
    }
    if (!e.pSink) {
        connection.send(message.createErrorReply(QLatin1String(kErrUnknownObject),
                                                 QStringLiteral("No sink at %1").arg(message.path())));
        return true;
    }

    QDBusMessage reply;
    if (message.interface() == QLatin1String(kIntrospectable) &&
        message.member() == QStringLiteral("Introspect")) {
        connection.send(message.createReply(introspect_document(
            introspect_interface(*e.pItf) + introspect_standard(kIntrospectable), {})));
        return finish_call(e.pSink);
    }
    const member_info* pMember = message.interface() == bus_interface_name(*e.pItf)
                                     ? find_bus_method(*e.pItf, message.member())
                                     : nullptr;
    if (!pMember) {
        reply = message.createErrorReply(
            QLatin1String(message.interface() == bus_interface_name(*e.pItf) ? kErrUnknownMethod
                                                                             : kErrUnknownInterface),
            QStringLiteral("No method %1.%2").arg(message.interface(), message.member()));
    } else {
        const QList<QVariant> in = message.arguments();
        std::vector<VARIANTARG> args(pMember->param_count);
        for (auto& v : args)
            VariantInit(&v);
        HRESULT hr = static_cast<UINT>(in.size()) == pMember->param_count ? S_OK : E_INVALIDARG;
        for (UINT i = 0; SUCCEEDED(hr) && i < pMember->param_count; ++i)
            hr = value_to_variant(pMember->params[i], true, in[static_cast<int>(i)], &args[i]);
        if (FAILED(hr)) {
            reply = message.createErrorReply(
                QLatin1String(kErrInvalidArgs),
                QStringLiteral("Arguments do not match %1").arg(message.signature()));
        } else {
            hr = call_sink(e.pSink, *e.pItf, *pMember, args.data());
            reply = SUCCEEDED(hr) ? message.createReply(QVariant(static_cast<int>(hr)))
                                  : error_reply(message, hr);
        }
        for (auto& v : args)
            VariantClear(&v);
    }
    connection.send(reply);
    return finish_call(e.pSink);
}

bool sink_host::finish_call(IUnknown* pSink)
{
    {
        std::lock_guard lock(m_mutex);
        m_nCalling = 0;
        m_callingThread = std::thread::id();
    }
    m_cvIdle.notify_all();
    pSink->Release();
    return true;
}

}  // namespace platform::rpc::client
