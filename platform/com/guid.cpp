#include "platform/com/guid.h"

#include <cstdio>

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits from s; false on any other character.
bool read_hex(const char*& s, int digits, unsigned long long& value)
{
    value = 0;
    for (int i = 0; i < digits; ++i) {
        const int d = hex_digit(s[i]);
        if (d < 0)
            return false;
        value = value * 16 + static_cast<unsigned>(d);
    }
    s += digits;
    return true;
}

bool parse_braced(LPCOLESTR psz, GUID& guid)
{
    const char* s = psz;
    unsigned long long v = 0;
    if (*s++ != '{')
        return false;
    if (!read_hex(s, 8, v) || *s++ != '-')
        return false;
    guid.Data1 = static_cast<DWORD>(v);
    if (!read_hex(s, 4, v) || *s++ != '-')
        return false;
    guid.Data2 = static_cast<WORD>(v);
    if (!read_hex(s, 4, v) || *s++ != '-')
        return false;
    guid.Data3 = static_cast<WORD>(v);
    for (int i = 0; i < 8; ++i) {
        if (i == 2 && *s++ != '-')
            return false;
        if (!read_hex(s, 2, v))
            return false;
        guid.Data4[i] = static_cast<BYTE>(v);
    }
    return *s++ == '}' && *s == '\0';
}

}  // namespace

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax)
{
    if (!lpsz || cchMax < GUID_STRING_CHARS)
        return 0;
    std::snprintf(lpsz, GUID_STRING_CHARS,
                  "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(rguid.Data1), rguid.Data2, rguid.Data3, rguid.Data4[0],
                  rguid.Data4[1], rguid.Data4[2], rguid.Data4[3], rguid.Data4[4],
                  rguid.Data4[5], rguid.Data4[6], rguid.Data4[7]);
    return GUID_STRING_CHARS;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid)
{
    if (!lpsz || !pclsid)
        return E_INVALIDARG;
    GUID guid{};
    if (!parse_braced(lpsz, guid)) {
        *pclsid = GUID_NULL;
        return CO_E_CLASSSTRING;
    }
    *pclsid = guid;
    return NOERROR;
}

HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid)
{
    if (!lpsz || !lpiid)
        return E_INVALIDARG;
    GUID guid{};
    if (!parse_braced(lpsz, guid)) {
        *lpiid = GUID_NULL;
        return E_INVALIDARG;
    }
    *lpiid = guid;
    return S_OK;
}
