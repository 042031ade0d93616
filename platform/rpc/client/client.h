// The way into the server from another process: the client library.
//
// A client program includes this header (no Qt type in it) and links the static library
// tethra_rpc_client. It then uses the same interfaces as code that holds the objects in
// its own process: ITethra, ISerialPort, IConnectionPointContainer, IConnectionPoint, and
// its own IDispatch (for _ISerialPortEvents) and IPropertyNotifySink sinks. Code written
// against those interfaces runs unchanged against either.
//
//   CLSID clsid;
//   CLSIDFromProgID("Ostra.Tethra", &clsid);
//   ITethra* pTethra = nullptr;
//   CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ITethra,
//                    reinterpret_cast<void**>(&pTethra));
//   ISerialPort* pPort = nullptr;
//   pTethra->CreatePort(1, &pPort);
//
// What the proxies do:
// - Every call is one blocking bus call without a time-out, answered with the server's
//   HRESULT (S_FALSE included). A server that is gone, or leaves during the call, gives
//   RPC_E_DISCONNECTED at once. A boolean out value is 1 for TRUE, as the server's getters
//   give it in-process (the bus carries only true or false). A VARIANT that has no bus
//   form (VT_EMPTY, arrays of other types than VT_UI1) is refused with E_INVALIDARG, the
//   port's answer to it, without a call.
// - QueryInterface is answered by the proxy itself, for the interfaces the server's object
//   has (the port registry: IUnknown, IDispatch, ITethra; a port: IUnknown, IDispatch,
//   ISerialPort, IConnectionPointContainer; a connection point: IUnknown,
//   IConnectionPoint). IDispatch works on the proxy from the type information. Each
//   reply that hands out an object makes a proxy of its own, so two calls that return one
//   object give two proxies (QueryInterface for IUnknown compares within a proxy only).
// - A proxy's last Release gives the connection's reference back to the server without
//   waiting for the answer.
// - IConnectionPoint::Advise exports the sink on the library's own connection (at
//   /Ostra/Tethra/Sink/<n>, n never reused within the process) and advises that path;
//   the cookie is the server's. The sink must answer QueryInterface for the connection
//   interface (DIID__ISerialPortEvents for an event sink, whose calls arrive through its
//   IDispatch::Invoke; IID_IPropertyNotifySink), else CONNECT_E_CANNOTCONNECT, exactly as
//   in-process. Unadvise withdraws the sink whatever the server answers, so no call
//   reaches it afterwards. Sinks still advised when the last proxy of their port goes are
//   unadvised and withdrawn then, as a port object drops its sinks in-process (until
//   then the library keeps the connection point's reference that unadvising needs).
//   EnumConnections is not offered over the bus (E_NOTIMPL).
// - Sinks are called on the library's own thread, one call at a time, in the order the
//   server sent them. That thread also takes in the replies to every call, so a sink
//   handler that blocks holds up the other sinks and the calls of the process until it
//   returns (the server gives up on a sink that does not answer in time). A handler may
//   call the server itself, Unadvise included.
//
// The bus is the session bus (DBUS_SESSION_BUS_ADDRESS), connected once, on first use.
// Without an event loop of its own, a program needs nothing else: the library starts a
// thread that runs one (and a QCoreApplication when the program has none) on first use.
// CoInitializeEx is not required before these calls.
#pragma once

#include "idl/tethra.h"
#include "platform/com/com.h"

#define CLSCTX_INPROC_SERVER 0x1U
#define CLSCTX_INPROC_HANDLER 0x2U
#define CLSCTX_LOCAL_SERVER 0x4U
#define CLSCTX_REMOTE_SERVER 0x10U
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_INPROC_HANDLER | CLSCTX_SERVER)

#ifndef CO_E_SERVER_EXEC_FAILURE
#define CO_E_SERVER_EXEC_FAILURE PLATFORM_HR(0x80080005U)
#endif

// Creates the one object of a class on the server, through the class object of the
// well-known name "Ostra.Tethra" (path /Ostra/Tethra); the bus starts the server when it
// is not running. Only CLSID_Tethra is known; riid is IID_ITethra, IID_IDispatch or
// IID_IUnknown. Every later object is reached at the unique name of the server that
// answered. Results:
//   S_OK                       *ppv holds the proxy with one reference
//   E_POINTER                  ppv null
//   CLASS_E_NOAGGREGATION      pUnkOuter not null
//   REGDB_E_CLASSNOTREG        another class, a context without CLSCTX_LOCAL_SERVER, or
//                              nobody owns "Ostra.Tethra" and the bus cannot start it
//   CO_E_SERVER_EXEC_FAILURE   no bus, or the bus failed to start the server
//   E_NOINTERFACE, ...         the server's answer
// A request that reaches a server while it lets the name go (CO_E_SERVER_STOPPING) is
// sent again, so it is served by the next server.
// *ppv is null on every failure.
HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                         REFIID riid, LPVOID* ppv);

// The CLSID registered for a ProgID ("Ostra.Tethra", "Ostra.Tethra.1"): the default value
// of HKEY_CLASSES_ROOT\<ProgID>\CLSID in the registry store, in braced form. S_OK;
// E_INVALIDARG for a null argument; CO_E_CLASSSTRING when the key or value is missing or
// does not hold a CLSID (*lpclsid is CLSID_NULL then).
HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
