#include "platform/rpc/docgen/bus_doc.h"

#include "idl/tethra.h"
#include "platform/rpc/wire.h"

#include <QDBusObjectPath>
#include <QDBusSignature>
#include <QRegularExpression>
#include <QStringList>
#include <QXmlStreamReader>

#include <functional>
#include <initializer_list>
#include <map>
#include <utility>

namespace platform::rpc {

namespace {

// ---- the introspection documents, read back ------------------------------------------------
// The sections below are written from the same XML the server sends, so a method, an
// argument name or a property the server does not announce cannot appear in the document.

struct xml_arg {
    QString name, type, direction;
};
struct xml_method {
    QString name;
    std::vector<xml_arg> args;
};
struct xml_property {
    QString name, type, access;
};
struct xml_interface {
    QString name;
    std::vector<xml_method> methods;
    std::vector<xml_property> properties;
    std::vector<xml_method> signals_;
};

std::vector<xml_interface> parse_interfaces(const QString& document)
{
    std::vector<xml_interface> out;
    QXmlStreamReader xml(document);
    xml_method* current = nullptr;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const auto attr = [&](const char* name) {
            return xml.attributes().value(QLatin1String(name)).toString();
        };
        const QStringView element = xml.name();
        if (element == QLatin1String("interface")) {
            out.push_back({attr("name"), {}, {}, {}});
            current = nullptr;
        } else if (out.empty()) {
            continue;
        } else if (element == QLatin1String("method")) {
            out.back().methods.push_back({attr("name"), {}});
            current = &out.back().methods.back();
        } else if (element == QLatin1String("signal")) {
            out.back().signals_.push_back({attr("name"), {}});
            current = &out.back().signals_.back();
        } else if (element == QLatin1String("arg") && current) {
            current->args.push_back({attr("name"), attr("type"), attr("direction")});
        } else if (element == QLatin1String("property")) {
            out.back().properties.push_back({attr("name"), attr("type"), attr("access")});
        }
    }
    return out;
}

QString code(const QString& text) { return QLatin1Char('`') + text + QLatin1Char('`'); }

QString args_of(const xml_method& m, const char* direction)
{
    QStringList parts;
    for (const xml_arg& a : m.args)
        if (a.direction == QLatin1String(direction) || a.direction.isEmpty())
            parts << a.type + QLatin1Char(' ') + a.name;
    return parts.isEmpty() ? QStringLiteral("-") : code(parts.join(QStringLiteral(", ")));
}

// What the members of the interfaces without help strings in a type table do.
const std::map<QString, const char*>& fixed_help()
{
    static const std::map<QString, const char*> help = {
        {QStringLiteral("Ostra.Tethra.IClassFactory.CreateInstance"),
         "Creates the port registry object and returns it with one reference."},
        {QStringLiteral("Ostra.Tethra.IClassFactory.LockServer"),
         "Takes (true) or gives back (false) a lock of the calling connection on the server."},
        {QStringLiteral("Ostra.Tethra.IUnknown.AddRef"),
         "Adds a reference of the calling connection; returns how many it holds."},
        {QStringLiteral("Ostra.Tethra.IUnknown.Release"),
         "Drops a reference of the calling connection; returns how many it still holds."},
        {QStringLiteral("Ostra.Tethra.IUnknown.QueryInterface"),
         "The same path with one more reference, when the object has the interface."},
        {QStringLiteral("Ostra.Tethra.IConnectionPointContainer.FindConnectionPoint"),
         "The connection point of an outgoing interface, with one reference."},
        {QStringLiteral("Ostra.Tethra.IConnectionPointContainer.EnumConnectionPoints"),
         "Both connection points, each with one reference."},
        {QStringLiteral("Ostra.Tethra.IConnectionPoint.GetConnectionInterface"),
         "The braced IID of the interface its sinks implement."},
        {QStringLiteral("Ostra.Tethra.IConnectionPoint.Advise"),
         "Advises the sink at that path on the calling connection; returns its cookie."},
        {QStringLiteral("Ostra.Tethra.IConnectionPoint.Unadvise"),
         "Unadvises the sink of a cookie the calling connection advised."},
        {QStringLiteral("Ostra.Tethra.IPropertyNotifySink.OnChanged"),
         "Told after the property of that DISPID changed."},
        {QStringLiteral("Ostra.Tethra.IPropertyNotifySink.OnRequestEdit"),
         "Asked before the property of that DISPID changes; 1 (S_FALSE) refuses."},
        {QStringLiteral("org.freedesktop.DBus.Introspectable.Introspect"),
         "The object's introspection data (below)."},
        {QStringLiteral("org.freedesktop.DBus.Peer.Ping"), "Answers at once."},
        {QStringLiteral("org.freedesktop.DBus.Peer.GetMachineId"), "The machine's id."},
        {QStringLiteral("org.freedesktop.DBus.Properties.Get"), "A property's value."},
        {QStringLiteral("org.freedesktop.DBus.Properties.GetAll"),
         "Every property whose getter succeeds."},
        {QStringLiteral("org.freedesktop.DBus.Properties.Set"),
         "The caller's put_<Name> of the property."},
    };
    return help;
}

// The help string of a member: the type table's, or that of a fixed interface.
QString help_of(const QString& bus_interface, const QString& method)
{
    const auto fixed = fixed_help().find(bus_interface + QLatin1Char('.') + method);
    if (fixed != fixed_help().end())
        return QString::fromLatin1(fixed->second);
    const interface_info* itf = find_bus_interface(TethraTypeLib(), bus_interface);
    if (!itf && bus_interface == bus_interface_name(type_info_of<IPropertyNotifySink>()))
        itf = &type_info_of<IPropertyNotifySink>();
    const member_info* m = itf ? find_bus_method(*itf, method) : nullptr;
    return m && m->help ? QString::fromLatin1(m->help) : QString();
}

QString method_table(const xml_interface& itf)
{
    QString out = QStringLiteral("| Method | In | Out | What it does |\n|---|---|---|---|\n");
    for (const xml_method& m : itf.methods)
        out += QStringLiteral("| %1 | %2 | %3 | %4 |\n")
                   .arg(code(m.name), args_of(m, "in"), args_of(m, "out"), help_of(itf.name, m.name));
    return out;
}

QString guid_text(const GUID& guid)
{
    char text[GUID_STRING_CHARS];
    StringFromGUID2(guid, text, static_cast<int>(sizeof text));
    return QString::fromLatin1(text);
}

const char* vt_name(VARTYPE vt)
{
    switch (vt) {
    case VT_BOOL: return "VT_BOOL";
    case VT_I4: return "VT_I4";
    case VT_UI4: return "VT_UI4";
    case VT_I2: return "VT_I2";
    case VT_UI2: return "VT_UI2";
    case VT_UI1: return "VT_UI1";
    case VT_I1: return "VT_I1";
    case VT_I8: return "VT_I8";
    case VT_UI8: return "VT_UI8";
    case VT_R8: return "VT_R8";
    case VT_BSTR: return "VT_BSTR";
    case VT_DISPATCH: return "VT_DISPATCH";
    case VT_UNKNOWN: return "VT_UNKNOWN";
    case VT_VARIANT: return "VT_VARIANT";
    case VT_ERROR: return "VT_ERROR";
    case VT_ARRAY | VT_UI1: return "VT_ARRAY \\| VT_UI1";  // escaped for a table
    default: return "?";
    }
}

// ---- sections -------------------------------------------------------------------------------

QString objects_section()
{
    QString out = QStringLiteral("| Path | What | Interfaces (besides Introspectable and Peer) |\n"
                                 "|---|---|---|\n");
    for (const bus_object_info& o : bus_objects()) {
        QStringList names;
        for (const QString& name : object_interfaces(o.kind))
            if (name != QLatin1String(kIntrospectable) && name != QLatin1String(kPeer))
                names << code(name);
        QString what = QString::fromLatin1(o.what);
        const std::vector<QString> children = object_children(o.kind);
        if (!children.empty()) {
            QStringList kids;
            for (const QString& c : children)
                kids << code(c);
            what += QStringLiteral("; children ") + kids.join(QStringLiteral(", "));
        }
        out += QStringLiteral("| %1 | %2 | %3 |\n")
                   .arg(code(QString::fromLatin1(o.path)), what, names.join(QStringLiteral(", ")));
    }
    return out;
}

QString identifiers_section()
{
    QString out = QStringLiteral("| Name | Braced form |\n|---|---|\n");
    const auto row = [&](const QString& name, const GUID& guid) {
        out += QStringLiteral("| %1 | %2 |\n").arg(code(name), code(guid_text(guid)));
    };
    // Only Tethra has a class object; the other classes are made by the port registry.
    row(QStringLiteral("CLSID_Tethra"), CLSID_Tethra);
    const typelib_info& lib = TethraTypeLib();
    for (UINT i = 0; i < lib.interface_count; ++i) {
        const interface_info& itf = *lib.interfaces[i];
        if (itf.kind == interface_kind::custom)
            continue;  // internal to the server: no path serves it
        const char* prefix = itf.kind == interface_kind::dispinterface ? "DIID_" : "IID_";
        row(QString::fromLatin1(prefix) + QString::fromLatin1(itf.name), *itf.iid);
    }
    row(QStringLiteral("IID_IPropertyNotifySink"), IID_IPropertyNotifySink);
    row(QStringLiteral("IID_IDispatch"), IID_IDispatch);
    row(QStringLiteral("IID_IUnknown"), IID_IUnknown);
    return out;
}

QString types_section()
{
    // The C++ types that the type library declares with each automation type.
    std::map<VARTYPE, QStringList> cpp;
    const typelib_info& lib = TethraTypeLib();
    for (UINT i = 0; i < lib.interface_count; ++i)
        for (UINT m = 0; m < lib.interfaces[i]->member_count; ++m) {
            const member_info& member = lib.interfaces[i]->members[m];
            for (UINT p = 0; p < member.param_count; ++p) {
                QString type = QString::fromLatin1(member.params[p].type);
                type.remove(QLatin1Char('*'));
                if (!cpp[member.params[p].vt].contains(type))
                    cpp[member.params[p].vt] << type;
            }
        }
    QString out = QStringLiteral("| Automation type | Declared as | Bus type | In a sink call |\n"
                                 "|---|---|---|---|\n");
    for (const VARTYPE vt : std::initializer_list<VARTYPE>{VT_BOOL, VT_I4, VT_UI4, VT_I2, VT_UI2, VT_UI1, VT_I1, VT_I8, VT_UI8,
                             VT_BSTR, VT_DISPATCH, VT_UNKNOWN, VT_VARIANT}) {
        const param_info p{"", vt, static_cast<USHORT>(PARAMFLAG_FIN), "", nullptr};
        QStringList declared = cpp[vt];
        for (QString& d : declared)
            d = code(d);
        out += QStringLiteral("| %1 | %2 | %3 | %4 |\n")
                   .arg(code(QLatin1String(vt_name(vt))),
                        declared.isEmpty() ? QStringLiteral("-") : declared.join(QStringLiteral(", ")),
                        code(param_signature(p, false)), code(param_signature(p, true)));
    }
    return out;
}

QString variants_section()
{
    const std::pair<const char*, QVariant> samples[] = {
        {"ay", QVariant(QByteArray("x"))},
        {"s", QVariant(QStringLiteral("x"))},
        {"i", QVariant(int(1))},
        {"u", QVariant::fromValue(uint(1))},
        {"n", QVariant::fromValue(short(1))},
        {"q", QVariant::fromValue(ushort(1))},
        {"y", QVariant::fromValue(uchar(1))},
        {"x", QVariant::fromValue(qlonglong(1))},
        {"t", QVariant::fromValue(qulonglong(1))},
        {"d", QVariant(1.0)},
        {"b", QVariant(true)},
        {"o", QVariant::fromValue(QDBusObjectPath(QStringLiteral("/x")))},
        {"g", QVariant::fromValue(QDBusSignature(QStringLiteral("i")))},
    };
    QString out = QStringLiteral("| Bus type in the variant | VARIANT the port receives |\n|---|---|\n");
    for (const auto& [sig, value] : samples) {
        VARIANT v;
        VariantInit(&v);
        const HRESULT hr = variant_from_bus(value, &v);
        QString what = SUCCEEDED(hr) ? code(QLatin1String(vt_name(v.vt))) : error_name(hr);
        if (SUCCEEDED(hr) && v.vt == VT_ERROR)
            what += QStringLiteral(" (%1)").arg(code(error_name(v.scode).mid(
                QString::fromLatin1(kErrorPrefix).size())));
        VariantClear(&v);
        out += QStringLiteral("| %1 | %2 |\n").arg(code(QLatin1String(sig)), what);
    }
    out += QStringLiteral("| arrays of other types, structs, dicts, `h` | as `o` and `g` |\n");
    return out;
}

QString errors_section()
{
    QString out = QStringLiteral("| Error name | HRESULT |\n|---|---|\n");
    for (const hresult_symbol& s : hresult_symbols())
        out += QStringLiteral("| %1 | %2 |\n")
                   .arg(code(error_name(s.hr)), code(error_message(s.hr).left(10)));
    return out;
}

QString bus_errors_section()
{
    QString out = QStringLiteral("| Bus error | Read as |\n|---|---|\n");
    const int prefix = QString::fromLatin1(kErrorPrefix).size();
    for (const hresult_symbol& s : bus_error_hresults())
        out += QStringLiteral("| %1 | %2 |\n")
                   .arg(code(QString::fromLatin1(s.symbol)), code(error_name(s.hr).mid(prefix)));
    out += QStringLiteral("| any other | `E_FAIL` |\n");
    return out;
}

QString interfaces_section()
{
    // Every interface once, in the order of the objects that serve it, with those paths.
    std::vector<xml_interface> seen;
    std::map<QString, QStringList> paths;
    for (const bus_object_info& o : bus_objects())
        for (xml_interface& itf : parse_interfaces(introspect_object(o.kind))) {
            QStringList& on = paths[itf.name];
            if (on.isEmpty())
                seen.push_back(itf);
            on << code(QString::fromLatin1(o.path));
        }
    QString out;
    int signal_count = 0;
    for (const xml_interface& itf : seen) {
        out += QStringLiteral("### %1\n\nOn %2.\n\n").arg(code(itf.name), paths[itf.name].join(QStringLiteral(", ")));
        out += method_table(itf);
        for (const xml_method& s : itf.signals_) {
            out += QStringLiteral("\nSignal %1(%2)\n").arg(code(s.name), args_of(s, "out"));
            ++signal_count;
        }
        out += QLatin1Char('\n');
    }
    if (signal_count == 0)
        out += QStringLiteral("No object emits a signal: a client learns of data and changes "
                              "through the sinks it advises.\n");
    return out.trimmed() + QLatin1Char('\n');
}

QString properties_section()
{
    const interface_info& itf = type_info_of<ISerialPort>();
    QString out = QStringLiteral("| Property | Type | Access | DISPID | Change protocol | What |\n"
                                 "|---|---|---|---|---|---|\n");
    for (const property_info& p : properties_of(itf)) {
        const bool asks = p.put && (p.put->flags & FUNCFLAG_FREQUESTEDIT);
        out += QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 |\n")
                   .arg(code(p.name), code(p.signature),
                        p.put ? QStringLiteral("read, write") : QStringLiteral("read"),
                        QString::number(p.get->dispid),
                        asks ? QStringLiteral("asked and told") : QStringLiteral("-"),
                        QString::fromLatin1(p.get->help));
    }
    return out;
}

QString sinks_section()
{
    QString out;
    std::vector<const interface_info*> sinks;
    const typelib_info& lib = TethraTypeLib();
    for (UINT i = 0; i < lib.interface_count; ++i)
        if (is_outgoing(*lib.interfaces[i]))
            sinks.push_back(lib.interfaces[i]);
    sinks.push_back(&type_info_of<IPropertyNotifySink>());
    for (const interface_info* sink : sinks) {
        const QString xml = introspect_interface(*sink);
        for (const xml_interface& itf : parse_interfaces(introspect_document(xml, {}))) {
            out += QStringLiteral("### %1\n\n").arg(code(itf.name));
            out += method_table(itf);
            out += QStringLiteral("\n```xml\n") + xml + QStringLiteral("```\n\n");
        }
    }
    return out.trimmed() + QLatin1Char('\n');
}

QString enums_section()
{
    QString out = QStringLiteral("| Enumeration | Values |\n|---|---|\n");
    const typelib_info& lib = TethraTypeLib();
    for (UINT i = 0; i < lib.enum_count; ++i) {
        QStringList values;
        for (UINT k = 0; k < lib.enums[i].value_count; ++k)
            values << QStringLiteral("%1 %2").arg(code(QString::fromLatin1(lib.enums[i].values[k].name)))
                          .arg(lib.enums[i].values[k].value);
        out += QStringLiteral("| %1 | %2 |\n")
                   .arg(code(QString::fromLatin1(lib.enums[i].name)), values.join(QStringLiteral(", ")));
    }
    return out;
}

QString introspection_section()
{
    QString out;
    for (const bus_object_info& o : bus_objects())
        out += QStringLiteral("#### %1\n\n```xml introspect %2\n%3```\n\n")
                   .arg(code(QString::fromLatin1(o.path)), QString::fromLatin1(o.path),
                        introspect_object(o.kind));
    return out.trimmed() + QLatin1Char('\n');
}

}  // namespace

bool render_bus_doc(const QString& template_text, QString* document, QString* error)
{
    const std::map<QString, std::function<QString()>> sections = {
        {QStringLiteral("OBJECTS"), objects_section},
        {QStringLiteral("IDENTIFIERS"), identifiers_section},
        {QStringLiteral("TYPES"), types_section},
        {QStringLiteral("VARIANTS"), variants_section},
        {QStringLiteral("ERRORS"), errors_section},
        {QStringLiteral("BUS_ERRORS"), bus_errors_section},
        {QStringLiteral("INTERFACES"), interfaces_section},
        {QStringLiteral("PROPERTIES"), properties_section},
        {QStringLiteral("SINKS"), sinks_section},
        {QStringLiteral("ENUMS"), enums_section},
        {QStringLiteral("INTROSPECTION"), introspection_section},
    };
    static const QRegularExpression placeholder(QStringLiteral("^@([A-Z_]+)@$"));
    QString out;
    const QStringList lines = template_text.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch match = placeholder.match(lines[i]);
        if (!match.hasMatch()) {
            out += lines[i];
            if (i + 1 < lines.size())
                out += QLatin1Char('\n');
            continue;
        }
        const auto section = sections.find(match.captured(1));
        if (section == sections.end()) {
            *error = QStringLiteral("line %1: no section named %2").arg(i + 1).arg(lines[i]);
            return false;
        }
        out += section->second();
    }
    *document = out;
    return true;
}

}  // namespace platform::rpc
