// The object runtime's per-thread state and the debugger output.
//
// CoInitializeEx keeps, per thread, the concurrency model and a count of successful
// calls; no apartment machinery stands behind it (every object here is free-threaded and
// calls between processes go through platform/rpc). What it gives is the documented
// result sequence: S_OK for the first call on a thread, S_FALSE for each further call
// with the same model, RPC_E_CHANGED_MODE for a call with the other model (not counted).
// Each successful call must be balanced by one CoUninitialize.
#pragma once

#include "platform/base/types.h"
#include "platform/com/hresult.h"

#define COINIT_MULTITHREADED 0x0U
#define COINIT_APARTMENTTHREADED 0x2U
#define COINIT_DISABLE_OLE1DDE 0x4U
#define COINIT_SPEED_OVER_MEMORY 0x8U

// pvReserved must be null (E_INVALIDARG otherwise). Only the model bit of dwCoInit
// matters; the other two flags are accepted and ignored.
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
// Undoes one successful CoInitializeEx of the calling thread; does nothing on a thread
// that is not initialised.
void CoUninitialize();

// Writes the string to standard error as it stands (no newline is added), in one write
// so that lines of different threads do not interleave within a call. A null string
// writes nothing.
void OutputDebugStringA(LPCSTR lpOutputString);
