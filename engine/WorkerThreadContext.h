// A worker thread that runs tasks (CStrategy) handed to it by other threads.
//
// Add queues a task; the worker takes queued tasks one per pass of its wait loop, runs
// each once, and keeps every event task that is not done in its active set, running it
// again each time its m_hEvent fires. The loop waits on the stop, pause and add events
// and the wake-up events of all active tasks in one multi-object wait, so an idle worker
// costs no processor time. At most MAXIMUM_WAIT_OBJECTS handles fit in the wait: three
// control events and up to 61 active tasks; further tasks wait in the queue until an
// active task leaves.
//
// States as other threads see them:
//   Stopped  m_hThread null                        -> Start creates the thread
//   Running  m_hThread set, m_hPausedEvent reset   -> Pause, Stop
//   Paused   m_hThread set, m_hPausedEvent set     -> Start resumes, Stop resumes and ends
// A thread whose InitInstance failed has ended but stays "Running" until Stop.
//
// Ownership: queued tasks belong to the context; the worker deletes a task it removes
// when its m_bAutoDelete is TRUE, and terminates and deletes every task it still holds
// when its loop ends (whatever m_bAutoDelete says). Clear does the same for tasks left
// in the queue.
//
// Locks: m_csDequeSync guards the queue and the resetting of m_hAddEvent; m_csConcurrent
// guards m_hThread (Start, Stop, Pause, IsRunning, IsStopped). They are never held
// together, and the worker never takes m_csConcurrent, so Stop can hold it while it
// joins the thread. A task's work step must not call Start, Stop, Pause, IsRunning or
// IsStopped of its own context.
#pragma once

#include "engine/Strategy.h"
#include "platform/base/types.h"
#include "platform/sync/sync.h"

#include <deque>

class CWorkerThreadContext {
public:
    CWorkerThreadContext();
    // Stops the thread and clears the queue. A derived class whose InitInstance or
    // ExitInstance must not run after its own destructor stops the thread first.
    virtual ~CWorkerThreadContext();
    CWorkerThreadContext(const CWorkerThreadContext&) = delete;
    CWorkerThreadContext& operator=(const CWorkerThreadContext&) = delete;

    // Per-thread start-up, on the worker before the loop; FALSE skips the loop.
    virtual BOOL InitInstance();
    // Per-thread tear-down, on the worker last; its result is the thread's exit code.
    virtual DWORD ExitInstance();
    // Creates the worker thread, or resumes it when it is paused. TRUE when a thread
    // exists afterwards.
    virtual BOOL Start();
    // Asks the worker to pause and, when it was running, waits until it has (or has
    // ended). A pause asked of a paused or not yet started thread takes effect at the
    // worker's next pass.
    virtual void Pause();
    // Ends the worker thread and waits for it; without a thread it does nothing.
    virtual void Stop();
    // Queues a task, at the front (taken before every queued task) or at the back. FALSE
    // only for a null task. The thread's state does not matter: a task added to a thread
    // that has not started, or has stopped, waits in the queue.
    virtual BOOL Add(CStrategy* pTask, BOOL bAtFront = FALSE);
    // Terminates and deletes every task still queued; runs after Stop, with no worker.
    virtual void Clear();
    // The wait loop, on the worker; returns when the thread is to end.
    virtual void Process();

    // TRUE when a thread exists and is not paused.
    BOOL IsRunning();
    // TRUE when there is no thread.
    BOOL IsStopped();

protected:
    // The thread's entry routine; lpParameter is the context.
    static DWORD ThreadRun(LPVOID lpParameter);

    std::deque<CStrategy*> m_dequeTasks;
    HANDLE m_hPausedEvent;   // set by the worker while it is paused
    HANDLE m_hPauseEvent;    // the pause request
    HANDLE m_hAddEvent;      // set while m_dequeTasks may hold tasks
    HANDLE m_hStopEvent;     // the stop request
    HANDLE m_hThread;
    DWORD m_dwThreadId;
    CRITICAL_SECTION m_csDequeSync;
    CRITICAL_SECTION m_csConcurrent;
};
