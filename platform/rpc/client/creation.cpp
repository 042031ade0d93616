#include "platform/rpc/client/client.h"

#include "platform/registry/registry.h"
#include "platform/rpc/client/bus.h"
#include "platform/rpc/client/proxy.h"
#include "platform/rpc/wire.h"

#include <QDBusObjectPath>

#include <string>

using namespace platform::rpc::client;

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter)
        return CLASS_E_NOAGGREGATION;
    if (!IsEqualCLSID(rclsid, CLSID_Tethra) || !(dwClsContext & CLSCTX_LOCAL_SERVER))
        return REGDB_E_CLASSNOTREG;
    HRESULT hr = S_OK;
    bus_host* pBus = bus_host::instance(&hr);
    if (!pBus)
        return hr;

    char szIid[GUID_STRING_CHARS];
    StringFromGUID2(riid, szIid, GUID_STRING_CHARS);
    QDBusMessage reply;
    // A server that is letting the name go answers a request that reached it just before
    // with CO_E_SERVER_STOPPING, so asking again reaches (or makes the bus start) the next
    // server; a few tries cover the moment until the bus has seen the name go.
    constexpr int kStoppingTries = 100;
    for (int nTry = 0; nTry < kStoppingTries; ++nTry) {
        hr = pBus->call(QLatin1String(platform::rpc::kServiceName),
                        QLatin1String(platform::rpc::kClassObjectPath),
                        QLatin1String(platform::rpc::kIClassFactory),
                        QStringLiteral("CreateInstance"), {QVariant(QString::fromLatin1(szIid))},
                        &reply);
        if (hr != CO_E_SERVER_STOPPING)
            break;
    }
    if (FAILED(hr)) {
        // Nobody owns the name and the bus knows no server to start for it.
        const QString error = reply.errorName();
        if (error == QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown") ||
            error == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"))
            return REGDB_E_CLASSNOTREG;
        if (error.startsWith(QStringLiteral("org.freedesktop.DBus.Error.Spawn.")))
            return CO_E_SERVER_EXEC_FAILURE;
        return hr;
    }
    const QList<QVariant> out = reply.arguments();
    if (out.size() != 2 || out[0].metaType() != QMetaType::fromType<int>() ||
        out[1].metaType() != QMetaType::fromType<QDBusObjectPath>())
        return E_UNEXPECTED;
    hr = out[0].toInt();
    // Every further call goes to the server that answered, not to whoever owns the name by
    // then.
    HRESULT hrProxy = make_proxy(pBus, reply.service(), out[1].value<QDBusObjectPath>().path(),
                                 riid, ppv);
    return FAILED(hrProxy) ? hrProxy : hr;
}

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid)
{
    if (!lpszProgID || !lpclsid)
        return E_INVALIDARG;
    *lpclsid = CLSID_NULL;
    HKEY hKey = nullptr;
    const std::string key = std::string(lpszProgID) + "\\CLSID";
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return CO_E_CLASSSTRING;
    char szClsid[GUID_STRING_CHARS + 1] = {};
    DWORD dwType = 0;
    DWORD cbData = sizeof(szClsid);
    LONG lResult = RegQueryValueExA(hKey, nullptr, nullptr, &dwType,
                                    reinterpret_cast<LPBYTE>(szClsid), &cbData);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS || dwType != REG_SZ)
        return CO_E_CLASSSTRING;
    szClsid[GUID_STRING_CHARS] = '\0';
    return CLSIDFromString(szClsid, lpclsid) == NOERROR ? S_OK : CO_E_CLASSSTRING;
}
