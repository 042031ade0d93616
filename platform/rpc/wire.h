// The bus form of the object model: names, paths, signatures, values, errors and
// introspection data, all derived from the type tables of the type library (and, for
// the few standard interfaces that have no table, written here once). The server's
// stubs and the client library's proxies both use this file, so the two sides cannot
// disagree about the wire. It uses Qt types and is included only inside platform/rpc.
//
// Signatures. Every method of an "Ostra.Tethra.*" interface replies with the HRESULT
// ("i") first, then one value per out parameter. Parameters map by their VARTYPE:
//   VT_BOOL b, VT_I4 (long and every enumeration) i, VT_UI4 u, VT_I2 n, VT_UI2 q,
//   VT_UI1 y, VT_I1 y (the character's bit pattern), VT_I8 x, VT_UI8 t, VT_BSTR s,
//   VT_DISPATCH and VT_UNKNOWN o (the object's path), VT_VARIANT v.
// Decisions of this mapping:
//   - An in-out interface parameter (ITethra::CreatePort's SerialPortObject) travels out
//     only: its incoming value is ignored by the method, so a client sends none.
//   - A VT_VARIANT parameter of an outgoing interface (_ISerialPortEvents::OnData) is
//     "ay": the server passes nothing but byte arrays to sinks, and a typed signature
//     lets generic clients declare their handlers plainly.
//   - Bus method names are the C++ method names (get_BaudRate, put_BaudRate, Send); the
//     org.freedesktop.DBus.Properties names are the property names (BaudRate).
#pragma once

#include "platform/com/typeinfo.h"

#include <QDBusMessage>
#include <QString>
#include <QVariant>

#include <span>
#include <vector>

namespace platform::rpc {

// ---- names and paths ----------------------------------------------------------------
inline constexpr char kServiceName[] = "Ostra.Tethra";
inline constexpr char kInterfacePrefix[] = "Ostra.Tethra.";
inline constexpr char kErrorPrefix[] = "Ostra.Tethra.Error.";
inline constexpr char kClassObjectPath[] = "/Ostra/Tethra";
inline constexpr char kTethraPath[] = "/Ostra/Tethra/Tethra";
inline constexpr char kSerialPortPathPrefix[] = "/Ostra/Tethra/SerialPort/";
// Connection points hang below their container: <container>/_ISerialPortEvents.
inline constexpr char kEventsPointName[] = "_ISerialPortEvents";
inline constexpr char kPropertySinkPointName[] = "IPropertyNotifySink";

// Bus interfaces of the standard interfaces, which have no type table.
inline constexpr char kIUnknown[] = "Ostra.Tethra.IUnknown";
inline constexpr char kIClassFactory[] = "Ostra.Tethra.IClassFactory";
inline constexpr char kIConnectionPointContainer[] = "Ostra.Tethra.IConnectionPointContainer";
inline constexpr char kIConnectionPoint[] = "Ostra.Tethra.IConnectionPoint";

inline constexpr char kIntrospectable[] = "org.freedesktop.DBus.Introspectable";
inline constexpr char kProperties[] = "org.freedesktop.DBus.Properties";
inline constexpr char kPeer[] = "org.freedesktop.DBus.Peer";

// Standard error names.
inline constexpr char kErrUnknownObject[] = "org.freedesktop.DBus.Error.UnknownObject";
inline constexpr char kErrUnknownMethod[] = "org.freedesktop.DBus.Error.UnknownMethod";
inline constexpr char kErrUnknownInterface[] = "org.freedesktop.DBus.Error.UnknownInterface";
inline constexpr char kErrUnknownProperty[] = "org.freedesktop.DBus.Error.UnknownProperty";
inline constexpr char kErrPropertyReadOnly[] = "org.freedesktop.DBus.Error.PropertyReadOnly";
inline constexpr char kErrInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";
inline constexpr char kErrNoReply[] = "org.freedesktop.DBus.Error.NoReply";

// "Ostra.Tethra." + the interface's name.
QString bus_interface_name(const interface_info& itf);
// The type-library interface of a bus interface name among the given ones; null if none.
const interface_info* find_bus_interface(const typelib_info& lib, const QString& name);

// The member whose bus method name (its C++ method name) is method; null if none.
const member_info* find_bus_method(const interface_info& itf, const QString& method);

// ---- signatures -----------------------------------------------------------------------
// The D-Bus type of one parameter as it travels ("" for a type that has no bus form).
// outgoing: the parameter belongs to an outgoing (sink) interface.
QString param_signature(const param_info& p, bool outgoing);
// In-signature of a member: its in parameters (in-out interfaces excluded).
QString in_signature(const interface_info& itf, const member_info& m);
// Reply signature: "i" then its out parameters.
QString out_signature(const interface_info& itf, const member_info& m);
// Whether the parameter travels in the call, in the reply.
bool param_travels_in(const param_info& p);
bool param_travels_out(const param_info& p);
// Whether the interface is one that clients implement (sinks).
bool is_outgoing(const interface_info& itf);

// ---- values ---------------------------------------------------------------------------
// A bus value of an in parameter into the VARIANT that the invoke thunk takes for it.
// For a VT_VARIANT parameter the bus value is converted by variant_from_bus. For an
// interface parameter only a null path is possible here ("/" means null): S_OK with a
// null interface. DISP_E_TYPEMISMATCH when the value does not have the parameter's bus
// type. The VARIANT owns what it holds (VariantClear frees it).
HRESULT value_to_variant(const param_info& p, bool outgoing, const QVariant& value,
                         VARIANT* pv);
// A VARIANT of the parameter's type (or VT_BYREF to it, as the invoke thunk's out
// parameters are) into its bus value. Interface values cannot be written here; they
// need a path (the caller handles them). DISP_E_TYPEMISMATCH for any other type.
HRESULT variant_to_value(const param_info& p, bool outgoing, const VARIANT& v, QVariant* value);

// The contents of a D-Bus variant ("v") into a VARIANT, as Send receives it:
//   ay -> VT_ARRAY | VT_UI1, s -> VT_BSTR, i u n q y x t d b -> VT_I4 VT_UI4 VT_I2 VT_UI2
//   VT_UI1 VT_I8 VT_UI8 VT_R8 VT_BOOL; every other contents (arrays of other types,
//   structs, dicts, object paths, signatures, file descriptors) -> VT_ERROR holding
//   DISP_E_BADVARTYPE, a type the port refuses. E_OUTOFMEMORY when a copy fails.
HRESULT variant_from_bus(const QVariant& contents, VARIANT* pv);
// The other way: the VARIANT types above back into their bus form (the value, or
// QByteArray for a byte array). DISP_E_BADVARTYPE for any other VARIANT.
HRESULT variant_to_bus(const VARIANT& v, QVariant* contents);

// ---- errors ---------------------------------------------------------------------------
// The error name of a failed HRESULT: "Ostra.Tethra.Error.<Symbol>" for the codes with a
// symbol, else "Ostra.Tethra.Error.HRESULT_0x8XXXXXXX".
QString error_name(HRESULT hr);
// The error message: the code as "0x%08X", then a blank and the symbol or the detail.
QString error_message(HRESULT hr, const QString& detail = QString());
// The error reply to a call for a failed HRESULT.
QDBusMessage error_reply(const QDBusMessage& call, HRESULT hr, const QString& detail = {});
// The HRESULT an error reply stands for: its name's symbol or code, else the code its
// message starts with; the bus's own errors map to HRESULTs as follows:
//   InvalidArgs E_INVALIDARG; NoMemory E_OUTOFMEMORY; AccessDenied E_ACCESSDENIED;
//   UnknownMethod, UnknownInterface, UnknownProperty DISP_E_MEMBERNOTFOUND;
//   UnknownObject, ServiceUnknown, NameHasNoOwner, Disconnected RPC_E_DISCONNECTED;
//   NoReply, Timeout, TimedOut RPC_E_TIMEOUT; any other E_FAIL.
HRESULT hresult_from_error(const QString& name, const QString& message);
// The HRESULT of a reply (a method return's first argument when it is an "i", S_OK for
// a reply without arguments, E_UNEXPECTED for one whose first argument is not an "i"),
// or of an error reply.
HRESULT hresult_from_reply(const QDBusMessage& reply);
// Whether a failed call to a sink says that the sink is not there (UnknownObject,
// UnknownInterface, UnknownMethod).
bool is_missing_object_error(const QString& error_name);

// ---- introspection --------------------------------------------------------------------
// <interface> elements, each with its methods and arguments ("hr" first in the replies)
// and, for ISerialPort, its properties with access read or readwrite.
QString introspect_interface(const interface_info& itf);
// The fixed interfaces: IUnknown, IClassFactory, IConnectionPointContainer,
// IConnectionPoint, org.freedesktop.DBus.Introspectable, .Properties and .Peer.
QString introspect_standard(const char* bus_interface);
// A whole document: the doctype, the node, the interface elements given, and a <node>
// element per child name.
QString introspect_document(const QString& interfaces, const std::vector<QString>& children);

// ---- objects ---------------------------------------------------------------------------
// What the server exports, one kind per path pattern. Every object of a kind answers
// Introspect with the same document, introspect_object(kind): the server replies with it
// and the bus API document (docs/bus-api.md) is generated from it.
enum class object_type { class_object, tethra, serial_port, connection_point };

struct bus_object_info {
    object_type kind;
    const char* path;  // the path, or its pattern ("<n>", "<point>")
    const char* what;  // for the bus API document (Markdown)
};
// Every kind, in the order a client meets them.
std::span<const bus_object_info> bus_objects();
// The bus interfaces an object of the kind serves, in the order its introspection
// document lists them.
std::vector<QString> object_interfaces(object_type kind);
// The names of its child nodes (a port object's two connection points).
std::vector<QString> object_children(object_type kind);
// The whole introspection document of an object of the kind.
QString introspect_object(object_type kind);

// ---- tables for the bus API document ---------------------------------------------------
struct hresult_symbol {
    HRESULT hr;
    const char* symbol;
};
// Every failed HRESULT with a name of its own on the bus (Ostra.Tethra.Error.<symbol>).
std::span<const hresult_symbol> hresult_symbols();
// The bus's own errors as a client reads them (hresult_from_error): symbol holds the
// bus's error name.
std::span<const hresult_symbol> bus_error_hresults();

// ---- properties -------------------------------------------------------------------------
// A property of a dual interface as org.freedesktop.DBus.Properties serves it.
struct property_info {
    QString name;             // "BaudRate"
    const member_info* get;   // never null
    const member_info* put;   // null for a read-only property
    QString signature;        // the value's bus type
};
// The properties of an interface, in table order of their getters.
std::vector<property_info> properties_of(const interface_info& itf);

}  // namespace platform::rpc
