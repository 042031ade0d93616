#include "overlapped/ReadOverlappedIO.h"

#include "overlapped/PortEventOverlappedIO.h"
#include "trace/trace.h"

#include <new>

CReadOverlappedIO::CReadOverlappedIO(CPortEventOverlappedIO* pPortEvent, DWORD dwBufferSize,
                                     BOOL bAutoDelete)
    : COverlappedIO(pPortEvent != nullptr ? pPortEvent->m_hFile : INVALID_HANDLE_VALUE,
                    bAutoDelete),
      m_dwBytesRead(0),
      m_pBuffer(nullptr),
      m_dwBufferSize(dwBufferSize),
      m_pPortEvent(pPortEvent)
{
    Trace(TRACE_CAT_QUEUES, 1, "CReadOverlappedIO(%#x)::CReadOverlappedIO()\n", this);
    m_pBuffer = new (std::nothrow) BYTE[dwBufferSize];
    Trace(TRACE_CAT_QUEUES, 4, "CReadOverlappedIO(%#x)::CReadOverlappedIO()  %u bytes at %#x\n",
          this, dwBufferSize, m_pBuffer);
    Trace(TRACE_CAT_QUEUES, 2, "CReadOverlappedIO(%#x)::CReadOverlappedIO()  Returning\n", this);
}

CReadOverlappedIO::~CReadOverlappedIO()
{
    Trace(TRACE_CAT_QUEUES, 1, "CReadOverlappedIO(%#x)::~CReadOverlappedIO()\n", this);
    delete[] m_pBuffer;
    Trace(TRACE_CAT_QUEUES, 1, "CReadOverlappedIO(%#x)::~CReadOverlappedIO()  Returning\n", this);
}

BOOL CReadOverlappedIO::AlgorithmInterface(BOOL& bDone)
{
    Trace(TRACE_CAT_QUEUES, 1, "CReadOverlappedIO(%#x)::AlgorithmInterface(%i)\n", this, bDone);
    Trace(TRACE_CAT_QUEUES, 5, "CReadOverlappedIO(%#x)::AlgorithmInterface(%i)  Locking m_cs\n",
          this, bDone);
    EnterCriticalSection(&m_cs);
    BOOL bResult = TRUE;
    if (!m_bIOPending) {
        m_dwBytesRead = 0;
        bResult = Read(bDone);
    } else {
        GetOverlappedResult(bDone);
    }
    Trace(TRACE_CAT_QUEUES, 5, "CReadOverlappedIO(%#x)::AlgorithmInterface(%i)  Unlocking m_cs\n",
          this, bDone);
    LeaveCriticalSection(&m_cs);
    Trace(TRACE_CAT_QUEUES, 2, "CReadOverlappedIO(%#x)::AlgorithmInterface(%i)  Returning %i\n",
          this, bDone, bResult);
    return bResult;
}

BOOL CReadOverlappedIO::Read(BOOL& bDone)
{
    Trace(TRACE_CAT_QUEUES, 1, "CReadOverlappedIO(%#x)::Read(%i)\n", this, bDone);
    BOOL bResult = FALSE;
    ResetOverlappedStructure();
    Trace(TRACE_CAT_QUEUES, 3, "CReadOverlappedIO(%#x)::Read(%i)  Performing ReadFile\n", this,
          bDone);
    if (m_pBuffer == nullptr && m_dwBufferSize > 0) {
        m_dwCompletionCode = ERROR_NOT_ENOUGH_MEMORY;
        Trace(TRACE_CAT_QUEUES, 0, "CReadOverlappedIO(%#x)::Read(%i)  Error!  No read buffer.\n",
              this, bDone);
        bResult = HandleError(bDone);
    } else if (ReadFile(m_hFile, m_pBuffer, m_dwBufferSize, &m_dwBytesRead, &m_ov)) {
        Trace(TRACE_CAT_QUEUES, 4,
              "CReadOverlappedIO(%#x)::Read(%i)  ReadFile Completed w/o need for Overlapped IO\n",
              this, bDone);
        HandleData();
        bDone = TRUE;
        bResult = TRUE;
    } else {
        m_dwCompletionCode = GetLastError();
        if (m_dwCompletionCode == ERROR_IO_PENDING) {
            Trace(TRACE_CAT_QUEUES, 4,
                  "CReadOverlappedIO(%#x)::Read(%i)  ReadFile needed Overlapped IO\n", this, bDone);
            m_bIOPending = TRUE;
        } else {
            Trace(TRACE_CAT_QUEUES, 0,
                  "CReadOverlappedIO(%#x)::Read(%i)  Error!  ReadFile Error m_dwCompletionCode = "
                  "%#x\n",
                  this, bDone, m_dwCompletionCode);
            bResult = HandleError(bDone);
        }
    }
    Trace(TRACE_CAT_QUEUES, 2, "CReadOverlappedIO(%#x)::Read(%i)  Returning %i\n", this, bDone,
          bResult);
    return bResult;
}

void CReadOverlappedIO::GetOverlappedResult(BOOL& bDone)
{
    Trace(TRACE_CAT_QUEUES, 1, "CReadOverlappedIO(%#x)::GetOverlappedResult(%i)\n", this, bDone);
    Trace(TRACE_CAT_QUEUES, 3,
          "CReadOverlappedIO(%#x)::GetOverlappedResult(%i)  Making call to GetOverlappedResult\n",
          this, bDone);
    if (::GetOverlappedResult(m_hFile, &m_ov, &m_dwBytesRead, TRUE)) {
        Trace(TRACE_CAT_QUEUES, 4,
              "CReadOverlappedIO(%#x)::GetOverlappedResult(%i)  GetOverlappedResult Succeeded\n",
              this, bDone);
        HandleData();
    } else {
        m_dwCompletionCode = GetLastError();
        Trace(TRACE_CAT_QUEUES, 0,
              "CReadOverlappedIO(%#x)::GetOverlappedResult(%i)  GetOverlappedResult failed "
              "m_dwCompletionCode =%#x\n",
              this, bDone, m_dwCompletionCode);
        HandleError(bDone);
    }
    bDone = TRUE;
    Trace(TRACE_CAT_QUEUES, 2, "CReadOverlappedIO(%#x)::GetOverlappedResult(%i)  Returning\n",
          this, bDone);
}
