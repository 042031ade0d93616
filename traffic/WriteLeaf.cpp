#include "traffic/WriteLeaf.h"

CWriteLeaf::CWriteLeaf(HANDLE hComm, BOOL bAutoDelete) : CWriteOverlappedIO(hComm, bAutoDelete) {}

// The base hands over a short write (ERROR_WRITE_FAULT) and a write that failed at once.
// A write that failed at once has no operation behind it that could ever signal its
// event, so keeping the task active would leave it on the thread for good and a
// synchronous sender waiting for ever. Whatever the code (ERROR_WRITE_FAULT,
// ERROR_TIMEOUT or any other), the task therefore ends here and reports a result: the
// sender receives the code and turns it into E_FAIL.
BOOL CWriteLeaf::HandleError(BOOL& bDone)
{
    bDone = TRUE;
    return TRUE;
}
