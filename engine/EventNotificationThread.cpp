#include "engine/EventNotificationThread.h"

#include "platform/com/hresult.h"
#include "platform/com/runtime.h"
#include "trace/trace.h"

CEventNotificationThread::CEventNotificationThread()
{
    Trace(TRACE_CAT_QUEUES, 1, "CEventNotificationThread(%#x)::CEventNotificationThread()\n",
          this);
    Trace(TRACE_CAT_QUEUES, 2,
          "CEventNotificationThread(%#x)::CEventNotificationThread()  Returning\n", this);
}

CEventNotificationThread::~CEventNotificationThread()
{
    Trace(TRACE_CAT_QUEUES, 1, "CEventNotificationThread(%#x)::~CEventNotificationThread()\n",
          this);
    // As in CCommPortThread: the worker must be gone before this part of the object is.
    Stop();
    Trace(TRACE_CAT_QUEUES, 2,
          "CEventNotificationThread(%#x)::~CEventNotificationThread()  Returning\n", this);
}

BOOL CEventNotificationThread::InitInstance()
{
    Trace(TRACE_CAT_QUEUES, 3,
          "CEventNotificationThread(%#x)::InitInstance()  Calling CoInitialize\n", this);
    HRESULT hRes = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Trace(TRACE_CAT_QUEUES, 4, "CEventNotificationThread(%#x)::InitInstance() CoInit hRes =%#x\n",
          this, hRes);
    BOOL bResult = SUCCEEDED(hRes) ? TRUE : FALSE;
    Trace(TRACE_CAT_QUEUES, 2, "CEventNotificationThread(%#x)::InitInstance()  Returing %i\n",
          this, bResult);
    return bResult;
}

DWORD CEventNotificationThread::ExitInstance()
{
    CoUninitialize();
    Trace(TRACE_CAT_QUEUES, 2, "CEventNotificationThread(%#x)::ExitInstance()  Returing 0\n",
          this);
    return 0;
}
