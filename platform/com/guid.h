// GUIDs (interface, class and library identifiers) and their braced string form.
//
// OLECHAR, the character of every object-model string (BSTR, the names given to
// GetIDsOfNames, the string form of a GUID), is a narrow char holding UTF-8 on Linux, so
// that strings pass to D-Bus, the registry store and the trace without conversion. Code
// written for a 16-bit OLECHAR that uses L"" literals does not compile here; the system
// writes plain "" literals.
#pragma once

#include "platform/base/types.h"
#include "platform/com/hresult.h"

using OLECHAR = char;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPGUID = GUID*;
using LPIID = IID*;
using LPCLSID = CLSID*;

constexpr bool IsEqualGUID(REFGUID a, REFGUID b)
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return true;
}
constexpr bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }
constexpr bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return IsEqualGUID(a, b); }
constexpr bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }

// A total order, so GUIDs can key ordered maps (compares the fields in turn).
constexpr bool operator<(REFGUID a, REFGUID b)
{
    if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
    if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
    if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return a.Data4[i] < b.Data4[i];
    return false;
}

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_NULL = GUID_NULL;
inline constexpr CLSID CLSID_NULL = GUID_NULL;

// Characters of the braced form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with its NUL.
#define GUID_STRING_CHARS 39

// Writes the braced, upper-case form. Returns the characters written including the NUL
// (39), or 0 when lpsz is null or cchMax is below 39.
int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);

// Parse the braced form (either case). The platform keeps no ProgID table here, so only
// the braced form is accepted. CLSIDFromString: NOERROR, CO_E_CLASSSTRING for a malformed
// string, E_INVALIDARG for a null pointer. IIDFromString: S_OK, E_INVALIDARG for a
// malformed string or a null pointer. On failure the GUID is set to GUID_NULL when the
// out-pointer is valid.
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid);
