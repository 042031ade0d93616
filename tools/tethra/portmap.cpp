#include "tools/tethra/portmap.h"

#include "platform/registry/registry.h"
#include "tools/tethra/tethra.h"

namespace tethra {

bool ReadPortMap(std::vector<PortMapEntry>* pEntries, LONG* pError)
{
    pEntries->clear();
    HKEY hKey = nullptr;
    LONG lResult = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                 KEY_READ, &hKey);
    if (lResult == ERROR_FILE_NOT_FOUND)
        return true;
    if (lResult != ERROR_SUCCESS) {
        *pError = lResult;
        return false;
    }
    for (DWORD dwIndex = 0;; ++dwIndex) {
        char szName[4096];
        DWORD cchName = sizeof szName;
        char szData[64] = {};
        DWORD cbData = sizeof szData - 1;
        DWORD dwType = 0;
        lResult = RegEnumValueA(hKey, dwIndex, szName, &cchName, nullptr, &dwType,
                                reinterpret_cast<BYTE*>(szData), &cbData);
        if (lResult == ERROR_NO_MORE_ITEMS)
            break;
        if (lResult != ERROR_SUCCESS || dwType != REG_SZ)
            continue;
        if (const LONG number = ParsePortNumber(szData))
            pEntries->push_back({std::string(szName, cchName), number});
    }
    RegCloseKey(hKey);
    return true;
}

}  // namespace tethra
