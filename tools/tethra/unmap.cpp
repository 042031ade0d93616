// tethra unmap: takes a COM number out of the port map; the number falls back to the
// default rule (COM1..32 /dev/ttyS*, COM33..64 /dev/ttyUSB*, COM65..96 /dev/ttyACM*).
#include "tools/tethra/portmap.h"
#include "tools/tethra/tethra.h"

#include "platform/registry/registry.h"

namespace {

const char kHelp[] =
    "Usage: tethra unmap COMn\n\n"
    "Takes COMn out of the port map. The number then stands for its default device again\n"
    "(COM1..COM32 /dev/ttyS0..31, COM33..COM64 /dev/ttyUSB0..31, COM65..COM96\n"
    "/dev/ttyACM0..31). Exit code 3 when COMn is not in the map.\n";

}  // namespace

int UnmapMain(int argc, char** argv)
{
    using namespace tethra;
    if (WantsHelp(argc, argv, kHelp))
        return kExitOk;
    if (argc != 2) {
        Error("unmap", "tethra unmap COMn");
        return kExitUsage;
    }
    const LONG number = ParsePortNumber(argv[1]);
    if (number == 0) {
        Error("unmap", "\"%s\" is not a port (COM1, COM2, ...)", argv[1]);
        return kExitUsage;
    }
    std::vector<PortMapEntry> entries;
    LONG lError = ERROR_SUCCESS;
    if (!ReadPortMap(&entries, &lError)) {
        Error("unmap", "cannot read the port map (error %d)", static_cast<int>(lError));
        return kExitFailed;
    }
    HKEY hKey = nullptr;
    bool bFound = false;
    LONG lResult = ERROR_SUCCESS;
    for (const PortMapEntry& e : entries) {
        if (e.number != number)
            continue;
        if (!hKey)
            lResult = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                    KEY_ALL_ACCESS, &hKey);
        if (lResult == ERROR_SUCCESS)
            lResult = RegDeleteValueA(hKey, e.path.c_str());
        if (lResult != ERROR_SUCCESS)
            break;
        bFound = true;
        std::printf("COM%d -/-> %s\n", static_cast<int>(number), e.path.c_str());
    }
    if (hKey)
        RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS) {
        Error("unmap", "cannot write the port map (error %d)", static_cast<int>(lResult));
        return kExitFailed;
    }
    if (!bFound) {
        Error("unmap", "COM%d is not in the port map", static_cast<int>(number));
        return kExitMissing;
    }
    return kExitOk;
}
