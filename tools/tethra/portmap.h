// The port map in the registry store: HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM,
// one value per device, named by the device's path, holding "COM<n>".
#pragma once

#include "platform/base/types.h"

#include <string>
#include <vector>

namespace tethra {

struct PortMapEntry {
    std::string path;
    LONG number;
};

// Every entry whose data is a COM number, in the store's order; false with *pError when
// the map cannot be read (a missing map is an empty one).
bool ReadPortMap(std::vector<PortMapEntry>* pEntries, LONG* pError);

}  // namespace tethra
