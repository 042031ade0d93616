// The write task: one per Send, carrying one copy of the caller's bytes to the device.
// Asynchronous sends make it auto-delete; a synchronous sender keeps it, waits for its
// completion and deletes it.
#pragma once

#include "overlapped/WriteOverlappedIO.h"
#include "platform/base/types.h"

class CWriteLeaf : public CWriteOverlappedIO {
public:
    CWriteLeaf(HANDLE hComm, BOOL bAutoDelete);

    // Every failure the base hands over ends the task with its code (bDone TRUE, result
    // TRUE), so a synchronous sender is released with that code.
    BOOL HandleError(BOOL& bDone) override;
};
