// The bus form of the type library: signatures by parameter type, values in both
// directions (with the variants a real bus delivers), HRESULTs as error replies and
// back, and introspection data that a D-Bus parser accepts.
#include "platform/rpc/wire.h"

#include "idl/tethra.h"
#include "platform/rpc/testing/bus_fixture.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QXmlStreamReader>

#include <map>

using namespace platform::rpc;

namespace {

const platform::interface_info& Info(const char* name)
{
    const platform::interface_info* itf =
        find_bus_interface(TethraTypeLib(), QString::fromLatin1(kInterfacePrefix) + QLatin1String(name));
    EXPECT_NE(itf, nullptr) << name;
    return *itf;
}

QString In(const char* itf, const char* method)
{
    const auto& info = Info(itf);
    const platform::member_info* m = find_bus_method(info, QLatin1String(method));
    EXPECT_NE(m, nullptr) << method;
    return m ? in_signature(info, *m) : QString();
}

QString Out(const char* itf, const char* method)
{
    const auto& info = Info(itf);
    const platform::member_info* m = find_bus_method(info, QLatin1String(method));
    return m ? out_signature(info, *m) : QString();
}

}  // namespace

TEST(WireSignatures, MembersTakeTheBusTypesOfTheirParameters)
{
    EXPECT_EQ(In("ITethra", "CreatePort"), "i");  // the in-out object travels out only
    EXPECT_EQ(Out("ITethra", "CreatePort"), "io");
    EXPECT_EQ(In("ISerialPort", "Send"), "vb");
    EXPECT_EQ(Out("ISerialPort", "Send"), "i");
    EXPECT_EQ(In("_ISerialPortEvents", "OnData"), "ay");
    EXPECT_EQ(In("_ISerialPortEvents", "OnError"), "i");
    const std::map<const char*, const char*> properties = {
        {"BaudRate", "u"}, {"Bits", "y"},      {"XOnChar", "y"}, {"XOnLimit", "n"},
        {"DTRLine", "b"},  {"PortNum", "i"},   {"HandShakingMode", "i"}};
    for (const auto& [name, type] : properties) {
        const std::string get = std::string("get_") + name;
        EXPECT_EQ(In("ISerialPort", get.c_str()), "") << name;
        EXPECT_EQ(Out("ISerialPort", get.c_str()), QStringLiteral("i") + type) << name;
    }
    EXPECT_EQ(In("ISerialPort", "put_XOffChar"), "y");
    EXPECT_EQ(Out("ISerialPort", "put_XOffChar"), "i");
    EXPECT_EQ(find_bus_method(Info("ISerialPort"), QStringLiteral("BaudRate")), nullptr);
}

TEST(WireSignatures, PropertiesPairGettersWithTheirSetters)
{
    std::map<QString, property_info> byName;
    for (const property_info& p : properties_of(Info("ISerialPort")))
        byName.emplace(p.name, p);
    ASSERT_EQ(byName.count(QStringLiteral("CDLine")), 1U);
    EXPECT_EQ(byName.at(QStringLiteral("CDLine")).put, nullptr);
    EXPECT_EQ(byName.at(QStringLiteral("PortNum")).put, nullptr);
    ASSERT_NE(byName.at(QStringLiteral("BaudRate")).put, nullptr);
    EXPECT_STREQ(byName.at(QStringLiteral("BaudRate")).put->method, "put_BaudRate");
    EXPECT_EQ(byName.at(QStringLiteral("XOnLimit")).signature, "n");
    EXPECT_EQ(byName.count(QStringLiteral("Send")), 0U);
    EXPECT_TRUE(properties_of(Info("ITethra")).empty());
}

TEST(WireValues, ParametersConvertBothWaysAndRefuseOtherTypes)
{
    const auto& port = Info("ISerialPort");
    const platform::member_info* put = find_bus_method(port, QStringLiteral("put_XOnChar"));
    ASSERT_NE(put, nullptr);
    VARIANT v;
    ASSERT_EQ(value_to_variant(put->params[0], false, QVariant::fromValue<uchar>(0xF3), &v), S_OK);
    EXPECT_EQ(v.vt, VT_I1);
    EXPECT_EQ(v.cVal, static_cast<CHAR>(0xF3));  // the bit pattern of a signed character
    QVariant back;
    ASSERT_EQ(variant_to_value(put->params[0], false, v, &back), S_OK);
    EXPECT_EQ(back.metaType().id(), QMetaType::UChar);
    EXPECT_EQ(back.value<uchar>(), 0xF3);
    EXPECT_EQ(value_to_variant(put->params[0], false, QVariant(243), &v), DISP_E_TYPEMISMATCH);

    // An out parameter by reference, as the invoke thunk fills it.
    const platform::member_info* get = find_bus_method(port, QStringLiteral("get_XOnLimit"));
    SHORT limit = -7;
    VARIANT ref;
    ref.vt = VT_I2 | VT_BYREF;
    ref.piVal = &limit;
    ASSERT_EQ(variant_to_value(get->params[0], false, ref, &back), S_OK);
    EXPECT_EQ(back.metaType().id(), QMetaType::Short);
    EXPECT_EQ(back.value<short>(), -7);
}

TEST(WireValues, SendVariantsMapByContents)
{
    struct Case {
        QVariant contents;
        VARTYPE vt;
    } cases[] = {
        {QVariant(QByteArray("\x00\xFF", 2)), VT_ARRAY | VT_UI1},
        {QVariant(QStringLiteral("h\xC3\xA9")), VT_BSTR},
        {QVariant(-5), VT_I4},
        {QVariant(5U), VT_UI4},
        {QVariant::fromValue<short>(-2), VT_I2},
        {QVariant::fromValue<ushort>(2), VT_UI2},
        {QVariant::fromValue<uchar>(200), VT_UI1},
        {QVariant::fromValue<qlonglong>(-1LL << 40), VT_I8},
        {QVariant::fromValue<qulonglong>(1ULL << 63), VT_UI8},
        {QVariant(2.5), VT_R8},
        {QVariant(true), VT_BOOL},
    };
    for (const Case& c : cases) {
        VARIANT v;
        ASSERT_EQ(variant_from_bus(c.contents, &v), S_OK) << c.contents.typeName();
        EXPECT_EQ(v.vt, c.vt) << c.contents.typeName();
        QVariant back;
        ASSERT_EQ(variant_to_bus(v, &back), S_OK) << c.contents.typeName();
        EXPECT_EQ(back, c.contents) << c.contents.typeName();
        VariantClear(&v);
    }
    VARIANT v;
    ASSERT_EQ(variant_from_bus(QVariant::fromValue(QStringList{QStringLiteral("x")}), &v), S_OK);
    EXPECT_EQ(v.vt, VT_ERROR);
}

TEST(WireErrors, HResultsTravelAsErrorNamesAndMessagesAndBack)
{
    EXPECT_EQ(error_name(E_FAIL), "Ostra.Tethra.Error.E_FAIL");
    EXPECT_EQ(error_name(CONNECT_E_NOCONNECTION), "Ostra.Tethra.Error.CONNECT_E_NOCONNECTION");
    EXPECT_EQ(error_name(PLATFORM_HR(0x8004ABCDU)), "Ostra.Tethra.Error.HRESULT_0x8004ABCD");
    EXPECT_TRUE(error_message(E_INVALIDARG).startsWith(QLatin1String("0x80070057")));
    EXPECT_EQ(error_message(E_FAIL, QStringLiteral("refused")), "0x80004005 refused");
    for (HRESULT hr : {E_FAIL, E_INVALIDARG, E_POINTER, E_NOINTERFACE, DISP_E_TYPEMISMATCH,
                       CONNECT_E_ADVISELIMIT, PLATFORM_HR(0x8004ABCDU)})
        EXPECT_EQ(hresult_from_error(error_name(hr), error_message(hr)), hr) << hr;
    // A client may write only the message; the name then needs only the prefix.
    EXPECT_EQ(hresult_from_error(QStringLiteral("Ostra.Tethra.Error.Other"),
                                 QStringLiteral("0x80040123 why")),
              PLATFORM_HR(0x80040123U));
    EXPECT_EQ(hresult_from_error(QLatin1String(kErrInvalidArgs), QString()), E_INVALIDARG);
    EXPECT_EQ(hresult_from_error(QLatin1String(kErrUnknownObject), QString()), RPC_E_DISCONNECTED);
    EXPECT_EQ(hresult_from_error(QLatin1String(kErrNoReply), QString()), RPC_E_TIMEOUT);
    EXPECT_EQ(hresult_from_error(QStringLiteral("com.example.Whatever"), QStringLiteral("0x80070057")),
              E_FAIL);
    EXPECT_TRUE(is_missing_object_error(QLatin1String(kErrUnknownMethod)));
    EXPECT_FALSE(is_missing_object_error(QLatin1String(kErrNoReply)));
}

TEST(WireIntrospection, DocumentsParseAndListEveryMember)
{
    QString interfaces;
    for (UINT i = 0; i < TethraTypeLib().interface_count; ++i)
        interfaces += introspect_interface(*TethraTypeLib().interfaces[i]);
    interfaces += introspect_interface(platform::type_info_of<IPropertyNotifySink>());
    for (const char* fixed : {kIUnknown, kIClassFactory, kIConnectionPointContainer,
                              kIConnectionPoint, kIntrospectable, kProperties, kPeer}) {
        ASSERT_FALSE(introspect_standard(fixed).isEmpty()) << fixed;
        interfaces += introspect_standard(fixed);
    }
    const QString xml = introspect_document(interfaces, {QStringLiteral("child")});

    std::map<QString, QString> methodsOf;  // interface -> "m1 m2 ..."
    std::map<QString, QString> accessOf;   // property -> access
    QXmlStreamReader reader(xml);
    QString current;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        const auto attrs = reader.attributes();
        if (reader.name() == QLatin1String("interface"))
            current = attrs.value(QLatin1String("name")).toString();
        else if (reader.name() == QLatin1String("method"))
            methodsOf[current] += attrs.value(QLatin1String("name")).toString() + QLatin1Char(' ');
        else if (reader.name() == QLatin1String("property"))
            accessOf[attrs.value(QLatin1String("name")).toString()] =
                attrs.value(QLatin1String("access")).toString();
    }
    ASSERT_FALSE(reader.hasError()) << reader.errorString().toStdString();
    EXPECT_TRUE(methodsOf["Ostra.Tethra.ISerialPort"].contains(QLatin1String("put_BaudRate ")));
    EXPECT_EQ(methodsOf["Ostra.Tethra._ISerialPortEvents"], "OnData OnPortEvent OnError ");
    EXPECT_EQ(methodsOf["Ostra.Tethra.IPropertyNotifySink"], "OnChanged OnRequestEdit ");
    EXPECT_EQ(methodsOf["Ostra.Tethra.IConnectionPoint"], "GetConnectionInterface Advise Unadvise ");
    EXPECT_EQ(accessOf["CDLine"], "read");
    EXPECT_EQ(accessOf["BaudRate"], "readwrite");
}

// Values as a real bus delivers them: a call through the private daemon arrives
// demarshalled by Qt, with arrays of other types and structs in shapes of their own.
namespace {

class Echo : public QDBusVirtualObject {
public:
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        arguments = message.arguments();
        connection.send(message.createReply());
        return true;
    }
    QString introspect(const QString&) const override { return {}; }
    QList<QVariant> arguments;
};

}  // namespace

TEST(WireBus, DeliveredVariantsMapAsSendTakesThem)
{
    platform::rpc::testing::private_bus bus;
    ASSERT_TRUE(bus.ready());
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    const QString address = QString::fromStdString(bus.address());
    QDBusConnection server = QDBusConnection::connectToBus(address, QStringLiteral("server"));
    QDBusConnection client = QDBusConnection::connectToBus(address, QStringLiteral("client"));
    ASSERT_TRUE(server.isConnected() && client.isConnected());
    Echo echo;
    ASSERT_TRUE(server.registerVirtualObject(QStringLiteral("/echo"), &echo));

    QDBusMessage call = QDBusMessage::createMethodCall(server.baseService(), QStringLiteral("/echo"),
                                                       QStringLiteral("x.Echo"), QStringLiteral("Echo"));
    QDBusArgument structure;
    structure.beginStructure();
    structure << 1 << QStringLiteral("a");
    structure.endStructure();
    call << QVariant::fromValue(QDBusVariant(QVariant(QByteArray("ab"))))
         << QVariant::fromValue(QDBusVariant(QVariant::fromValue(QList<int>{1, 2})))
         << QVariant::fromValue(QDBusVariant(QVariant::fromValue(structure)))
         << QVariant::fromValue(QDBusVariant(QVariant::fromValue<short>(-3)));
    QDBusPendingCallWatcher watcher(client.asyncCall(call));
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &app, &QCoreApplication::quit);
    app.exec();
    ASSERT_FALSE(watcher.isError()) << watcher.error().message().toStdString();
    ASSERT_EQ(echo.arguments.size(), 4);

    const VARTYPE expected[] = {VT_ARRAY | VT_UI1, VT_ERROR, VT_ERROR, VT_I2};
    for (int i = 0; i < 4; ++i) {
        const QVariant& arg = echo.arguments[i];
        ASSERT_EQ(arg.metaType().id(), qMetaTypeId<QDBusVariant>()) << i;
        VARIANT v;
        ASSERT_EQ(variant_from_bus(arg.value<QDBusVariant>().variant(), &v), S_OK) << i;
        EXPECT_EQ(v.vt, expected[i]) << i;
        VariantClear(&v);
    }
    server.unregisterObject(QStringLiteral("/echo"));
    QDBusConnection::disconnectFromBus(QStringLiteral("server"));
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
}
