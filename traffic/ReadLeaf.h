// The read task: created by the port-event task each time characters arrive, with
// EV_RXCHAR already switched off; reads up to the port's receive buffer size, hands the
// bytes to every client through the notification tasks, and switches EV_RXCHAR on again,
// so a port never has two reads at once and never goes deaf.
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

    // ERROR_HANDLE_EOF delivers what was read; a time-out clears the code to 0; any other
    // error is only traced. The task leaves its thread in every case.
    BOOL HandleError(BOOL& bDone) override;
    // Fans the bytes read out to every client (none for an empty read) and switches
    // EV_RXCHAR on again.
    void HandleData() override;

    // Needs no reference: the port stops and deletes its comm-port thread, and with it
    // this task, before it releases anything else.
    CSerialPortManager* m_pSerialPortManager;

private:
    void EnableReceiveEvent();
};
