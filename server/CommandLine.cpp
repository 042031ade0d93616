#include "server/CommandLine.h"

#include <cctype>

namespace {

// Case-insensitive equality of two whole strings (ASCII).
bool EqualsIgnoringCase(LPCSTR psz, LPCSTR pszSwitch)
{
    for (; *psz && *pszSwitch; ++psz, ++pszSwitch)
        if (std::tolower(static_cast<unsigned char>(*psz)) !=
            std::tolower(static_cast<unsigned char>(*pszSwitch)))
            return false;
    return *psz == *pszSwitch;
}

}  // namespace

ServerAction ScanCommandLine(LPCSTR lpCmdLine, BOOL* pbDebug)
{
    for (LPCSTR p = lpCmdLine; p && *p; ++p) {
        if (*p != '-' && *p != '/')
            continue;
        if (EqualsIgnoringCase(p + 1, "UnregServer"))
            return ServerAction::UnregServer;
        if (EqualsIgnoringCase(p + 1, "RegServer"))
            return ServerAction::RegServer;
        if (EqualsIgnoringCase(p + 1, "Debug"))
            *pbDebug = TRUE;
    }
    return ServerAction::Run;
}
