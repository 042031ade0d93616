#include "platform/rpc/client/wire_shim.h"

#include <QByteArray>
#include <QDBusVariant>

#include <cstring>

namespace platform::rpc::client {

QString bus_interface_name(const interface_info& itf)
{
    return QStringLiteral("Ostra.Tethra.") + QString::fromLatin1(itf.name);
}

namespace {

const char* signature_of(const param_info& p, bool sink)
{
    switch (p.vt) {
    case VT_BOOL: return "b";
    case VT_I4: return "i";
    case VT_UI4: return "u";
    case VT_I2: return "n";
    case VT_UI1:
    case VT_I1: return "y";
    case VT_DISPATCH:
    case VT_UNKNOWN: return "o";
    case VT_VARIANT: return sink ? "ay" : "v";
    default: return "v";
    }
}

}  // namespace

QString interface_xml(const interface_info& itf)
{
    QString xml = QStringLiteral("  <interface name=\"%1\">\n").arg(bus_interface_name(itf));
    for (UINT i = 0; i < itf.member_count; ++i) {
        const member_info& m = itf.members[i];
        xml += QStringLiteral("    <method name=\"%1\">\n").arg(QString::fromLatin1(m.name));
        for (UINT k = 0; k < m.param_count; ++k)
            xml += QStringLiteral("      <arg name=\"%1\" type=\"%2\" direction=\"in\"/>\n")
                       .arg(QString::fromLatin1(m.params[k].name),
                            QString::fromLatin1(signature_of(m.params[k], true)));
        xml += QStringLiteral("      <arg name=\"hr\" type=\"i\" direction=\"out\"/>\n");
        xml += QStringLiteral("    </method>\n");
    }
    xml += QStringLiteral("  </interface>\n");
    return xml;
}

HRESULT argument_to_bus(const VARIANTARG& arg, const param_info& param, QVariant* pValue)
{
    switch (param.vt) {
    case VT_BOOL: *pValue = QVariant(arg.boolVal != 0); return S_OK;
    case VT_I4: *pValue = QVariant(static_cast<int>(arg.lVal)); return S_OK;
    case VT_UI4: *pValue = QVariant(static_cast<uint>(arg.ulVal)); return S_OK;
    case VT_I2: *pValue = QVariant::fromValue(static_cast<short>(arg.iVal)); return S_OK;
    case VT_UI1: *pValue = QVariant::fromValue(static_cast<uchar>(arg.bVal)); return S_OK;
    case VT_I1: *pValue = QVariant::fromValue(static_cast<uchar>(arg.cVal)); return S_OK;
    case VT_VARIANT: {
        QVariant inner;
        switch (arg.vt) {
        case VT_ARRAY | VT_UI1: {
            void* pData = nullptr;
            LONG lo = 0, hi = -1;
            if (!arg.parray || FAILED(SafeArrayGetLBound(arg.parray, 1, &lo)) ||
                FAILED(SafeArrayGetUBound(arg.parray, 1, &hi)) ||
                FAILED(SafeArrayAccessData(arg.parray, &pData)))
                return E_INVALIDARG;
            inner = QVariant(QByteArray(static_cast<const char*>(pData), hi - lo + 1));
            SafeArrayUnaccessData(arg.parray);
            break;
        }
        case VT_BSTR: inner = QVariant(QString::fromUtf8(arg.bstrVal ? arg.bstrVal : "")); break;
        case VT_I4: inner = QVariant(static_cast<int>(arg.lVal)); break;
        case VT_UI4: inner = QVariant(static_cast<uint>(arg.ulVal)); break;
        case VT_BOOL: inner = QVariant(arg.boolVal != 0); break;
        default: return E_INVALIDARG;
        }
        *pValue = QVariant::fromValue(QDBusVariant(inner));
        return S_OK;
    }
    default: return DISP_E_TYPEMISMATCH;
    }
}

HRESULT value_from_bus(const QVariant& value, const param_info& param, VARIANTARG& arg)
{
    switch (param.vt) {
    case VT_BOOL: *arg.pboolVal = value.toBool() ? VARIANT_TRUE : VARIANT_FALSE; return S_OK;
    case VT_I4: *arg.plVal = value.toInt(); return S_OK;
    case VT_UI4: *arg.pulVal = value.toUInt(); return S_OK;
    case VT_I2: *arg.piVal = static_cast<SHORT>(value.toInt()); return S_OK;
    case VT_UI1: *arg.pbVal = static_cast<BYTE>(value.toUInt()); return S_OK;
    case VT_I1: *arg.pcVal = static_cast<CHAR>(value.toUInt()); return S_OK;
    default: return DISP_E_TYPEMISMATCH;
    }
}

HRESULT sink_argument_from_bus(const QVariant& value, const param_info& param, VARIANTARG* pArg)
{
    if (param.vt == VT_I4 && value.metaType().id() == QMetaType::Int) {
        pArg->vt = VT_I4;
        pArg->lVal = value.toInt();
        return S_OK;
    }
    if (param.vt == VT_VARIANT && value.metaType().id() == QMetaType::QByteArray) {
        const QByteArray bytes = value.toByteArray();
        SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        if (!psa)
            return E_OUTOFMEMORY;
        void* pData = nullptr;
        SafeArrayAccessData(psa, &pData);
        if (bytes.size())
            std::memcpy(pData, bytes.constData(), static_cast<size_t>(bytes.size()));
        SafeArrayUnaccessData(psa);
        pArg->vt = VT_ARRAY | VT_UI1;
        pArg->parray = psa;
        return S_OK;
    }
    return DISP_E_TYPEMISMATCH;
}

QDBusMessage error_reply(const QDBusMessage& call, HRESULT hr)
{
    const QString code = QStringLiteral("0x%1").arg(static_cast<uint>(hr), 8, 16, QLatin1Char('0')).toUpper().replace(QStringLiteral("0X"), QStringLiteral("0x"));
    return call.createErrorReply(QStringLiteral("Ostra.Tethra.Error.HRESULT_") + code, code);
}

HRESULT hresult_from_error(const QDBusMessage& reply)
{
    const QString msg = reply.errorMessage();
    bool ok = false;
    uint code = msg.left(10).toUInt(&ok, 16);
    return ok && msg.startsWith(QStringLiteral("0x")) ? static_cast<HRESULT>(code) : E_FAIL;
}

}  // namespace platform::rpc::client
