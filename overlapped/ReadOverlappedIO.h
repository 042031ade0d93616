// The read task base: one ReadFile into the task's own buffer, handed to HandleData.
//
// The read and the port-event task share the receive hand-shake: while a read is in
// progress EV_RXCHAR is out of the comm mask, and it goes back in when the read ends
// (here for a read that went pending, in the concrete HandleData for one that completed
// at once).
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
    BYTE* m_pBuffer;      // owned; not checked: a read into a missing buffer fails in the driver
    DWORD m_dwBufferSize;
    CPortEventOverlappedIO* m_pPortEvent;  // not owned
};
