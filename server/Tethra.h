// The port registry: the object behind the Tethra class and ITethra, one per process.
//
// CreatePort hands every caller a new client port object (CSerialPort) bound to the one
// shared port object (CSerialPortManager) of that port number, opening the port on the
// first request. The map holds one reference on each shared object; when the last client
// object of a port goes, the shared object's release hands it back (PortClosed) and the
// registry erases it and drops that reference, which closes the port.
//
// The registry lives inside its class object, so its AddRef and Release are the server
// module's Lock and Unlock: a reference to the registry keeps the server running.
#pragma once

#include "idl/tethra.h"
#include "platform/base/types.h"
#include "platform/com/com.h"
#include "platform/sync/sync.h"

#include <map>

class CSerialPortManager;

class CTethra : public platform::dispatch_impl<ITethra> {
public:
    CTethra();
    // Frees the map and its locks; the map is empty by then (the server ends only when
    // no object is held), and no entry is released here.
    ~CTethra();
    CTethra(const CTethra&) = delete;
    CTethra& operator=(const CTethra&) = delete;

    // ---- IUnknown: ITethra, IDispatch and IUnknown.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override;
    // The server module's Lock and Unlock; they return its lock count.
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // ---- ITethra
    // A new client port object for Port in *SerialPortObject, with a reference for the
    // caller (the incoming value is ignored). E_POINTER for a null SerialPortObject,
    // E_OUTOFMEMORY when an object cannot be allocated, E_UNEXPECTED when the port
    // cannot be opened or an object cannot be initialised; *SerialPortObject is null
    // after every failure.
    STDMETHODIMP CreatePort(LONG Port, ISerialPort** SerialPortObject) override;
    // A read-only view of the map: *Clients is the number of client port objects bound
    // to Port's shared object, 0 when the port is not open (a port being closed counts
    // as not open). E_POINTER for a null Clients. Opens nothing and changes nothing.
    STDMETHODIMP PortClients(LONG Port, LONG* Clients) override;

    // Called by a shared port object's release that left only the registry's reference.
    // Under m_csMapAccess it erases and releases the object only if the map still holds
    // it and nobody else does (its count is 1); if CreatePort has bound a new client to
    // it meanwhile, the hand-back is dropped and the next release to 1 tries again. An
    // object that never entered the map (its creation failed) is released.
    // pPort may already be gone when this runs for a hand-back that another call has
    // completed, so it is compared, never followed, until it is found in the map; for
    // the same reason the caller reads its registry pointer before it drops its own
    // reference and touches nothing of the object after this call.
    void PortClosed(CSerialPortManager* pPort);

    // Port number -> shared port object, one registry reference each.
    std::map<LONG, CSerialPortManager*> m_mapPorts;
    // Guards m_mapPorts (and the closing bookkeeping below); re-entrant, held across the
    // find-or-create step of CreatePort and the find-and-erase step of PortClosed.
    CRITICAL_SECTION m_csMapAccess;

private:
    // Enters the pair into m_mapPorts; FALSE when no memory is left.
    BOOL InsertPort(LONG lPort, CSerialPortManager* pPort);
    // Counts a closing of lPort in (+1) or out (-1) of m_mapClosing; FALSE when no
    // memory is left. Called under m_csMapAccess.
    BOOL MarkClosing(LONG lPort, LONG lDelta);

    // The shared object CreatePort is opening right now, not yet in the map; its
    // hand-back (a failed client object) is released without a map entry.
    CSerialPortManager* m_pCreating;
    // Port number -> hand-backs erased from the map whose final release (stopping the
    // port's threads, closing the device) is still running.
    std::map<LONG, LONG> m_mapClosing;
    // Manual reset; set each time a closing finishes, reset by a CreatePort that is
    // about to wait for one.
    HANDLE m_hPortClosedEvent;
};
