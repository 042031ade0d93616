#include "overlapped/PortEventOverlappedIO.h"

#include "trace/trace.h"

CPortEventOverlappedIO::CPortEventOverlappedIO(HANDLE hFile, BOOL bAutoDelete)
    : COverlappedIO(hFile, bAutoDelete), m_dwEventMask(0)
{
    Trace(TRACE_CAT_QUEUES, 1, "CPortEventOverlappedIO(%#x)::CPortEventOverlappedIO()\n", this);
    Trace(TRACE_CAT_QUEUES, 2,
          "CPortEventOverlappedIO(%#x)::CPortEventOverlappedIO()  Returning\n", this);
}

CPortEventOverlappedIO::~CPortEventOverlappedIO() = default;

BOOL CPortEventOverlappedIO::AlgorithmInterface(BOOL& bDone)
{
    Trace(TRACE_CAT_QUEUES, 1, "CPortEventOverlappedIO(%#x)::AlgorithmInterface(%i)\n", this,
          bDone);
    Trace(TRACE_CAT_QUEUES, 5,
          "CPortEventOverlappedIO(%#x)::AlgorithmInterface(%i)  Locking m_cs\n", this, bDone);
    EnterCriticalSection(&m_cs);
    BOOL bResult = FALSE;
    BOOL bPerformAlgorithm = TRUE;
    Trace(TRACE_CAT_QUEUES, 3,
          "CPortEventOverlappedIO(%#x)::AlgorithmInterface(%i)  Determining if a WaitCommEvent "
          "is required.\n",
          this, bDone);

    // With an empty mask there is nothing to wait for: sleep until SetEventMask wakes us.
    DWORD dwMask = 0;
    GetCommMask(m_hFile, &dwMask);
    if (dwMask == 0) {
        m_bIOPending = FALSE;
        bPerformAlgorithm = FALSE;
        ResetEvent(m_hEvent);
    }
    Trace(TRACE_CAT_QUEUES, 3,
          "CPortEventOverlappedIO(%#x)::AlgorithmInterface(%i)  bPerformAlgorithm=%i\n", this,
          bDone, bPerformAlgorithm);

    if (bPerformAlgorithm) {
        if (m_bIOPending) {
            // The outstanding wait has ended.
            Trace(TRACE_CAT_QUEUES, 3,
                  "CPortEventOverlappedIO(%#x)::AlgorithmInterface(%i)  Getting WaitCommEvent "
                  "Overlapped results.\n",
                  this, bDone);
            DWORD dwCount = 0;
            if (GetOverlappedResult(m_hFile, &m_ov, &dwCount, TRUE)) {
                Trace(TRACE_CAT_QUEUES, 4,
                      "CPortEventOverlappedIO(%#x)::AlgorithmInterface(%i)  WaitCommEvent "
                      "Overlapped Succeeded.\n",
                      this, bDone);
                HandleEvents();
            } else {
                m_dwCompletionCode = GetLastError();
                Trace(TRACE_CAT_QUEUES, 0,
                      "CPortEventOverlappedIO(%#x)::AlgorithmInterface(%i)  WaitCommEvent "
                      "Overlapped Failed m_dwCompletionCode =%#x.\n",
                      this, bDone, m_dwCompletionCode);
                HandleError(bDone);
            }
            // The event stays signalled, so the next pass starts the next wait.
            m_bIOPending = FALSE;
        } else {
            ResetOverlappedStructure();
            Trace(TRACE_CAT_QUEUES, 3,
                  "CPortEventOverlappedIO(%#x)::AlgorithmInterface(%i)  Performing WaitCommEvent\n",
                  this, bDone);
            if (WaitCommEvent(m_hFile, &m_dwEventMask, &m_ov)) {
                Trace(TRACE_CAT_QUEUES, 4,
                      "CPortEventOverlappedIO(%#x)::AlgorithmInterface(%i)  WaitCommEvent did not "
                      "require Overlapped IO\n",
                      this, bDone);
                HandleEvents();
                m_bIOPending = FALSE;
            } else {
                m_dwCompletionCode = GetLastError();
                if (m_dwCompletionCode == ERROR_IO_PENDING) {
                    Trace(TRACE_CAT_QUEUES, 4,
                          "CPortEventOverlappedIO(%#x)::AlgorithmInterface(%i)  WaitCommEvent "
                          "required Overlapped IO\n",
                          this, bDone);
                    m_bIOPending = TRUE;
                } else {
                    Trace(TRACE_CAT_QUEUES, 0,
                          "CPortEventOverlappedIO(%#x)::AlgorithmInterface(%i)  WaitCommEvent "
                          "failed m_dwCompletionCode = %#x\n",
                          this, bDone, m_dwCompletionCode);
                    HandleError(bDone);
                    bResult = TRUE;
                }
            }
        }
    }

    Trace(TRACE_CAT_QUEUES, 5,
          "CPortEventOverlappedIO(%#x)::AlgorithmInterface(%i)  Unlocking m_cs\n", this, bDone);
    LeaveCriticalSection(&m_cs);
    Trace(TRACE_CAT_QUEUES, 2,
          "CPortEventOverlappedIO(%#x)::AlgorithmInterface(%i)  Returning %i\n", this, bDone,
          bResult);
    return bResult;
}

// The trace lines of the two mask operations carry the read task's class name: readers of
// the trace know them under it.
BOOL CPortEventOverlappedIO::SetEventMask(DWORD dwNewMask)
{
    Trace(TRACE_CAT_QUEUES, 1, "CReadOverlappedIO(%#x)::SetEventMask(%#x)  Returning\n", this,
          dwNewMask);
    BOOL bResult = FALSE;
    if (m_hFile == INVALID_HANDLE_VALUE) {
        Trace(TRACE_CAT_QUEUES, 0,
              "CReadOverlappedIO(%#x)::SetEventMask(%#x)  Error!  File Handle is NULL\n", this,
              dwNewMask);
    } else {
        Trace(TRACE_CAT_QUEUES, 3, "CReadOverlappedIO(%#x)::SetEventMask(%#x)  Setting the event mask\n",
              this, dwNewMask);
        DWORD dwCurrent = 0;
        GetCommMask(m_hFile, &dwCurrent);
        if (dwCurrent == 0 && dwNewMask != 0) {
            // The sleeping task must start a wait again. Signalling before the mask is set
            // is safe: the task runs on this same thread, so it cannot run in between.
            Trace(TRACE_CAT_QUEUES, 4,
                  "CReadOverlappedIO(%#x)::SetEventMask(%#x)  Signalling for processing.\n", this,
                  dwNewMask);
            SetEvent(m_hEvent);
        }
        bResult = SetCommMask(m_hFile, dwNewMask);
    }
    Trace(TRACE_CAT_QUEUES, 2, "CReadOverlappedIO(%#x)::SetEventMask(%#x)  Returning %i\n", this,
          dwNewMask, bResult);
    return bResult;
}

BOOL CPortEventOverlappedIO::GetEventMask(LPDWORD pdwMask)
{
    Trace(TRACE_CAT_QUEUES, 1, "CReadOverlappedIO(%#x)::GetEventMask(%#x)  Returning\n", this,
          pdwMask != nullptr ? *pdwMask : 0);
    BOOL bResult = FALSE;
    if (m_hFile != INVALID_HANDLE_VALUE) {
        bResult = GetCommMask(m_hFile, pdwMask);
    } else {
        Trace(TRACE_CAT_QUEUES, 2,
              "CReadOverlappedIO(%#x)::GetEventMask(%#x)  Error !! Null file handle.\n", this,
              pdwMask != nullptr ? *pdwMask : 0);
    }
    Trace(TRACE_CAT_QUEUES, 2, "CReadOverlappedIO(%#x)::GetEventMask(%#x)  Returning %i\n", this,
          pdwMask != nullptr ? *pdwMask : 0, bResult);
    return bResult;
}
