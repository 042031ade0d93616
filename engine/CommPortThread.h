// The I/O worker of one open port: every overlapped operation on the port's device (the
// wait for comm events, each read, each write) starts, completes and is cancelled on
// this one thread.
//
// Its start-up enters the object runtime and arms the port: it creates the port-event
// task, sets the device's comm mask and queues that task at the front, so that it is the
// first task the loop runs even when writes were queued before the thread started.
#pragma once

#include "engine/WorkerThreadContext.h"
#include "platform/base/types.h"

class CSerialPortManager;

// The comm mask the port starts with: EV_RXCHAR, EV_RXFLAG, EV_CTS, EV_DSR, EV_RLSD,
// EV_BREAK, EV_ERR and EV_RING; not EV_TXEMPTY, which nobody listens to. EV_BREAK is in
// so that a break received on the line reaches the clients as spoBreakError. EV_EVENT1
// and EV_EVENT2 (0x1800), the driver's reports that the device vanished and that it is
// back, are in so that the port tells its clients (spoDeviceLostError,
// spoDeviceBackEvent), and so that the port-event task's wait simply stays pending while
// the device is gone: the comm-port thread sleeps until it returns.
#define COMM_PORT_START_MASK 0x19FBU

class CCommPortThread : public CWorkerThreadContext {
public:
    // Does not start the thread; the port object calls Start right after.
    explicit CCommPortThread(CSerialPortManager* pSerialPortManager);
    ~CCommPortThread() override;

    // On the new thread: enters the multithreaded apartment, creates and queues the
    // port-event task. FALSE (the loop is skipped) when either fails. Either way it
    // signals m_hStartedUp last.
    BOOL InitInstance() override;
    // On the thread after its loop: leaves the apartment; the exit code is 0.
    DWORD ExitInstance() override;

    // Waits until the start-up of a started thread has run, so that the port's comm
    // mask is set and line changes from then on are reported. Without it a change made
    // right after the port has been opened could be taken for the line's first state.
    void WaitForStartUp();

    CSerialPortManager* m_pSerialPortManager;  // the port served; not owned
    HANDLE m_hStartedUp;  // manual reset; set at the end of InitInstance
};
