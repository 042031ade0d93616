// tethra map: gives a device a COM number in the port map. The device must be there, and
// neither the number nor the device may be in the map already (unmap first): a mapping
// is never replaced behind a user's back. The path is stored as given, so a
// /dev/serial/by-id name keeps following its device from one plug-in to the next.
#include "tools/tethra/portmap.h"
#include "tools/tethra/tethra.h"

#include "platform/comm/port_name.h"
#include "platform/registry/registry.h"

namespace {

const char kHelp[] =
    "Usage: tethra map COMn DEVICE\n\n"
    "Gives DEVICE (an absolute path such as /dev/serial/by-id/usb-...-if00-port0 or\n"
    "/dev/ttyUSB0) the number COMn in the port map, so that every program reaches it as\n"
    "COMn. A stable /dev/serial/by-id name is best: it follows the device when it is\n"
    "plugged in again. Refused when DEVICE is not there (exit code 3) or when COMn or\n"
    "DEVICE is mapped already (exit code 7; tethra unmap first). The map is read when a\n"
    "port is opened, so a port already open keeps its device until its programs close it.\n";

}  // namespace

int MapMain(int argc, char** argv)
{
    using namespace tethra;
    if (WantsHelp(argc, argv, kHelp))
        return kExitOk;
    if (argc != 3) {
        Error("map", "tethra map COMn DEVICE");
        return kExitUsage;
    }
    const LONG number = ParsePortNumber(argv[1]);
    if (number == 0) {
        Error("map", "\"%s\" is not a port (COM1, COM2, ...)", argv[1]);
        return kExitUsage;
    }
    const std::string path = argv[2];
    if (path.empty() || path[0] != '/') {
        Error("map", "\"%s\" is not an absolute device path", argv[2]);
        return kExitUsage;
    }
    if (!platform::device_exists(path)) {
        Error("map", "%s: no such device", path.c_str());
        return kExitMissing;
    }
    std::vector<PortMapEntry> entries;
    LONG lError = ERROR_SUCCESS;
    if (!ReadPortMap(&entries, &lError)) {
        Error("map", "cannot read the port map (error %d)", static_cast<int>(lError));
        return kExitFailed;
    }
    for (const PortMapEntry& e : entries) {
        if (e.number == number) {
            Error("map", "COM%d is mapped already, to %s (tethra unmap COM%d first)",
                  static_cast<int>(number), e.path.c_str(), static_cast<int>(number));
            return kExitTaken;
        }
        if (e.path == path) {
            Error("map", "%s is mapped already, as COM%d (tethra unmap COM%d first)",
                  path.c_str(), static_cast<int>(e.number), static_cast<int>(e.number));
            return kExitTaken;
        }
    }
    HKEY hKey = nullptr;
    LONG lResult = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                   nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                   &hKey, nullptr);
    if (lResult == ERROR_SUCCESS) {
        const std::string data = "COM" + std::to_string(number);
        lResult = RegSetValueExA(hKey, path.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(data.c_str()),
                                 static_cast<DWORD>(data.size() + 1));
        RegCloseKey(hKey);
    }
    if (lResult != ERROR_SUCCESS) {
        Error("map", "cannot write the port map (error %d%s)", static_cast<int>(lResult),
              lResult == ERROR_ACCESS_DENIED ? ": not allowed to write the registry store" : "");
        return kExitFailed;
    }
    std::printf("COM%d -> %s\n", static_cast<int>(number), path.c_str());
    return kExitOk;
}
