#include "platform/rpc/wire.h"

#include "idl/tethra.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QMetaType>

#include <cstring>
#include <iterator>

namespace platform::rpc {

namespace {

int type_id(const QVariant& value) { return value.metaType().id(); }

// The bus type of a VARTYPE that is not an interface or a variant.
const char* scalar_signature(VARTYPE vt)
{
    switch (vt) {
    case VT_BOOL: return "b";
    case VT_I4: return "i";
    case VT_UI4: return "u";
    case VT_I2: return "n";
    case VT_UI2: return "q";
    case VT_UI1: case VT_I1: return "y";
    case VT_I8: return "x";
    case VT_UI8: return "t";
    case VT_BSTR: return "s";
    default: return "";
    }
}

bool is_interface_type(VARTYPE vt) { return vt == VT_DISPATCH || vt == VT_UNKNOWN; }

}  // namespace

// ---- names --------------------------------------------------------------------------------

QString bus_interface_name(const interface_info& itf)
{
    return QString::fromLatin1(kInterfacePrefix) + QString::fromLatin1(itf.name);
}

const interface_info* find_bus_interface(const typelib_info& lib, const QString& name)
{
    for (UINT i = 0; i < lib.interface_count; ++i)
        if (bus_interface_name(*lib.interfaces[i]) == name)
            return lib.interfaces[i];
    return nullptr;
}

const member_info* find_bus_method(const interface_info& itf, const QString& method)
{
    const QByteArray wanted = method.toLatin1();
    return find_member_by_method(itf, wanted.constData());
}

// ---- signatures ---------------------------------------------------------------------------

bool is_outgoing(const interface_info& itf)
{
    return itf.kind == interface_kind::dispinterface || std::strcmp(itf.name, "IPropertyNotifySink") == 0;
}

bool param_travels_in(const param_info& p)
{
    if (!param_is_out(p))
        return true;
    // In-out values other than interfaces go both ways; in-out interfaces only out.
    return (p.flags & PARAMFLAG_FIN) != 0 && !is_interface_type(p.vt);
}

bool param_travels_out(const param_info& p) { return param_is_out(p); }

QString param_signature(const param_info& p, bool outgoing)
{
    if (is_interface_type(p.vt))
        return QStringLiteral("o");
    if (p.vt == VT_VARIANT)
        return outgoing ? QStringLiteral("ay") : QStringLiteral("v");
    return QString::fromLatin1(scalar_signature(p.vt));
}

QString in_signature(const interface_info& itf, const member_info& m)
{
    QString sig;
    for (UINT i = 0; i < m.param_count; ++i)
        if (param_travels_in(m.params[i]))
            sig += param_signature(m.params[i], is_outgoing(itf));
    return sig;
}

QString out_signature(const interface_info& itf, const member_info& m)
{
    QString sig = QStringLiteral("i");
    for (UINT i = 0; i < m.param_count; ++i)
        if (param_travels_out(m.params[i]))
            sig += param_signature(m.params[i], is_outgoing(itf));
    return sig;
}

// ---- values -------------------------------------------------------------------------------

namespace {

HRESULT byte_array_variant(const QByteArray& bytes, VARIANT* pv)
{
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (!psa)
        return E_OUTOFMEMORY;
    if (!bytes.isEmpty())
        std::memcpy(psa->pvData, bytes.constData(), static_cast<size_t>(bytes.size()));
    pv->vt = VT_ARRAY | VT_UI1;
    pv->parray = psa;
    return S_OK;
}

// A scalar bus value of exactly the bus type of vt into a VARIANT of that vt.
HRESULT scalar_to_variant(VARTYPE vt, const QVariant& value, VARIANT* pv)
{
    VARIANT out;
    VariantInit(&out);
    out.vt = vt;
    const int id = type_id(value);
    switch (vt) {
    case VT_BOOL:
        if (id != QMetaType::Bool) return DISP_E_TYPEMISMATCH;
        out.boolVal = value.toBool() ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    case VT_I4:
        if (id != QMetaType::Int) return DISP_E_TYPEMISMATCH;
        out.lVal = value.toInt();
        break;
    case VT_UI4:
        if (id != QMetaType::UInt) return DISP_E_TYPEMISMATCH;
        out.ulVal = value.toUInt();
        break;
    case VT_I2:
        if (id != QMetaType::Short) return DISP_E_TYPEMISMATCH;
        out.iVal = value.value<short>();
        break;
    case VT_UI2:
        if (id != QMetaType::UShort) return DISP_E_TYPEMISMATCH;
        out.uiVal = value.value<ushort>();
        break;
    case VT_UI1:
        if (id != QMetaType::UChar) return DISP_E_TYPEMISMATCH;
        out.bVal = value.value<uchar>();
        break;
    case VT_I1:
        if (id != QMetaType::UChar) return DISP_E_TYPEMISMATCH;
        out.cVal = static_cast<CHAR>(value.value<uchar>());
        break;
    case VT_I8:
        if (id != QMetaType::LongLong) return DISP_E_TYPEMISMATCH;
        out.llVal = value.toLongLong();
        break;
    case VT_UI8:
        if (id != QMetaType::ULongLong) return DISP_E_TYPEMISMATCH;
        out.ullVal = value.toULongLong();
        break;
    case VT_R8:
        if (id != QMetaType::Double) return DISP_E_TYPEMISMATCH;
        out.dblVal = value.toDouble();
        break;
    case VT_BSTR: {
        if (id != QMetaType::QString) return DISP_E_TYPEMISMATCH;
        const QByteArray utf8 = value.toString().toUtf8();
        out.bstrVal = SysAllocStringLen(utf8.constData(), static_cast<UINT>(utf8.size()));
        if (!out.bstrVal) return E_OUTOFMEMORY;
        break;
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
    *pv = out;
    return S_OK;
}

// The value a VARIANT of (or by reference to) vt holds, as its bus value.
HRESULT scalar_to_value(VARTYPE vt, const VARIANT& v, QVariant* value)
{
    const bool byref = (v.vt & VT_BYREF) != 0;
    if ((v.vt & ~VT_BYREF) != vt)
        return DISP_E_TYPEMISMATCH;
    if (byref && !v.byref)
        return E_POINTER;
    switch (vt) {
    case VT_BOOL: *value = QVariant((byref ? *v.pboolVal : v.boolVal) != 0); break;
    case VT_I4: *value = QVariant(static_cast<int>(byref ? *v.plVal : v.lVal)); break;
    case VT_UI4: *value = QVariant(static_cast<uint>(byref ? *v.pulVal : v.ulVal)); break;
    case VT_I2: *value = QVariant::fromValue<short>(byref ? *v.piVal : v.iVal); break;
    case VT_UI2: *value = QVariant::fromValue<ushort>(byref ? *v.puiVal : v.uiVal); break;
    case VT_UI1: *value = QVariant::fromValue<uchar>(byref ? *v.pbVal : v.bVal); break;
    case VT_I1:
        *value = QVariant::fromValue<uchar>(static_cast<uchar>(byref ? *v.pcVal : v.cVal));
        break;
    case VT_I8: *value = QVariant::fromValue<qlonglong>(byref ? *v.pllVal : v.llVal); break;
    case VT_UI8: *value = QVariant::fromValue<qulonglong>(byref ? *v.pullVal : v.ullVal); break;
    case VT_R8: *value = QVariant(v.dblVal); break;
    case VT_BSTR: {
        BSTR s = byref ? *v.pbstrVal : v.bstrVal;
        *value = QVariant(QString::fromUtf8(s, static_cast<qsizetype>(SysStringLen(s))));
        break;
    }
    default: return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
}

}  // namespace

HRESULT value_to_variant(const param_info& p, bool outgoing, const QVariant& value, VARIANT* pv)
{
    VariantInit(pv);
    if (is_interface_type(p.vt)) {
        if (type_id(value) != qMetaTypeId<QDBusObjectPath>() ||
            value.value<QDBusObjectPath>().path() != QLatin1String("/"))
            return DISP_E_TYPEMISMATCH;
        pv->vt = p.vt;
        return S_OK;
    }
    if (p.vt == VT_VARIANT) {
        if (outgoing)
            return type_id(value) == QMetaType::QByteArray
                       ? byte_array_variant(value.toByteArray(), pv)
                       : DISP_E_TYPEMISMATCH;
        if (type_id(value) != qMetaTypeId<QDBusVariant>())
            return DISP_E_TYPEMISMATCH;
        return variant_from_bus(value.value<QDBusVariant>().variant(), pv);
    }
    return scalar_to_variant(p.vt, value, pv);
}

HRESULT variant_to_value(const param_info& p, bool outgoing, const VARIANT& v, QVariant* value)
{
    if (is_interface_type(p.vt))
        return DISP_E_TYPEMISMATCH;
    if (p.vt == VT_VARIANT) {
        const VARIANT& inner = v.vt == (VT_BYREF | VT_VARIANT) ? *v.pvarVal : v;
        QVariant contents;
        const HRESULT hr = variant_to_bus(inner, &contents);
        if (FAILED(hr))
            return hr;
        if (outgoing) {
            if (type_id(contents) != QMetaType::QByteArray)
                return DISP_E_TYPEMISMATCH;
            *value = contents;
        } else {
            *value = QVariant::fromValue(QDBusVariant(contents));
        }
        return S_OK;
    }
    return scalar_to_value(p.vt, v, value);
}

HRESULT variant_from_bus(const QVariant& contents, VARIANT* pv)
{
    VariantInit(pv);
    switch (type_id(contents)) {
    case QMetaType::QByteArray: return byte_array_variant(contents.toByteArray(), pv);
    case QMetaType::QString: return scalar_to_variant(VT_BSTR, contents, pv);
    case QMetaType::Int: return scalar_to_variant(VT_I4, contents, pv);
    case QMetaType::UInt: return scalar_to_variant(VT_UI4, contents, pv);
    case QMetaType::Short: return scalar_to_variant(VT_I2, contents, pv);
    case QMetaType::UShort: return scalar_to_variant(VT_UI2, contents, pv);
    case QMetaType::UChar: return scalar_to_variant(VT_UI1, contents, pv);
    case QMetaType::LongLong: return scalar_to_variant(VT_I8, contents, pv);
    case QMetaType::ULongLong: return scalar_to_variant(VT_UI8, contents, pv);
    case QMetaType::Double: return scalar_to_variant(VT_R8, contents, pv);
    case QMetaType::Bool: return scalar_to_variant(VT_BOOL, contents, pv);
    default:
        pv->vt = VT_ERROR;
        pv->scode = DISP_E_BADVARTYPE;
        return S_OK;
    }
}

HRESULT variant_to_bus(const VARIANT& v, QVariant* contents)
{
    if (v.vt == (VT_ARRAY | VT_UI1)) {
        if (!v.parray)
            return E_POINTER;
        *contents = QByteArray(static_cast<const char*>(v.parray->pvData),
                               static_cast<qsizetype>(v.parray->rgsabound[0].cElements));
        return S_OK;
    }
    switch (v.vt) {
    case VT_BSTR: case VT_I4: case VT_UI4: case VT_I2: case VT_UI2: case VT_UI1:
    case VT_I8: case VT_UI8: case VT_R8: case VT_BOOL:
        return scalar_to_value(v.vt, v, contents);
    default:
        return DISP_E_BADVARTYPE;
    }
}

// ---- errors -------------------------------------------------------------------------------

namespace {

#define PLATFORM_RPC_SYMBOL(code) {code, #code}
constexpr hresult_symbol kSymbols[] = {
    PLATFORM_RPC_SYMBOL(E_NOTIMPL),
    PLATFORM_RPC_SYMBOL(E_NOINTERFACE),
    PLATFORM_RPC_SYMBOL(E_POINTER),
    PLATFORM_RPC_SYMBOL(E_ABORT),
    PLATFORM_RPC_SYMBOL(E_FAIL),
    PLATFORM_RPC_SYMBOL(E_UNEXPECTED),
    PLATFORM_RPC_SYMBOL(E_ACCESSDENIED),
    PLATFORM_RPC_SYMBOL(E_OUTOFMEMORY),
    PLATFORM_RPC_SYMBOL(E_INVALIDARG),
    PLATFORM_RPC_SYMBOL(CONNECT_E_NOCONNECTION),
    PLATFORM_RPC_SYMBOL(CONNECT_E_ADVISELIMIT),
    PLATFORM_RPC_SYMBOL(CONNECT_E_CANNOTCONNECT),
    PLATFORM_RPC_SYMBOL(CLASS_E_NOAGGREGATION),
    PLATFORM_RPC_SYMBOL(CLASS_E_CLASSNOTAVAILABLE),
    PLATFORM_RPC_SYMBOL(REGDB_E_CLASSNOTREG),
    PLATFORM_RPC_SYMBOL(DISP_E_UNKNOWNINTERFACE),
    PLATFORM_RPC_SYMBOL(DISP_E_MEMBERNOTFOUND),
    PLATFORM_RPC_SYMBOL(DISP_E_PARAMNOTFOUND),
    PLATFORM_RPC_SYMBOL(DISP_E_TYPEMISMATCH),
    PLATFORM_RPC_SYMBOL(DISP_E_UNKNOWNNAME),
    PLATFORM_RPC_SYMBOL(DISP_E_NONAMEDARGS),
    PLATFORM_RPC_SYMBOL(DISP_E_BADVARTYPE),
    PLATFORM_RPC_SYMBOL(DISP_E_EXCEPTION),
    PLATFORM_RPC_SYMBOL(DISP_E_OVERFLOW),
    PLATFORM_RPC_SYMBOL(DISP_E_BADINDEX),
    PLATFORM_RPC_SYMBOL(DISP_E_ARRAYISLOCKED),
    PLATFORM_RPC_SYMBOL(DISP_E_BADPARAMCOUNT),
    PLATFORM_RPC_SYMBOL(DISP_E_PARAMNOTOPTIONAL),
    PLATFORM_RPC_SYMBOL(RPC_E_SERVERFAULT),
    PLATFORM_RPC_SYMBOL(RPC_E_CHANGED_MODE),
    PLATFORM_RPC_SYMBOL(RPC_E_DISCONNECTED),
    PLATFORM_RPC_SYMBOL(RPC_E_TIMEOUT),
    PLATFORM_RPC_SYMBOL(CO_E_NOTINITIALIZED),
    PLATFORM_RPC_SYMBOL(CO_E_CLASSSTRING),
    PLATFORM_RPC_SYMBOL(CO_E_OBJISREG),
    PLATFORM_RPC_SYMBOL(CO_E_OBJNOTREG),
    PLATFORM_RPC_SYMBOL(CO_E_SERVER_STOPPING),
};
#undef PLATFORM_RPC_SYMBOL

constexpr hresult_symbol kBusErrors[] = {
    {E_INVALIDARG, "org.freedesktop.DBus.Error.InvalidArgs"},
    {E_OUTOFMEMORY, "org.freedesktop.DBus.Error.NoMemory"},
    {E_ACCESSDENIED, "org.freedesktop.DBus.Error.AccessDenied"},
    {DISP_E_MEMBERNOTFOUND, "org.freedesktop.DBus.Error.UnknownMethod"},
    {DISP_E_MEMBERNOTFOUND, "org.freedesktop.DBus.Error.UnknownInterface"},
    {DISP_E_MEMBERNOTFOUND, "org.freedesktop.DBus.Error.UnknownProperty"},
    {RPC_E_DISCONNECTED, "org.freedesktop.DBus.Error.UnknownObject"},
    {RPC_E_DISCONNECTED, "org.freedesktop.DBus.Error.ServiceUnknown"},
    {RPC_E_DISCONNECTED, "org.freedesktop.DBus.Error.NameHasNoOwner"},
    {RPC_E_DISCONNECTED, "org.freedesktop.DBus.Error.Disconnected"},
    {RPC_E_TIMEOUT, "org.freedesktop.DBus.Error.NoReply"},
    {RPC_E_TIMEOUT, "org.freedesktop.DBus.Error.Timeout"},
    {RPC_E_TIMEOUT, "org.freedesktop.DBus.Error.TimedOut"},
};

const char* symbol_of(HRESULT hr)
{
    for (const hresult_symbol& s : kSymbols)
        if (s.hr == hr)
            return s.symbol;
    return nullptr;
}

QString hex_code(HRESULT hr)
{
    return QString::asprintf("0x%08X", static_cast<unsigned>(hr));
}

// The code of "0x8XXXXXXX" at the start of text; false when there is none.
bool parse_code(const QString& text, HRESULT* hr)
{
    if (text.size() < 10 || !text.startsWith(QLatin1String("0x")))
        return false;
    bool ok = false;
    const uint code = text.mid(2, 8).toUInt(&ok, 16);
    if (!ok)
        return false;
    *hr = static_cast<HRESULT>(code);
    return true;
}

}  // namespace

QString error_name(HRESULT hr)
{
    const char* symbol = symbol_of(hr);
    return QString::fromLatin1(kErrorPrefix) +
           (symbol ? QString::fromLatin1(symbol) : QStringLiteral("HRESULT_") + hex_code(hr));
}

QString error_message(HRESULT hr, const QString& detail)
{
    const char* symbol = symbol_of(hr);
    QString text = hex_code(hr);
    if (!detail.isEmpty())
        text += QLatin1Char(' ') + detail;
    else if (symbol)
        text += QLatin1Char(' ') + QString::fromLatin1(symbol);
    return text;
}

QDBusMessage error_reply(const QDBusMessage& call, HRESULT hr, const QString& detail)
{
    return call.createErrorReply(error_name(hr), error_message(hr, detail));
}

HRESULT hresult_from_error(const QString& name, const QString& message)
{
    const QString prefix = QString::fromLatin1(kErrorPrefix);
    if (name.startsWith(prefix)) {
        const QString symbol = name.mid(prefix.size());
        for (const hresult_symbol& s : kSymbols)
            if (symbol == QLatin1String(s.symbol))
                return s.hr;
        HRESULT hr = E_FAIL;
        if (symbol.startsWith(QLatin1String("HRESULT_")) && parse_code(symbol.mid(8), &hr) &&
            FAILED(hr))
            return hr;
    }
    HRESULT hr = E_FAIL;
    if (name.startsWith(prefix) && parse_code(message, &hr) && FAILED(hr))
        return hr;
    for (const hresult_symbol& e : kBusErrors)
        if (name == QLatin1String(e.symbol))
            return e.hr;
    return E_FAIL;
}

std::span<const hresult_symbol> hresult_symbols() { return kSymbols; }

std::span<const hresult_symbol> bus_error_hresults() { return kBusErrors; }

HRESULT hresult_from_reply(const QDBusMessage& reply)
{
    if (reply.type() == QDBusMessage::ErrorMessage)
        return hresult_from_error(reply.errorName(), reply.errorMessage());
    if (reply.type() != QDBusMessage::ReplyMessage)
        return E_UNEXPECTED;
    const QList<QVariant> args = reply.arguments();
    if (args.isEmpty())
        return S_OK;
    if (type_id(args.first()) != QMetaType::Int)
        return E_UNEXPECTED;
    return static_cast<HRESULT>(args.first().toInt());
}

bool is_missing_object_error(const QString& name)
{
    return name == QLatin1String(kErrUnknownObject) || name == QLatin1String(kErrUnknownInterface) ||
           name == QLatin1String(kErrUnknownMethod);
}

// ---- introspection ------------------------------------------------------------------------

namespace {

QString arg_xml(const char* name, const QString& type, const char* direction)
{
    return QStringLiteral("      <arg name=\"%1\" type=\"%2\" direction=\"%3\"/>\n")
        .arg(QLatin1String(name), type, QLatin1String(direction));
}

// A method of a fixed interface from its (name, type) pairs in and out.
QString fixed_method_xml(const char* name, std::initializer_list<std::pair<const char*, const char*>> in,
                         std::initializer_list<std::pair<const char*, const char*>> out)
{
    QString xml = QStringLiteral("    <method name=\"%1\">\n").arg(QLatin1String(name));
    for (const auto& a : in)
        xml += arg_xml(a.first, QLatin1String(a.second), "in");
    for (const auto& a : out)
        xml += arg_xml(a.first, QLatin1String(a.second), "out");
    return xml + QStringLiteral("    </method>\n");
}

QString interface_xml(const char* name, const QString& body)
{
    return QStringLiteral("  <interface name=\"%1\">\n").arg(QLatin1String(name)) + body +
           QStringLiteral("  </interface>\n");
}

}  // namespace

QString introspect_interface(const interface_info& itf)
{
    const bool outgoing = is_outgoing(itf);
    QString body;
    for (UINT i = 0; i < itf.member_count; ++i) {
        const member_info& m = itf.members[i];
        body += QStringLiteral("    <method name=\"%1\">\n").arg(QLatin1String(m.method));
        for (UINT k = 0; k < m.param_count; ++k)
            if (param_travels_in(m.params[k]))
                body += arg_xml(m.params[k].name, param_signature(m.params[k], outgoing), "in");
        body += arg_xml("hr", QStringLiteral("i"), "out");
        for (UINT k = 0; k < m.param_count; ++k)
            if (param_travels_out(m.params[k]))
                body += arg_xml(m.params[k].name, param_signature(m.params[k], outgoing), "out");
        body += QStringLiteral("    </method>\n");
    }
    for (const property_info& p : properties_of(itf))
        body += QStringLiteral("    <property name=\"%1\" type=\"%2\" access=\"%3\"/>\n")
                    .arg(p.name, p.signature,
                         p.put ? QStringLiteral("readwrite") : QStringLiteral("read"));
    const QByteArray name = bus_interface_name(itf).toLatin1();
    return interface_xml(name.constData(), body);
}

QString introspect_standard(const char* bus_interface)
{
    const QString which = QLatin1String(bus_interface);
    if (which == QLatin1String(kIUnknown))
        return interface_xml(kIUnknown,
                             fixed_method_xml("AddRef", {}, {{"count", "u"}}) +
                                 fixed_method_xml("Release", {}, {{"count", "u"}}) +
                                 fixed_method_xml("QueryInterface", {{"riid", "s"}},
                                                  {{"hr", "i"}, {"object", "o"}}));
    if (which == QLatin1String(kIClassFactory))
        return interface_xml(kIClassFactory,
                             fixed_method_xml("CreateInstance", {{"riid", "s"}},
                                              {{"hr", "i"}, {"object", "o"}}) +
                                 fixed_method_xml("LockServer", {{"fLock", "b"}}, {{"hr", "i"}}));
    if (which == QLatin1String(kIConnectionPointContainer))
        return interface_xml(kIConnectionPointContainer,
                             fixed_method_xml("FindConnectionPoint", {{"riid", "s"}},
                                              {{"hr", "i"}, {"cp", "o"}}) +
                                 fixed_method_xml("EnumConnectionPoints", {},
                                                  {{"hr", "i"}, {"points", "ao"}}));
    if (which == QLatin1String(kIConnectionPoint))
        return interface_xml(kIConnectionPoint,
                             fixed_method_xml("GetConnectionInterface", {},
                                              {{"hr", "i"}, {"iid", "s"}}) +
                                 fixed_method_xml("Advise", {{"sink", "o"}},
                                                  {{"hr", "i"}, {"cookie", "u"}}) +
                                 fixed_method_xml("Unadvise", {{"cookie", "u"}}, {{"hr", "i"}}));
    if (which == QLatin1String(kIntrospectable))
        return interface_xml(kIntrospectable,
                             fixed_method_xml("Introspect", {}, {{"xml_data", "s"}}));
    if (which == QLatin1String(kProperties))
        return interface_xml(
            kProperties,
            fixed_method_xml("Get", {{"interface_name", "s"}, {"property_name", "s"}},
                             {{"value", "v"}}) +
                fixed_method_xml("GetAll", {{"interface_name", "s"}}, {{"props", "a{sv}"}}) +
                fixed_method_xml("Set",
                                 {{"interface_name", "s"}, {"property_name", "s"}, {"value", "v"}},
                                 {}));
    if (which == QLatin1String(kPeer))
        return interface_xml(kPeer, fixed_method_xml("Ping", {}, {}) +
                                        fixed_method_xml("GetMachineId", {}, {{"machine_uuid", "s"}}));
    return QString();
}

QString introspect_document(const QString& interfaces, const std::vector<QString>& children)
{
    QString xml = QStringLiteral(
        "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n");
    xml += interfaces;
    for (const QString& child : children)
        xml += QStringLiteral("  <node name=\"%1\"/>\n").arg(child);
    return xml + QStringLiteral("</node>\n");
}

// ---- objects ---------------------------------------------------------------------------------

namespace {

constexpr bus_object_info kObjects[] = {
    {object_type::class_object, "/Ostra/Tethra", "the class object of Tethra, on the well-known name"},
    {object_type::tethra, "/Ostra/Tethra/Tethra", "the port registry (one per server process)"},
    {object_type::serial_port, "/Ostra/Tethra/SerialPort/<n>",
     "one client port object; `<n>` counts from 1 and is never reused within a server process"},
    {object_type::connection_point, "/Ostra/Tethra/SerialPort/<n>/<point>",
     "a port object's connection points, `<point>` being `_ISerialPortEvents` or "
     "`IPropertyNotifySink`"},
};

}  // namespace

std::span<const bus_object_info> bus_objects() { return kObjects; }

std::vector<QString> object_interfaces(object_type kind)
{
    if (kind == object_type::class_object)
        return {QLatin1String(kIClassFactory), QLatin1String(kIntrospectable), QLatin1String(kPeer)};
    std::vector<QString> names = {QLatin1String(kIntrospectable), QLatin1String(kPeer),
                                  QLatin1String(kIUnknown)};
    switch (kind) {
    case object_type::tethra:
        names.push_back(bus_interface_name(type_info_of<ITethra>()));
        break;
    case object_type::serial_port:
        names.push_back(QLatin1String(kIConnectionPointContainer));
        names.push_back(QLatin1String(kProperties));
        names.push_back(bus_interface_name(type_info_of<ISerialPort>()));
        break;
    case object_type::connection_point:
        names.push_back(QLatin1String(kIConnectionPoint));
        break;
    case object_type::class_object:
        break;
    }
    return names;
}

std::vector<QString> object_children(object_type kind)
{
    if (kind == object_type::serial_port)
        return {QLatin1String(kEventsPointName), QLatin1String(kPropertySinkPointName)};
    return {};
}

QString introspect_object(object_type kind)
{
    QString interfaces;
    for (const QString& name : object_interfaces(kind)) {
        const interface_info* itf = find_bus_interface(TethraTypeLib(), name);
        interfaces += itf ? introspect_interface(*itf) : introspect_standard(name.toLatin1().constData());
    }
    return introspect_document(interfaces, object_children(kind));
}

// ---- properties -----------------------------------------------------------------------------

std::vector<property_info> properties_of(const interface_info& itf)
{
    std::vector<property_info> out;
    if (itf.kind != interface_kind::dual)
        return out;
    for (UINT i = 0; i < itf.member_count; ++i) {
        const member_info& get = itf.members[i];
        if (get.kind != INVOKE_PROPERTYGET || get.param_count != 1)
            continue;
        property_info p{QString::fromLatin1(get.name), &get, nullptr,
                        param_signature(get.params[0], false)};
        for (UINT k = 0; k < itf.member_count; ++k)
            if (itf.members[k].kind == INVOKE_PROPERTYPUT &&
                std::strcmp(itf.members[k].name, get.name) == 0)
                p.put = &itf.members[k];
        out.push_back(std::move(p));
    }
    return out;
}

}  // namespace platform::rpc
