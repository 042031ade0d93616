// The port-event task of an open port: keeps a WaitCommEvent outstanding for as long as
// the port is open (the mechanics are CPortEventOverlappedIO's) and turns every set of
// reported events into work. Received characters start a read task; modem-line changes,
// breaks and line errors become notifications for every client of the port, queued on
// the clients' own threads, so no client is ever called on the comm-port thread.
#pragma once

#include "overlapped/PortEventOverlappedIO.h"
#include "platform/base/types.h"

class CSerialPortManager;

class CPortEventLeaf : public CPortEventOverlappedIO {
public:
    // Works on pSerialPortManager's device handle.
    CPortEventLeaf(CSerialPortManager* pSerialPortManager, BOOL bAutoDelete);
    // Nothing of its own beyond its trace.
    ~CPortEventLeaf() override;

    // A failed wait: traced, and tried again on the worker's next pass; the task never
    // leaves its thread on an error. Returns TRUE.
    BOOL HandleError(BOOL& bDone) override;
    // The bits of m_dwEventMask, in this order: EV_RXCHAR, EV_BREAK, EV_CTS, EV_DSR,
    // EV_ERR, EV_RING, EV_RLSD, EV_RXFLAG.
    void HandleEvents() override;

    CSerialPortManager* m_pSerialPortManager;  // not owned, not counted
};
