#include "overlapped/WriteOverlappedIO.h"

#include "trace/trace.h"

#include <cstring>
#include <new>

CWriteOverlappedIO::CWriteOverlappedIO(HANDLE hFile, BOOL bAutoDelete)
    : COverlappedIO(hFile, bAutoDelete), m_pBuffer(nullptr), m_dwBytesToWrite(0),
      m_bCanceled(FALSE)
{
    Trace(TRACE_CAT_QUEUES, 1, "CWriteOverlappedIO(%#x)::CWriteOverlappedIO()\n", this);
    Trace(TRACE_CAT_QUEUES, 2, "CWriteOverlappedIO(%#x)::CWriteOverlappedIO()  Returning\n",
          this);
}

CWriteOverlappedIO::~CWriteOverlappedIO()
{
    delete[] m_pBuffer;
}

BOOL CWriteOverlappedIO::SetData(const BYTE* pData, DWORD dwLength)
{
    if (pData == nullptr && dwLength != 0)
        return FALSE;
    EnterCriticalSection(&m_cs);
    BOOL bResult = FALSE;
    if (!m_bIOPending) {
        ResetEvent(m_hCompleted);
        delete[] m_pBuffer;
        m_dwBytesToWrite = 0;
        // new[] of 0 bytes still gives a distinct pointer, so a 0-byte write has a buffer.
        m_pBuffer = new (std::nothrow) BYTE[dwLength];
        if (m_pBuffer != nullptr) {
            if (dwLength != 0)
                std::memcpy(m_pBuffer, pData, dwLength);
            m_dwBytesToWrite = dwLength;
            bResult = TRUE;
        }
    }
    LeaveCriticalSection(&m_cs);
    return bResult;
}

BOOL CWriteOverlappedIO::AlgorithmInterface(BOOL& bDone)
{
    Trace(TRACE_CAT_QUEUES, 1, "CWriteOverlappedIO(%#x)::AlgorithmInterface(%i)\n", this, bDone);
    Trace(TRACE_CAT_QUEUES, 5, "CWriteOverlappedIO(%#x)::AlgorithmInterface(%i)  Locking m_cs\n",
          this, bDone);
    EnterCriticalSection(&m_cs);
    bDone = FALSE;
    Trace(TRACE_CAT_QUEUES, 3,
          "CWriteOverlappedIO(%#x)::AlgorithmInterface(%i)  Checking to see if IO is Pending\n",
          this, bDone);
    BOOL bResult;
    if (m_bIOPending) {
        GetWriteResult(bDone);
        bResult = TRUE;
    } else {
        bResult = Write(bDone);
    }
    Trace(TRACE_CAT_QUEUES, 5,
          "CWriteOverlappedIO(%#x)::AlgorithmInterface(%i)  Unlocking m_cs\n", this, bDone);
    LeaveCriticalSection(&m_cs);
    Trace(TRACE_CAT_QUEUES, 2, "CWriteOverlappedIO(%#x)::AlgorithmInterface(%i)  Returning %i\n",
          this, bDone, bResult);
    return bResult;
}

void CWriteOverlappedIO::OnCallCanceled()
{
    Trace(TRACE_CAT_QUEUES, 1, "CWriteOverlappedIO(%#x)::OnCallCanceled()\n", this);
    EnterCriticalSection(&m_cs);
    m_bCanceled = TRUE;
    // m_bIOPending stays TRUE once the result is collected; CancelIoEx then finds
    // nothing, and the result stands.
    if (m_bIOPending && m_hFile != INVALID_HANDLE_VALUE) {
        Trace(TRACE_CAT_QUEUES, 3,
              "CWriteOverlappedIO(%#x)::OnCallCanceled()  Cancelling the pending write.\n", this);
        CancelIoEx(m_hFile, &m_ov);
    }
    LeaveCriticalSection(&m_cs);
    Trace(TRACE_CAT_QUEUES, 2, "CWriteOverlappedIO(%#x)::OnCallCanceled()  Returning\n", this);
}

BOOL CWriteOverlappedIO::Write(BOOL& bDone)
{
    Trace(TRACE_CAT_QUEUES, 1, "CWriteOverlappedIO(%#x)::Write(%i)\n", this, bDone);
    BOOL bResult = FALSE;
    ResetOverlappedStructure();
    Trace(TRACE_CAT_QUEUES, 3, "CWriteOverlappedIO(%#x)::Write(%i)  Making call to WriteFile\n",
          this, bDone);
    DWORD dwWritten = 0;
    // A write taken back before it started fails as one the driver refused at once.
    if (m_bCanceled)
        SetLastError(ERROR_OPERATION_ABORTED);
    if (!m_bCanceled && WriteFile(m_hFile, m_pBuffer, m_dwBytesToWrite, &dwWritten, &m_ov)) {
        Trace(TRACE_CAT_QUEUES, 4,
              "CWriteOverlappedIO(%#x)::Write(%i)  WriteFile Succeed without the need for "
              "Overlapped IO.\n",
              this, bDone);
        m_bIOPending = FALSE;
        if (dwWritten == m_dwBytesToWrite) {
            Trace(TRACE_CAT_QUEUES, 4,
                  "CWriteOverlappedIO(%#x)::Write(%i)  WriteFile Completed Successfully.\n", this,
                  bDone);
            m_dwCompletionCode = 0;
            bResult = TRUE;
        } else {
            Trace(TRACE_CAT_QUEUES, 0,
                  "CWriteOverlappedIO(%#x)::Write(%i)  Error!  WriteFile failed to send all the "
                  "data.\n",
                  this, bDone);
            m_dwCompletionCode = ERROR_WRITE_FAULT;
            bResult = HandleError(bDone);
        }
        // A write that completed at once always leaves, whatever HandleError decided.
        bDone = TRUE;
    } else {
        m_dwCompletionCode = GetLastError();
        if (m_dwCompletionCode == ERROR_IO_PENDING) {
            Trace(TRACE_CAT_QUEUES, 4, "CWriteOverlappedIO(%#x)::Write(%i)  IOPending.\n", this,
                  bDone);
            m_bIOPending = TRUE;
        } else {
            Trace(TRACE_CAT_QUEUES, 0,
                  "CWriteOverlappedIO(%#x)::Write(%i)  Error!  Error Code is %#x\n", this, bDone,
                  m_dwCompletionCode);
            bResult = HandleError(bDone);
        }
    }
    Trace(TRACE_CAT_QUEUES, 2, "CWriteOverlappedIO(%#x)::Write(%i)  Returning %i\n", this, bDone,
          bResult);
    return bResult;
}

// The completion of a pending write. Its lines carry the constructor's name, as the
// trace readers know them. The count written is not compared: a pending write is judged
// by the platform's result alone.
void CWriteOverlappedIO::GetWriteResult(BOOL& bDone)
{
    Trace(TRACE_CAT_QUEUES, 1, "CWriteOverlappedIO(%#x)::CWriteOverlappedIO(%i)\n", this, bDone);
    Trace(TRACE_CAT_QUEUES, 3,
          "CWriteOverlappedIO(%#x)::CWriteOverlappedIO(%i)  Getting Overlapped Status\n", this,
          bDone);
    DWORD dwTransferred = 0;
    if (::GetOverlappedResult(m_hFile, &m_ov, &dwTransferred, FALSE)) {
        m_dwCompletionCode = 0;
        Trace(TRACE_CAT_QUEUES, 3,
              "CWriteOverlappedIO(%#x)::CWriteOverlappedIO(%i)  Overlapped Status is %#x\n", this,
              bDone, 0);
    } else {
        m_dwCompletionCode = GetLastError();
        Trace(TRACE_CAT_QUEUES, 0,
              "CWriteOverlappedIO(%#x)::CWriteOverlappedIO(%i)  Error!  Overlapped Status is "
              "%#x\n",
              this, bDone, m_dwCompletionCode);
    }
    // m_bIOPending stays TRUE: a write task carries one write and is not loaded again.
    bDone = TRUE;
    Trace(TRACE_CAT_QUEUES, 2, "CWriteOverlappedIO(%#x)::CWriteOverlappedIO(%i)\n", this, bDone);
}
