// tethra set: changes settings through the server, which asks the port's other clients
// first. The assignments are checked before any is made, and made in the order given;
// the first one that fails stops the rest.
#include "tools/tethra/tethra.h"

#include <string>

namespace {

const char kHelp[] =
    "Usage: tethra set COMn Property=Value...\n\n"
    "Changes the port's settings in the order given, e.g.\n"
    "  tethra set COM5 BaudRate=115200 Bits=8 ParityScheme=spoNoParity StopBits=spoOneStopBit\n"
    "Values as tethra get prints them: numbers (decimal or 0x hex), true or false,\n"
    "enumeration names, characters as 0x11 or 'A'. Every other program that has the port\n"
    "open is asked before each change and may refuse it; a refused change and those after\n"
    "it are not made, and the message names the refused property (exit code 5).\n";

}  // namespace

int SetMain(int argc, char** argv)
{
    using namespace tethra;
    if (WantsHelp(argc, argv, kHelp))
        return kExitOk;
    if (argc < 3) {
        Error("set", "which port and which settings? (tethra set COMn Property=Value...)");
        return kExitUsage;
    }
    const LONG number = ParsePortNumber(argv[1]);
    if (number == 0) {
        Error("set", "\"%s\" is not a port (COM1, COM2, ...)", argv[1]);
        return kExitUsage;
    }
    struct Change {
        const Property* property;
        VARIANT value;
        std::string text;
    };
    std::vector<Change> changes;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::size_t eq = arg.find('=');
        if (eq == std::string::npos || eq == 0) {
            Error("set", "\"%s\" is not Property=Value", argv[i]);
            return kExitUsage;
        }
        const std::string name = arg.substr(0, eq);
        const Property* p = FindProperty(name);
        if (!p) {
            Error("set", "no property \"%s\"", name.c_str());
            return kExitUsage;
        }
        if (!p->put) {
            Error("set", "%s is read-only", p->get->name);
            return kExitUsage;
        }
        Change change{p, {}, arg.substr(eq + 1)};
        std::string why;
        if (!ParseValue(*p, change.text, &change.value, &why)) {
            Error("set", "%s=%s: %s takes %s", p->get->name, change.text.c_str(), p->get->name,
                  why.c_str());
            return kExitUsage;
        }
        changes.push_back(change);
    }

    OpenPort port;
    if (const int exit = port.Open("set", number); exit != kExitOk)
        return exit;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const Change& c = changes[i];
        const HRESULT hr = PutProperty(port.port(), *c.property, c.value);
        if (SUCCEEDED(hr))
            continue;
        const std::string rest = i + 1 < changes.size()
                                     ? " (" + std::to_string(changes.size() - i - 1) +
                                           " later change(s) not made)"
                                     : "";
        if (hr == E_FAIL) {
            Error("set", "COM%d: %s=%s refused: another client of the port refused the change "
                         "or the device did not take it%s",
                  static_cast<int>(number), c.property->get->name, c.text.c_str(), rest.c_str());
            return kExitRefused;
        }
        if (hr == E_INVALIDARG) {
            Error("set", "COM%d: %s=%s refused: out of range for the port%s",
                  static_cast<int>(number), c.property->get->name, c.text.c_str(), rest.c_str());
            return kExitRefused;
        }
        Error("set", "COM%d: %s=%s failed (%s)%s", static_cast<int>(number),
              c.property->get->name, c.text.c_str(), HexCode(hr).c_str(), rest.c_str());
        return kExitFailed;
    }
    return kExitOk;
}
