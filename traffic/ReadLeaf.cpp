#include "traffic/ReadLeaf.h"

#include "platform/comm/comm.h"
#include "port/SerialPortManager.h"
#include "trace/trace.h"
#include "traffic/PortEventLeaf.h"

// Every end of a read, at once or after it went pending, passes through HandleData or
// HandleError, and each reports it to the port-event task exactly once; that task
// decides when EV_RXCHAR goes back into the mask (see CPortEventLeaf::ReceiveEnded).

CReadLeaf::CReadLeaf(CPortEventLeaf* pPortEvent, DWORD dwBufferSize, BOOL bAutoDelete)
    : CReadOverlappedIO(pPortEvent, dwBufferSize, bAutoDelete),
      m_pSerialPortManager(pPortEvent->m_pSerialPortManager),
      m_pPortEventLeaf(pPortEvent)
{
    // Both lines of the constructor and of the destructor are at level 1.
    Trace(TRACE_CAT_QUEUES, 1, "CReadLeaf(%#x)::CReadLeaf()\n", this);
    Trace(TRACE_CAT_QUEUES, 1, "CReadLeaf(%#x)::CReadLeaf()  Returning\n", this);
}

CReadLeaf::~CReadLeaf()
{
    Trace(TRACE_CAT_QUEUES, 1, "CReadLeaf(%#x)::~CReadLeaf()\n", this);
    Trace(TRACE_CAT_QUEUES, 1, "CReadLeaf(%#x)::~CReadLeaf()  Returning\n", this);
}

void CReadLeaf::HandleData()
{
    Trace(TRACE_CAT_QUEUES, 1, "CReadLeaf(%#x)::HandleData()\n", this);
    // A read whose time-outs elapsed with nothing received notifies nobody.
    if (m_dwBytesRead > 0)
        m_pSerialPortManager->m_cpPortEvents.FireDataNotification(m_dwBytesRead, m_pBuffer);
    Trace(TRACE_CAT_QUEUES, 3, "CReadLeaf(%#x)::HandleData()  Re-enabling port event recv notifications\n",
          this);
    m_pPortEventLeaf->ReceiveEnded(FALSE);
    Trace(TRACE_CAT_QUEUES, 2, "CReadLeaf(%#x)::HandleData()  Returning\n", this);
}

BOOL CReadLeaf::HandleError(BOOL& bDone)
{
    const BOOL bDoneIn = bDone;
    Trace(TRACE_CAT_QUEUES, 1, "CReadLeaf(%#x)::HandleError(%i)\n", this, bDoneIn);
    switch (m_dwCompletionCode) {
    case ERROR_HANDLE_EOF:
        Trace(TRACE_CAT_QUEUES, 3, "CReadLeaf(%#x)::HandleError(%i)  EOF Notification\n", this,
              bDoneIn);
        HandleData();
        break;
    case ERROR_TIMEOUT:
        Trace(TRACE_CAT_QUEUES, 0, "CReadLeaf(%#x)::HandleError(%i)  Error!  Timeout!\n", this,
              bDoneIn);
        m_dwCompletionCode = 0;
        m_pPortEventLeaf->ReceiveEnded(FALSE);
        break;
    default:
        Trace(TRACE_CAT_QUEUES, 0, "CReadLeaf(%#x)::HandleError(%i)  Error!  Not Handled %#x\n",
              this, bDoneIn, m_dwCompletionCode);
        m_pPortEventLeaf->ReceiveEnded(TRUE);
        break;
    }
    bDone = TRUE;
    Trace(TRACE_CAT_QUEUES, 2, "CReadLeaf(%#x)::HandleError(%i)  Returning %i\n", this, bDoneIn,
          TRUE);
    return TRUE;
}
