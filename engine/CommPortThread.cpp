#include "engine/CommPortThread.h"

#include "platform/com/hresult.h"
#include "platform/com/runtime.h"
#include "trace/trace.h"
#include "traffic/PortEventLeaf.h"

#include <new>

CCommPortThread::CCommPortThread(CSerialPortManager* pSerialPortManager)
    : m_pSerialPortManager(pSerialPortManager),
      m_hStartedUp(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    Trace(TRACE_CAT_QUEUES, 1, "CCommPortThread(%#x)::CCommPortThread()\n", this);
    Trace(TRACE_CAT_QUEUES, 2, "CCommPortThread(%#x)::CCommPortThread()  Returning\n", this);
}

CCommPortThread::~CCommPortThread()
{
    Trace(TRACE_CAT_QUEUES, 1, "CCommPortThread(%#x)::~CCommPortThread()\n", this);
    // The worker calls this class's ExitInstance; end it before this part of the object
    // is gone rather than leave it to the base destructor.
    Stop();
    CloseHandle(m_hStartedUp);
    Trace(TRACE_CAT_QUEUES, 2, "CCommPortThread(%#x)::~CCommPortThread()  Returning\n", this);
}

BOOL CCommPortThread::InitInstance()
{
    Trace(TRACE_CAT_QUEUES, 1, "CCommPortThread(%#x)::InitInstance()\n", this);
    HRESULT hRes = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Trace(TRACE_CAT_QUEUES, 4, "CCommPortThread(%#x)::InitInstance()  CoInit hRes = %#x\n", this,
          hRes);

    CPortEventLeaf* pPortEvent = new (std::nothrow) CPortEventLeaf(m_pSerialPortManager, TRUE);
    if (pPortEvent) {
        Trace(TRACE_CAT_QUEUES, 4,
              "CCommPortThread(%#x)::InitInstance()  Setting the event mask for CPortLeaf @ %#x\n",
              this, pPortEvent);
        // The loop runs the task as soon as it takes it from the queue, so its first
        // wait starts then, whether or not SetEventMask had to signal it.
        pPortEvent->SetEventMask(COMM_PORT_START_MASK);
        Add(pPortEvent, TRUE);
    } else {
        Trace(TRACE_CAT_QUEUES, 0,
              "CCommPortThread(%#x)::InitInstance()  Failed to create CPortEventLeaf!\n", this);
        hRes = E_OUTOFMEMORY;
    }

    Trace(TRACE_CAT_QUEUES, 4, "CCommPortThread(%#x)::InitInstance()  hRes = %#x\n", this, hRes);
    BOOL bResult = SUCCEEDED(hRes) ? TRUE : FALSE;
    Trace(TRACE_CAT_QUEUES, 2, "CCommPortThread(%#x)::InitInstance()  Returning %i\n", this,
          bResult);
    SetEvent(m_hStartedUp);
    return bResult;
}

void CCommPortThread::WaitForStartUp()
{
    WaitForSingleObject(m_hStartedUp, INFINITE);
}

DWORD CCommPortThread::ExitInstance()
{
    Trace(TRACE_CAT_QUEUES, 2, "CCommPortThread(%#x)::ExitInstance()\n", this);
    CoUninitialize();
    return 0;
}
