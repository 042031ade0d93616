#include "overlapped/OverlappedIO.h"

#include "trace/trace.h"

#include <cstring>

COverlappedIO::COverlappedIO(HANDLE hFile, BOOL bAutoDelete)
    : CEventStrategy(TRUE, FALSE, bAutoDelete), m_ov{}, m_hFile(hFile), m_bIOPending(FALSE)
{
    Trace(TRACE_CAT_QUEUES, 1, "COverlappedIO(%#x)::COverlappedIO()\n", this);
    std::memset(&m_ov, 0, sizeof(m_ov));
    m_bIOPending = FALSE;
    m_ov.hEvent = m_hEvent;
    m_hFile = hFile;
    Trace(TRACE_CAT_QUEUES, 2, "COverlappedIO(%#x)::COverlappedIO()  Returning\n", this);
}

COverlappedIO::~COverlappedIO()
{
    Trace(TRACE_CAT_QUEUES, 1, "COverlappedIO(%#x)::~COverlappedIO()\n", this);
    Trace(TRACE_CAT_QUEUES, 2, "COverlappedIO(%#x)::~COverlappedIO()  Returning\n", this);
}

void COverlappedIO::ResetOverlappedStructure()
{
    Trace(TRACE_CAT_QUEUES, 1, "COverlappedIO(%#x)::ResetOverlappedStructure()\n", this);
    std::memset(&m_ov, 0, sizeof(m_ov));
    m_ov.hEvent = m_hEvent;
    Trace(TRACE_CAT_QUEUES, 2, "COverlappedIO(%#x)::ResetOverlappedStructure()  Returning\n",
          this);
}

// CancelIo only asks for cancellation; the task's memory must stay valid until the
// cancelled operation has ended, since the worker deletes the task right after this.
// The serial driver's CancelIo completes every pending operation of the handle with
// ERROR_OPERATION_ABORTED under the device's lock and drops its references to their
// blocks and buffers before it returns (platform/comm, comm_device::cancel_io; the
// overlapped tests check it under AddressSanitizer), so Terminate relies on it. The
// waiting GetOverlappedResult after it then returns at once; it stays as the guarantee
// for any driver that completes cancellations later. Its result is not used, and
// m_bIOPending stays as it is.
void COverlappedIO::Terminate()
{
    Trace(TRACE_CAT_QUEUES, 1, "COverlappedIO(%#x)::Terminate()\n", this);
    Trace(TRACE_CAT_QUEUES, 5, "COverlappedIO(%#x)::Terminate()  Locking m_cs.\n", this);
    EnterCriticalSection(&m_cs);
    if (m_bIOPending && m_hFile != INVALID_HANDLE_VALUE) {
        Trace(TRACE_CAT_QUEUES, 3, "COverlappedIO(%#x)::Terminate()  Cancelling pending IO.\n",
              this);
        CancelIo(m_hFile);
        DWORD dwTransferred = 0;
        ::GetOverlappedResult(m_hFile, &m_ov, &dwTransferred, TRUE);
    }
    Trace(TRACE_CAT_QUEUES, 5, "COverlappedIO(%#x)::Terminate()  Unlocking m_cs.\n", this);
    LeaveCriticalSection(&m_cs);
    Trace(TRACE_CAT_QUEUES, 2, "COverlappedIO(%#x)::Terminate()  Returning\n", this);
}
