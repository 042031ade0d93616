// Registration of the server: the application identity, the classes of the class table,
// the type library and the bus activation files.
//
// %MODULE% is the executable's absolute path (there is no short form of a path here),
// with its single quotes doubled so that it stands as one quoted string in the scripts.
// AppID\Tethra.EXE keeps the executable's name as the scripts have always written it.
#include "server/Module.h"
#include "server/Registration.h"

#include "idl/tethra.h"
#include "platform/base/module.h"
#include "platform/com/typelib_registry.h"
#include "platform/rpc/activation.h"
#include "server/Registrar.h"

#include <string>

namespace {

// Script 100: the application identity, run before the class scripts.
const char kAppIdScript[] = R"(HKCR
{
    NoRemove AppID
    {
        '%APPID%' = s 'TethraLibrary'
        'Tethra.EXE'
        {
            val AppID = s '%APPID%'
        }
    }
}
)";

// Script 102: the Tethra class.
const char kTethraScript[] = R"(HKCR
{
    Ostra.Tethra.1 = s 'Tethra Object'
    {
        CLSID = s '%CLSID%'
    }
    Ostra.Tethra = s 'Tethra Object'
    {
        CLSID = s '%CLSID%'
        CurVer = s 'Ostra.Tethra.1'
    }
    NoRemove CLSID
    {
        ForceRemove '%CLSID%' = s 'Tethra Object'
        {
            ProgID = s 'Ostra.Tethra.1'
            VersionIndependentProgID = s 'Ostra.Tethra'
            ForceRemove 'Programmable'
            LocalServer32 = s '%MODULE%'
            val AppID = s '%APPID%'
            'TypeLib' = s '%LIBID%'
        }
    }
}
)";

std::string Braced(REFGUID guid)
{
    char sz[GUID_STRING_CHARS];
    StringFromGUID2(guid, sz, GUID_STRING_CHARS);
    return sz;
}

std::string ModulePath()
{
    char szPath[4096];
    const DWORD dwLength = GetModuleFileNameA(nullptr, szPath, sizeof szPath);
    return dwLength > 0 && dwLength < sizeof szPath ? std::string(szPath, dwLength) : std::string();
}

HRESULT RunScript(const char* szScript, BOOL bRegister)
{
    try {
        const RegistrarReplacements replacements = {
            {"MODULE", DoubleQuotes(ModulePath())},
            {"APPID", Braced(APPID_Tethra)},
            {"CLSID", Braced(CLSID_Tethra)},
            {"LIBID", Braced(LIBID_TETHRALIBRARYLib)},
        };
        return UpdateRegistryFromScript(szScript, replacements, bRegister);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

HRESULT UpdateTethraRegistry(BOOL bRegister)
{
    return RunScript(kTethraScript, bRegister);
}

HRESULT CServerModule::RegisterServer(BOOL bRegTypeLib)
{
    RunScript(kAppIdScript, TRUE);  // its result does not stop the class entries
    for (_ServerClassEntry* pEntry = m_pClassTable; pEntry && pEntry->pclsid; ++pEntry) {
        if (!pEntry->pfnUpdateRegistry)
            continue;
        const HRESULT hr = pEntry->pfnUpdateRegistry(TRUE);
        if (FAILED(hr))
            return hr;
    }
    const std::string strPath = ModulePath();
    if (strPath.empty())
        return E_UNEXPECTED;
    if (bRegTypeLib) {
        // The library is the executable's own tables, so loading it from the executable
        // cannot fail and no ".tlb" file is looked for.
        const std::string strDir = strPath.substr(0, strPath.rfind('/') + 1);
        const HRESULT hr = RegisterTypeLib(&TethraTypeLib(), strPath.c_str(), strDir.c_str());
        if (FAILED(hr))
            return hr;
    }
    return platform::rpc::register_activation(strPath.c_str());
}

HRESULT CServerModule::UnregisterServer()
{
    RunScript(kAppIdScript, FALSE);
    HRESULT hrResult = S_OK;
    for (_ServerClassEntry* pEntry = m_pClassTable; pEntry && pEntry->pclsid; ++pEntry) {
        if (!pEntry->pfnUpdateRegistry)
            continue;
        const HRESULT hr = pEntry->pfnUpdateRegistry(FALSE);
        if (FAILED(hr))
            hrResult = hr;
    }
    const platform::typelib_info& lib = TethraTypeLib();
    LoadTypeLib(&lib);
    const HRESULT hrTypeLib = UnRegisterTypeLib(*lib.libid, lib.major_version, lib.minor_version,
                                                lib.lcid, SYS_THIS_PROCESS);
    // A library that was never registered is no failure of the unregistration.
    if (FAILED(hrTypeLib) && hrTypeLib != TYPE_E_LIBNOTREGISTERED)
        hrResult = hrTypeLib;
    const HRESULT hrBus = platform::rpc::unregister_activation();
    return FAILED(hrResult) ? hrResult : hrBus;
}
