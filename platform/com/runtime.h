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

#include <atomic>

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

// Whether the client whose call the calling thread is serving has cancelled it; here
// that happens when the client leaves the bus (exit, crash, kill) while the call runs,
// since nobody is left to hear its answer. RPC_E_CALL_CANCELED then, RPC_S_CALLPENDING
// while the call still has its client, RPC_E_CALL_COMPLETE on a thread that serves no
// call from another process (an in-process caller is never cancelled). The runtime
// also queues an asynchronous procedure call (QueueUserAPC) to the serving thread as it
// cancels, so a call that waits for something alertably (WaitForSingleObjectEx with
// bAlertable TRUE) wakes with WAIT_IO_COMPLETION, asks here, and can give up its work;
// a call that waits any other way is not disturbed. Costs one thread-local read.
HRESULT CoTestCancel();

namespace platform {

// The state CoTestCancel reads: a call from another process, installed on the thread
// that serves it (platform/rpc) for as long as it runs.
class call_context {
public:
    void cancel() { cancelled_.store(true, std::memory_order_release); }
    bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }

private:
    std::atomic<bool> cancelled_{false};
};

// Makes `call` the calling thread's current call (null: none) and returns the one it
// replaces.
call_context* set_current_call(call_context* call);

}  // namespace platform
