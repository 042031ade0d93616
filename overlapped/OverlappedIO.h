// The base of every task that performs one overlapped operation on the serial device.
//
// The task's wake-up event is also the event of its OVERLAPPED block, so the completion
// of the device operation wakes the worker, which calls AlgorithmInterface to collect the
// result. The base holds the block, the device handle and the pending flag, re-arms the
// block before each operation and cancels an outstanding operation on Terminate; the
// derived tasks start and collect the operations.
#pragma once

#include "engine/Strategy.h"
#include "platform/comm/comm.h"

class CReadOverlappedIO;

class COverlappedIO : public CEventStrategy {
public:
    // hFile belongs to the shared port object and is never closed by a task;
    // INVALID_HANDLE_VALUE means there is no device.
    COverlappedIO(HANDLE hFile, BOOL bAutoDelete);
    ~COverlappedIO() override;

    BOOL AlgorithmInterface(BOOL& bDone) override = 0;
    // Cancels the outstanding operation, if any, and returns once the driver has let go
    // of m_ov and of the derived task's buffer, so the worker may delete the task at once.
    void Terminate() override;
    // Called by the derived task after a failure other than ERROR_IO_PENDING, with the
    // error in m_dwCompletionCode; decides through bDone whether the task leaves.
    virtual BOOL HandleError(BOOL& bDone) = 0;

    // Zeroes the block and puts m_hEvent back into it; called right before every new
    // ReadFile, WriteFile or WaitCommEvent.
    void ResetOverlappedStructure();

protected:
    // A read task works on the device handle of its port-event task.
    friend class CReadOverlappedIO;

    OVERLAPPED m_ov;
    HANDLE m_hFile;
    BOOL m_bIOPending;  // TRUE from ERROR_IO_PENDING until the result has been collected
};
