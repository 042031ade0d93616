#include "tools/tethra/tethra.h"

#include "platform/comm/comm.h"
#include "platform/comm/port_name.h"
#include "platform/rpc/client/client.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace tethra {

bool EqualsNoCase(const char* a, const char* b, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        if (ca != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
        if (ca == 0)
            return true;
    }
    return true;
}

const char kExitCodesHelp[] =
    "Exit codes:\n"
    "  0  done\n"
    "  1  failed (a device call failed, the registry store could not be written)\n"
    "  2  wrong command line; nothing was done\n"
    "  3  port missing: no device behind the COM number, or none at the path given\n"
    "  4  the device is held by another program\n"
    "  5  refused by the server: another client refused the change, or a bad value\n"
    "  6  the server is not registered (tethra-server -RegServer) or cannot be started\n"
    "  7  map: the number or the device is mapped already\n";

void Error(const char* command, const char* format, ...)
{
    std::fflush(stdout);
    std::fprintf(stderr, "tethra %s: ", command);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

bool WantsHelp(int argc, char** argv, const char* help)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(help, stdout);
            std::fputs("\n", stdout);
            std::fputs(kExitCodesHelp, stdout);
            return true;
        }
    }
    return false;
}

LONG ParsePortNumber(const char* text)
{
    if (!text)
        return 0;
    if (EqualsNoCase(text, "COM", 3))
        text += 3;
    if (*text < '1' || *text > '9')
        return 0;
    LONG n = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9' || n > 9999999)
            return 0;
        n = n * 10 + (*p - '0');
    }
    return n;
}

bool LookUpPort(LONG number, std::string* pPath)
{
    const std::string name = "COM" + std::to_string(number);
    return platform::resolve_port_name(name.c_str(), *pPath) == ERROR_SUCCESS;
}

std::string HexCode(HRESULT hr)
{
    char sz[16];
    std::snprintf(sz, sizeof sz, "0x%08X", static_cast<unsigned>(hr));
    return sz;
}

// ---- reaching the server --------------------------------------------------------------------

int ConnectTethra(const char* command, ITethra** ppTethra)
{
    *ppTethra = nullptr;
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID("Ostra.Tethra", &clsid);
    if (FAILED(hr)) {
        Error(command, "the server is not registered (run tethra-server -RegServer)");
        return kExitNoServer;
    }
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
                          reinterpret_cast<void**>(ppTethra));
    if (FAILED(hr)) {
        if (hr == REGDB_E_CLASSNOTREG)
            Error(command, "the server is not registered with the bus (run tethra-server "
                           "-RegServer; %s)", HexCode(hr).c_str());
        else
            Error(command, "cannot reach the server (%s)", HexCode(hr).c_str());
        return kExitNoServer;
    }
    return kExitOk;
}

OpenPort::~OpenPort() { Close(); }

void OpenPort::Close()
{
    if (m_pPort)
        m_pPort->Release();
    if (m_pTethra)
        m_pTethra->Release();
    m_pPort = nullptr;
    m_pTethra = nullptr;
}

int OpenPort::Open(const char* command, LONG number)
{
    const int exit = ConnectTethra(command, &m_pTethra);
    if (exit != kExitOk)
        return exit;
    const HRESULT hr = m_pTethra->CreatePort(number, &m_pPort);
    if (SUCCEEDED(hr) && m_pPort)
        return kExitOk;
    // The server says only that the port could not be opened; find out why from here.
    std::string path;
    if (!LookUpPort(number, &path)) {
        Error(command, "COM%d: no such port (it is not in the port map and the default "
                       "rule covers COM1 to COM96)", static_cast<int>(number));
        return kExitMissing;
    }
    if (!platform::device_exists(path)) {
        Error(command, "COM%d: no device at %s", static_cast<int>(number), path.c_str());
        return kExitMissing;
    }
    HANDLE hDevice = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (hDevice == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        Error(command, "COM%d: %s is held by another program", static_cast<int>(number),
              path.c_str());
        return kExitBusy;
    }
    if (hDevice != INVALID_HANDLE_VALUE)
        CloseHandle(hDevice);
    Error(command, "COM%d: the server could not open %s (%s)", static_cast<int>(number),
          path.c_str(), HexCode(hr).c_str());
    return kExitRefused;
}

// ---- properties -----------------------------------------------------------------------------

const std::vector<Property>& Properties()
{
    static const std::vector<Property> s_properties = [] {
        std::vector<Property> list;
        const platform::interface_info& itf = platform::type_info_of<ISerialPort>();
        for (UINT i = 0; i < itf.member_count; ++i) {
            const platform::member_info& m = itf.members[i];
            if (m.kind != INVOKE_PROPERTYGET)
                continue;
            Property p;
            p.get = &m;
            p.put = platform::find_member(itf, m.dispid, INVOKE_PROPERTYPUT);
            list.push_back(p);
        }
        return list;
    }();
    return s_properties;
}

const Property* FindProperty(const std::string& name)
{
    for (const Property& p : Properties())
        if (EqualsNoCase(p.get->name, name.c_str()))
            return &p;
    return nullptr;
}

const Property* FindProperty(DISPID dispid)
{
    for (const Property& p : Properties())
        if (p.get->dispid == dispid)
            return &p;
    return nullptr;
}

namespace {

// The enumeration a parameter's C++ type names ("HandShakingConstants*"), or null.
const platform::enum_info* EnumOf(const platform::param_info& param)
{
    std::string type = param.type;
    if (!type.empty() && type.back() == '*')
        type.pop_back();
    const platform::typelib_info& lib = TethraTypeLib();
    for (UINT i = 0; i < lib.enum_count; ++i)
        if (type == lib.enums[i].name)
            return &lib.enums[i];
    return nullptr;
}

const platform::enum_info* EnumByName(const char* name)
{
    const platform::typelib_info& lib = TethraTypeLib();
    for (UINT i = 0; i < lib.enum_count; ++i)
        if (std::strcmp(lib.enums[i].name, name) == 0)
            return &lib.enums[i];
    return nullptr;
}

// A whole number in decimal or 0x hex within [lo, hi].
bool ParseNumber(const std::string& text, long long lo, long long hi, long long* pValue)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != 0 || v < lo || v > hi)
        return false;
    *pValue = v;
    return true;
}

}  // namespace

std::string EnumName(const char* enumName, LONG value)
{
    if (const platform::enum_info* e = EnumByName(enumName))
        for (UINT i = 0; i < e->value_count; ++i)
            if (e->values[i].value == value)
                return e->values[i].name;
    return std::to_string(value);
}

HRESULT GetProperty(ISerialPort* pPort, const Property& property, VARIANT* pValue)
{
    VariantInit(pValue);
    const VARTYPE vt = property.get->params[0].vt;
    VARIANT value;
    VariantInit(&value);
    VARIANTARG arg;
    VariantInit(&arg);
    arg.vt = static_cast<VARTYPE>(vt | VT_BYREF);
    arg.byref = &value.lVal;  // every field of the union starts at the same place
    const HRESULT hr = property.get->invoke(static_cast<ISerialPort*>(pPort), &arg);
    if (SUCCEEDED(hr)) {
        value.vt = vt;
        *pValue = value;
    }
    return hr;
}

HRESULT PutProperty(ISerialPort* pPort, const Property& property, const VARIANT& value)
{
    VARIANTARG arg = value;
    return property.put->invoke(static_cast<ISerialPort*>(pPort), &arg);
}

bool ParseValue(const Property& property, const std::string& text, VARIANT* pValue,
                std::string* pWhy)
{
    const platform::member_info* member = property.put ? property.put : property.get;
    const platform::param_info& param = member->params[0];
    VariantInit(pValue);
    pValue->vt = param.vt;
    long long v = 0;
    switch (param.vt) {
    case VT_BOOL:
        if (EqualsNoCase(text.c_str(), "true") || EqualsNoCase(text.c_str(), "on") ||
            text == "1")
            pValue->boolVal = VARIANT_TRUE;
        else if (EqualsNoCase(text.c_str(), "false") ||
                 EqualsNoCase(text.c_str(), "off") || text == "0")
            pValue->boolVal = VARIANT_FALSE;
        else {
            *pWhy = "true or false";
            return false;
        }
        return true;
    case VT_I4:
        if (const platform::enum_info* e = EnumOf(param)) {
            for (UINT i = 0; i < e->value_count; ++i)
                if (EqualsNoCase(e->values[i].name, text.c_str())) {
                    pValue->lVal = e->values[i].value;
                    return true;
                }
            *pWhy = "one of";
            for (UINT i = 0; i < e->value_count; ++i)
                *pWhy += std::string(i ? ", " : " ") + e->values[i].name;
            return false;
        }
        if (!ParseNumber(text, INT32_MIN, INT32_MAX, &v)) {
            *pWhy = "a whole number";
            return false;
        }
        pValue->lVal = static_cast<LONG>(v);
        return true;
    case VT_UI4:
        if (!ParseNumber(text, 0, UINT32_MAX, &v)) {
            *pWhy = "a whole number from 0 to 4294967295";
            return false;
        }
        pValue->ulVal = static_cast<ULONG>(v);
        return true;
    case VT_I2:
        if (!ParseNumber(text, INT16_MIN, INT16_MAX, &v)) {
            *pWhy = "a whole number from -32768 to 32767";
            return false;
        }
        pValue->iVal = static_cast<SHORT>(v);
        return true;
    case VT_UI1:
        if (!ParseNumber(text, 0, 255, &v)) {
            *pWhy = "a whole number from 0 to 255";
            return false;
        }
        pValue->bVal = static_cast<BYTE>(v);
        return true;
    case VT_I1:
        if (text.size() == 3 && text.front() == '\'' && text.back() == '\'') {
            pValue->cVal = text[1];
            return true;
        }
        if (!ParseNumber(text, -128, 255, &v)) {
            *pWhy = "a character code from 0 to 255 (0x11) or a quoted character ('A')";
            return false;
        }
        pValue->cVal = static_cast<CHAR>(v);
        return true;
    default:
        *pWhy = "a value of a type this command does not know";
        return false;
    }
}

std::string FormatValue(const Property& property, const VARIANT& value)
{
    const platform::param_info& param = property.get->params[0];
    char sz[32];
    switch (value.vt) {
    case VT_BOOL:
        return value.boolVal ? "true" : "false";
    case VT_I4:
        if (const platform::enum_info* e = EnumOf(param))
            return EnumName(e->name, value.lVal);
        return std::to_string(value.lVal);
    case VT_UI4:
        return std::to_string(value.ulVal);
    case VT_I2:
        return std::to_string(value.iVal);
    case VT_UI1:
        return std::to_string(value.bVal);
    case VT_I1:
        std::snprintf(sz, sizeof sz, "0x%02X", static_cast<unsigned>(static_cast<BYTE>(value.cVal)));
        return sz;
    default:
        return "?";
    }
}

std::string Escape(const BYTE* pData, ULONG cb, bool hex)
{
    std::string out;
    char sz[8];
    for (ULONG i = 0; i < cb; ++i) {
        const BYTE c = pData[i];
        if (hex) {
            std::snprintf(sz, sizeof sz, i ? " %02x" : "%02x", c);
            out += sz;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(sz, sizeof sz, "\\x%02x", c);
            out += sz;
        }
    }
    return out;
}

}  // namespace tethra
