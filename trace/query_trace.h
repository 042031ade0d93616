// The interface-query trace: one line on the debugger output for every QueryInterface on
// the server's objects, independent of the trace filter and of the debug window.
#pragma once

#include "platform/com/guid.h"
#include "platform/com/hresult.h"

// Writes, in pieces with OutputDebugStringA:
//   the class name, " - ",
//   the interface's name: the default value (at most 100 bytes) of
//     HKEY_CLASSES_ROOT\Interface\{iid}; when that key does not exist, "(CLSID???) "
//     and the default value of HKEY_CLASSES_ROOT\CLSID\{iid}; when neither exists, the
//     braced identifier itself. A key whose default value is missing or longer than 100
//     bytes contributes no name;
//   " - failed" when hr is a failure; "\n".
// Returns hr unchanged, so a QueryInterface can end with
//   return TraceQueryInterface("CTethra", riid, hr);
HRESULT TraceQueryInterface(const char* pszClassName, REFIID riid, HRESULT hr);
