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

protected:
    BOOL Write(BOOL& bDone);
    void GetWriteResult(BOOL& bDone);

    BYTE* m_pBuffer;          // owned copy of the bytes; null until SetData succeeds
    DWORD m_dwBytesToWrite;
};
