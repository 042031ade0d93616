#include "port/SerialPortManager.h"

#include "engine/CommPortThread.h"
#include "platform/com/runtime.h"
#include "server/Module.h"
#include "server/Tethra.h"
#include "trace/query_trace.h"
#include "trace/trace.h"
#include "traffic/WriteLeaf.h"

#include <cstdio>
#include <new>

// Decisions of this file where the design leaves the choice:
//  - Device name: "\\.\COM<n>" is formatted into a 16-byte buffer, so it may hold at most
//    15 characters (the number, sign included, at most 8). A number whose name would not
//    fit makes Initialize fail before CreateFile is tried, as any port that cannot be
//    opened does.
//  - Send with a VT_ARRAY | VT_UI1 variant whose array pointer is null: E_INVALIDARG, as
//    for a variant of the wrong type, and nothing is queued.
//  - Initialize returns only once the comm-port thread's start-up has armed the port
//    (comm mask set, port-event task queued): otherwise a line change made just after
//    the port was handed out could be missed, taken by the driver for the line's first
//    state.
//  - A synchronous Send whose caller leaves while it waits (a client of another process
//    that exits or is killed) takes its write back (CWriteOverlappedIO::OnCallCanceled)
//    and returns RPC_E_CALL_CANCELED, which nobody hears; it no longer holds the port
//    open. A write that completed first returns S_OK as ever. Asynchronous sends are
//    never taken back: their callers had their answers.
//  - Without a registry (m_pManager null, as when the object is used on its own) a
//    release that leaves one reference just reports 1; the holder of that reference
//    destroys the object with its own release.

namespace {

constexpr std::size_t kDeviceNameSize = 16;
constexpr DWORD kDefaultReadTotalTimeoutConstant = 500;

}  // namespace

CSerialPortManager::CSerialPortManager()
    : m_cpPropertyNotifySink(this, object_lock(), IID_IPropertyNotifySink),
      m_cpPortEvents(this, object_lock()),
      m_pManager(nullptr),
      m_hComm(INVALID_HANDLE_VALUE),
      m_lPortNum(0),
      m_dwReadBufferSize(SERIAL_PORT_DEFAULT_READ_BUFFER_SIZE),
      m_csState{},
      m_bBreakActive(FALSE),
      m_bDTRLineActive(FALSE),
      m_bRTSLineActive(FALSE),
      m_pCommPortThread(nullptr)
{
    Trace(TRACE_CAT_SERIALPORT, 1, "CSerialPortManager(%#x)::CSerialPortManager()\n", this);
    InitializeCriticalSection(&m_csState);
    // An open port keeps the server running.
    _Module.Lock();
    Trace(TRACE_CAT_SERIALPORT, 2, "CSerialPortManager(%#x)::CSerialPortManager()  Returning\n",
          this);
}

CSerialPortManager::~CSerialPortManager()
{
    Trace(TRACE_CAT_SERIALPORT, 1, "CSerialPortManager(%#x)::~CSerialPortManager()\n", this);
    _Module.Unlock();
    DeleteCriticalSection(&m_csState);
    Trace(TRACE_CAT_SERIALPORT, 2, "CSerialPortManager(%#x)::~CSerialPortManager()  Returning\n",
          this);
}

// ---- IUnknown ---------------------------------------------------------------------------------

STDMETHODIMP CSerialPortManager::QueryInterface(REFIID riid, void** ppvObject)
{
    static constexpr platform::interface_entry table[] = {
        platform::interface_entry_of<CSerialPortManager, ISerialPortManager>(),
        platform::interface_entry_of<CSerialPortManager, IConnectionPointContainer>(),
        platform::interface_entry_of<CSerialPortManager, IUnknown, ISerialPortManager>(),
    };
    return TraceQueryInterface("CSerialPortManager", riid,
                               platform::query_interface(this, table, riid, ppvObject));
}

STDMETHODIMP_(ULONG) CSerialPortManager::AddRef()
{
    return internal_add_ref();
}

STDMETHODIMP_(ULONG) CSerialPortManager::Release()
{
    // Read before the release: once the count is down, another thread's hand-back may
    // destroy the object at any moment.
    CTethra* pManager = m_pManager;
    ULONG ulCount = internal_release();
    if (ulCount == 1) {
        if (!pManager)
            return 1;
        // Only the registry's reference is left: hand the port back. The registry erases
        // it and drops that reference, which destroys the object on this call path, so
        // nothing here touches the object afterwards.
        pManager->PortClosed(this);
        return 0;
    }
    if (ulCount == 0)
        destroy_object();
    return ulCount;
}

// ---- IConnectionPointContainer ------------------------------------------------------------

STDMETHODIMP CSerialPortManager::EnumConnectionPoints(IEnumConnectionPoints** ppEnum)
{
    IConnectionPoint* const rgpcp[] = {&m_cpPropertyNotifySink, &m_cpPortEvents};
    return platform::create_enum_connection_points(rgpcp, 2, ppEnum);
}

STDMETHODIMP CSerialPortManager::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP)
{
    IConnectionPoint* const rgpcp[] = {&m_cpPropertyNotifySink, &m_cpPortEvents};
    return platform::find_connection_point(rgpcp, 2, riid, ppCP);
}

IUnknown* CSerialPortManager::GetControllingUnknown()
{
    return static_cast<ISerialPortManager*>(this);
}

// ---- opening and closing ------------------------------------------------------------------

BOOL CSerialPortManager::Initialize(LONG lPort, CTethra* pManager)
{
    Trace(TRACE_CAT_SERIALPORT, 1, "CSerialPortManager(%#x)::Initialize(%i, %#x)\n", this, lPort,
          pManager);
    BOOL bResult = FALSE;
    m_lPortNum = lPort;
    m_pManager = pManager;
    if (m_pManager)
        m_pManager->AddRef();

    char szPort[kDeviceNameSize];
    int nLength = std::snprintf(szPort, sizeof(szPort), "\\\\.\\COM%i", static_cast<int>(lPort));
    Trace(TRACE_CAT_SERIALPORT, 3, "CSerialPortManager(%#x)::Initialize(%i, %#x)  Opening the comm port.\n",
          this, lPort, pManager);
    if (nLength < 0 || static_cast<std::size_t>(nLength) >= sizeof(szPort)) {
        Trace(TRACE_CAT_SERIALPORT, 0,
              "CSerialPortManager(%#x)::Initialize(%i, %#x)  Error!  Port number too long for a "
              "device name.\n",
              this, lPort, pManager);
        goto done;
    }

    m_hComm = CreateFileA(szPort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (m_hComm == INVALID_HANDLE_VALUE) {
        Trace(TRACE_CAT_SERIALPORT, 0,
              "CSerialPortManager(%#x)::Initialize(%i, %#x)  Error!  CreateFile Failed.\n", this,
              lPort, pManager);
        goto done;
    }

    Trace(TRACE_CAT_SERIALPORT, 3,
          "CSerialPortManager(%#x)::Initialize(%i, %#x)  Creating a new thread for the comm port.\n",
          this, lPort, pManager);
    m_pCommPortThread = new (std::nothrow) CCommPortThread(this);
    if (!m_pCommPortThread) {
        Trace(TRACE_CAT_SERIALPORT, 0,
              "CSerialPortManager(%#x)::Initialize(%i, %#x)  Error!  Failed to allocate memory for "
              "thread.\n",
              this, lPort, pManager);
        goto done;
    }
    if (!m_pCommPortThread->Start()) {
        Trace(TRACE_CAT_SERIALPORT, 0,
              "CSerialPortManager(%#x)::Initialize(%i, %#x)\n  Error!  Failed to start the thread.",
              this, lPort, pManager);
        goto done;
    }

    // The port reports line changes from the moment Initialize returns: the thread's
    // start-up has set the comm mask (and with it the driver's view of the modem lines)
    // before the port is handed to anyone. The first wait itself starts concurrently with
    // the steps below; events in between are kept by the driver for it.
    m_pCommPortThread->WaitForStartUp();

    {
        ClearCommBreak(m_hComm);

        DCB dcb{};
        dcb.DCBlength = sizeof(dcb);
        if (!GetCommState(&dcb)) {
            Trace(TRACE_CAT_SERIALPORT, 0,
                  "CSerialPortManager(%#x)::Initialize(%i, %#x)  Error!  GetCommState failed.  "
                  "Error = %#x\n",
                  this, lPort, pManager, GetLastError());
            goto done;
        }
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        m_bDTRLineActive = FALSE;
        m_bRTSLineActive = FALSE;
        SetCommState(&dcb);

        EscapeCommFunction(CLRDTR);
        EscapeCommFunction(CLRRTS);
        m_bBreakActive = FALSE;

        COMMTIMEOUTS timeouts{};
        if (!GetCommTimeouts(m_hComm, &timeouts)) {
            Trace(TRACE_CAT_SERIALPORT, 0,
                  "CSerialPortManager(%#x)::Initialize(%i, %#x)  Error!  GetCommTimeouts failed.  "
                  "Error = %#x\n",
                  this, lPort, pManager, GetLastError());
            goto done;
        }
        Trace(TRACE_CAT_SERIALPORT, 3,
              "CSerialPortManager(%#x)::Initialize(%i, %#x)  Setting default read total timeout "
              "constant.\n",
              this, lPort, pManager);
        timeouts.ReadTotalTimeoutConstant = kDefaultReadTotalTimeoutConstant;
        if (!SetCommTimeouts(m_hComm, &timeouts)) {
            Trace(TRACE_CAT_SERIALPORT, 0,
                  "CSerialPortManager(%#x)::Initialize(%i, %#x)  SetCommTimeouts failed.  Error = "
                  "%#x.\n",
                  this, lPort, pManager, GetLastError());
            goto done;
        }
        Trace(TRACE_CAT_SERIALPORT, 3,
              "CSerialPortManager(%#x)::Initialize(%i, %#x)  SetCommTimeouts succeeded.\n", this,
              lPort, pManager);
        bResult = TRUE;
    }

done:
    Trace(TRACE_CAT_SERIALPORT, 2, "CSerialPortManager(%#x)::Initialize(%i, %#x)  Returning %i\n",
          this, lPort, pManager, bResult);
    return bResult;
}

void CSerialPortManager::FinalRelease()
{
    Trace(TRACE_CAT_SERIALPORT, 1, "CSerialPortManager(%#x)::FinalRelease()\n", this);
    Trace(TRACE_CAT_SERIALPORT, 3, "CSerialPortManager(%#x)::FinalRelease()  Releasing resources.\n",
          this);
    Trace(TRACE_CAT_SERIALPORT, 4,
          "CSerialPortManager(%#x)::FinalRelease()  Stopping and destroying the threaded comm "
          "port.\n",
          this);
    if (m_pCommPortThread) {
        // Ends the worker, which terminates and deletes the port-event task and any read
        // or write on it; the destructor deletes what is still queued.
        m_pCommPortThread->Stop();
        delete m_pCommPortThread;
        m_pCommPortThread = nullptr;
    }
    Trace(TRACE_CAT_SERIALPORT, 4, "CSerialPortManager(%#x)::FinalRelease()  Releasing the manager.\n",
          this);
    if (m_pManager) {
        m_pManager->Release();
        m_pManager = nullptr;
    }
    if (m_hComm != INVALID_HANDLE_VALUE) {
        Trace(TRACE_CAT_SERIALPORT, 4,
              "CSerialPortManager(%#x)::FinalRelease()  Closing the file handle.\n", this);
        CloseHandle(m_hComm);
        m_hComm = INVALID_HANDLE_VALUE;
    }
    Trace(TRACE_CAT_SERIALPORT, 2, "CSerialPortManager(%#x)::FinalRelease()  Returning\n", this);
}

// ---- sending --------------------------------------------------------------------------------

STDMETHODIMP CSerialPortManager::Send(VARIANT vtData, VARIANT_BOOL bSynchronous)
{
    // Any non-zero flag is synchronous; the messages show the flag as it was given.
    const BOOL bSync = bSynchronous != 0 ? TRUE : FALSE;
    HRESULT hr = E_FAIL;
    Trace(TRACE_CAT_SERIALPORT, 1, "CSerialPortManager(%#x)::Send(VARIANT, %i)\n", this,
          bSynchronous);
    Trace(TRACE_CAT_SERIALPORT, 3,
          "CSerialPortManager(%#x)::Send(VARIANT, %i)  Validating Input Parameters\n", this,
          bSynchronous);

    if (vtData.vt != (VT_ARRAY | VT_UI1)) {
        Trace(TRACE_CAT_SERIALPORT, 0,
              "CSerialPortManager(%#x)::Send(VARIANT, %i)  Error!  Can't send anything but "
              "SafeArrays of type VT_UI1.\n",
              this, bSynchronous);
        hr = E_INVALIDARG;
    } else if (!vtData.parray) {
        Trace(TRACE_CAT_SERIALPORT, 0,
              "CSerialPortManager(%#x)::Send(VARIANT, %i)  Error!  Null SafeArray.\n", this,
              bSynchronous);
        hr = E_INVALIDARG;
    } else if (!m_pCommPortThread || m_pCommPortThread->IsStopped()) {
        Trace(TRACE_CAT_SERIALPORT, 0,
              "CSerialPortManager(%#x)::Send(VARIANT, %i)  Error!  Thread is stopped.\n", this,
              bSynchronous);
        hr = E_FAIL;
    } else if (m_bDeviceLost) {
        Trace(TRACE_CAT_SERIALPORT, 0,
              "CSerialPortManager(%#x)::Send(VARIANT, %i)  Error!  The device is gone.\n", this,
              bSynchronous);
        hr = E_FAIL;
    } else {
        CWriteLeaf* pWrite = new (std::nothrow) CWriteLeaf(m_hComm, bSync ? FALSE : TRUE);
        if (!pWrite) {
            Trace(TRACE_CAT_SERIALPORT, 0,
                  "CSerialPortManager(%#x)::Send(VARIANT, %i)  Error!  Unable to allocate memory "
                  "for CWriteLeaf.\n",
                  this, bSynchronous);
            Trace(TRACE_CAT_SERIALPORT, 0,
                  "CSerialPortManager(%#x)::Send(VARIANT, %i)  Error!  Data was not accepted.\n",
                  this, bSynchronous);
            hr = E_OUTOFMEMORY;
        } else {
            hr = QueueWrite(pWrite, vtData.parray, bSynchronous);
        }
    }

    Trace(TRACE_CAT_SERIALPORT, 2, "CSerialPortManager(%#x)::Send(VARIANT, %i)  Returning %#x\n",
          this, bSynchronous, hr);
    return hr;
}

HRESULT CSerialPortManager::QueueWrite(CWriteLeaf* pWrite, SAFEARRAY* psa,
                                       VARIANT_BOOL bSynchronous)
{
    BOOL bAccepted = FALSE;
    BOOL bCanceled = FALSE;
    Trace(TRACE_CAT_SERIALPORT, 3,
          "CSerialPortManager(%#x)::Send(VARIANT, %i)  Generating a CWriteLeaf(%#x) request to add "
          "to the thread queue.\n",
          this, bSynchronous, pWrite);
    // The count of the first bound; the lower bound plays no part.
    if (!pWrite->SetData(static_cast<const BYTE*>(psa->pvData), psa->rgsabound[0].cElements)) {
        Trace(TRACE_CAT_SERIALPORT, 0,
              "CSerialPortManager(%#x)::Send(VARIANT, %i)  Error!  Could not copy data to "
              "CWriteLeaf(%#x)\n",
              this, bSynchronous, pWrite);
        delete pWrite;
    } else if (!m_pCommPortThread->Add(pWrite, FALSE)) {
        Trace(TRACE_CAT_SERIALPORT, 0,
              "CSerialPortManager(%#x)::Send(VARIANT, %i)  Error!  Could not add the CWriteLeaf(%#x) "
              "to the queue.\n",
              this, bSynchronous, pWrite);
        delete pWrite;
    } else if (bSynchronous == 0) {
        // The thread owns the task from here and deletes it when the write ends.
        Trace(TRACE_CAT_SERIALPORT, 4,
              "CSerialPortManager(%#x)::Send(VARIANT, %i)  Asynchronous write event.\n", this,
              bSynchronous);
        return S_OK;
    } else {
        Trace(TRACE_CAT_SERIALPORT, 4,
              "CSerialPortManager(%#x)::Send(VARIANT, %i)  Waiting for the CWriteLeaf(%#x) to "
              "complete.\n",
              this, bSynchronous, pWrite);
        DWORD dwCode = pWrite->GetCompletionCode();
        Trace(TRACE_CAT_SERIALPORT, 4,
              "CSerialPortManager(%#x)::Send(VARIANT, %i)  Deleting the CWriteLeaf(%#x).\n", this,
              bSynchronous, pWrite);
        delete pWrite;
        bAccepted = dwCode == 0;
        bCanceled = dwCode == ERROR_OPERATION_ABORTED && CoTestCancel() == RPC_E_CALL_CANCELED;
    }
    if (bAccepted)
        return S_OK;
    Trace(TRACE_CAT_SERIALPORT, 0,
          "CSerialPortManager(%#x)::Send(VARIANT, %i)  Error!  Data was not accepted.\n", this,
          bSynchronous);
    return bCanceled ? RPC_E_CALL_CANCELED : E_FAIL;
}

// ---- helpers of the tasks and accessors -----------------------------------------------------

BOOL CSerialPortManager::AddTaskToCommPortThread(CStrategy* pTask)
{
    if (!m_pCommPortThread || !pTask)
        return FALSE;
    return m_pCommPortThread->Add(pTask, FALSE);
}

HRESULT CSerialPortManager::GetUARTStatusRegisterStatus(DWORD dwMask, VARIANT_BOOL* pVal)
{
    Trace(TRACE_CAT_SERIALPORT, 1, "CSerialPortManager(%#x)::GetUARTStatusRegisterStatus(%#x, %#x)\n",
          this, dwMask, pVal);
    HRESULT hr = S_OK;
    DWORD dwStatus = 0;
    if (!pVal) {
        hr = E_POINTER;
    } else if (!GetCommModemStatus(m_hComm, &dwStatus)) {
        Trace(TRACE_CAT_SERIALPORT, 0,
              "CSerialPortManager(%#x)::GetUARTStatusRegisterStatus(%#x, %#x)  Error!  "
              "GetCommModemStatus failed.  Error = %#x\n",
              this, dwMask, pVal, GetLastError());
        hr = E_FAIL;
    } else {
        *pVal = (dwStatus & dwMask) != 0 ? 1 : 0;
    }
    Trace(TRACE_CAT_SERIALPORT, 2,
          "CSerialPortManager(%#x)::GetUARTStatusRegisterStatus(%#x, %#x)  Returning %#x\n", this,
          dwMask, pVal, hr);
    return hr;
}

BOOL CSerialPortManager::EscapeCommFunction(DWORD dwFunc)
{
    return ::EscapeCommFunction(m_hComm, dwFunc);
}

BOOL CSerialPortManager::GetCommState(LPDCB lpDCB)
{
    return ::GetCommState(m_hComm, lpDCB);
}

BOOL CSerialPortManager::SetCommState(LPDCB lpDCB)
{
    return ::SetCommState(m_hComm, lpDCB);
}
