// Bus activation: the files that let the message bus start the server on a client's
// first call to "Ostra.Tethra".
//
// Session bus (always): $XDG_DATA_HOME/dbus-1/services/Ostra.Tethra.service, with
// $HOME/.local/share in place of an unset or relative XDG_DATA_HOME, holding
//     [D-BUS Service]
//     Name=Ostra.Tethra
//     Exec=<absolute path of the server> -Embedding
// The activated server inherits the bus daemon's environment (its registry store
// included).
//
// Machine-wide (also): when the process runs as root and TETHRA_REGISTRY_FILE is unset,
// the registration goes to the machine-wide registry store, and the system bus gets
//     /usr/share/dbus-1/system-services/Ostra.Tethra.service  (the same, with User=root:
//         the server runs as root, so that it may open every serial device)
//     /usr/share/dbus-1/system.d/Ostra.Tethra.conf  (the policy: root may own the name;
//         root and the members of the group dialout, who may open serial devices anyway,
//         may call the server's interfaces; the server may call the clients' sinks)
// The system bus rereads its policy by itself; the service file is read on the next
// activation. The server started there connects to the system bus (DBUS_STARTER_ADDRESS);
// its clients use the system bus too (python3-dbus, busctl --system): the C++ client
// library speaks to the session bus only.
#pragma once

#include "platform/base/types.h"
#include "platform/com/hresult.h"

#include <string>

namespace platform::rpc {

// Writes the activation files for the server at szServerPath (absolute). S_OK; E_INVALIDARG
// for a relative path; E_FAIL when a file cannot be written (a message on standard error
// names it; files written before stay).
HRESULT register_activation(const char* szServerPath);
// Removes the files register_activation writes in this environment; a missing file is no
// error. S_OK or E_FAIL.
HRESULT unregister_activation();
// The session bus's activation file for this environment (empty when no home is known).
std::string session_service_file();

}  // namespace platform::rpc
