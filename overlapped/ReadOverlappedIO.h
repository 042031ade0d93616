// The read task base: one ReadFile into the task's own buffer, handed to HandleData.
//
// The read and the port-event task share the receive hand-shake: while a read is in
// progress EV_RXCHAR is out of the comm mask, and it goes back in when the read ends.
// This base leaves the mask alone: the concrete task puts EV_RXCHAR back from HandleData
// and HandleError, which see every end of a read (at once or after it went pending,
// successful or failed), so one place decides whether receiving resumes.
//
// A task whose buffer could not be allocated does not call ReadFile: it fails with
// ERROR_NOT_ENOUGH_MEMORY through HandleError.
#pragma once

#include "overlapped/OverlappedIO.h"

class CPortEventOverlappedIO;

class CReadOverlappedIO : public COverlappedIO {
public:
    // Reads with the port-event task's device handle, asking for dwBufferSize bytes.
    CReadOverlappedIO(CPortEventOverlappedIO* pPortEvent, DWORD dwBufferSize, BOOL bAutoDelete);
    ~CReadOverlappedIO() override;

    BOOL AlgorithmInterface(BOOL& bDone) override;
    // m_pBuffer[0 .. m_dwBytesRead) has arrived.
    virtual void HandleData() = 0;

protected:
    BOOL Read(BOOL& bDone);
    void GetOverlappedResult(BOOL& bDone);

    DWORD m_dwBytesRead;
    BYTE* m_pBuffer;      // owned; null when it could not be allocated
    DWORD m_dwBufferSize;
    CPortEventOverlappedIO* m_pPortEvent;  // not owned
};
