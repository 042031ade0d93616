// tethra get: a port's settings, one "Name=Value" line each, in the form set takes.
#include "tools/tethra/tethra.h"

#include <cstring>

namespace {

const char kHelp[] =
    "Usage: tethra get COMn [Property...]\n\n"
    "Prints the port's settings as Name=Value lines, every readable property or the ones\n"
    "named (case ignored), in the form tethra set takes back. Opening the port through the\n"
    "server shares it: programs that have it open go on undisturbed.\n";

}  // namespace

int GetMain(int argc, char** argv)
{
    using namespace tethra;
    if (WantsHelp(argc, argv, kHelp))
        return kExitOk;
    if (argc < 2) {
        Error("get", "which port? (tethra get COMn [Property...])");
        return kExitUsage;
    }
    const LONG number = ParsePortNumber(argv[1]);
    if (number == 0) {
        Error("get", "\"%s\" is not a port (COM1, COM2, ...)", argv[1]);
        return kExitUsage;
    }
    std::vector<const Property*> wanted;
    for (int i = 2; i < argc; ++i) {
        const Property* p = FindProperty(argv[i]);
        if (!p) {
            Error("get", "no property \"%s\"", argv[i]);
            return kExitUsage;
        }
        wanted.push_back(p);
    }
    if (wanted.empty())
        for (const Property& p : Properties())
            wanted.push_back(&p);

    OpenPort port;
    if (const int exit = port.Open("get", number); exit != kExitOk)
        return exit;
    int exit = kExitOk;
    for (const Property* p : wanted) {
        VARIANT value;
        const HRESULT hr = GetProperty(port.port(), *p, &value);
        if (FAILED(hr)) {
            Error("get", "COM%d: %s cannot be read (%s)", static_cast<int>(number), p->get->name,
                  HexCode(hr).c_str());
            exit = kExitFailed;
            continue;
        }
        std::printf("%s=%s\n", p->get->name, FormatValue(*p, value).c_str());
    }
    return exit;
}
