// The tethra command: the pieces its subcommands share.
//
// Every subcommand is one file with one entry, int <Name>Main(int argc, char** argv)
// (argv[0] is the subcommand's name), and one line in the table of main.cpp. An entry
// answers --help itself, prints its errors on standard error as "tethra <name>: ..." and
// returns one of the exit codes below, which scripts may rely on.
#pragma once

#include "idl/tethra.h"
#include "platform/com/com.h"

#include <cstdio>
#include <string>
#include <vector>

namespace tethra {

// Exit codes, the same for every subcommand.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,         // anything not below: a failed device call, a store that cannot be written
    kExitUsage = 2,          // a wrong command line; nothing was done
    kExitMissing = 3,        // no device behind the COM number, or none at the path given
    kExitBusy = 4,           // the device is held by another program
    kExitRefused = 5,        // the server refused: a change another client refused, a bad value
    kExitNoServer = 6,       // the server is not registered, or the bus cannot start it
    kExitTaken = 7,          // map: the number or the device is mapped already
};

// The part of every --help text that lists the exit codes.
extern const char kExitCodesHelp[];

// Prints "tethra <command>: <message>\n" on standard error.
void Error(const char* command, const char* format, ...) __attribute__((format(printf, 2, 3)));

// True when argv holds --help or -h; prints help (and the exit codes) on standard output.
bool WantsHelp(int argc, char** argv, const char* help);

// Whether the strings are equal, case ignored, within their first n characters.
bool EqualsNoCase(const char* a, const char* b, std::size_t n = static_cast<std::size_t>(-1));

// "COM5", "com5" or "5" -> 5; 0 for anything else.
LONG ParsePortNumber(const char* text);

// The device the COM number stands for (the port map first, then the default rule); false
// for a number neither covers.
bool LookUpPort(LONG number, std::string* pPath);

// An open client port object on the server and the name it was opened by.
class OpenPort {
public:
    OpenPort() = default;
    ~OpenPort();
    OpenPort(const OpenPort&) = delete;
    OpenPort& operator=(const OpenPort&) = delete;

    // Reaches the server and creates a client object for the number. On failure the
    // reason is printed for command and the exit code returned: kExitNoServer,
    // kExitMissing, kExitBusy or kExitRefused.
    int Open(const char* command, LONG number);
    ISerialPort* port() const { return m_pPort; }
    ITethra* tethra() const { return m_pTethra; }
    void Close();

private:
    ITethra* m_pTethra = nullptr;
    ISerialPort* m_pPort = nullptr;
};

// Reaches the port registry on the server; kExitOk or kExitNoServer (printed).
int ConnectTethra(const char* command, ITethra** ppTethra);

// ---- settings by name, from the type information of ISerialPort ---------------------------
// A readable property: its getter, and its setter when it has one.
struct Property {
    const platform::member_info* get = nullptr;
    const platform::member_info* put = nullptr;
};
// Every readable property of ISerialPort in the type library's order.
const std::vector<Property>& Properties();
// By name, case ignored; null when there is none.
const Property* FindProperty(const std::string& name);
const Property* FindProperty(DISPID dispid);

// Reads a property through its getter; the HRESULT.
HRESULT GetProperty(ISerialPort* pPort, const Property& property, VARIANT* pValue);
// "115200", "true", "spoXonXoff", "0x11", "'A'", ... for the property's type; false with
// *pWhy for text the property cannot take.
bool ParseValue(const Property& property, const std::string& text, VARIANT* pValue,
                std::string* pWhy);
// The value as ParseValue reads it back: numbers in decimal, booleans as true/false,
// enumerations by name, characters in hex.
std::string FormatValue(const Property& property, const VARIANT& value);
// Calls the setter with a parsed value; the HRESULT.
HRESULT PutProperty(ISerialPort* pPort, const Property& property, const VARIANT& value);

// The name of a line event or error value (EventConstants, ErrorConstants), else the number.
std::string EnumName(const char* enumName, LONG value);

// Bytes for a screen or a log line: printable ASCII as it is, \r \n \t \\ \" and \xNN
// escapes for the rest; or, with hex, two hex digits per byte separated by spaces.
std::string Escape(const BYTE* pData, ULONG cb, bool hex);

// "0x80004005".
std::string HexCode(HRESULT hr);

}  // namespace tethra
