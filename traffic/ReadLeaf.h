// The read task: created by the port-event task each time characters arrive, with
// EV_RXCHAR already switched off; reads up to the size the port-event task gives it,
// hands the bytes to every client through the notification tasks, and reports its end
// to the port-event task (ReceiveEnded), which switches EV_RXCHAR on again: a port never
// has two reads at once, never goes deaf, and never spins on a read that keeps failing.
#pragma once

#include "overlapped/ReadOverlappedIO.h"
#include "platform/base/types.h"

class CPortEventLeaf;
class CSerialPortManager;

class CReadLeaf : public CReadOverlappedIO {
public:
    CReadLeaf(CPortEventLeaf* pPortEvent, DWORD dwBufferSize, BOOL bAutoDelete);
    // Nothing of its own: the base frees the buffer.
    ~CReadLeaf() override;

    // ERROR_HANDLE_EOF delivers what was read; a time-out clears the code to 0 and ends
    // the read as a successful one; any other error ends it as failed. The task leaves
    // its thread in every case.
    BOOL HandleError(BOOL& bDone) override;
    // Fans the bytes read out to every client (none for an empty read) and ends the read
    // as a successful one.
    void HandleData() override;

    // Needs no reference: the port stops and deletes its comm-port thread, and with it
    // this task, before it releases anything else.
    CSerialPortManager* m_pSerialPortManager;
    CPortEventLeaf* m_pPortEventLeaf;  // told of the read's end; not owned
};
