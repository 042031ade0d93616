// The port-event task base: keeps a WaitCommEvent outstanding for as long as the port is
// open and hands every set of reported events to HandleEvents.
//
// It keeps itself going through its manual-reset event: when a wait has ended and its
// events have been handled, the event is still signalled, so the worker runs the task
// again and it starts the next wait, which resets the event. With an empty comm mask it
// sleeps (event reset) until SetEventMask wakes it.
#pragma once

#include "overlapped/OverlappedIO.h"

class CPortEventOverlappedIO : public COverlappedIO {
public:
    CPortEventOverlappedIO(HANDLE hFile, BOOL bAutoDelete);
    ~CPortEventOverlappedIO() override;

    BOOL AlgorithmInterface(BOOL& bDone) override;
    // m_dwEventMask holds the events that occurred (0 when a mask change ended the wait).
    virtual void HandleEvents() = 0;

    // Sets the device's comm mask, waking the task when the mask goes from empty to
    // non-empty. Called only on the port's comm-port thread (so the task cannot run
    // between the wake-up and the SetCommMask).
    BOOL SetEventMask(DWORD dwNewMask);
    BOOL GetEventMask(LPDWORD pdwMask);

protected:
    DWORD m_dwEventMask;  // events reported by the last WaitCommEvent
};
