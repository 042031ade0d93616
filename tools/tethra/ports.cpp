// tethra ports: every COM number, from the port map and from the default rule, whose
// device is there now, one line each:
//
//   COM5   /dev/pts/3   -   open, 2 clients
//   COM33  /dev/ttyUSB0   /dev/serial/by-id/usb-...-if00-port0   closed
//
// (tab-separated: number, device path, by-id name or "-", state). A number in the map
// hides its default device. The state comes from the server, which the bus starts when it
// is not running; without a server the list is printed with the state "unknown" and the
// command ends with exit code 6.
#include "tools/tethra/portmap.h"
#include "tools/tethra/tethra.h"

#include "platform/comm/port_name.h"

#include <algorithm>
#include <map>

namespace {

const char kHelp[] =
    "Usage: tethra ports\n\n"
    "Lists every COM number whose device is there now, from the port map (tethra map)\n"
    "and from the default rule (COM1..COM32 /dev/ttyS0..31, COM33..COM64\n"
    "/dev/ttyUSB0..31, COM65..COM96 /dev/ttyACM0..31), one tab-separated line each:\n"
    "  COMn  device path  /dev/serial/by-id name or -  state\n"
    "The state is \"open, N clients\" when the server has the port open and N programs'\n"
    "port objects share it, else \"closed\" (\"unknown\" without a server, exit code 6).\n";

}  // namespace

int PortsMain(int argc, char** argv)
{
    using namespace tethra;
    if (WantsHelp(argc, argv, kHelp))
        return kExitOk;
    if (argc != 1) {
        Error("ports", "unexpected \"%s\" (tethra ports takes no arguments)", argv[1]);
        return kExitUsage;
    }
    std::vector<PortMapEntry> entries;
    LONG lError = ERROR_SUCCESS;
    if (!ReadPortMap(&entries, &lError)) {
        Error("ports", "cannot read the port map (error %d)", static_cast<int>(lError));
        return kExitFailed;
    }
    // Number -> device: the default rule first, then the map over it.
    std::map<LONG, std::string> ports;
    static const char* const kFamilies[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
    for (LONG n = 1; n <= 96; ++n)
        ports[n] = kFamilies[(n - 1) / 32] + std::to_string((n - 1) % 32);
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
        ports[it->number] = it->path;  // the first entry of a number wins, as when opened

    ITethra* pTethra = nullptr;
    const int connected = ConnectTethra("ports", &pTethra);
    for (const auto& [number, path] : ports) {
        if (!platform::device_exists(path))
            continue;
        const std::string byId = platform::serial_by_id_name(path);
        std::string state = "unknown";
        if (pTethra) {
            LONG clients = 0;
            const HRESULT hr = pTethra->PortClients(number, &clients);
            if (FAILED(hr))
                state = "unknown (" + HexCode(hr) + ")";
            else if (clients == 0)
                state = "closed";
            else
                state = "open, " + std::to_string(clients) + (clients == 1 ? " client" : " clients");
        }
        std::printf("COM%d\t%s\t%s\t%s\n", static_cast<int>(number), path.c_str(),
                    byId.empty() ? "-" : byId.c_str(), state.c_str());
    }
    if (pTethra)
        pTethra->Release();
    return connected;
}
