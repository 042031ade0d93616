#include "trace/query_trace.h"

#include "platform/com/runtime.h"
#include "platform/registry/registry.h"

#include <cstdio>

namespace {

// Opens HKEY_CLASSES_ROOT\<folder>\<iid> for reading; null when it does not exist.
HKEY OpenClassesKey(const char* pszFolder, const char* pszIID)
{
    char szPath[160];
    std::snprintf(szPath, sizeof szPath, "%s\\%s", pszFolder, pszIID);
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, szPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return nullptr;
    return hKey;
}

// Writes the key's default value when it is a string of at most 100 bytes, then closes it.
void OutputDefaultValue(HKEY hKey)
{
    char szName[101] = {};
    DWORD cbName = 100;
    DWORD dwType = REG_NONE;
    if (RegQueryValueExA(hKey, nullptr, nullptr, &dwType, reinterpret_cast<BYTE*>(szName),
                         &cbName) == ERROR_SUCCESS &&
        dwType == REG_SZ)
        OutputDebugStringA(szName);
    RegCloseKey(hKey);
}

}  // namespace

HRESULT TraceQueryInterface(const char* pszClassName, REFIID riid, HRESULT hr)
{
    char szIID[GUID_STRING_CHARS];
    StringFromGUID2(riid, szIID, GUID_STRING_CHARS);

    OutputDebugStringA(pszClassName);
    OutputDebugStringA(" - ");
    if (HKEY hKey = OpenClassesKey("Interface", szIID)) {
        OutputDefaultValue(hKey);
    } else if (HKEY hClassKey = OpenClassesKey("CLSID", szIID)) {
        OutputDebugStringA("(CLSID\?\?\?) ");
        OutputDefaultValue(hClassKey);
    } else {
        OutputDebugStringA(szIID);
    }
    if (FAILED(hr))
        OutputDebugStringA(" - failed");
    OutputDebugStringA("\n");
    return hr;
}
