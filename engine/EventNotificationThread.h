// The worker that makes every call-back to one connected client sink (OnData,
// OnPortEvent, OnError), so that a slow or blocked client holds up nobody but itself.
// It enters the multithreaded apartment at start-up and leaves it at the end; it creates
// no task of its own.
#pragma once

#include "engine/WorkerThreadContext.h"
#include "platform/base/types.h"

class CEventNotificationThread : public CWorkerThreadContext {
public:
    CEventNotificationThread();
    ~CEventNotificationThread() override;

    BOOL InitInstance() override;
    DWORD ExitInstance() override;
};
