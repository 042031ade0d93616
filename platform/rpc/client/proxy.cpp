#include "platform/rpc/client/proxy.h"

#include "platform/rpc/client/sink_host.h"
#include "platform/rpc/wire.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QRegularExpression>

#include <condition_variable>
#include <cstring>
#include <map>
#include <new>
#include <mutex>
#include <utility>
#include <vector>

namespace platform::rpc::client {

using namespace platform::rpc;

namespace {

bool is_interface_param(const param_info& p)
{
    return p.vt == VT_DISPATCH || p.vt == VT_UNKNOWN;
}

// Writes a reply's value, as a VARIANT of the parameter's type, through the caller's
// by-reference argument.
HRESULT store_out(const VARIANT& value, VARIANTARG& ref)
{
    switch (value.vt) {
    // The server's getters give 1 for TRUE; the bus carries only true or false.
    case VT_BOOL: *ref.pboolVal = value.boolVal ? 1 : 0; return S_OK;
    case VT_I4: *ref.plVal = value.lVal; return S_OK;
    case VT_UI4: *ref.pulVal = value.ulVal; return S_OK;
    case VT_I2: *ref.piVal = value.iVal; return S_OK;
    case VT_UI2: *ref.puiVal = value.uiVal; return S_OK;
    case VT_UI1: *ref.pbVal = value.bVal; return S_OK;
    case VT_I1: *ref.pcVal = value.cVal; return S_OK;
    case VT_I8: *ref.pllVal = value.llVal; return S_OK;
    case VT_UI8: *ref.pullVal = value.ullVal; return S_OK;
    default: return E_UNEXPECTED;
    }
}

// A Send(byte array, asynchronous): the one call whose reply a client need not wait for.
bool is_async_send(const interface_info& itf, const member_info& member, const QList<QVariant>& in)
{
    return &itf == &type_info_of<ISerialPort>() && std::strcmp(member.method, "Send") == 0 &&
           in.size() == 2 && !in[1].toBool() &&
           in[0].metaType() == QMetaType::fromType<QDBusVariant>() &&
           in[0].value<QDBusVariant>().variant().metaType() == QMetaType::fromType<QByteArray>();
}

QString braced(REFIID riid)
{
    char sz[GUID_STRING_CHARS];
    StringFromGUID2(riid, sz, GUID_STRING_CHARS);
    return QString::fromLatin1(sz);
}

}  // namespace

// ---- remote_object -----------------------------------------------------------------------

struct remote_object::pipeline {
    std::mutex mutex;
    std::condition_variable cvRoom;
    UINT cOnTheWay = 0;
    HRESULT hrRefused = S_OK;  // the first refusal not yet returned
};

remote_object::remote_object(bus_host* pBus, const QString& service, const QString& path) noexcept
    : m_pBus(pBus), m_service(service), m_path(path), m_pipeline(std::make_shared<pipeline>())
{
}

HRESULT remote_object::send_pipelined(const QString& iface, const char* method,
                                      const QList<QVariant>& in)
{
    const std::shared_ptr<pipeline> pl = m_pipeline;
    {
        std::unique_lock lock(pl->mutex);
        pl->cvRoom.wait(lock, [&] { return pl->cOnTheWay < kSendWindow; });
        if (FAILED(pl->hrRefused))
            return std::exchange(pl->hrRefused, S_OK);
        ++pl->cOnTheWay;
    }
    const bool sent = m_pBus->call_async(
        m_service, m_path, iface, QString::fromLatin1(method), in, [pl](const QDBusMessage& reply) {
            const HRESULT hr = reply.type() == QDBusMessage::ReplyMessage ? hresult_from_reply(reply)
                                                                          : map_error_reply(reply);
            {
                std::lock_guard lock(pl->mutex);
                --pl->cOnTheWay;
                if (FAILED(hr) && SUCCEEDED(pl->hrRefused))
                    pl->hrRefused = hr;
            }
            pl->cvRoom.notify_all();
        });
    if (sent)
        return S_OK;
    std::lock_guard lock(pl->mutex);
    --pl->cOnTheWay;
    return RPC_E_DISCONNECTED;
}

remote_object::~remote_object()
{
    if (!m_bHandedOver)
        m_pBus->post(m_service, m_path, QString::fromLatin1(kIUnknown), QStringLiteral("Release"),
                 {});
}

HRESULT remote_object::invoke(const interface_info& itf, const member_info& member,
                              VARIANTARG* rgArgs)
{
    QList<QVariant> in;
    UINT cOut = 0;
    for (UINT i = 0; i < member.param_count; ++i) {
        const param_info& p = member.params[i];
        if (param_is_out(p)) {
            if (!rgArgs[i].byref)
                return E_POINTER;
            if (is_interface_param(p))
                *static_cast<IUnknown**>(rgArgs[i].byref) = nullptr;
            ++cOut;
            continue;
        }
        QVariant value;
        HRESULT hr = variant_to_value(p, false, rgArgs[i], &value);
        // A VARIANT that has no bus form is one the port refuses, with E_INVALIDARG.
        if (FAILED(hr))
            return p.vt == VT_VARIANT && hr == DISP_E_BADVARTYPE ? E_INVALIDARG : hr;
        in.append(value);
    }

    if (is_async_send(itf, member, in) && !m_pBus->on_bus_thread())
        return send_pipelined(bus_interface_name(itf), member.method, in);

    QList<QVariant> out;
    HRESULT hr = call(bus_interface_name(itf).toLatin1().constData(), member.method, in, &out);
    if (FAILED(hr))
        return hr;
    if (static_cast<UINT>(out.size()) != cOut)
        return E_UNEXPECTED;
    int k = 0;
    for (UINT i = 0; i < member.param_count; ++i) {
        const param_info& p = member.params[i];
        if (!param_is_out(p))
            continue;
        const QVariant& value = out[k++];
        HRESULT hrOut;
        if (is_interface_param(p)) {
            if (value.metaType() != QMetaType::fromType<QDBusObjectPath>())
                return E_UNEXPECTED;
            hrOut = make_proxy(m_pBus, m_service, value.value<QDBusObjectPath>().path(),
                               p.iid ? *p.iid : IID_IUnknown,
                               static_cast<void**>(rgArgs[i].byref));
        } else {
            VARIANT v;
            hrOut = value_to_variant(p, false, value, &v);
            if (SUCCEEDED(hrOut))
                hrOut = store_out(v, rgArgs[i]);
            if (FAILED(hrOut))
                hrOut = E_UNEXPECTED;
        }
        if (FAILED(hrOut))
            return hrOut;
    }
    return hr;
}

HRESULT remote_object::call(const char* iface, const char* method, const QList<QVariant>& args,
                            QList<QVariant>* pOut)
{
    QDBusMessage reply;
    HRESULT hr = m_pBus->call(m_service, m_path, QString::fromLatin1(iface),
                              QString::fromLatin1(method), args, &reply);
    if (FAILED(hr))
        return hr;
    hr = hresult_from_reply(reply);
    QList<QVariant> values = reply.arguments();
    if (!values.isEmpty())
        values.removeFirst();
    if (pOut)
        *pOut = std::move(values);
    return hr;
}

// ---- the port registry ------------------------------------------------------------------

namespace {

class tethra_proxy final : public interface_proxy<ITethra, tethra_proxy>, public remote_object {
public:
    using remote_object::remote_object;
    using remote_object::invoke;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override
    {
        static constexpr interface_entry table[] = {
            interface_entry_of<tethra_proxy, IUnknown, ITethra>(),
            interface_entry_of<tethra_proxy, IDispatch, ITethra>(),
            interface_entry_of<tethra_proxy, ITethra>(),
        };
        return query_interface(this, table, riid, ppvObject);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return add_ref(); }
    STDMETHODIMP_(ULONG) Release() override { return release_ref(); }
};

// ---- a port and its connection points ---------------------------------------------------

class serial_port_proxy;

class connection_point_proxy final : public IConnectionPoint, public remote_object {
public:
    connection_point_proxy(bus_host* pBus, const QString& service, const QString& path,
                           serial_port_proxy* pContainer) noexcept;
    ~connection_point_proxy() override;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override
    {
        static constexpr interface_entry table[] = {
            interface_entry_of<connection_point_proxy, IUnknown, IConnectionPoint>(),
            interface_entry_of<connection_point_proxy, IConnectionPoint>(),
        };
        return query_interface(this, table, riid, ppvObject);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return add_ref(); }
    STDMETHODIMP_(ULONG) Release() override { return release_ref(); }

    STDMETHODIMP GetConnectionInterface(IID* pIID) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHODIMP Unadvise(DWORD dwCookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override
    {
        if (ppEnum)
            *ppEnum = nullptr;
        return E_NOTIMPL;
    }

private:
    serial_port_proxy* m_pContainer;  // counted
};

class serial_port_proxy final : public interface_proxy<ISerialPort, serial_port_proxy>,
                                public IConnectionPointContainer,
                                public remote_object {
public:
    using remote_object::remote_object;
    using remote_object::invoke;

    ~serial_port_proxy() override
    {
        // Sinks still advised through this port's connection points go with it, as they
        // go with the port object in-process: each is unadvised (the server holds the
        // port for an advised sink) and withdrawn; then the connection points' references
        // kept for that are given back, and the port's own last.
        for (auto& [key, sinkPath] : m_sinks) {
            bus()->post(service(), key.first, QLatin1String(kIConnectionPoint),
                        QStringLiteral("Unadvise"), {QVariant(static_cast<uint>(key.second))});
            bus()->sinks().remove(sinkPath);
        }
        for (auto& [point, cRefs] : m_heldPoints)
            for (ULONG i = 0; i < cRefs; ++i)
                bus()->post(service(), point, QLatin1String(kIUnknown), QStringLiteral("Release"),
                            {});
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override
    {
        static constexpr interface_entry table[] = {
            interface_entry_of<serial_port_proxy, IUnknown, ISerialPort>(),
            interface_entry_of<serial_port_proxy, IDispatch, ISerialPort>(),
            interface_entry_of<serial_port_proxy, ISerialPort>(),
            interface_entry_of<serial_port_proxy, IConnectionPointContainer>(),
        };
        return query_interface(this, table, riid, ppvObject);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return add_ref(); }
    STDMETHODIMP_(ULONG) Release() override { return release_ref(); }

    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override
    {
        if (!ppEnum)
            return E_POINTER;
        *ppEnum = nullptr;
        QList<QVariant> out;
        HRESULT hr = call(kIConnectionPointContainer, "EnumConnectionPoints", {}, &out);
        if (FAILED(hr))
            return hr;
        if (out.size() != 1)
            return E_UNEXPECTED;
        std::vector<IConnectionPoint*> points;
        for (const QDBusObjectPath& p : qdbus_cast<QList<QDBusObjectPath>>(out.front())) {
            auto* pPoint = new (std::nothrow) connection_point_proxy(bus(), service(), p.path(), this);
            if (!pPoint) {
                hr = E_OUTOFMEMORY;
                break;
            }
            points.push_back(pPoint);
        }
        if (SUCCEEDED(hr))
            hr = create_enum_connection_points(points.data(), points.size(), ppEnum);
        for (IConnectionPoint* p : points)
            p->Release();
        return hr;
    }

    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override
    {
        if (!ppCP)
            return E_POINTER;
        *ppCP = nullptr;
        QList<QVariant> out;
        HRESULT hr = call(kIConnectionPointContainer, "FindConnectionPoint",
                          {QVariant(braced(riid))}, &out);
        if (FAILED(hr))
            return hr;
        if (out.size() != 1 || out.front().metaType() != QMetaType::fromType<QDBusObjectPath>())
            return E_UNEXPECTED;
        *ppCP = new (std::nothrow) connection_point_proxy(
            bus(), service(), out.front().value<QDBusObjectPath>().path(), this);
        return *ppCP ? hr : E_OUTOFMEMORY;
    }

    // The sinks advised through this port's connection points, by connection point and
    // cookie.
    void sink_advised(const QString& cp, DWORD dwCookie, const QString& sinkPath)
    {
        std::lock_guard lock(m_mutex);
        m_sinks[{cp, dwCookie}] = sinkPath;
    }
    QString sink_unadvised(const QString& cp, DWORD dwCookie)
    {
        std::lock_guard lock(m_mutex);
        auto it = m_sinks.find({cp, dwCookie});
        if (it == m_sinks.end())
            return QString();
        QString path = it->second;
        m_sinks.erase(it);
        return path;
    }

    // A connection point proxy that goes while sinks advised through its path remain
    // hands its reference on that path to the port, which needs it to unadvise them;
    // false when no sink of that path remains.
    bool adopt_point_reference(const QString& cp)
    {
        std::lock_guard lock(m_mutex);
        for (auto& [key, sinkPath] : m_sinks)
            if (key.first == cp) {
                ++m_heldPoints[cp];
                return true;
            }
        return false;
    }

private:
    std::mutex m_mutex;
    std::map<std::pair<QString, DWORD>, QString> m_sinks;
    std::map<QString, ULONG> m_heldPoints;
};

connection_point_proxy::connection_point_proxy(bus_host* pBus, const QString& service,
                                               const QString& path,
                                               serial_port_proxy* pContainer) noexcept
    : remote_object(pBus, service, path), m_pContainer(pContainer)
{
    m_pContainer->AddRef();
}

connection_point_proxy::~connection_point_proxy()
{
    if (m_pContainer->adopt_point_reference(path()))
        hand_over_reference();
    m_pContainer->Release();
}

STDMETHODIMP connection_point_proxy::GetConnectionInterface(IID* pIID)
{
    if (!pIID)
        return E_POINTER;
    QList<QVariant> out;
    HRESULT hr = call(kIConnectionPoint, "GetConnectionInterface", {}, &out);
    if (FAILED(hr))
        return hr;
    if (out.size() != 1 || out.front().metaType() != QMetaType::fromType<QString>())
        return E_UNEXPECTED;
    const QByteArray iid = out.front().toString().toLatin1();
    return SUCCEEDED(IIDFromString(iid.constData(), pIID)) ? hr : E_UNEXPECTED;
}

STDMETHODIMP connection_point_proxy::GetConnectionPointContainer(IConnectionPointContainer** ppCPC)
{
    if (!ppCPC)
        return E_POINTER;
    return m_pContainer->QueryInterface(IID_IConnectionPointContainer,
                                        reinterpret_cast<void**>(ppCPC));
}

STDMETHODIMP connection_point_proxy::Advise(IUnknown* pUnkSink, DWORD* pdwCookie)
{
    if (!pUnkSink || !pdwCookie)
        return E_POINTER;
    *pdwCookie = 0;
    IID iid;
    HRESULT hr = GetConnectionInterface(&iid);
    if (FAILED(hr))
        return hr;
    const interface_info* pItf = nullptr;
    if (IsEqualIID(iid, DIID__ISerialPortEvents))
        pItf = &type_info_of<_ISerialPortEvents>();
    else if (IsEqualIID(iid, IID_IPropertyNotifySink))
        pItf = &type_info_of<IPropertyNotifySink>();
    else
        return CONNECT_E_CANNOTCONNECT;

    IUnknown* pSink = nullptr;
    hr = pUnkSink->QueryInterface(iid, reinterpret_cast<void**>(&pSink));
    if (FAILED(hr))
        return hr == E_NOINTERFACE ? CONNECT_E_CANNOTCONNECT : hr;
    const QString sinkPath = bus()->sinks().add(pSink, *pItf);
    if (sinkPath.isEmpty()) {
        pSink->Release();
        return CONNECT_E_ADVISELIMIT;
    }

    QList<QVariant> out;
    hr = call(kIConnectionPoint, "Advise", {QVariant::fromValue(QDBusObjectPath(sinkPath))}, &out);
    if (SUCCEEDED(hr) && (out.size() != 1 || out.front().metaType() != QMetaType::fromType<uint>()))
        hr = E_UNEXPECTED;
    if (FAILED(hr)) {
        bus()->sinks().remove(sinkPath);
        return hr;
    }
    *pdwCookie = out.front().toUInt();
    m_pContainer->sink_advised(path(), *pdwCookie, sinkPath);
    return hr;
}

STDMETHODIMP connection_point_proxy::Unadvise(DWORD dwCookie)
{
    HRESULT hr = call(kIConnectionPoint, "Unadvise", {QVariant(static_cast<uint>(dwCookie))},
                      nullptr);
    const QString sinkPath = m_pContainer->sink_unadvised(path(), dwCookie);
    if (!sinkPath.isEmpty())
        bus()->sinks().remove(sinkPath);
    return hr;
}

}  // namespace

// ---- proxies by path ----------------------------------------------------------------------

HRESULT make_proxy(bus_host* pBus, const QString& service, const QString& path, REFIID riid,
                   void** ppv) noexcept
{
    static const QRegularExpression s_port(QLatin1String("^") + QLatin1String(kSerialPortPathPrefix) +
                                           QLatin1String("[0-9]+$"));
    *ppv = nullptr;
    IUnknown* pUnk = nullptr;
    bool bKnown = true;
    if (path == QLatin1String(kTethraPath))
        pUnk = static_cast<ITethra*>(new (std::nothrow) tethra_proxy(pBus, service, path));
    else if (s_port.match(path).hasMatch())
        pUnk = static_cast<ISerialPort*>(new (std::nothrow) serial_port_proxy(pBus, service, path));
    else
        bKnown = false;
    if (!pUnk) {
        // Not an object this library knows: give the reference back all the same.
        pBus->post(service, path, QString::fromLatin1(kIUnknown), QStringLiteral("Release"), {});
        return bKnown ? E_OUTOFMEMORY : E_UNEXPECTED;
    }
    HRESULT hr = pUnk->QueryInterface(riid, ppv);
    pUnk->Release();
    return hr;
}

}  // namespace platform::rpc::client
