#include "server/Tethra.h"

#include "port/SerialPort.h"
#include "port/SerialPortManager.h"
#include "server/Module.h"
#include "trace/query_trace.h"
#include "trace/trace.h"

#include <new>

// Decisions of this file where the design leaves the choice:
//  - The hand-back race. A release that leaves a shared object with only the registry's
//    reference calls PortClosed, which takes m_csMapAccess some time later. Only
//    CreatePort, under that same lock, can add a reference to an object that no client
//    holds, so PortClosed decides under the lock: it erases and releases the object
//    only when the map entry is this very object and its count is still 1. If CreatePort
//    bound a new client to it in between, the hand-back is dropped and the port stays
//    open; the release that next leaves it at 1 hands it back again. So CreatePort never
//    hands out an object that is being closed, and a hand-back never destroys an object
//    a client holds. A late hand-back for an object that another PortClosed already
//    erased finds no entry and does nothing; the pointer is never followed then.
//  - A CreatePort for a number whose previous shared object has been erased but is
//    still closing (its threads stopping, its device not yet closed) waits, without the
//    lock, until that closing has finished and then opens the device afresh, instead of
//    failing on the device that is still held. The wait is bounded (kClosingWaitMs): a
//    close that never ends leaves the request to try the open anyway and report
//    E_UNEXPECTED if the device is still held.

namespace {

constexpr DWORD kClosingWaitMs = 10000;

}  // namespace

CTethra::CTethra()
    : m_csMapAccess{},
      m_pCreating(nullptr),
      m_hPortClosedEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    InitializeCriticalSection(&m_csMapAccess);
}

CTethra::~CTethra()
{
    DeleteCriticalSection(&m_csMapAccess);
    if (m_hPortClosedEvent)
        CloseHandle(m_hPortClosedEvent);
}

STDMETHODIMP CTethra::QueryInterface(REFIID riid, void** ppvObject)
{
    static constexpr platform::interface_entry table[] = {
        platform::interface_entry_of<CTethra, IUnknown, ITethra>(),
        platform::interface_entry_of<CTethra, IDispatch, ITethra>(),
        platform::interface_entry_of<CTethra, ITethra>(),
    };
    return TraceQueryInterface("CTethra", riid,
                               platform::query_interface(this, table, riid, ppvObject));
}

STDMETHODIMP_(ULONG) CTethra::AddRef()
{
    return static_cast<ULONG>(_Module.Lock());
}

STDMETHODIMP_(ULONG) CTethra::Release()
{
    return static_cast<ULONG>(_Module.Unlock());
}

STDMETHODIMP CTethra::PortClients(LONG Port, LONG* Clients)
{
    Trace(TRACE_CAT_TETHRA, 1, "CTethra(%#x)::PortClients(%i, %#x)\n", this, Port, Clients);
    if (!Clients)
        return E_POINTER;
    *Clients = 0;
    EnterCriticalSection(&m_csMapAccess);
    const auto it = m_mapPorts.find(Port);
    if (it != m_mapPorts.end())
        *Clients = it->second->ClientCount();
    LeaveCriticalSection(&m_csMapAccess);
    Trace(TRACE_CAT_TETHRA, 2, "CTethra(%#x)::PortClients(%i, %#x)  Returning %i\n", this, Port,
          Clients, *Clients);
    return S_OK;
}

STDMETHODIMP CTethra::CreatePort(LONG Port, ISerialPort** SerialPortObject)
{
    Trace(TRACE_CAT_TETHRA, 1, "CTethra(%#x)::CreatePort(%i, %#x)\n", this, Port,
          SerialPortObject);
    HRESULT hr = S_OK;

    if (!SerialPortObject) {
        Trace(TRACE_CAT_TETHRA, 0,
              "CTethra(%#x)::CreatePort(%i, %#x)  Error !  Invalid SerialPortInterface\n", this,
              Port, SerialPortObject);
        hr = E_POINTER;
        Trace(TRACE_CAT_TETHRA, 2, "CTethra(%#x)::CreatePort(%i, %#x)  Returning %#x\n", this,
              Port, SerialPortObject, hr);
        return hr;
    }

    *SerialPortObject = nullptr;
    Trace(TRACE_CAT_TETHRA, 5, "CTethra(%#x)::CreatePort(%i, %#x)  Locking m_csMapAccess\n", this,
          Port, SerialPortObject);
    EnterCriticalSection(&m_csMapAccess);

    // A previous object of this number that is still closing holds the device: wait for
    // it, outside the lock, so that the open below finds the device free.
    const DWORD dwWaitStart = GetTickCount();
    while (m_mapClosing.find(Port) != m_mapClosing.end()) {
        const DWORD dwWaited = GetTickCount() - dwWaitStart;
        if (dwWaited >= kClosingWaitMs || !m_hPortClosedEvent)
            break;
        Trace(TRACE_CAT_TETHRA, 3,
              "CTethra(%#x)::CreatePort(%i, %#x)  Waiting for the serial port to close.\n", this,
              Port, SerialPortObject);
        // Reset under the lock: the closing that ends after this sets the event again.
        ResetEvent(m_hPortClosedEvent);
        Trace(TRACE_CAT_TETHRA, 5, "CTethra(%#x)::CreatePort(%i, %#x)  Unlocking m_csMapAccess\n",
              this, Port, SerialPortObject);
        LeaveCriticalSection(&m_csMapAccess);
        WaitForSingleObject(m_hPortClosedEvent, kClosingWaitMs - dwWaited);
        Trace(TRACE_CAT_TETHRA, 5, "CTethra(%#x)::CreatePort(%i, %#x)  Locking m_csMapAccess\n",
              this, Port, SerialPortObject);
        EnterCriticalSection(&m_csMapAccess);
    }

    Trace(TRACE_CAT_TETHRA, 3, "CTethra(%#x)::CreatePort(%i, %#x)  Looking for the serial port.\n",
          this, Port, SerialPortObject);
    const auto it = m_mapPorts.find(Port);
    if (it != m_mapPorts.end()) {
        CSerialPortManager* pPort = it->second;
        Trace(TRACE_CAT_TETHRA, 3, "CTethra(%#x)::CreatePort(%i, %#x)  Found the serial port.\n",
              this, Port, SerialPortObject);
        Trace(TRACE_CAT_TETHRA, 4,
              "CTethra(%#x)::CreatePort(%i, %#x)  Found the serial port @ %#x\n", this, Port,
              SerialPortObject, pPort);
        CSerialPort* pClient = new (std::nothrow) CSerialPort;
        if (!pClient) {
            Trace(TRACE_CAT_TETHRA, 0,
                  "CTethra(%#x)::CreatePort(%i, %#x)  Error!  Unable to allocate an interface for "
                  "the serial port.\n",
                  this, Port, SerialPortObject);
            hr = E_OUTOFMEMORY;
        } else {
            pClient->AddRef();
            if (pClient->Initialize(pPort)) {
                *SerialPortObject = static_cast<ISerialPort*>(pClient);
            } else {
                Trace(TRACE_CAT_TETHRA, 0,
                      "CTethra(%#x)::CreatePort(%i, %#x)  Error!  Unable to allocate an interface "
                      "for the serial port.\n",
                      this, Port, SerialPortObject);
                pClient->Release();
                hr = E_UNEXPECTED;
            }
        }
    } else {
        Trace(TRACE_CAT_TETHRA, 3, "CTethra(%#x)::CreatePort(%i, %#x)  Creating new serial port.\n",
              this, Port, SerialPortObject);
        CSerialPortManager* pPort = new (std::nothrow) CSerialPortManager;
        if (!pPort) {
            Trace(TRACE_CAT_TETHRA, 0,
                  "CTethra(%#x)::CreatePort(%i, %#x)  Error!  Unable to allocate a serial port "
                  "object.\n",
                  this, Port, SerialPortObject);
            hr = E_OUTOFMEMORY;
        } else {
            // The registry's reference.
            pPort->AddRef();
            m_pCreating = pPort;
            if (!pPort->Initialize(Port, this)) {
                Trace(TRACE_CAT_TETHRA, 0,
                      "CTethra(%#x)::CreatePort(%i, %#x)  Error!  Unable to initialize the serial "
                      "port object.\n",
                      this, Port, SerialPortObject);
                m_pCreating = nullptr;
                pPort->Release();
                hr = E_UNEXPECTED;
            } else {
                CSerialPort* pClient = new (std::nothrow) CSerialPort;
                if (!pClient) {
                    Trace(TRACE_CAT_TETHRA, 0,
                          "CTethra(%#x)::CreatePort(%i, %#x)  Error!  Unable to allocate a serial "
                          "port interface.\n",
                          this, Port, SerialPortObject);
                    m_pCreating = nullptr;
                    pPort->Release();
                    hr = E_OUTOFMEMORY;
                } else {
                    pClient->AddRef();
                    if (!pClient->Initialize(pPort)) {
                        Trace(TRACE_CAT_TETHRA, 0,
                              "CTethra(%#x)::CreatePort(%i, %#x)  Error!  Unable to initialize "
                              "the serial port interface.\n",
                              this, Port, SerialPortObject);
                        // The client object's release gives back every reference it took on
                        // the new shared object; the one that leaves it at 1 hands it back
                        // to PortClosed (on this thread, re-entering the lock), which
                        // releases it as m_pCreating.
                        pClient->Release();
                        hr = E_UNEXPECTED;
                    } else if (!InsertPort(Port, pPort)) {
                        Trace(TRACE_CAT_TETHRA, 0,
                              "CTethra(%#x)::CreatePort(%i, %#x)  Error!  Unable to allocate a "
                              "map entry for the serial port.\n",
                              this, Port, SerialPortObject);
                        pClient->Release();
                        hr = E_OUTOFMEMORY;
                    } else {
                        *SerialPortObject = static_cast<ISerialPort*>(pClient);
                        Trace(TRACE_CAT_TETHRA, 4,
                              "CTethra(%#x)::CreatePort(%i, %#x)  New serial port created and "
                              "initialized.\n",
                              this, Port, SerialPortObject);
                    }
                    m_pCreating = nullptr;
                }
            }
        }
    }

    Trace(TRACE_CAT_TETHRA, 5, "CTethra(%#x)::CreatePort(%i, %#x)  Unlocking m_csMapAccess\n", this,
          Port, SerialPortObject);
    LeaveCriticalSection(&m_csMapAccess);
    Trace(TRACE_CAT_TETHRA, 2, "CTethra(%#x)::CreatePort(%i, %#x)  Returning %#x\n", this, Port,
          SerialPortObject, hr);
    return hr;
}

BOOL CTethra::InsertPort(LONG lPort, CSerialPortManager* pPort)
{
    try {
        m_mapPorts.emplace(lPort, pPort);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

void CTethra::PortClosed(CSerialPortManager* pPort)
{
    Trace(TRACE_CAT_TETHRA, 1, "CTethra(%#x)::PortClosed(%#x)\n", this, pPort);
    Trace(TRACE_CAT_TETHRA, 5, "CTethra(%#x)::PortClosed(%#x)  Locking m_csMapAccess\n", this,
          pPort);
    EnterCriticalSection(&m_csMapAccess);
    Trace(TRACE_CAT_TETHRA, 3,
          "CTethra(%#x)::PortClosed(%#x)  Looking for the serial port in the map to delete.\n",
          this, pPort);

    BOOL bRelease = FALSE;
    BOOL bClosing = FALSE;
    LONG lPort = 0;
    if (pPort != nullptr && pPort == m_pCreating) {
        // Its creation failed after the open: it never entered the map.
        m_pCreating = nullptr;
        bRelease = TRUE;
    } else {
        // Compared by address: the object is followed only once the map shows it alive.
        auto it = m_mapPorts.begin();
        while (it != m_mapPorts.end() && it->second != pPort)
            ++it;
        if (it == m_mapPorts.end()) {
            Trace(TRACE_CAT_TETHRA, 4,
                  "CTethra(%#x)::PortClosed(%#x)  The serial port was already handed back.\n",
                  this, pPort);
        } else if (pPort->ref_count() != 1) {
            Trace(TRACE_CAT_TETHRA, 4,
                  "CTethra(%#x)::PortClosed(%#x)  The serial port is in use again; keeping it.\n",
                  this, pPort);
        } else {
            Trace(TRACE_CAT_TETHRA, 4,
                  "CTethra(%#x)::PortClosed(%#x)  Erasing the serial port from the map.\n", this,
                  pPort);
            lPort = it->first;
            m_mapPorts.erase(it);
            bRelease = TRUE;
            bClosing = MarkClosing(lPort, +1);
        }
    }

    Trace(TRACE_CAT_TETHRA, 5, "CTethra(%#x)::PortClosed(%#x)  Unlocking m_csMapAccess\n", this,
          pPort);
    LeaveCriticalSection(&m_csMapAccess);

    if (bRelease) {
        Trace(TRACE_CAT_TETHRA, 4, "CTethra(%#x)::PortClosed(%#x)  Releasing the serial port.\n",
              this, pPort);
        pPort->Release();
    }
    if (bClosing) {
        EnterCriticalSection(&m_csMapAccess);
        MarkClosing(lPort, -1);
        SetEvent(m_hPortClosedEvent);
        LeaveCriticalSection(&m_csMapAccess);
    }
    Trace(TRACE_CAT_TETHRA, 1, "CTethra(%#x)::PortClosed(%#x)  Returning\n", this, pPort);
}

BOOL CTethra::MarkClosing(LONG lPort, LONG lDelta)
{
    try {
        LONG& lCount = m_mapClosing[lPort];
        lCount += lDelta;
        if (lCount <= 0)
            m_mapClosing.erase(lPort);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}
