// Bus names, values and errors of the client side.
#pragma once

#include "platform/com/typeinfo.h"

#include <QDBusMessage>
#include <QString>
#include <QVariant>

namespace platform::rpc::client {

// "Ostra.Tethra.<interface name>".
QString bus_interface_name(const interface_info& itf);
// The <interface> element of an interface's introspection data.
QString interface_xml(const interface_info& itf);

// An in argument of a proxy call, as the bus carries it.
HRESULT argument_to_bus(const VARIANTARG& arg, const param_info& param, QVariant* pValue);
// An out value of a reply into the caller's variable (arg is VT_BYREF | vt).
HRESULT value_from_bus(const QVariant& value, const param_info& param, VARIANTARG& arg);
// An argument of a call into a sink, as a VARIANT of the parameter's type.
HRESULT sink_argument_from_bus(const QVariant& value, const param_info& param, VARIANTARG* pArg);

// The error reply for a failed HRESULT; the HRESULT of an Ostra.Tethra.Error reply (E_FAIL
// when it carries none).
QDBusMessage error_reply(const QDBusMessage& call, HRESULT hr);
HRESULT hresult_from_error(const QDBusMessage& reply);

}  // namespace platform::rpc::client
