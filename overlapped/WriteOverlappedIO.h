// The write task base: one WriteFile of a private copy of the caller's bytes.
#pragma once

#include "overlapped/OverlappedIO.h"

class CWriteOverlappedIO : public COverlappedIO {
public:
    // bAutoDelete is TRUE for an asynchronous send, FALSE for a synchronous one.
    CWriteOverlappedIO(HANDLE hFile, BOOL bAutoDelete);
    ~CWriteOverlappedIO() override;

    BOOL AlgorithmInterface(BOOL& bDone) override;

    // Loads the bytes to send (a copy), before the task is added. Refused (FALSE) while a
    // write is outstanding or when the copy cannot be allocated; resets m_hCompleted.
    BOOL SetData(const BYTE* pData, DWORD dwLength);

    // The synchronous sender's caller has gone: the write is taken back. One under way
    // in the driver is cancelled there (CancelIoEx on its own block, so the other writes
    // queued before and after it keep their places and order; bytes the device has
    // taken stay written); one the worker has not started yet is never started. Either
    // way it ends with ERROR_OPERATION_ABORTED, through the path of any failed write.
    // One that has completed keeps its result.
    void OnCallCanceled() override;

protected:
    BOOL Write(BOOL& bDone);
    void GetWriteResult(BOOL& bDone);

    BYTE* m_pBuffer;          // owned copy of the bytes; null until SetData succeeds
    DWORD m_dwBytesToWrite;
    BOOL m_bCanceled;         // OnCallCanceled has run; guarded by m_cs
};
