// The server's command line.
//
// The whole line is scanned for "-" and "/". At each one, the rest of the line after it
// is compared, ignoring case, with "UnregServer", "RegServer" and "Debug"; a switch is
// recognised only when nothing follows it on the line. Scanning goes on from the
// character after the "-" or "/". So "-RegServer -Debug" runs the server with the debug
// window (the rest after the first "-" matches nothing), while "-Debug -RegServer"
// registers. Any other text (the "-Embedding" of bus activation) is ignored.
#pragma once

#include "platform/base/types.h"

enum class ServerAction { Run, RegServer, UnregServer };

// The first registration switch found ends the scan; "Debug" sets *pbDebug and scanning
// goes on.
ServerAction ScanCommandLine(LPCSTR lpCmdLine, BOOL* pbDebug);
