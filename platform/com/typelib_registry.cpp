// Type-library registration in the registry store.
#include "platform/com/typelib_registry.h"

#include "platform/com/guid.h"
#include "platform/registry/registry.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex g_mutex;
std::vector<const platform::typelib_info*> g_loaded;

std::string braced(REFGUID guid)
{
    char sz[40];
    StringFromGUID2(guid, sz, sizeof sz);
    return sz;
}

std::string version_key(REFGUID libid, WORD wMajor, WORD wMinor)
{
    char sz[32];
    std::snprintf(sz, sizeof sz, "\\%u.%u", static_cast<unsigned>(wMajor),
                  static_cast<unsigned>(wMinor));
    return "TypeLib\\" + braced(libid) + sz;
}

const char* kind_name(SYSKIND syskind)
{
    return syskind == SYS_WIN64 ? "win64" : "win32";
}

// Creates HKEY_CLASSES_ROOT\<path> and sets its default value (and one named value when
// szName is given). FALSE when the store refuses.
bool write_key(const std::string& path, LPCSTR szDefault, LPCSTR szName = nullptr,
               LPCSTR szValue = nullptr)
{
    HKEY hKey = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &hKey, nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = true;
    auto set = [&](LPCSTR szValueName, LPCSTR szData) {
        ok = ok && RegSetValueExA(hKey, szValueName, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(szData),
                                  static_cast<DWORD>(std::strlen(szData) + 1)) == ERROR_SUCCESS;
    };
    if (szDefault)
        set(nullptr, szDefault);
    if (szName)
        set(szName, szValue);
    RegCloseKey(hKey);
    return ok;
}

// A missing key counts as removed.
bool delete_key(const std::string& path)
{
    const LONG lResult = RegDeleteKeyA(HKEY_CLASSES_ROOT, path.c_str());
    return lResult == ERROR_SUCCESS || lResult == ERROR_FILE_NOT_FOUND;
}

}  // namespace

HRESULT LoadTypeLib(const platform::typelib_info* ptlib)
{
    if (!ptlib)
        return E_INVALIDARG;
    std::lock_guard lock(g_mutex);
    for (const platform::typelib_info* p : g_loaded)
        if (p == ptlib)
            return S_OK;
    try {
        g_loaded.push_back(ptlib);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT RegisterTypeLib(const platform::typelib_info* ptlib, LPCSTR szFullPath,
                        LPCSTR szHelpDir)
{
    if (!ptlib || !szFullPath)
        return E_INVALIDARG;
    if (LoadTypeLib(ptlib) != S_OK)
        return E_OUTOFMEMORY;
    try {
        const std::string version =
            version_key(*ptlib->libid, ptlib->major_version, ptlib->minor_version);
        char szLcid[16];
        std::snprintf(szLcid, sizeof szLcid, "\\%lx", static_cast<unsigned long>(ptlib->lcid));
        bool ok = write_key(version, ptlib->help) && write_key(version + "\\FLAGS", "0") &&
                  write_key(version + szLcid + "\\" + kind_name(SYS_THIS_PROCESS), szFullPath);
        if (ok && szHelpDir)
            ok = write_key(version + "\\HELPDIR", szHelpDir);
        char szVersion[16];
        std::snprintf(szVersion, sizeof szVersion, "%u.%u",
                      static_cast<unsigned>(ptlib->major_version),
                      static_cast<unsigned>(ptlib->minor_version));
        const std::string libid = braced(*ptlib->libid);
        for (UINT i = 0; ok && i < ptlib->interface_count; ++i) {
            const platform::interface_info& itf = *ptlib->interfaces[i];
            const std::string key = "Interface\\" + braced(*itf.iid);
            ok = write_key(key, itf.name) &&
                 write_key(key + "\\TypeLib", libid.c_str(), "Version", szVersion);
        }
        return ok ? S_OK : TYPE_E_REGISTRYACCESS;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                          SYSKIND syskind)
{
    const platform::typelib_info* ptlib = nullptr;
    {
        std::lock_guard lock(g_mutex);
        for (const platform::typelib_info* p : g_loaded)
            if (*p->libid == libID && p->major_version == wVerMajor &&
                p->minor_version == wVerMinor && p->lcid == lcid)
                ptlib = p;
    }
    if (!ptlib || syskind != SYS_THIS_PROCESS)
        return TYPE_E_LIBNOTREGISTERED;
    try {
        const std::string version = version_key(libID, wVerMajor, wVerMinor);
        HKEY hKey = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, version.c_str(), 0, KEY_READ, &hKey) !=
            ERROR_SUCCESS)
            return TYPE_E_LIBNOTREGISTERED;
        RegCloseKey(hKey);
        bool ok = delete_key("TypeLib\\" + braced(libID));
        for (UINT i = 0; i < ptlib->interface_count; ++i)
            ok = delete_key("Interface\\" + braced(*ptlib->interfaces[i]->iid)) && ok;
        return ok ? S_OK : TYPE_E_REGISTRYACCESS;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}
