// The executable's own file.
#pragma once

#include "platform/base/types.h"

using HMODULE = void*;
using HINSTANCE = HMODULE;

// The absolute path of the running executable (hModule must be null: there are no
// loadable modules here), with symbolic links resolved. Returns its length without the
// terminator; when it does not fit, the path is cut to nSize - 1 characters, terminated,
// and the result is nSize with ERROR_INSUFFICIENT_BUFFER. 0 on failure (GetLastError).
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
