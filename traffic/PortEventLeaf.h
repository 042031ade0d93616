// The port-event task of an open port: keeps a WaitCommEvent outstanding for as long as
// the port is open (the mechanics are CPortEventOverlappedIO's) and turns every set of
// reported events into work. Received characters start a read task; modem-line changes,
// breaks and line errors become notifications for every client of the port, queued on
// the clients' own threads, so no client is ever called on the comm-port thread.
//
// Receiving. EV_RXCHAR leaves the comm mask when a read starts and comes back when the
// read ends (ReceiveEnded), so there is never more than one read at a time. A read asks
// for the port's ReceiveBufferSize, but never for more than SERIAL_PORT_MAX_READ_SIZE:
// the driver's receive queue holds 64 KiB, so no read can deliver more, and a larger
// buffer would only be memory allocated for nothing (or, for a size such as 0xFFFFFFFF,
// a read that cannot start at all).
//
// A read that fails. Switching EV_RXCHAR back on with bytes still waiting signals it at
// once, so a read that keeps failing (its buffer cannot be allocated, the driver refuses
// it) would start again and again at full speed. Instead:
//  - after the first failure in a row the receive event comes back at once: a read that
//    a line error aborted succeeds on the retry, once the error has been cleared;
//  - a second failure in a row tells every client spoMemoryError (received bytes cannot
//    be taken) and parks the receive event: EV_RXCHAR stays out of the mask until the
//    next wait of this task ends with other events (a line error, a modem-line change, a
//    break), when one more read is tried; a read that fails then parks it again without
//    telling the clients a second time;
//  - the episode ends with the next read that succeeds (a read cut short by its
//    time-outs succeeds): from then on a failure counts as the first again.
// So a failing port costs one read per event on the line, and clients hear of it once
// per episode.
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
    // EV_ERR, EV_RING, EV_RLSD, EV_RXFLAG, then the device's loss (EV_EVENT1: OnError
    // spoDeviceLostError) and return (EV_EVENT2: OnPortEvent spoDeviceBackEvent).
    void HandleEvents() override;
    // The read task's report of its end, on the comm-port thread; see "A read that
    // fails" above.
    void ReceiveEnded(BOOL bFailed);

    CSerialPortManager* m_pSerialPortManager;  // not owned, not counted

private:
    void ResumeReceiving();

    LONG m_lFailedReads;      // reads failed in a row; comm-port thread only
    BOOL m_bReceiveParked;    // EV_RXCHAR held out of the mask after failures in a row
};
