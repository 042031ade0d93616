// A scripted stand-in for the server, for the client library's own tests: it answers the
// calls of the wire contract from the type tables with stored values, records what it
// was asked, and calls the clients' sinks when a test tells it to (interface Test.Peer
// at /Ostra/Tethra/Test: Log() -> as; Fire(s member, v arg) -> as, one "hr:<n>" or
// "error:<name>" per advised sink of the member's interface; ReleaseName() lets
// "Ostra.Tethra" go; Exit() ends the process without answering).
//
// A put asks every IPropertyNotifySink advised on the port's other client objects with
// OnRequestEdit before it stores the value (a refusal fails it with E_FAIL) and tells them
// with OnChanged after, waiting for each answer: what a client blocked in a setter must
// serve meanwhile. put_RTSLine answers S_FALSE, a port number below 0 fails CreatePort
// with E_UNEXPECTED. Started with --no-name it serves without owning "Ostra.Tethra".
#include "idl/tethra.h"
#include "platform/rpc/wire.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

QString braced(REFIID riid)
{
    char sz[GUID_STRING_CHARS];
    StringFromGUID2(riid, sz, GUID_STRING_CHARS);
    return QString::fromLatin1(sz);
}

QDBusMessage failure(const QDBusMessage& call, HRESULT hr)
{
    return platform::rpc::error_reply(call, hr);
}

struct sink {
    QString owner;
    QString path;
    QString cp;
    QString port;
};

class scripted_server : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return QString(); }

    bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override
    {
        const QString itf = m.interface();
        const QString member = m.member();
        const QList<QVariant> a = m.arguments();
        m_log << QStringLiteral("%1 %2.%3 %4").arg(m.path(), itf, member, m.signature());

        if (itf == QStringLiteral("Ostra.Tethra.IClassFactory") && member == QStringLiteral("CreateInstance")) {
            const QString riid = a.value(0).toString();
            if (riid != braced(IID_ITethra) && riid != braced(IID_IDispatch) && riid != braced(IID_IUnknown))
                return bus.send(failure(m, E_NOINTERFACE));
            return bus.send(m.createReply({0, QVariant::fromValue(QDBusObjectPath(QStringLiteral("/Ostra/Tethra/Tethra")))}));
        }
        if (itf == QStringLiteral("Ostra.Tethra.ITethra") && member == QStringLiteral("CreatePort")) {
            if (a.value(0).toInt() < 0)
                return bus.send(failure(m, E_UNEXPECTED));
            const QString path = QStringLiteral("/Ostra/Tethra/SerialPort/%1").arg(++m_nPorts);
            return bus.send(m.createReply({0, QVariant::fromValue(QDBusObjectPath(path))}));
        }
        if (itf == QStringLiteral("Ostra.Tethra.IUnknown"))
            return bus.send(m.createReply({QVariant(0u)}));
        if (itf == QStringLiteral("Ostra.Tethra.ISerialPort"))
            return serial_port(m, bus);
        if (itf == QStringLiteral("Ostra.Tethra.IConnectionPointContainer")) {
            const QString base = m.path() + QLatin1Char('/');
            if (member == QStringLiteral("EnumConnectionPoints"))
                return bus.send(m.createReply({0, QVariant::fromValue(QList<QDBusObjectPath>{
                    QDBusObjectPath(base + QStringLiteral("IPropertyNotifySink")),
                    QDBusObjectPath(base + QStringLiteral("_ISerialPortEvents"))})}));
            const QString riid = a.value(0).toString();
            QString name;
            if (riid == braced(DIID__ISerialPortEvents))
                name = QStringLiteral("_ISerialPortEvents");
            else if (riid == braced(IID_IPropertyNotifySink))
                name = QStringLiteral("IPropertyNotifySink");
            else
                return bus.send(failure(m, CONNECT_E_NOCONNECTION));
            return bus.send(m.createReply({0, QVariant::fromValue(QDBusObjectPath(base + name))}));
        }
        if (itf == QStringLiteral("Ostra.Tethra.IConnectionPoint")) {
            const bool events = m.path().endsWith(QStringLiteral("/_ISerialPortEvents"));
            if (member == QStringLiteral("GetConnectionInterface"))
                return bus.send(m.createReply({0, braced(events ? DIID__ISerialPortEvents : IID_IPropertyNotifySink)}));
            if (member == QStringLiteral("Advise")) {
                const uint cookie = ++m_nCookies;
                m_sinks[cookie] = sink{m.service(), a.value(0).value<QDBusObjectPath>().path(), m.path(),
                                       m.path().section(QLatin1Char('/'), 0, 4)};
                m_log << QStringLiteral("advised %1 %2").arg(m.service(), m_sinks[cookie].path);
                return bus.send(m.createReply({0, QVariant(cookie)}));
            }
            if (member == QStringLiteral("Unadvise")) {
                if (!m_sinks.erase(a.value(0).toUInt()))
                    return bus.send(failure(m, CONNECT_E_NOCONNECTION));
                return bus.send(m.createReply(QVariant(0)));
            }
        }
        if (itf == QStringLiteral("Test.Peer")) {
            if (member == QStringLiteral("Log"))
                return bus.send(m.createReply(QVariant(m_log)));
            if (member == QStringLiteral("ReleaseName")) {
                QDBusConnection(bus).unregisterService(QLatin1String(platform::rpc::kServiceName));
                return bus.send(m.createReply());
            }
            if (member == QStringLiteral("Exit"))
                std::_Exit(0);  // without an answer
            if (member == QStringLiteral("Fire")) {
                const QString what = a.value(0).toString();
                const QVariant arg = a.value(1).value<QDBusVariant>().variant();
                const QString target = what.startsWith(QStringLiteral("On")) &&
                                               (what == QStringLiteral("OnChanged") || what == QStringLiteral("OnRequestEdit"))
                                           ? QStringLiteral("IPropertyNotifySink")
                                           : QStringLiteral("_ISerialPortEvents");
                return bus.send(m.createReply(QVariant(fire(bus, target, what, arg, QString()))));
            }
        }
        return bus.send(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), member));
    }

private:
    // Calls member on every advised sink of the interface, except those of the connection
    // point `except`; one result string per sink.
    QStringList fire(const QDBusConnection& bus, const QString& target, const QString& member,
                     const QVariant& arg, const QString& exceptPort)
    {
        QStringList results;
        for (const auto& [cookie, s] : m_sinks) {
            if (!s.cp.endsWith(QLatin1Char('/') + target) || (!exceptPort.isEmpty() && s.port == exceptPort))
                continue;
            QDBusMessage call = QDBusMessage::createMethodCall(s.owner, s.path,
                QStringLiteral("Ostra.Tethra.") + target, member);
            call.setArguments({arg});
            QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
            if (reply.type() == QDBusMessage::ErrorMessage)
                results << QStringLiteral("error:") + reply.errorName();
            else
                results << QStringLiteral("hr:%1").arg(reply.arguments().value(0).toInt());
        }
        return results;
    }

    bool serial_port(const QDBusMessage& m, const QDBusConnection& bus)
    {
        const QByteArray method = m.member().toLatin1();
        const platform::member_info* pm =
            platform::find_member_by_method(platform::type_info_of<ISerialPort>(), method.constData());
        if (!pm)
            return bus.send(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), m.member()));
        const QString name = QString::fromLatin1(pm->name);
        if (pm->kind == INVOKE_FUNC) {  // Send
            const QDBusVariant data = m.arguments().value(0).value<QDBusVariant>();
            m_log << QStringLiteral("sent %1 %2").arg(QString::fromLatin1(data.variant().typeName()),
                                                      QString::fromLatin1(data.variant().toByteArray().toHex()));
            return bus.send(m.createReply(QVariant(0)));
        }
        if (pm->kind == INVOKE_PROPERTYGET) {
            QVariant value = m_values.value(name);
            if (!value.isValid()) {
                switch (pm->params[0].vt) {
                case VT_BOOL: value = QVariant(true); break;
                case VT_UI4: value = QVariant(9600u); break;
                case VT_I2: value = QVariant::fromValue(short(-2)); break;
                case VT_UI1: value = QVariant::fromValue(uchar(8)); break;
                case VT_I1: value = QVariant::fromValue(uchar(0x91)); break;
                default: value = QVariant(2); break;
                }
            }
            return bus.send(m.createReply({0, value}));
        }
        // A put: ask the port's other clients, store, tell them.
        const QString port = m.path();
        const QVariant dispid(static_cast<int>(pm->dispid));
        for (const QString& r : fire(bus, QStringLiteral("IPropertyNotifySink"), QStringLiteral("OnRequestEdit"), dispid, port))
            if (r == QStringLiteral("hr:1"))
                return bus.send(failure(m, E_FAIL));
        m_values[name] = m.arguments().value(0);
        fire(bus, QStringLiteral("IPropertyNotifySink"), QStringLiteral("OnChanged"), dispid, port);
        return bus.send(m.createReply(QVariant(name == QStringLiteral("RTSLine") ? 1 : 0)));
    }

    QStringList m_log;
    QMap<QString, QVariant> m_values;
    std::map<uint, sink> m_sinks;
    uint m_nCookies = 0;
    int m_nPorts = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<QList<QDBusObjectPath>>();
    QDBusConnection bus = QDBusConnection::sessionBus();
    scripted_server server;
    if (!bus.registerVirtualObject(QStringLiteral("/Ostra/Tethra"), &server, QDBusConnection::SubPath))
        return 1;
    const bool own = !(argc > 1 && std::strcmp(argv[1], "--no-name") == 0);
    if (own && !bus.registerService(QStringLiteral("Ostra.Tethra")))
        return 1;
    std::printf("%s\n", bus.baseService().toLatin1().constData());
    std::fflush(stdout);
    return app.exec();
}
