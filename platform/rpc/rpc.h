// The server side of the out-of-process runtime: class objects offered to clients on the
// message bus. The system's code sees these calls only; the bus stays inside
// platform/rpc.
//
// Emulated: the class-object table of a local server. CoRegisterClassObject keeps a
// class object; CoResumeClassObjects connects to the bus that started the process
// (DBUS_STARTER_ADDRESS), else to the session bus, owns the well-known name
// "Ostra.Tethra" and serves the class object on /Ostra/Tethra; CoSuspendClassObjects and
// the revocation of the last class object let the name go, while every object already
// handed to a client goes on being served. Objects reach clients only as results of
// calls (CreateInstance, CreatePort, FindConnectionPoint, ...), each on a path of its
// own, with references counted per client connection; a client that leaves the bus
// gives back everything it held, and the calls it left running are cancelled: on the
// threads that serve them CoTestCancel reports RPC_E_CALL_CANCELED, and an alertable
// wait (WaitForSingleObjectEx) of theirs is woken by a queued procedure call, so a call
// that waits for a device can give up (a synchronous Send takes its write back). When the bus itself goes (its daemon ends), every client
// gives back what it held in the same way, and each class object gets a
// LockServer(TRUE)/LockServer(FALSE) pair, so that a host that ends when its last lock
// goes ends then too, used or not. The bus contract is the project's bus API document.
// Not given: other class contexts than CLSCTX_LOCAL_SERVER, single-use class objects
// (REGCLS_SINGLEUSE is served as multiple use), more than one class on the bus (the
// first class object registered is the one on /Ostra/Tethra).
//
// Calls arrive on a pool of call threads (see call_pool.h). The bus connection itself is
// served by a thread of the runtime's own; when the process has a Qt application object,
// that thread is a QThread of it, else the runtime makes the application object on that
// thread, so the host's main thread may run whatever loop it likes.
#pragma once

#include "platform/base/types.h"
#include "platform/com/interfaces.h"

#define CLSCTX_INPROC_SERVER 0x1U
#define CLSCTX_LOCAL_SERVER 0x4U

#define REGCLS_SINGLEUSE 0x0U
#define REGCLS_MULTIPLEUSE 0x1U
#define REGCLS_MULTI_SEPARATE 0x2U
#define REGCLS_SUSPENDED 0x4U

// Registers pUnk (an IClassFactory) as the class object of rclsid and returns its cookie
// in *lpdwRegister. With REGCLS_SUSPENDED it is served only after CoResumeClassObjects;
// without, it is resumed at once. E_POINTER for a null pUnk or lpdwRegister,
// E_NOINTERFACE when pUnk is not a class factory, E_INVALIDARG for a class context
// without CLSCTX_LOCAL_SERVER, CO_E_OBJISREG when rclsid is registered already.
HRESULT CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags,
                              LPDWORD lpdwRegister);
// Serves every registered class object: connects to the bus if not yet connected and
// owns "Ostra.Tethra". E_FAIL when the bus cannot be reached or the name is owned by
// another connection (the class objects stay suspended); S_OK otherwise, also when
// nothing is registered.
HRESULT CoResumeClassObjects();
// Lets the name go: the bus starts a fresh server for the next creation request, while
// this process serves the objects it handed out. Creation requests that still reach
// this process get CO_E_SERVER_STOPPING. S_OK.
HRESULT CoSuspendClassObjects();
// Removes one registration and releases its class object; the last one lets the name
// go as CoSuspendClassObjects does. CO_E_OBJNOTREG for an unknown cookie.
HRESULT CoRevokeClassObject(DWORD dwRegister);

namespace platform::rpc {

// Ends the runtime: cancels the calls still under way (as for a client that left),
// gives back every reference, lock and sink that clients hold, stops the call threads
// and leaves the bus. The host calls it last, after revoking its class
// objects (the process's objects may already be gone by then; nothing is called on a
// client). The next CoResumeClassObjects starts afresh.
void stop_server();

// How long an OnRequestEdit call into a client's sink may take before the server gives
// it up (the answer counts as consent). Notifications wait for their answers (see
// sink_proxy.h).
inline constexpr DWORD kSinkCallTimeoutMs = 5000;
// How many notification calls one sink may have on the way at a time; further
// notifications queue behind them, in order (see sink_proxy.h).
inline constexpr DWORD kSinkWindow = 16;

}  // namespace platform::rpc
