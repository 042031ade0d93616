#include "engine/Strategy.h"

#include "platform/com/runtime.h"
#include "trace/trace.h"

// When an event cannot be created the constructors keep the null handle and go on, as
// the platform returned it. The consequences stay contained: closing null fails
// harmlessly; a task without m_hCompleted cannot be waited for, so the worker refuses to
// queue one its adder keeps (see CWorkerThreadContext::Add), and GetCompletionCode on
// it returns ERROR_INVALID_HANDLE at once instead of a code the task never produced; a
// null m_hEvent makes the worker's wait fail, which winds the worker down with every
// held task terminated (see CWorkerThreadContext::Process), rather than deleting a task
// whose I/O may still be pending.

CStrategy::CStrategy(BOOL bAutoDelete)
    : m_bAutoDelete(bAutoDelete),
      m_cs{},
      m_hEvent(INVALID_HANDLE_VALUE),
      m_dwCompletionCode(0),
      m_hCompleted(nullptr)
{
    Trace(TRACE_CAT_QUEUES, 1, "CStrategy(%#x)::CStrategy()\n", this);
    InitializeCriticalSection(&m_cs);
    m_hCompleted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Trace(TRACE_CAT_QUEUES, 4, "CStrategy(%#x)::CStrategy()  m_hCompleted =%#x\n", this,
          m_hCompleted);
    Trace(TRACE_CAT_QUEUES, 2, "CStrategy(%#x)::CStrategy()  Returning\n", this);
}

CStrategy::~CStrategy()
{
    Trace(TRACE_CAT_QUEUES, 1, "CStrategy(%#x)::~CStrategy()\n", this);
    if (m_hEvent != INVALID_HANDLE_VALUE)
        CloseHandle(m_hEvent);
    CloseHandle(m_hCompleted);
    DeleteCriticalSection(&m_cs);
    Trace(TRACE_CAT_QUEUES, 2, "CStrategy(%#x)::~CStrategy()  Returning\n", this);
}

void CStrategy::Terminate()
{
    Trace(TRACE_CAT_QUEUES, 1, "CStrategy(%#x)::Terminate()\n", this);
    Trace(TRACE_CAT_QUEUES, 2, "CStrategy(%#x)::Terminate()  Returning\n", this);
}

DWORD CStrategy::GetCompletionCode()
{
    Trace(TRACE_CAT_QUEUES, 1, "CStrategy(%#x)::GetCompletionCode()\n", this);
    DWORD dwCode = ERROR_INVALID_HANDLE;
    if (m_hCompleted != nullptr) {
        BOOL bCanceled = FALSE;
        while (WaitForSingleObjectEx(m_hCompleted, INFINITE, TRUE) == WAIT_IO_COMPLETION) {
            if (!bCanceled && CoTestCancel() == RPC_E_CALL_CANCELED) {
                Trace(TRACE_CAT_QUEUES, 3,
                      "CStrategy(%#x)::GetCompletionCode()  The caller has gone; cancelling.\n",
                      this);
                bCanceled = TRUE;
                OnCallCanceled();
            }
        }
        // Taking m_cs after the signal orders the task's write of the code before this read.
        EnterCriticalSection(&m_cs);
        dwCode = m_dwCompletionCode;
        LeaveCriticalSection(&m_cs);
    }
    Trace(TRACE_CAT_QUEUES, 2, "CStrategy(%#x)::GetCompletionCode()  Returning %i\n", this,
          dwCode);
    return dwCode;
}

void CStrategy::OnCallCanceled()
{
    Trace(TRACE_CAT_QUEUES, 1, "CStrategy(%#x)::OnCallCanceled()\n", this);
    Trace(TRACE_CAT_QUEUES, 2, "CStrategy(%#x)::OnCallCanceled()  Returning\n", this);
}

CEventStrategy::CEventStrategy(BOOL bManualReset, BOOL bInitialState, BOOL bAutoDelete)
    : CStrategy(bAutoDelete)
{
    Trace(TRACE_CAT_QUEUES, 1, "CEventStrategy(%#x)::CEventStrategy() Default Constructor\n",
          this);
    m_hEvent = CreateEventA(nullptr, bManualReset, bInitialState, nullptr);
    Trace(TRACE_CAT_QUEUES, 4, "CEventStrategy(%#x)::CEventStrategy() m_hEvent = %#x\n", this,
          m_hEvent);
    Trace(TRACE_CAT_QUEUES, 2,
          "CEventStrategy(%#x)::CEventStrategy() Default Constructor   Returning\n", this);
}
